// tolvane detect: regions of one image to a stream or file, or of many
// images to one file each.
#include "batch_inputs.h"
#include "batch_summary.h"
#include "cli.h"
#include "commands.h"
#include "description.h"
#include "detection.h"
#include "extensions.h"
#include "frame_formats.h"
#include "output_file.h"
#include "progress.h"
#include "region_formats.h"
#include "worker_pool.h"

#include <tolvane/error.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <iostream>
#include <map>
#include <set>
#include <thread>

#include <unistd.h>

namespace tolvane {
namespace {

const char* const kCommand = "detect";

const char* const kUsage = R"(Usage: tolvane detect [OPTIONS] IMAGE...
Detects affine-covariant regions in PGM, PPM, PNG and JPEG images; an IMAGE
of - is standard input, an IMAGE that is a folder stands for the images in it
(files named .pgm, .ppm, .pnm, .png, .jpg or .jpeg, in any case) and needs
--out-dir.

  -d, --detector NAME   hessian (default) or harris
  -m, --mode NAME       exact (default: the legacy detector bit for bit) or
                        refined (hessian only: more repeatable regions,
                        shapes listed as the symmetric matrix of the same
                        ellipse)
  -t, --threshold T     response threshold of the detector (default 1000;
                        refined: 500, on contrast-normalised pixels)
      --pyramid-factor F  refined mode: scale ratio of the pyramid levels
                        (default 1.2; 1.1 is finer and slower)
      --upsample        refined mode: detect on the image enlarged twice
                        (smaller structures, about twice the regions and
                        two to three times the time)
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
                        images. The images of a folder IMAGE go to the
                        same subfolders of DIR as they are in within IMAGE
  -r, --recursive       take the images of a folder's subfolders too
      --skip-existing   leave out the images whose output file exists (as
                        every output is written whole or not at all, this
                        resumes a batch that was stopped)
      --summary FILE    write the batch's summary, failures and their
                        reasons included, to FILE as JSON
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
With --out-dir a progress bar (images done, rate, time left) shows on a
terminal, and a summary line (images, skipped, failures, regions, seconds)
followed by a line "failed: IMAGE: REASON" per failure ends the run. The exit status is 1
when any image could not be processed, 2 for a wrong command line.
)";

const std::vector<OptionDefinition> kOptions = {
    {"detector", 'd', true}, {"mode", 'm', true},      {"threshold", 't', true},
    {"pyramid-factor", 0, true}, {"upsample", 0, false}, {"iterations", 'i', true},
    {"format", 'f', true},   {"output", 'o', true},    {"out-dir", 0, true},
    {"jobs", 'j', true},     {"threads", 0, true},     {"max-regions", 'n', true},
    kMaxPixelsOption,        kAcceptDamagedOption,     {"help", 'h', false},
    {"descriptor", 0, true}, {"upright", 0, false},    {"mr-size", 0, true},
    {"patches", 0, true},    {"patch-size", 0, true},  {"recursive", 'r', false},
    {"skip-existing", 0, false}, {"summary", 0, true}};

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
    std::vector<BatchItem> batch;  // with outputDir: the images and their outputs
    bool skipExisting = false;
    std::string summaryFile;
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

void checkSingleImageRequest(const ParsedArguments& parsed, const DetectRequest& request)
{
    for (const char* option : {"recursive", "skip-existing", "summary"})
        if (parsed.has(option))
            throw UsageError(std::string("--") + option + " needs --out-dir DIR", kCommand);
    if (request.images.size() > 1)
        throw UsageError("several images need --out-dir DIR", kCommand);
    if (namesAFolder(request.images))
        throw UsageError("a folder of images needs --out-dir DIR", kCommand);
}

void batchRequestOf(const ParsedArguments& parsed, DetectRequest& request)
{
    const char* extension = request.describe ? extensionOf(request.frameFormat) : extensionOf(request.format);
    request.batch = batchItemsOf(request.images, parsed.has("recursive"), request.outputDir, extension, kCommand);
    if (request.batch.empty())
        throw Error(ErrorCode::FileAccess, "no images (.pgm, .ppm, .pnm, .png, .jpg, .jpeg) in the folders given");
    request.images.clear();
    for (const BatchItem& item : request.batch)
        request.images.push_back(item.image);
    request.skipExisting = parsed.has("skip-existing");
    if (parsed.has("summary"))
        request.summaryFile = parsed.options.at("summary");
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

    checkDetectorOptions(request.detector);
    if (request.images.empty())
        throw UsageError("no image given", kCommand);
    if (!request.outputFile.empty() && !request.outputDir.empty())
        throw UsageError("--output and --out-dir cannot be used together", kCommand);
    if (request.outputDir.empty())
        checkSingleImageRequest(parsed, request);
    else
        batchRequestOf(parsed, request);
    request.detector.threads = threadsOf(parsed, request);
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
            outputFile, [&](std::ostream& out) { writeRegions(out, request.format, info, regions, request.detector.threads); },
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
    std::map<FileIdentity, const std::string*> images;
    for (const std::string& image : request.images) {
        FileIdentity identity;
        if (identityOf(image, identity))
            images.emplace(identity, &image);
    }
    for (const std::string& output : outputs) {
        FileIdentity identity;
        const auto image = identityOf(output, identity) ? images.find(identity) : images.end();
        if (image != images.end()) {
            std::cerr << "tolvane: " << output << ": is the same file as the input " << *image->second
                      << "; not overwritten" << std::endl;
            return false;
        }
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
    writeRegions(std::cout, request.format, infoOf(request, image, detection), detection.regions,
                 request.detector.threads);
    std::cout.flush();
    reportLeftOut(image, detection.stats.singular);
    return kExitSuccess;
}

bool makeOutputDirs(const std::vector<BatchItem>& items)
{
    std::set<std::filesystem::path> made;
    for (const BatchItem& item : items) {
        const std::filesystem::path dir = std::filesystem::path(item.output).parent_path();
        if (dir.empty() || !made.insert(dir).second)
            continue;
        std::error_code failure;
        std::filesystem::create_directories(dir, failure);
        if (failure) {
            std::cerr << "tolvane: cannot create " << dir.string() << ": " << failure.message() << std::endl;
            return false;
        }
    }
    return true;
}

// The items still to do: with --skip-existing those whose output is not
// there yet.
std::vector<BatchItem> itemsToDo(const DetectRequest& request)
{
    if (!request.skipExisting)
        return request.batch;
    std::vector<BatchItem> toDo;
    for (const BatchItem& item : request.batch) {
        std::error_code failure;
        if (!std::filesystem::exists(item.output, failure))
            toDo.push_back(item);
    }
    return toDo;
}

bool writeSummaryFile(const std::string& path, const BatchSummary& summary)
{
    std::string error;
    if (writeTextOutputFile(path, [&](std::ostream& out) { writeSummaryJson(out, summary); }, error))
        return true;
    std::cerr << "tolvane: " << path << ": " << error << std::endl;
    return false;
}

int detectBatch(const DetectRequest& request)
{
    std::vector<std::string> outputs;
    for (const BatchItem& item : request.batch)
        outputs.push_back(item.output);
    if (!request.summaryFile.empty())
        outputs.push_back(request.summaryFile);
    if (!outputsSpareTheImages(request, outputs))
        return kExitFailure;
    // The worker processes inherit the module rather than each opening it.
    if (request.describe && request.frameFormat == FrameFormat::OpenCv)
        extensions();
    const std::vector<BatchItem> toDo = itemsToDo(request);
    if (!makeOutputDirs(toDo))
        return kExitFailure;
    const auto start = std::chrono::steady_clock::now();
    BatchSummary summary;
    summary.images = request.batch.size();
    summary.skipped = request.batch.size() - toDo.size();
    ProgressBar progress(std::cerr, toDo.size(), isatty(STDERR_FILENO) != 0);
    std::size_t done = 0;
    progress.show(0);
    runInWorkerProcesses(
        toDo.size(), request.jobs, [&](std::size_t i) { return detectToFile(request, toDo[i].image, toDo[i].output); },
        [&](std::size_t i, const TaskOutcome& outcome) {
            progress.clear();
            if (outcome.ok) {
                summary.regions += outcome.regions;
                reportLeftOut(toDo[i].image, outcome.withoutEllipse);
            } else {
                summary.failures.push_back({toDo[i].image, outcome.error});
                reportFailure(toDo[i].image, outcome.error);
            }
            progress.show(++done);
        });
    progress.clear();
    const std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
    summary.seconds = seconds.count();
    writeSummaryText(std::cout, summary);
    std::cout.flush();
    const bool summaryWritten = request.summaryFile.empty() || writeSummaryFile(request.summaryFile, summary);
    return summary.failures.empty() && summaryWritten ? kExitSuccess : kExitFailure;
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
