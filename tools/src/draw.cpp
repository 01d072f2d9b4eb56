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

}  // namespace

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

    for (const std::string& input : {imagePath, regionPath})
        if (isSameFile(outputPath, input)) {
            std::cerr << "tolvane: " << outputPath << ": is the same file as the input " << input << "; not overwritten"
                      << std::endl;
            return kExitFailure;
        }
    std::string error;
    const ImagePtr image = loadGreyImage(imagePath, readOptionsOf(parsed, kCommand), error);
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
    if (!writeOutputFile(
            outputPath, [&](const std::string& target, std::string& e) { return writePng(target, picture, e); },
            error)) {
        std::cerr << "tolvane: " << outputPath << ": " << error << std::endl;
        return kExitFailure;
    }
    return kExitSuccess;
}

}  // namespace tolvane
