// What a batch run did.
#include "batch_summary.h"

#include "region_formats.h"

#include <cstdio>
#include <ostream>

namespace tolvane {
namespace {

std::string secondsText(double seconds)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", seconds);
    return text;
}

}  // namespace

void writeSummaryText(std::ostream& out, const BatchSummary& summary)
{
    out << summary.images << " images, ";
    if (summary.skipped > 0)
        out << summary.skipped << " skipped, ";
    out << summary.failures.size() << " failed, " << summary.regions << " regions, " << secondsText(summary.seconds)
        << " seconds\n";
    for (const BatchFailure& failure : summary.failures)
        out << "failed: " << failure.image << ": " << failure.reason << '\n';
}

void writeSummaryJson(std::ostream& out, const BatchSummary& summary)
{
    out << "{\n  \"images\": " << summary.images << ",\n  \"skipped\": " << summary.skipped
        << ",\n  \"failed\": " << summary.failures.size() << ",\n  \"regions\": " << summary.regions
        << ",\n  \"seconds\": " << secondsText(summary.seconds) << ",\n  \"failures\": [";
    for (std::size_t i = 0; i < summary.failures.size(); ++i)
        out << (i == 0 ? "\n" : ",\n") << "    {\"image\": " << jsonString(summary.failures[i].image)
            << ", \"reason\": " << jsonString(summary.failures[i].reason) << "}";
    out << (summary.failures.empty() ? "]\n}\n" : "\n  ]\n}\n");
}

}  // namespace tolvane
