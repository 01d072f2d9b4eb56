// tolvane draw: ellipses of a region file painted over the image.
#include "draw.h"

#include "cli.h"
#include "commands.h"
#include "output_file.h"
#include "region_files.h"

#include <algorithm>
#include <cmath>
#include <iostream>
#include <utility>
#include <vector>

namespace tolvane {
namespace {

const char* const kCommand = "draw";

const char* const kUsage = R"(Usage: tolvane draw IMAGE REGIONS -o OUT.png
Draws the ellipses of a region or frame file (any format but the legacy
listing) over the image, in grey, as a PNG picture: each ellipse's outline
and a cross at its centre.

  -o, --output FILE   the PNG file to write (required)
      --max-pixels N  refuse images of more than N pixels (default 100000000)
      --accept-damaged  draw on JPEGs with corrupt or missing data
  -h, --help          show this help

IMAGE is read as by 'tolvane detect' (- is standard input).
)";

const std::vector<OptionDefinition> kOptions = {
    {"output", 'o', true}, kMaxPixelsOption, kAcceptDamagedOption, {"help", 'h', false}};

struct Colour {
    unsigned char r, g, b;
};

const Colour kPalette[] = {{255, 48, 48}, {48, 220, 48}, {64, 128, 255},
                           {255, 220, 0}, {255, 0, 255}, {0, 230, 230}};

constexpr int kCrossArm = 2;
// Longest outline traced; bounds the work for absurdly large ellipses.
constexpr double kMaxOutlineSteps = 200000.0;
// Centres beyond this are far from any image; no cross arm reaches in.
constexpr float kFarOutside = 1e9f;

void paint(RasterImage& picture, long x, long y, const Colour& colour)
{
    if (x < 0 || y < 0 || x >= picture.width || y >= picture.height)
        return;
    unsigned char* pixel = picture.samples.data() + (static_cast<std::size_t>(y) * picture.width + x) * 3;
    pixel[0] = colour.r;
    pixel[1] = colour.g;
    pixel[2] = colour.b;
}

// Paints the pixel a point rounds to; the point is checked before it is
// rounded, so that no coordinate far outside the image is ever converted.
void paintPoint(RasterImage& picture, double x, double y, const Colour& colour)
{
    if (x > -0.5 && y > -0.5 && x < picture.width - 0.5 && y < picture.height - 0.5)
        paint(picture, std::lround(x), std::lround(y), colour);
}

// The outline point at angle t: centre + L (cos t, sin t), with L L^T the
// inverse of the ellipse's matrix (its Cholesky factor).
struct Outline {
    double x, y, l11, l21, l22;
    double steps;  // points traced around the whole outline
};

// The angles t with a cos t + b sin t >= c: all, none, or one arc [from, to].
struct Arc {
    bool all;
    bool none;
    double from, to;
};

Arc arcWhere(double a, double b, double c)
{
    const double r = std::hypot(a, b);
    if (r == 0.0 || c / r <= -1.0)
        return Arc{c <= 0.0, c > 0.0, 0.0, 0.0};
    if (c / r > 1.0)
        return Arc{false, true, 0.0, 0.0};
    const double middle = std::atan2(b, a);
    const double half = std::acos(c / r);
    return Arc{false, false, middle - half, middle + half};
}

double wrapped(double t)
{
    const double turn = 2.0 * M_PI;
    return t - turn * std::floor(t / turn);
}

// Whether the outline point at t lies in the image grown by one pixel.
bool nearImage(const Outline& o, double t, const RasterImage& picture)
{
    const double x = o.x + o.l11 * std::cos(t);
    const double y = o.y + o.l21 * std::cos(t) + o.l22 * std::sin(t);
    return x >= -1.0 && y >= -1.0 && x <= picture.width && y <= picture.height;
}

// The steps k (angles 2 pi k / steps) of the outline to trace: only those
// of the arcs that pass near the image, widened by a step at each end.
std::vector<std::pair<long, long>> stepRangesNearImage(const Outline& o, const RasterImage& picture)
{
    const Arc arcs[] = {arcWhere(o.l11, 0.0, -1.0 - o.x), arcWhere(-o.l11, 0.0, o.x - picture.width),
                        arcWhere(o.l21, o.l22, -1.0 - o.y), arcWhere(-o.l21, -o.l22, o.y - picture.height)};
    std::vector<double> bounds = {0.0, 2.0 * M_PI};
    for (const Arc& arc : arcs) {
        if (arc.none)
            return {};
        if (!arc.all) {
            bounds.push_back(wrapped(arc.from));
            bounds.push_back(wrapped(arc.to));
        }
    }
    std::sort(bounds.begin(), bounds.end());
    std::vector<std::pair<long, long>> ranges;
    const double perRadian = o.steps / (2.0 * M_PI);
    for (std::size_t i = 0; i + 1 < bounds.size(); ++i)
        if (nearImage(o, (bounds[i] + bounds[i + 1]) / 2.0, picture))
            ranges.emplace_back(std::max(0L, static_cast<long>(std::floor(bounds[i] * perRadian)) - 1),
                                std::min(static_cast<long>(o.steps) - 1,
                                         static_cast<long>(std::ceil(bounds[i + 1] * perRadian)) + 1));
    return ranges;
}

// Traces the outline in steps of at most half a pixel, which leave no gaps.
void paintOutline(RasterImage& picture, const Ellipse& e, const Colour& colour)
{
    const double det = e.a * e.c - e.b * e.b;
    const double s11 = e.c / det;
    const double s12 = -e.b / det;
    const double s22 = e.a / det;
    Outline o{e.x, e.y, std::sqrt(s11), 0.0, 0.0, 0.0};
    o.l21 = s12 / o.l11;
    o.l22 = std::sqrt(std::max(0.0, s22 - o.l21 * o.l21));
    if (!std::isfinite(o.l11) || !std::isfinite(o.l21) || !std::isfinite(o.l22))
        return;
    o.steps = std::min(kMaxOutlineSteps, std::ceil(4.0 * M_PI * std::sqrt(s11 + s22)) + 16.0);
    for (const auto& [first, last] : stepRangesNearImage(o, picture))
        for (long k = first; k <= last; ++k) {
            const double t = 2.0 * M_PI * static_cast<double>(k) / o.steps;
            paintPoint(picture, o.x + o.l11 * std::cos(t), o.y + o.l21 * std::cos(t) + o.l22 * std::sin(t),
                       colour);
        }
}

void paintCross(RasterImage& picture, const Ellipse& e, const Colour& colour)
{
    if (!(std::abs(e.x) < kFarOutside && std::abs(e.y) < kFarOutside))
        return;
    const long x = std::lround(e.x);
    const long y = std::lround(e.y);
    for (int d = -kCrossArm; d <= kCrossArm; ++d) {
        paint(picture, x + d, y, colour);
        paint(picture, x, y + d, colour);
    }
}

const Colour kInlier = {48, 220, 48};
const Colour kOutlier = {255, 48, 48};

void paintLine(RasterImage& picture, double x0, double y0, double x1, double y1, const Colour& colour)
{
    const double steps = std::min(kMaxOutlineSteps, std::ceil(std::max(std::fabs(x1 - x0), std::fabs(y1 - y0))));
    for (double k = 0; k <= steps; ++k) {
        const double t = steps > 0 ? k / steps : 0.0;
        paint(picture, std::lround(x0 + t * (x1 - x0)), std::lround(y0 + t * (y1 - y0)), colour);
    }
}

// Pixels of `image` as grey RGB into the picture, left edge at column `left`.
void copyGrey(const Image& image, RasterImage& picture, int left)
{
    for (int y = 0; y < image.height; ++y)
        for (int x = 0; x < image.width; ++x)
            std::fill_n(picture.samples.begin() + 3 * (static_cast<std::size_t>(y) * picture.width + left + x), 3,
                        image.pixels[static_cast<std::size_t>(y) * image.width + x]);
}

}  // namespace

