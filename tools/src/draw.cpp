// tolvane draw: ellipses of a region file painted over the image.
#include "draw.h"

#include "cli.h"
#include "commands.h"
#include "output_file.h"
#include "region_files.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iostream>
#include <utility>
#include <vector>

#include <strings.h>

namespace tolvane {
namespace {

const char* const kCommand = "draw";

const char* const kUsage = R"(Usage: tolvane draw IMAGE REGIONS -o OUT.png
Draws the ellipses of a region or frame file (any format but the legacy
listing) over the image: each ellipse's outline and a cross at its centre,
on the picture in colour when the image has colour; lines are wider on large
images.

  -o, --output FILE   the picture to write, PNG or JPEG by its extension
                      (.png, .jpg or .jpeg; required)
  -n, --max N         draw only the N strongest regions by |response|
                      (default 0: all; needs a CSV or JSON region file)
      --color-by WHAT none (default: colours cycle in file order), scale or
                      response (from blue for the smallest through green and
                      yellow to red for the largest, by rank; response needs
                      a CSV or JSON region file)
      --max-pixels N  refuse images of more than N pixels (default 100000000)
      --accept-damaged  draw on JPEGs with corrupt or missing data
  -h, --help          show this help

IMAGE is read as by 'tolvane detect' (- is standard input).
)";

const std::vector<OptionDefinition> kOptions = {{"output", 'o', true},     {"max", 'n', true},
                                                {"color-by", 0, true},     kMaxPixelsOption,
                                                kAcceptDamagedOption,      {"help", 'h', false}};

constexpr int kJpegQuality = 92;

struct Colour {
    unsigned char r, g, b;
};

// What a line is painted with.
struct Pen {
    Colour colour;
    int width;
};

const Colour kPalette[] = {{255, 48, 48}, {48, 220, 48}, {64, 128, 255},
                           {255, 220, 0}, {255, 0, 255}, {0, 230, 230}};

// From smallest to largest.
const Colour kRamp[] = {{64, 128, 255}, {0, 230, 230}, {48, 220, 48}, {255, 220, 0}, {255, 48, 48}};

constexpr int kCrossArm = 2;  // pixels per unit of line width
// Longest outline traced; bounds the work for absurdly large ellipses.
constexpr double kMaxOutlineSteps = 200000.0;
// Centres beyond this are far from any image; no cross arm reaches in.
constexpr float kFarOutside = 1e9f;

void paintPixel(RasterImage& picture, long x, long y, const Colour& colour)
{
    if (x < 0 || y < 0 || x >= picture.width || y >= picture.height)
        return;
    unsigned char* pixel = picture.samples.data() + (static_cast<std::size_t>(y) * picture.width + x) * 3;
    pixel[0] = colour.r;
    pixel[1] = colour.g;
    pixel[2] = colour.b;
}

// A square of the pen's width around the pixel (x, y).
void paint(RasterImage& picture, long x, long y, const Pen& pen)
{
    const long low = -(pen.width - 1) / 2;
    const long high = pen.width / 2;
    for (long dy = low; dy <= high; ++dy)
        for (long dx = low; dx <= high; ++dx)
            paintPixel(picture, x + dx, y + dy, pen.colour);
}

// Paints the pixel a point rounds to; the point is checked before it is
// rounded, so that no coordinate far outside the image is ever converted.
void paintPoint(RasterImage& picture, double x, double y, const Pen& pen)
{
    if (x > -0.5 && y > -0.5 && x < picture.width - 0.5 && y < picture.height - 0.5)
        paint(picture, std::lround(x), std::lround(y), pen);
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
void paintOutline(RasterImage& picture, const Ellipse& e, const Pen& pen)
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
            paintPoint(picture, o.x + o.l11 * std::cos(t), o.y + o.l21 * std::cos(t) + o.l22 * std::sin(t), pen);
        }
}

void paintCross(RasterImage& picture, const Ellipse& e, const Pen& pen)
{
    if (!(std::abs(e.x) < kFarOutside && std::abs(e.y) < kFarOutside))
        return;
    const long x = std::lround(e.x);
    const long y = std::lround(e.y);
    const int arm = kCrossArm * pen.width;
    for (int d = -arm; d <= arm; ++d) {
        paint(picture, x + d, y, pen);
        paint(picture, x, y + d, pen);
    }
}

const Colour kInlier = {48, 220, 48};
const Colour kOutlier = {255, 48, 48};

