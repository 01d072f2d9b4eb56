// tolvane colmap: the affine regions and SIFT descriptors of images written
// into a COLMAP database.
#include "cli.h"
#include "commands.h"
#include "description.h"
#include "detection.h"
#include "extensions.h"

#include <tolvane/error.h>

#include <filesystem>
#include <iostream>
#include <memory>
#include <set>
#include <thread>

namespace tolvane {
namespace {

const char* const kCommand = "colmap";

const char* const kUsage = R"(Usage: tolvane colmap [OPTIONS] DATABASE IMAGE...
Detects the regions of the images, describes them with SIFT descriptors and
writes cameras, images, keypoints with their affine shapes (x y a11 a12 a21
a22) and descriptors into the COLMAP database DATABASE, created when it does
not exist, added to when it does. COLMAP's matchers and mapper then run on it:

  tolvane colmap db.db images/*.jpg
  colmap exhaustive_matcher --database_path db.db
  colmap mapper --database_path db.db --image_path images --output_path sparse

  -d, --detector NAME   hessian (default) or harris
  -m, --mode NAME       exact (default) or refined
      --upsample        refined mode: detect on the image enlarged twice
  -t, --threshold T     response threshold of the detector
  -i, --iterations N    affine adaptation budget (default 16)
  -n, --max-regions N   keep the N strongest regions (default 0: all)
      --image-path DIR  name each image by its path relative to DIR, the
                        folder COLMAP is given (default: the file name)
      --threads N       threads (default: all cores)
      --max-pixels N    refuse images of more than N pixels
      --accept-damaged  detect on JPEGs with corrupt or missing data
  -h, --help            show this help

Each image gets its own camera: SIMPLE_RADIAL with the focal length 1.2
times the larger side, as COLMAP assumes without EXIF data. Image names
already in the database, or given twice, are refused before anything is
written. An image that cannot be read is reported and the others written;
the exit status is then 1.
)";

const std::vector<OptionDefinition> kOptions = {
    {"detector", 'd', true},    {"mode", 'm', true},       {"upsample", 0, false}, {"threshold", 't', true},
    {"iterations", 'i', true},  {"max-regions", 'n', true}, {"image-path", 0, true}, {"threads", 0, true},
    kMaxPixelsOption,           kAcceptDamagedOption,       {"help", 'h', false}};

constexpr int kMaxThreads = 1024;

struct ColmapRequest {
    std::string database;
    std::vector<std::string> images;
    std::vector<std::string> names;  // one per image
    DetectorOptions detector;
    DescribeOptions describe;
    ReadOptions reading;
};

// The image's name in the database: its path relative to the image folder.
std::string databaseNameOf(const std::string& image, const ParsedArguments& parsed)
{
    namespace fs = std::filesystem;
    if (!parsed.has("image-path"))
        return fs::path(image).filename().string();
    const fs::path relative =
        fs::absolute(image).lexically_normal().lexically_relative(fs::absolute(parsed.options.at("image-path")));
    if (relative.empty() || *relative.begin() == "..")
        throw UsageError(image + " is not inside --image-path " + parsed.options.at("image-path"), kCommand);
    return relative.generic_string();
}

ColmapRequest requestOf(const ParsedArguments& parsed)
{
    if (parsed.operands.size() < 2)
        throw UsageError("expected a database and at least one image", kCommand);
    ColmapRequest request;
    request.database = parsed.operands.front();
    request.images.assign(parsed.operands.begin() + 1, parsed.operands.end());
    request.detector = detectorOptionsOf(parsed, kCommand);
    request.detector.threads = parsed.has("threads")
                                   ? parseIntOption("threads", parsed.options.at("threads"), 1, kCommand, kMaxThreads)
                                   : std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
    request.describe.threads = request.detector.threads;
    request.reading = readOptionsOf(parsed, kCommand);
    try {
        request.detector.validate();
    } catch (const Error& e) {
        throw UsageError(e.what(), kCommand);
    }
    std::set<std::string> seen;
    for (const std::string& image : request.images) {
        request.names.push_back(databaseNameOf(image, parsed));
        if (!seen.insert(request.names.back()).second)
            throw UsageError("two images are both named " + request.names.back() + " (use --image-path)", kCommand);
    }
    return request;
}

// A database opened through the module, closed at the end of the scope.
struct DatabaseCloser {
    void operator()(ColmapDatabase* database) const { extensions().closeColmapDatabase(database); }
};
using OpenDatabase = std::unique_ptr<ColmapDatabase, DatabaseCloser>;

bool namesAreNew(const ColmapRequest& request, const OpenDatabase& database)
{
    for (std::size_t i = 0; i < request.images.size(); ++i)
        if (callExtension(&Extensions::hasColmapImageNamed, database.get(), request.names[i])) {
            std::cerr << "tolvane: " << request.database << ": already has an image named " << request.names[i]
                      << " (" << request.images[i] << "); nothing written" << std::endl;
            return false;
        }
    return true;
}

// Describes and writes one image; false after reporting why not.
bool addImage(const ColmapRequest& request, std::size_t i, const OpenDatabase& database, std::size_t& keypoints)
{
    const std::string& image = request.images[i];
    DescribedImage described;
    std::string error;
    if (!describeFile(image, request.detector, request.reading, request.describe, described, error)) {
        std::cerr << "tolvane: " << image << ": " << error << std::endl;
        return false;
    }
    callExtension(&Extensions::addColmapImage, database.get(),
                  ColmapImage{request.names[i], described.image.width, described.image.height, &described.frames});
    keypoints += described.frames.frames.size();
    return true;
}

}  // namespace

int runColmap(const std::vector<std::string>& args)
{
    const ParsedArguments parsed = parseArguments(args, kOptions, kCommand);
    if (parsed.has("help")) {
        std::cout << kUsage;
        return kExitSuccess;
    }
    const ColmapRequest request = requestOf(parsed);
    std::size_t failed = 0, keypoints = 0;
    try {
        const OpenDatabase database(callExtension(&Extensions::openColmapDatabase, request.database));
        if (!namesAreNew(request, database))
            return kExitFailure;
        for (std::size_t i = 0; i < request.images.size(); ++i)
            failed += !addImage(request, i, database, keypoints);
    } catch (const Error& e) {
        std::cerr << "tolvane: " << request.database << ": " << e.what() << std::endl;
        return kExitFailure;
    }
    std::cout << request.images.size() << " images, " << failed << " failed, " << keypoints << " keypoints"
              << std::endl;
    return failed == 0 ? kExitSuccess : kExitFailure;
}

}  // namespace tolvane