RasterImage drawMatches(const Image& a, const Image& b, const std::vector<DrawnMatch>& matches, bool outlines)
{
    RasterImage picture;
    picture.width = a.width + b.width;
    picture.height = std::max(a.height, b.height);
    picture.channels = 3;
    picture.samples.assign(static_cast<std::size_t>(picture.width) * picture.height * 3, 0);
    copyGrey(a, picture, 0);
    copyGrey(b, picture, a.width);
    for (const DrawnMatch& m : matches) {
        const Colour& colour = m.inlier ? kInlier : kOutlier;
        Ellipse shifted = m.b;
        shifted.x += static_cast<float>(a.width);
        paintLine(picture, m.a.x, m.a.y, shifted.x, shifted.y, colour);
        if (outlines) {
            paintOutline(picture, m.a, colour);
            paintOutline(picture, shifted, colour);
        }
    }
    return picture;
}

RasterImage drawEllipses(const Image& image, const std::vector<Ellipse>& ellipses)
{
    RasterImage picture;
    picture.width = image.width;
    picture.height = image.height;
    picture.channels = 3;
    picture.samples.resize(image.pixels.size() * 3);
    for (std::size_t i = 0; i < image.pixels.size(); ++i)
        std::fill_n(picture.samples.begin() + 3 * i, 3, image.pixels[i]);
    for (std::size_t i = 0; i < ellipses.size(); ++i) {
        const Colour& colour = kPalette[i % std::size(kPalette)];
        paintOutline(picture, ellipses[i], colour);
        paintCross(picture, ellipses[i], colour);
    }
    return picture;
}

int runDraw(const std::vector<std::string>& args)
{
    const ParsedArguments parsed = parseArguments(args, kOptions, kCommand);
    if (parsed.has("help")) {
        std::cout << kUsage;
        return kExitSuccess;
    }
    if (parsed.operands.size() != 2)
        throw UsageError("expected an image and a region file", kCommand);
    if (!parsed.has("output"))
        throw UsageError("the output picture is missing (-o OUT.png)", kCommand);
    const std::string& imagePath = parsed.operands[0];
    const std::string& regionPath = parsed.operands[1];
    const std::string& outputPath = parsed.options.at("output");

    for (const std::string& input : {imagePath, regionPath})
        if (isSameFile(outputPath, input)) {
            std::cerr << "tolvane: " << outputPath << ": is the same file as the input " << input << "; not overwritten"
                      << std::endl;
            return kExitFailure;
        }
    Image image;
    try {
        image = readImage(imagePath, readOptionsOf(parsed, kCommand));
    } catch (const Error& e) {
        std::cerr << "tolvane: " << imagePath << ": " << e.what() << std::endl;
        return kExitFailure;
    }
    std::string error;
    std::vector<Ellipse> ellipses;
    if (!readEllipseFile(regionPath, ellipses, error)) {
        std::cerr << "tolvane: " << regionPath << ": " << error << std::endl;
        return kExitFailure;
    }
    const RasterImage picture = drawEllipses(image, ellipses);
    if (!writeOutputFile(
            outputPath, [&](const std::string& target, std::string& e) { return writePng(target, picture, e); },
            error)) {
        std::cerr << "tolvane: " << outputPath << ": " << error << std::endl;
        return kExitFailure;
    }
    return kExitSuccess;
}

}  // namespace tolvane
