// Detection of an image file into a region file through the tool's code.
#include "file_detection.h"

#include "detection.h"
#include "output_file.h"
#include "region_formats.h"

#include "tolvane/error.h"

#include <algorithm>
#include <thread>

namespace tolvane::python {
namespace {

constexpr int kMaxThreads = 1024;

DetectorSettings settingsOf(const FileDetectionRequest& request)
{
    DetectorSettings settings;
    if (!parseDetectorKind(request.detector, settings.kind))
        throw Error("unknown detector '" + request.detector + "' (use hessian or harris)");
    if (request.iterations < 0)
        throw Error("adaptation iterations must not be negative, got " + std::to_string(request.iterations));
    if (request.threads < 0 || request.threads > kMaxThreads)
        throw Error("threads must be between 0 and " + std::to_string(kMaxThreads) + ", got " +
                    std::to_string(request.threads));
    settings.threshold = request.threshold;
    settings.iterations = request.iterations;
    settings.threads = request.threads > 0 ? request.threads
                                           : std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
    return settings;
}

RegionFormat formatOf(const std::string& name)
{
    RegionFormat format = RegionFormat::Ellipse;
    if (!parseRegionFormat(name, format))
        throw Error("unknown format '" + name + "' (use ellipse, legacy, csv or json)");
    return format;
}

}  // namespace

std::size_t detectFileInto(const FileDetectionRequest& request)
{
    const DetectorSettings settings = settingsOf(request);
    const RegionFormat format = formatOf(request.format);
    Detection detection;
    std::string error;
    if (!detectFile(request.image, settings, detection, error))
        throw FileError(request.image + ": " + error);
    const DetectionInfo info{request.image,      detection.width,     detection.height,
                             nameOf(settings.kind), settings.threshold, settings.iterations};
    const auto& regions = detection.regions.regions;
    if (!writeTextFileAtomically(
            request.output, [&](std::ostream& out) { writeRegions(out, format, info, regions); }, error))
        throw FileError(request.output + ": " + error);
    return regions.size();
}

}  // namespace tolvane::python
