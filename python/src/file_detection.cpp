// Image files, and detection of an image file into a region file through
// the tool's code.
#include "file_detection.h"

#include "detection.h"
#include "output_file.h"
#include "region_formats.h"

#include "tolvane/error.h"

namespace tolvane::python {
namespace {

DetectorOptions optionsOf(const FileDetectionRequest& request)
{
    DetectorOptions options;
    if (!parseDetector(request.detector, options.detector))
        throw Error(ErrorCode::InvalidArgument, "unknown detector '" + request.detector + "' (use hessian or harris)");
    options.threshold = request.threshold;
    options.iterations = request.iterations;
    options.threads = request.threads;
    options.validate();
    return options;
}

RegionFormat formatOf(const std::string& name)
{
    RegionFormat format = RegionFormat::Ellipse;
    if (!parseRegionFormat(name, format))
        throw Error(ErrorCode::InvalidArgument, "unknown format '" + name + "' (use ellipse, legacy, csv or json)");
    return format;
}

}  // namespace

Image readImageFile(const std::string& path)
{
    try {
        return readImage(path);
    } catch (const Error& e) {
        const std::string message = path + ": " + e.what();
        if (e.code() == ErrorCode::FileAccess)
            throw FileError(message);
        throw Error(e.code(), message);
    }
}

std::size_t detectFileInto(const FileDetectionRequest& request)
{
    const DetectorOptions options = optionsOf(request);
    const RegionFormat format = formatOf(request.format);
    Detection detection;
    std::string error;
    if (!detectFile(request.image, options, ReadOptions{}, detection, error))
        throw FileError(request.image + ": " + error);
    const DetectionInfo info{request.image,     detection.width,    detection.height,  nameOf(options.detector),
                             options.responseThreshold(), options.iterations, extractionMode(options)};
    const auto& regions = detection.regions;
    if (!writeTextOutputFile(
            request.output, [&](std::ostream& out) { writeRegions(out, format, info, regions); }, error))
        throw FileError(request.output + ": " + error);
    return regions.size();
}

}  // namespace tolvane::python
