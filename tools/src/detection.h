// Running a detector on one image file.
#ifndef TOLVANE_DETECTION_H
#define TOLVANE_DETECTION_H

#include "cli.h"

#include <tolvane/tolvane.h>

#include <string>
#include <vector>

namespace tolvane {

// Threads per image when none are asked for: all `cores` (at least one),
// shared out among the `jobs` images processed at the same time.
int defaultDetectionThreads(unsigned cores, int jobs);

// "exact" or "refined"; false for any other name.
bool parseMode(const std::string& name, Mode& mode);

// "hessian" or "harris"; false for any other name.
bool parseDetector(const std::string& name, Detector& detector);
const char* nameOf(Detector detector);

// The detector options of a command line: -d/--detector, -m/--mode,
// -t/--threshold, --pyramid-factor, --upsample, -i/--iterations, -n/--max-regions
// (threads and validation are left to the command). Throws UsageError.
DetectorOptions detectorOptionsOf(const ParsedArguments& parsed, const std::string& command);

struct Detection {
    int width = 0;
    int height = 0;
    std::vector<Region> regions;
    DetectionStats stats;
};

// Reads the image file and detects its regions; false with a one-line
// reason (not naming the file).
bool detectFile(const std::string& path, const DetectorOptions& options, const ReadOptions& reading,
                Detection& detection, std::string& error);

}  // namespace tolvane

#endif