void paintLine(RasterImage& picture, double x0, double y0, double x1, double y1, const Pen& pen)
{
    const double steps = std::min(kMaxOutlineSteps, std::ceil(std::max(std::fabs(x1 - x0), std::fabs(y1 - y0))));
    for (double k = 0; k <= steps; ++k) {
        const double t = steps > 0 ? k / steps : 0.0;
        paint(picture, std::lround(x0 + t * (x1 - x0)), std::lround(y0 + t * (y1 - y0)), pen);
    }
}

// The samples of a grey or RGB raster as RGB into the picture, left edge at
// column `left`.
void copyAsRgb(const RasterImage& raster, RasterImage& picture, int left)
{
    for (int y = 0; y < raster.height; ++y)
        for (int x = 0; x < raster.width; ++x) {
            const std::size_t from = (static_cast<std::size_t>(y) * raster.width + x) * raster.channels;
            auto to = picture.samples.begin() + 3 * (static_cast<std::size_t>(y) * picture.width + left + x);
            if (raster.channels == 3)
                std::copy_n(raster.samples.begin() + from, 3, to);
            else
                std::fill_n(to, 3, raster.samples[from]);
        }
}

RasterImage blankPicture(int width, int height)
{
    RasterImage picture;
    picture.width = width;
    picture.height = height;
    picture.channels = 3;
    picture.samples.assign(static_cast<std::size_t>(width) * height * 3, 0);
    return picture;
}

// The indices of the `max` ellipses of largest |response| (all when max is
// 0), in file order.
std::vector<std::size_t> drawnIndices(std::size_t count, const std::vector<float>& responses, std::size_t max)
{
    std::vector<std::size_t> indices(count);
    for (std::size_t i = 0; i < count; ++i)
        indices[i] = i;
    if (max == 0 || max >= count)
        return indices;
    std::stable_sort(indices.begin(), indices.end(),
                     [&](std::size_t a, std::size_t b) { return std::fabs(responses[a]) > std::fabs(responses[b]); });
    indices.resize(max);
    std::sort(indices.begin(), indices.end());
    return indices;
}

// Geometric mean of the semi-axes: det([[a, b], [b, c]])^(-1/4).
double scaleOf(const Ellipse& e)
{
    return std::pow(e.a * e.c - e.b * e.b, -0.25);
}

Colour rampColour(std::size_t rank, std::size_t count)
{
    const double t = count > 1 ? static_cast<double>(rank) / static_cast<double>(count - 1) : 0.5;
    const double position = t * static_cast<double>(std::size(kRamp) - 1);
    const std::size_t low = std::min(static_cast<std::size_t>(position), std::size(kRamp) - 2);
    const double f = position - static_cast<double>(low);
    const auto mix = [f](unsigned char p, unsigned char q) {
        return static_cast<unsigned char>(std::lround(p + f * (q - p)));
    };
    const Colour& p = kRamp[low];
    const Colour& q = kRamp[low + 1];
    return Colour{mix(p.r, q.r), mix(p.g, q.g), mix(p.b, q.b)};
}

// One colour per drawn ellipse.
std::vector<Colour> coloursOf(const std::vector<std::size_t>& drawn, const std::vector<Ellipse>& ellipses,
                              const std::vector<float>& responses, ColourBy colourBy)
{
    std::vector<Colour> colours(drawn.size());
    if (colourBy == ColourBy::None) {
        for (std::size_t k = 0; k < drawn.size(); ++k)
            colours[k] = kPalette[k % std::size(kPalette)];
        return colours;
    }
    std::vector<double> keys(drawn.size());
    for (std::size_t k = 0; k < drawn.size(); ++k)
        keys[k] = colourBy == ColourBy::Scale ? scaleOf(ellipses[drawn[k]]) : std::fabs(responses[drawn[k]]);
    std::vector<std::size_t> order(drawn.size());
    for (std::size_t k = 0; k < order.size(); ++k)
        order[k] = k;
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return keys[a] < keys[b]; });
    for (std::size_t rank = 0; rank < order.size(); ++rank)
        colours[order[rank]] = rampColour(rank, order.size());
    return colours;
}

bool hasExtension(const std::string& path, const char* extension)
{
    const std::size_t length = std::strlen(extension);
    return path.size() >= length && strcasecmp(path.c_str() + path.size() - length, extension) == 0;
}

}  // namespace

bool parseColourBy(const std::string& name, ColourBy& colourBy)
{
    static const std::pair<const char*, ColourBy> kNames[] = {
        {"none", ColourBy::None}, {"scale", ColourBy::Scale}, {"response", ColourBy::Response}};
    for (const auto& [text, value] : kNames)
        if (name == text) {
            colourBy = value;
            return true;
        }
    return false;
}

