// tolvane match: nearest-neighbour matches between the frames of two images
// (or frame files), verified by a robustly fitted homography or
// fundamental matrix.
#include "cli.h"
#include "commands.h"
#include "description.h"
#include "detection.h"
#include "draw.h"
#include "extensions.h"
#include "frame_formats.h"
#include "output_file.h"
#include "region_files.h"

#include <tolvane/error.h>
#include <tolvane/match.h>

#include <cmath>
#include <fstream>
#include <iostream>
#include <thread>

namespace tolvane {
namespace {

const char* const kCommand = "match";

const char* const kUsage = R"(Usage: tolvane match [OPTIONS] A B
Matches the regions of two images, or two frame files with descriptors made
by 'tolvane detect --descriptor', and fits a model to the matches.

  -d, --detector NAME   images: hessian (default) or harris
  -m, --mode NAME       images: exact (default) or refined (hessian only)
      --upsample        images, refined mode: detect on the images enlarged
                        twice (more regions and matches, slower)
  -t, --threshold T     images: response threshold (default 1000; refined:
                        500)
      --descriptor NAME images: sift (default) or rootsift
      --upright         images: frames without rotation
      --mr-size M       images: the descriptor covers M times the region
                        (default 3)
      --ratio R         keep a nearest neighbour only when nearer than R
                        times the second nearest (default 0.8; 1: all)
      --mutual          keep only pairs that are each other's nearest
      --model NAME      homography (default), fundamental or none
      --max-error PX    inlier threshold of the model, pixels (default 1.5:
                        region centres lie on the grid of their pyramid level)
  -f, --format NAME     csv (default) or json
  -o, --output FILE     write the matches to FILE, not standard output
      --model-output FILE  write the model: nine numbers, row after row
      --draw FILE       picture of the matches, PNG or JPEG by the extension:
                        A and B side by side (in colour when they have
                        colour), inliers green, others red (A and B images)
      --draw-regions    draw the matched regions' outlines too
      --threads N       threads (default: all cores)
  -h, --help            show this help

CSV has a line "a,b,distance,second,inlier" per match (frame indices, the
distances to the nearest and second nearest, 1 for an inlier). A summary of
the counts goes to standard error, or to standard output with --output.
)";

const std::vector<OptionDefinition> kOptions = {
    {"detector", 'd', true},  {"mode", 'm', true},      {"upsample", 0, false},     {"threshold", 't', true},
    {"descriptor", 0, true},  {"upright", 0, false},
    {"mr-size", 0, true},     {"ratio", 0, true},       {"mutual", 0, false},       {"model", 0, true},
    {"max-error", 0, true},   {"format", 'f', true},    {"output", 'o', true},      {"model-output", 0, true},
    {"draw", 0, true},        {"draw-regions", 0, false}, {"threads", 0, true},     {"help", 'h', false}};

constexpr int kMaxThreads = 1024;

struct MatchRequest {
    std::string a, b;
    DetectorOptions detector;
    DescribeOptions describe;
    MatchOptions match;
    ModelKind model = ModelKind::Homography;
    double maxError = 1.5;
    bool json = false;
    std::string output, modelOutput, drawing;
    PictureFormat drawingFormat = PictureFormat::Png;
    bool drawRegions = false;
};

template <typename Options>
void validated(const Options& options)
{
    try {
        options.validate();
    } catch (const Error& e) {
        throw UsageError(e.what(), kCommand);
    }
}

MatchRequest requestOf(const ParsedArguments& parsed)
{
    if (parsed.operands.size() != 2)
        throw UsageError("give two images or frame files", kCommand);
    MatchRequest r;
    r.a = parsed.operands[0];
    r.b = parsed.operands[1];
    const auto& o = parsed.options;
    r.detector = detectorOptionsOf(parsed, kCommand);
    if (parsed.has("descriptor") &&
        (!parseDescriptorKind(o.at("descriptor"), r.describe.descriptor) ||
         r.describe.descriptor == DescriptorKind::None))
        throw UsageError("unknown descriptor '" + o.at("descriptor") + "' (use sift or rootsift)", kCommand);
    r.describe.upright = parsed.has("upright");
    if (parsed.has("mr-size"))
        r.describe.mr_size = parseFloatOption("mr-size", o.at("mr-size"), kCommand);
    if (parsed.has("ratio"))
        r.match.ratio = parseFloatOption("ratio", o.at("ratio"), kCommand);
    r.match.mutual = parsed.has("mutual");
    if (parsed.has("model") && !parseModelKind(o.at("model"), r.model))
        throw UsageError("unknown model '" + o.at("model") + "' (use homography, fundamental or none)", kCommand);
    if (parsed.has("max-error")) {
        r.maxError = parseFloatOption("max-error", o.at("max-error"), kCommand);
        if (!(r.maxError > 0))
            throw UsageError("--max-error must be above 0", kCommand);
    }
    if (parsed.has("format")) {
        if (o.at("format") != "csv" && o.at("format") != "json")
            throw UsageError("unknown format '" + o.at("format") + "' (use csv or json)", kCommand);
        r.json = o.at("format") == "json";
    }
    if (parsed.has("output"))
        r.output = o.at("output");
    if (parsed.has("model-output"))
        r.modelOutput = o.at("model-output");
    if (parsed.has("draw")) {
        r.drawing = o.at("draw");
        r.drawingFormat = pictureFormatOf(r.drawing, kCommand);
    }
    r.drawRegions = parsed.has("draw-regions");
    const int threads = parsed.has("threads")
                            ? parseIntOption("threads", o.at("threads"), 1, kCommand, kMaxThreads)
                            : std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
    r.detector.threads = r.describe.threads = r.match.threads = threads;
    validated(r.detector);
    validated(r.describe);
    validated(r.match);
    return r;
}

bool looksLikeImage(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    const int first = in.get();
    return first == 'P' || first == 0x89 || first == 0xFF;
}

// The frames of an image (detected and described) or of a frame file.
struct Side {
    bool fromImage = false;  // false for a frame file
    FrameSet frames;
};

bool load(const MatchRequest& request, const std::string& path, Side& side, std::string& error)
{
    if (looksLikeImage(path)) {
        DescribedImage described;
        if (!describeFile(path, request.detector, ReadOptions{}, request.describe, described, error))
            return false;
        side.fromImage = true;
        side.frames = std::move(described.frames);
        return true;
    }
    if (!readFrameFile(path, side.frames, error))
        return false;
    if (side.frames.length == 0) {
        error = "the frame file has no descriptors";
        return false;
    }
    return true;
}

Ellipse ellipseOfFrame(const Frame& f)
{
    const FrameEllipse e = ellipseOf(f);
    return Ellipse{f.x, f.y, e.a, e.b, e.c};
}

void writeCsv(std::ostream& out, const std::vector<Match>& matches, const ModelFit& fit)
{
    out << "a,b,distance,second,inlier\n";
    for (std::size_t i = 0; i < matches.size(); ++i) {
        const Match& m = matches[i];
        out << m.a << ',' << m.b << ',' << formatNumber(m.distance) << ','
            << (std::isfinite(m.second) ? formatNumber(m.second) : "inf") << ',' << (fit.inlier[i] ? 1 : 0) << '\n';
    }
}

std::size_t inlierCount(const ModelFit& fit)
{
    std::size_t count = 0;
    for (bool inlier : fit.inlier)
        count += inlier;
    return count;
}

void writeJson(std::ostream& out, const MatchRequest& request, const Side& a, const Side& b,
               const std::vector<Match>& matches, const ModelFit& fit)
{
    out << "{\"frames_a\": " << a.frames.frames.size() << ", \"frames_b\": " << b.frames.frames.size()
        << ", \"matches\": " << matches.size() << ", \"inliers\": " << inlierCount(fit) << ", \"model\": \""
        << nameOf(request.model) << "\", \"matrix\": ";
    if (fit.found) {
        out << '[';
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c < 3; ++c)
                out << (r || c ? ", " : "") << formatNumber(fit.m[r][c]);
        out << ']';
    } else {
        out << "null";
    }
    out << ",\n \"pairs\": [";
    for (std::size_t i = 0; i < matches.size(); ++i) {
        const Match& m = matches[i];
        out << (i ? ",\n  " : "\n  ") << "{\"a\": " << m.a << ", \"b\": " << m.b
            << ", \"distance\": " << formatNumber(m.distance) << ", \"second\": "
            << (std::isfinite(m.second) ? formatNumber(m.second) : "null")
            << ", \"inlier\": " << (fit.inlier[i] ? "true" : "false") << '}';
    }
    out << "\n]}\n";
}

