// tolvane detect: regions of one image to a stream or file, or of many
// images to one file each.
#include "cli.h"
#include "commands.h"
#include "description.h"
#include "detection.h"
#include "frame_formats.h"
#include "output_file.h"
#include "progress.h"
#include "region_formats.h"
#include "worker_pool.h"

#include <tolvane/error.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <set>
#include <thread>

#include <unistd.h>

namespace tolvane {
namespace {

const char* const kCommand = "detect";

const char* const kUsage = R"(Usage: tolvane detect [OPTIONS] IMAGE...
Detects affine-covariant regions in PGM, PPM, PNG and JPEG images; an IMAGE
of - is standard input.

  -d, --detector NAME   hessian (default) or harris
  -m, --mode NAME       exact (default: the legacy detector bit for bit) or
                        refined (hessian only: more repeatable regions,
                        shapes listed as the symmetric matrix of the same
                        ellipse)
  -t, --threshold T     response threshold of the detector (default 1000;
                        refined: 500, on contrast-normalised pixels)
      --pyramid-factor F  refined mode: scale ratio of the pyramid levels
                        (default 1.2; 1.1 is finer and slower)
  -i, --iterations N    affine adaptation budget (default 16); 0 turns the
                        adaptation off (harris: 1 keeps the initial shape
                        from the second moment matrix without adaptation)
  -f, --format NAME     ellipse (default), legacy, csv or json; with
                        --descriptor: ellipse, csv, json, binary or opencv
                        (a cv::FileStorage YAML file of cv::KeyPoint and
                        the descriptor matrix; implies --descriptor sift)
  -o, --output FILE     write the regions of the one IMAGE to FILE rather
                        than to standard output
      --out-dir DIR     write one file per IMAGE into DIR, named after the
                        image with the format's extension (.regions, .txt,
                        .csv, .json, .frames, .yml); needed for several
                        images
  -j, --jobs N          images processed at the same time (default 1)
      --threads N       threads working on each image (default: all cores,
                        shared among the images that --jobs runs at once);
                        the regions are the same for any N. Given together,
                        --jobs J and --threads N are used as they are:
                        J x N threads in all
  -n, --max-regions N   keep the N strongest regions by |response| (after
                        adaptation, in list order; default 0: all)
      --max-pixels N    refuse images of more than N pixels (default
                        100000000; the detection needs about 50 bytes
                        per pixel)
      --accept-damaged  detect on JPEGs with corrupt or missing data
                        (the decoder fills the gaps) instead of refusing
      --descriptor NAME sift, rootsift or none: write oriented frames
                        (one per dominant orientation of each region) with
                        their descriptors instead of the regions
      --upright         one frame per region, not rotated
      --mr-size M       the descriptor covers M times the region (default 3)
      --patches FILE    write each frame's normalised patch into the PNG
                        FILE, square tiles one below the other (one IMAGE)
      --patch-size N    side of the patches in pixels (default 32)
  -h, --help            show this help

Colour images are made grey with the weights 0.299, 0.587, 0.114; Netpbm
samples of any maximum value are scaled to 0..255. A JPEG is turned as its
EXIF orientation says, so that the regions are in the coordinates of the
picture a viewer shows.
With --out-dir a progress bar shows on a terminal, and a summary line
(images, failures, regions, seconds) ends the run. The exit status is 1
when any image could not be processed, 2 for a wrong command line.
)";

const std::vector<OptionDefinition> kOptions = {
    {"detector", 'd', true}, {"mode", 'm', true},      {"threshold", 't', true},
    {"pyramid-factor", 0, true}, {"iterations", 'i', true},
    {"format", 'f', true},   {"output", 'o', true},    {"out-dir", 0, true},
    {"jobs", 'j', true},     {"threads", 0, true},     {"max-regions", 'n', true},
    kMaxPixelsOption,        kAcceptDamagedOption,     {"help", 'h', false},
    {"descriptor", 0, true}, {"upright", 0, false},    {"mr-size", 0, true},
    {"patches", 0, true},    {"patch-size", 0, true}};