int lineWidthOf(int width, int height)
{
    return 1 + std::max(width, height) / 1500;
}

RasterImage drawMatches(const RasterImage& a, const RasterImage& b, const std::vector<DrawnMatch>& matches,
                        bool outlines)
{
    RasterImage picture = blankPicture(a.width + b.width, std::max(a.height, b.height));
    copyAsRgb(a, picture, 0);
    copyAsRgb(b, picture, a.width);
    const int width = lineWidthOf(picture.width, picture.height);
    for (const DrawnMatch& m : matches) {
        const Pen pen{m.inlier ? kInlier : kOutlier, width};
        Ellipse shifted = m.b;
        shifted.x += static_cast<float>(a.width);
        paintLine(picture, m.a.x, m.a.y, shifted.x, shifted.y, pen);
        if (outlines) {
            paintOutline(picture, m.a, pen);
            paintOutline(picture, shifted, pen);
        }
    }
    return picture;
}

RasterImage drawEllipses(const RasterImage& background, const std::vector<Ellipse>& ellipses,
                         const std::vector<float>& responses, const DrawOptions& options)
{
    RasterImage picture = blankPicture(background.width, background.height);
    copyAsRgb(background, picture, 0);
    const std::vector<std::size_t> drawn = drawnIndices(ellipses.size(), responses, options.max);
    const std::vector<Colour> colours = coloursOf(drawn, ellipses, responses, options.colourBy);
    const int width = lineWidthOf(picture.width, picture.height);
    for (std::size_t k = 0; k < drawn.size(); ++k) {
        const Pen pen{colours[k], width};
        paintOutline(picture, ellipses[drawn[k]], pen);
        paintCross(picture, ellipses[drawn[k]], pen);
    }
    return picture;
}

PictureFormat pictureFormatOf(const std::string& path, const std::string& command)
{
    if (hasExtension(path, ".png"))
        return PictureFormat::Png;
    if (hasExtension(path, ".jpg") || hasExtension(path, ".jpeg"))
        return PictureFormat::Jpeg;
    throw UsageError("cannot tell the picture format of " + path + " (use .png, .jpg or .jpeg)", command);
}

bool readPicture(const std::string& path, const ReadOptions& options, RasterImage& picture, std::string& error)
{
    std::string bytes;
    return readImageBytes(path, options, bytes, error) && decodeRaster(bytes, options, picture, error, true);
}

bool writePicture(const std::string& path, PictureFormat format, const RasterImage& picture, std::string& error)
{
    return writeOutputFile(
        path,
        [&](const std::string& target, std::string& e) {
            return format == PictureFormat::Png ? writePng(target, picture, e)
                                                : writeJpeg(target, picture, kJpegQuality, e);
        },
        error);
}

namespace {

DrawOptions drawOptionsOf(const ParsedArguments& parsed)
{
    DrawOptions options;
    if (parsed.has("max"))
        options.max = static_cast<std::size_t>(parseIntOption("max", parsed.options.at("max"), 0, kCommand));
    if (parsed.has("color-by") && !parseColourBy(parsed.options.at("color-by"), options.colourBy))
        throw UsageError("unknown --color-by '" + parsed.options.at("color-by") + "' (use none, scale or response)",
                         kCommand);
    return options;
}

int fail(const std::string& what, const std::string& reason)
{
    std::cerr << "tolvane: " << what << ": " << reason << std::endl;
    return kExitFailure;
}

}  // namespace

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
    const PictureFormat format = pictureFormatOf(outputPath, kCommand);
    const DrawOptions options = drawOptionsOf(parsed);

    for (const std::string& input : {imagePath, regionPath})
        if (isSameFile(outputPath, input))
            return fail(outputPath, "is the same file as the input " + input + "; not overwritten");
    std::string error;
    RasterImage background;
    if (!readPicture(imagePath, readOptionsOf(parsed, kCommand), background, error))
        return fail(imagePath, error);
    RegionFile regions;
    if (!readRegionFile(regionPath, regions, error))
        return fail(regionPath, error);
    if ((options.max > 0 || options.colourBy == ColourBy::Response) &&
        regions.responses.size() != regions.ellipses.size())
        return fail(regionPath, "the file records no responses, which --max and --color-by response need "
                                "(detect --format csv or json writes them)");
    const RasterImage picture = drawEllipses(background, regions.ellipses, regions.responses, options);
    if (!writePicture(outputPath, format, picture, error))
        return fail(outputPath, error);
    return kExitSuccess;
}

}  // namespace tolvane
