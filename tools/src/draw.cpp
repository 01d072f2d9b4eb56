// tolvane draw: ellipses of a region file painted over the image.
#include "draw.h"

#include "cli.h"
#include "commands.h"
#include "output_file.h"
#include "region_formats.h"

#include <algorithm>
#include <cmath>
#include <iostream>

namespace tolvane {
namespace {

const char* const kCommand = "draw";

const char* const kUsage = R"(Usage: tolvane draw IMAGE REGIONS -o OUT.png
Draws the ellipses of a region file in the ellipse format over the image, in
grey, as a PNG picture: each ellipse's outline and a cross at its centre.

  -o, --output FILE   the PNG file to write (required)
  -h, --help          show this help
)";

const std::vector<OptionDefinition> kOptions = {{"output", 'o', true}, {"help", 'h', false}};

struct Colour {
    unsigned char r, g, b;
};

const Colour kPalette[] = {{255, 48, 48}, {48, 220, 48}, {64, 128, 255},
                           {255, 220, 0}, {255, 0, 255}, {0, 230, 230}};

constexpr int kCrossArm = 2;
// Longest outline traced; bounds the work for absurdly large ellipses.
constexpr double kMaxOutlineSteps = 200000.0;

void paint(RasterImage& picture, long x, long y, const Colour& colour)
{
    if (x < 0 || y < 0 || x >= picture.width || y >= picture.height)
        return;
    unsigned char* pixel = picture.samples.data() + (static_cast<std::size_t>(y) * picture.width + x) * 3;
    pixel[0] = colour.r;
    pixel[1] = colour.g;
    pixel[2] = colour.b;
}

// Points centre + L (cos t, sin t), with L L^T the inverse of the ellipse's
// matrix (its Cholesky factor), trace the outline; steps of at most half a
// pixel leave no gaps.
void paintOutline(RasterImage& picture, const Ellipse& e, const Colour& colour)
{
    const double det = e.a * e.c - e.b * e.b;
    const double s11 = e.c / det;
    const double s12 = -e.b / det;
    const double s22 = e.a / det;
    const double l11 = std::sqrt(s11);
    const double l21 = s12 / l11;
    const double l22 = std::sqrt(std::max(0.0, s22 - l21 * l21));
    const double steps = std::min(kMaxOutlineSteps, std::ceil(4.0 * M_PI * std::sqrt(s11 + s22)) + 16.0);
    for (double k = 0; k < steps; ++k) {
        const double t = 2.0 * M_PI * k / steps;
        const double x = e.x + l11 * std::cos(t);
        const double y = e.y + l21 * std::cos(t) + l22 * std::sin(t);
        paint(picture, std::lround(x), std::lround(y), colour);
    }
}

void paintCross(RasterImage& picture, const Ellipse& e, const Colour& colour)
{
    const long x = std::lround(e.x);
    const long y = std::lround(e.y);
    for (int d = -kCrossArm; d <= kCrossArm; ++d) {
        paint(picture, x + d, y, colour);
        paint(picture, x, y + d, colour);
    }
}

unsigned char greyLevel(float value)
{
    return static_cast<unsigned char>(std::lround(std::clamp(value, 0.0f, 255.0f)));
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
void copyGrey(const DERY& image, RasterImage& picture, int left)
{
    for (int y = 0; y < image.rows; ++y)
        for (int x = 0; x < image.cols; ++x)
            std::fill_n(picture.samples.begin() + 3 * (static_cast<std::size_t>(y) * picture.width + left + x), 3,
                        greyLevel(image.pixels[y][x]));
}

}  // namespace

RasterImage drawMatches(const DERY& a, const DERY& b, const std::vector<DrawnMatch>& matches, bool outlines)
{
    RasterImage picture;
    picture.width = a.cols + b.cols;
    picture.height = std::max(a.rows, b.rows);
    picture.channels = 3;
    picture.samples.assign(static_cast<std::size_t>(picture.width) * picture.height * 3, 0);
    copyGrey(a, picture, 0);
    copyGrey(b, picture, a.cols);
    for (const DrawnMatch& m : matches) {
        const Colour& colour = m.inlier ? kInlier : kOutlier;
        Ellipse shifted = m.b;
        shifted.x += static_cast<float>(a.cols);
        paintLine(picture, m.a.x, m.a.y, shifted.x, shifted.y, colour);
        if (outlines) {
            paintOutline(picture, m.a, colour);
            paintOutline(picture, shifted, colour);
        }
    }
    return picture;
}

RasterImage drawEllipses(const DERY& image, const std::vector<Ellipse>& ellipses)
{
    RasterImage picture;
    picture.width = image.cols;
    picture.height = image.rows;
    picture.channels = 3;
    picture.samples.resize(static_cast<std::size_t>(image.size) * 3);
    for (int i = 0; i < image.size; ++i)
        std::fill_n(picture.samples.begin() + 3 * static_cast<std::size_t>(i), 3, greyLevel(image.pixels[0][i]));
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

    std::string error;
    const ImagePtr image = loadGreyImage(imagePath, error);
    if (!image) {
        std::cerr << "tolvane: " << imagePath << ": " << error << std::endl;
        return kExitFailure;
    }
    std::vector<Ellipse> ellipses;
    if (!readEllipseFile(regionPath, ellipses, error)) {
        std::cerr << "tolvane: " << regionPath << ": " << error << std::endl;
        return kExitFailure;
    }
    const RasterImage picture = drawEllipses(*image, ellipses);
    if (!replaceFileAtomically(
            outputPath, [&](const std::string& tempPath, std::string& e) { return writePng(tempPath, picture, e); },
            error)) {
        std::cerr << "tolvane: " << outputPath << ": " << error << std::endl;
        return kExitFailure;
    }
    return kExitSuccess;
}

}  // namespace tolvane