// More threads than this for one image is a mistake, not a request.
constexpr int kMaxThreads = 1024;

struct DetectRequest {
    DetectorOptions detector;
    ReadOptions reading;
    RegionFormat format = RegionFormat::Ellipse;
    bool describe = false;  // frames and descriptors rather than regions
    FrameFormat frameFormat = FrameFormat::Ellipse;
    DescribeOptions describeOptions;
    std::string patchesFile;
    std::vector<std::string> images;
    std::string outputFile;
    std::string outputDir;
    int jobs = 1;
};

// Threads per image: as asked, or all cores shared out among the images
// that run at the same time.
int threadsOf(const ParsedArguments& parsed, const DetectRequest& request)
{
    if (parsed.has("threads"))
        return parseIntOption("threads", parsed.options.at("threads"), 1, kCommand, kMaxThreads);
    const int simultaneous = static_cast<int>(std::min<std::size_t>(request.jobs, request.images.size()));
    return defaultDetectionThreads(std::thread::hardware_concurrency(), simultaneous);
}

void checkDetectorOptions(const DetectorOptions& options)
{
    try {
        options.validate();
    } catch (const Error& e) {
        throw UsageError(e.what(), kCommand);
    }
}

void describeRequestOf(const ParsedArguments& parsed, DetectRequest& request)
{
    const auto& options = parsed.options;
    DescribeOptions& d = request.describeOptions;
    if (parsed.has("descriptor") && !parseDescriptorKind(options.at("descriptor"), d.descriptor))
        throw UsageError("unknown descriptor '" + options.at("descriptor") + "' (use sift, rootsift or none)",
                         kCommand);
    if (parsed.has("format") && !parseFrameFormat(options.at("format"), request.frameFormat))
        throw UsageError("unknown format '" + options.at("format") +
                             "' with a descriptor (use ellipse, csv, json, binary or opencv)",
                         kCommand);
    d.upright = parsed.has("upright");
    if (parsed.has("mr-size"))
        d.mr_size = parseFloatOption("mr-size", options.at("mr-size"), kCommand);
    if (parsed.has("patch-size"))
        d.patch_size = parseIntOption("patch-size", options.at("patch-size"), 4, kCommand, 1024);
    if (parsed.has("patches")) {
        request.patchesFile = options.at("patches");
        d.patches = true;
    }
    try {
        d.validate();
    } catch (const Error& e) {
        throw UsageError(e.what(), kCommand);
    }
}

DetectRequest requestOf(const ParsedArguments& parsed)
{
    for (const char* option : {"upright", "mr-size", "patches", "patch-size"})
        if (parsed.has(option) && !parsed.has("descriptor"))
            throw UsageError(std::string("--") + option + " needs --descriptor", kCommand);
    DetectRequest request;
    const auto& options = parsed.options;
    request.detector = detectorOptionsOf(parsed, kCommand);
    request.describe = parsed.has("descriptor") || (parsed.has("format") && options.at("format") == "opencv");
    if (request.describe)
        describeRequestOf(parsed, request);
    else if (parsed.has("format") && !parseRegionFormat(options.at("format"), request.format))
        throw UsageError("unknown format '" + options.at("format") + "' (use ellipse, legacy, csv or json)",
                         kCommand);
    if (parsed.has("jobs"))
        request.jobs = parseIntOption("jobs", options.at("jobs"), 1, kCommand);
    if (parsed.has("output"))
        request.outputFile = options.at("output");
    if (parsed.has("out-dir"))
        request.outputDir = options.at("out-dir");
    request.reading = readOptionsOf(parsed, kCommand);
    request.images = parsed.operands;
    request.detector.threads = threadsOf(parsed, request);

    checkDetectorOptions(request.detector);
    if (request.images.empty())
        throw UsageError("no image given", kCommand);
    if (!request.outputFile.empty() && !request.outputDir.empty())
        throw UsageError("--output and --out-dir cannot be used together", kCommand);
    if (request.images.size() > 1 && request.outputDir.empty())
        throw UsageError("several images need --out-dir DIR", kCommand);
    if (!request.patchesFile.empty() && request.images.size() > 1)
        throw UsageError("--patches takes the patches of one image", kCommand);
    request.describeOptions.threads = request.detector.threads;
    return request;
}

