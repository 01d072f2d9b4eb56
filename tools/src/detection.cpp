// Running a detector on one image file.
#include "detection.h"

#include <algorithm>

namespace tolvane {

bool parseMode(const std::string& name, Mode& mode)
{
    if (name == "exact")
        mode = Mode::Exact;
    else if (name == "refined")
        mode = Mode::Refined;
    else
        return false;
    return true;
}

bool parseDetector(const std::string& name, Detector& detector)
{
    if (name == "hessian")
        detector = Detector::Hessian;
    else if (name == "harris")
        detector = Detector::Harris;
    else
        return false;
    return true;
}

const char* nameOf(Detector detector)
{
    return detector == Detector::Hessian ? "hessian" : "harris";
}

DetectorOptions detectorOptionsOf(const ParsedArguments& parsed, const std::string& command)
{
    DetectorOptions detector;
    const auto& options = parsed.options;
    if (parsed.has("detector") && !parseDetector(options.at("detector"), detector.detector))
        throw UsageError("unknown detector '" + options.at("detector") + "' (use hessian or harris)", command);
    if (parsed.has("mode") && !parseMode(options.at("mode"), detector.mode))
        throw UsageError("unknown mode '" + options.at("mode") + "' (use exact or refined)", command);
    if (parsed.has("threshold"))
        detector.threshold = parseFloatOption("threshold", options.at("threshold"), command);
    if (parsed.has("pyramid-factor"))
        detector.pyramid_factor = parseFloatOption("pyramid-factor", options.at("pyramid-factor"), command);
    detector.upsample = parsed.has("upsample");
    if (parsed.has("iterations"))
        detector.iterations = parseIntOption("iterations", options.at("iterations"), 0, command);
    if (parsed.has("max-regions"))
        detector.max_regions =
            static_cast<std::size_t>(parseIntOption("max-regions", options.at("max-regions"), 0, command));
    return detector;
}

int defaultDetectionThreads(unsigned cores, int jobs)
{
    return std::max(1, static_cast<int>(cores) / std::max(1, jobs));
}

bool detectFile(const std::string& path, const DetectorOptions& options, const ReadOptions& reading,
                Detection& detection, std::string& error)
{
    try {
        const Image image = readImage(path, reading);
        detection.width = image.width;
        detection.height = image.height;
        detection.regions = detect(image.view(), options, &detection.stats);
        return true;
    } catch (const Error& e) {
        error = e.what();
        return false;
    }
}

}  // namespace tolvane