void writeModel(std::ostream& out, const ModelFit& fit)
{
    for (const auto& row : fit.m)
        out << formatNumber(row[0]) << ' ' << formatNumber(row[1]) << ' ' << formatNumber(row[2]) << '\n';
}

int fail(const std::string& what, const std::string& reason)
{
    std::cerr << "tolvane: " << what << ": " << reason << std::endl;
    return kExitFailure;
}

}  // namespace

int runMatch(const std::vector<std::string>& args)
{
    const ParsedArguments parsed = parseArguments(args, kOptions, kCommand);
    if (parsed.has("help")) {
        std::cout << kUsage;
        return kExitSuccess;
    }
    const MatchRequest request = requestOf(parsed);
    Side a, b;
    std::string error;
    if (!load(request, request.a, a, error))
        return fail(request.a, error);
    if (!load(request, request.b, b, error))
        return fail(request.b, error);
    if (a.frames.length != b.frames.length)
        return fail(request.b, "descriptor length " + std::to_string(b.frames.length) + " differs from " +
                                   std::to_string(a.frames.length) + " of " + request.a);
    const std::vector<Match> matches =
        match(DescriptorSet::of(a.frames.descriptors, a.frames.length),
              DescriptorSet::of(b.frames.descriptors, b.frames.length), request.match);
    std::vector<PointPair> pairs;
    for (const Match& m : matches) {
        const Frame& fa = a.frames.frames[m.a];
        const Frame& fb = b.frames.frames[m.b];
        pairs.push_back({fa.x, fa.y, fb.x, fb.y});
    }
    const ModelFit fit = callExtension(&Extensions::fitModel, request.model, pairs, request.maxError);

    auto write = [&](std::ostream& out) {
        if (request.json)
            writeJson(out, request, a, b, matches, fit);
        else
            writeCsv(out, matches, fit);
    };
    if (request.output.empty()) {
        write(std::cout);
        std::cout.flush();
        if (!std::cout)
            return fail("standard output", "cannot write");
    } else if (!writeTextOutputFile(request.output, write, error)) {
        return fail(request.output, error);
    }
    if (!request.modelOutput.empty()) {
        if (!fit.found)
            return fail(request.modelOutput, "no model was found");
        if (!writeTextOutputFile(request.modelOutput, [&](std::ostream& out) { writeModel(out, fit); }, error))
            return fail(request.modelOutput, error);
    }
    if (!request.drawing.empty()) {
        if (!a.fromImage || !b.fromImage)
            return fail(request.drawing, "drawing needs two images, not frame files");
        RasterImage pictureA, pictureB;
        if (!readPicture(request.a, ReadOptions{}, pictureA, error))
            return fail(request.a, error);
        if (!readPicture(request.b, ReadOptions{}, pictureB, error))
            return fail(request.b, error);
        std::vector<DrawnMatch> drawn;
        for (std::size_t i = 0; i < matches.size(); ++i)
            drawn.push_back({ellipseOfFrame(a.frames.frames[matches[i].a]),
                             ellipseOfFrame(b.frames.frames[matches[i].b]), fit.inlier[i]});
        const RasterImage picture = drawMatches(pictureA, pictureB, drawn, request.drawRegions);
        if (!writePicture(request.drawing, request.drawingFormat, picture, error))
            return fail(request.drawing, error);
    }
    std::ostream& summary = request.output.empty() ? std::cerr : std::cout;
    summary << "frames: A " << a.frames.frames.size() << ", B " << b.frames.frames.size() << "; matches "
            << matches.size() << "; inliers " << inlierCount(fit) << " ("
            << (fit.found ? nameOf(request.model) : "no model") << ")" << std::endl;
    return kExitSuccess;
}

}  // namespace tolvane