DetectionInfo infoOf(const DetectRequest& request, const std::string& image, const Detection& detection)
{
    return DetectionInfo{image, detection.width, detection.height, nameOf(request.detector.detector),
                         request.detector.responseThreshold(), request.detector.iterations,
                         extractionMode(request.detector)};
}

void reportFailure(const std::string& image, const std::string& reason)
{
    std::cerr << "tolvane: " << image << ": " << reason << std::endl;
}

void reportLeftOut(const std::string& image, std::size_t withoutEllipse)
{
    if (withoutEllipse > 0)
        std::cerr << "tolvane: " << image << ": " << withoutEllipse
                  << " region(s) with a singular shape matrix left out" << std::endl;
}

DescriptionInfo descriptionInfoOf(const DetectRequest& request, const std::string& image,
                                  const DescribedImage& described)
{
    return DescriptionInfo{image, described.image.width, described.image.height, nameOf(request.detector.detector),
                           nameOf(request.describeOptions.descriptor)};
}

bool writePatches(const DetectRequest& request, const DescribedImage& described, std::string& error)
{
    if (request.patchesFile.empty())
        return true;
    if (described.patches.empty()) {
        error = "no frames to write patches of";
        return false;
    }
    if (!writePng(request.patchesFile, patchStack(described.patches, request.describeOptions.patch_size), error)) {
        error = request.patchesFile + ": " + error;
        return false;
    }
    return true;
}

// Describes the regions of one image and writes the frames to `outputFile`,
// or to standard output when it is empty.
TaskOutcome describeTo(const DetectRequest& request, const std::string& image, const std::string& outputFile)
{
    TaskOutcome outcome;
    DescribedImage described;
    if (!describeFile(image, request.detector, request.reading, request.describeOptions, described, outcome.error) ||
        !writePatches(request, described, outcome.error))
        return outcome;
    const DescriptionInfo info = descriptionInfoOf(request, image, described);
    auto write = [&](std::ostream& out) { writeFrames(out, request.frameFormat, info, described.frames); };
    if (outputFile.empty()) {
        write(std::cout);
        std::cout.flush();
        if (!std::cout) {
            outcome.error = "cannot write to standard output";
            return outcome;
        }
    } else if (!writeTextOutputFile(outputFile, write, outcome.error)) {
        outcome.error = outputFile + ": " + outcome.error;
        return outcome;
    }
    outcome.ok = true;
    outcome.regions = described.frames.frames.size();
    return outcome;
}

// Detects the regions of one image and writes them to `outputFile`.
TaskOutcome detectToFile(const DetectRequest& request, const std::string& image, const std::string& outputFile)
{
    if (request.describe)
        return describeTo(request, image, outputFile);
    TaskOutcome outcome;
    Detection detection;
    if (!detectFile(image, request.detector, request.reading, detection, outcome.error))
        return outcome;
    const DetectionInfo info = infoOf(request, image, detection);
    const auto& regions = detection.regions;
    if (!writeTextOutputFile(
            outputFile, [&](std::ostream& out) { writeRegions(out, request.format, info, regions); },
            outcome.error)) {
        outcome.error = outputFile + ": " + outcome.error;
        return outcome;
    }
    outcome.ok = true;
    outcome.regions = regions.size();
    outcome.withoutEllipse = detection.stats.singular;
    return outcome;
}

