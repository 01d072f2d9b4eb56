// What a batch run did: the closing lines and the JSON summary file.
#ifndef TOLVANE_BATCH_SUMMARY_H
#define TOLVANE_BATCH_SUMMARY_H

#include <cstddef>
#include <iosfwd>
#include <string>
#include <vector>

namespace tolvane {

struct BatchFailure {
    std::string image;
    std::string reason;
};

struct BatchSummary {
    std::size_t images = 0;   // all the batch's images, skipped ones included
    std::size_t skipped = 0;  // images whose output was there already
    std::size_t regions = 0;
    double seconds = 0.0;
    std::vector<BatchFailure> failures;  // in the order they ended
};

// "4 images, 1 failed, 120 regions, 0.3 seconds" (with "N skipped, " after
// the images when any were), then one line "failed: IMAGE: REASON" per
// failure.
void writeSummaryText(std::ostream& out, const BatchSummary& summary);

// The same as a JSON object: images, skipped, failed, regions, seconds and
// failures, a list of {"image", "reason"} objects.
void writeSummaryJson(std::ostream& out, const BatchSummary& summary);

}  // namespace tolvane

#endif
