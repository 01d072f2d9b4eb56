// OpenCV's sample pair graf1/graf3 with the homography from the first view
// to the second, as scripts/fetch-real-pair leaves them in a folder. Shared by
// the benchmarks that compare on it (repeatability and matching).
#ifndef TOLVANE_BENCH_REAL_PAIR_H
#define TOLVANE_BENCH_REAL_PAIR_H

#include "synthetic_pairs.h"

#include <optional>
#include <string>

namespace bench {

struct RealPair {
    GreyImage first, second;
    Matrix3 homography;  // first to second, row-major
};

// The folder named by the environment variable TOLVANE_REAL_PAIR, else the
// build tree's real-pair folder.
std::string realPairFolder();

// The pair in `folder`, or nothing when its homography file is not there;
// throws when a file that is there cannot be read.
std::optional<RealPair> readRealPair(const std::string& folder);

}  // namespace bench

#endif