// An output that is one of the images would destroy it: refused before
// anything is read or written.
bool outputsSpareTheImages(const DetectRequest& request, const std::vector<std::string>& outputs)
{
    for (const std::string& output : outputs)
        for (const std::string& image : request.images)
            if (isSameFile(output, image)) {
                std::cerr << "tolvane: " << output << ": is the same file as the input " << image << "; not overwritten"
                          << std::endl;
                return false;
            }
    return true;
}

int detectOne(const DetectRequest& request)
{
    const std::string& image = request.images.front();
    if (!request.outputFile.empty() || request.describe) {
        if (!request.outputFile.empty() && !outputsSpareTheImages(request, {request.outputFile}))
            return kExitFailure;
        const TaskOutcome outcome = detectToFile(request, image, request.outputFile);
        if (!outcome.ok) {
            reportFailure(image, outcome.error);
            return kExitFailure;
        }
        reportLeftOut(image, outcome.withoutEllipse);
        return kExitSuccess;
    }
    Detection detection;
    std::string error;
    if (!detectFile(image, request.detector, request.reading, detection, error)) {
        reportFailure(image, error);
        return kExitFailure;
    }
    writeRegions(std::cout, request.format, infoOf(request, image, detection), detection.regions);
    std::cout.flush();
    reportLeftOut(image, detection.stats.singular);
    return kExitSuccess;
}

// One output path per image; two images that would write the same file are
// refused before anything runs.
std::vector<std::string> outputPathsOf(const DetectRequest& request)
{
    std::vector<std::string> paths;
    std::set<std::string> seen;
    for (const std::string& image : request.images) {
        const char* extension =
            request.describe ? extensionOf(request.frameFormat) : extensionOf(request.format);
        const std::filesystem::path name = std::filesystem::path(image).stem().string() + extension;
        const std::string path = (std::filesystem::path(request.outputDir) / name).string();
        if (!seen.insert(path).second)
            throw UsageError("two images would both be written to " + path, kCommand);
        paths.push_back(path);
    }
    return paths;
}

bool makeOutputDir(const std::string& dir)
{
    std::error_code failure;
    std::filesystem::create_directories(dir, failure);
    if (failure) {
        std::cerr << "tolvane: cannot create " << dir << ": " << failure.message() << std::endl;
        return false;
    }
    return true;
}

int detectBatch(const DetectRequest& request)
{
    const std::vector<std::string> outputs = outputPathsOf(request);
    if (!outputsSpareTheImages(request, outputs) || !makeOutputDir(request.outputDir))
        return kExitFailure;
    const auto start = std::chrono::steady_clock::now();
    ProgressBar progress(std::cerr, request.images.size(), isatty(STDERR_FILENO) != 0);
    std::size_t done = 0;
    std::size_t failed = 0;
    std::size_t regions = 0;
    progress.show(0);
    runInWorkerProcesses(
        request.images.size(), request.jobs,
        [&](std::size_t i) { return detectToFile(request, request.images[i], outputs[i]); },
        [&](std::size_t i, const TaskOutcome& outcome) {
            progress.clear();
            if (outcome.ok) {
                regions += outcome.regions;
                reportLeftOut(request.images[i], outcome.withoutEllipse);
            } else {
                ++failed;
                reportFailure(request.images[i], outcome.error);
            }
            progress.show(++done);
        });
    progress.clear();
    const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
    char summary[160];
    std::snprintf(summary, sizeof summary, "%zu images, %zu failed, %zu regions, %.1f seconds",
                  request.images.size(), failed, regions, seconds.count());
    std::cout << summary << std::endl;
    return failed == 0 ? kExitSuccess : kExitFailure;
}

}  // namespace

int runDetect(const std::vector<std::string>& args)
{
    const ParsedArguments parsed = parseArguments(args, kOptions, kCommand);
    if (parsed.has("help")) {
        std::cout << kUsage;
        return kExitSuccess;
    }
    const DetectRequest request = requestOf(parsed);
    return request.outputDir.empty() ? detectOne(request) : detectBatch(request);
}

}  // namespace tolvane
