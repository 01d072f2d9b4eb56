// tolvane repeatability: how many regions of one image are found again in
// another image related to it by a homography.
#include "cli.h"
#include "commands.h"
#include "region_formats.h"
#include "repeatability.h"

#include <cstdio>
#include <fstream>
#include <iostream>

namespace tolvane {
namespace {

const char* const kCommand = "repeatability";

const char* const kUsage = R"(Usage: tolvane repeatability A.regions B.regions H.txt --size-a WxH --size-b WxH [--curve]
Measures the repeatability of the regions of image A in image B, where H.txt
holds the 3x3 homography (9 numbers, row after row) that maps the pixels of
A to those of B, and the region files are in the ellipse format.

Each region of A is projected into B through the affine approximation of H
at its centre. Only regions whose centre lies inside the other image count.
A pair is compared after both ellipses are scaled about their centres by the
factor that gives the projected region of A the area of a circle of radius
30 pixels; its overlap error is 1 - intersection / union. Pairs are matched
one to one in order of increasing error. Repeatability is the number of
pairs with an error below 40% over the smaller of the two region counts in
the common part.

      --size-a WxH   width and height of image A in pixels (required)
      --size-b WxH   width and height of image B in pixels (required)
      --curve        also print the figures for errors below 10%, 20%, ... 60%
  -h, --help         show this help
)";

const std::vector<OptionDefinition> kOptions = {
    {"size-a", 0, true}, {"size-b", 0, true}, {"curve", 0, false}, {"help", 'h', false}};

constexpr double kStandardThreshold = 0.4;
const std::vector<double> kCurveThresholds = {0.1, 0.2, 0.3, 0.4, 0.5, 0.6};

ImageSize sizeOption(const ParsedArguments& parsed, const std::string& name)
{
    if (!parsed.has(name))
        throw UsageError("--" + name + " WxH is required", kCommand);
    ImageSize size;
    parseSizeOption(name, parsed.options.at(name), size.width, size.height, kCommand);
    return size;
}

bool loadHomography(const std::string& path, Homography& h)
{
    std::ifstream file(path);
    std::string error;
    Homography inverse{};
    if (!file.is_open())
        error = "cannot open the file";
    else if (readHomography(file, h, error) && !invert(h, inverse))
        error = "the homography is singular";
    if (error.empty())
        return true;
    std::cerr << "tolvane: " << path << ": " << error << std::endl;
    return false;
}

bool loadEllipses(const std::string& path, std::vector<Ellipse>& ellipses)
{
    std::string error;
    if (readEllipseFile(path, ellipses, error))
        return true;
    std::cerr << "tolvane: " << path << ": " << error << std::endl;
    return false;
}

std::string percent(double fraction)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f%%", 100.0 * fraction);
    return text;
}

void printResult(const RepeatabilityResult& result, bool curve)
{
    std::cout << "regions: A " << result.regionsA << ", B " << result.regionsB << '\n'
              << "in the common part: A " << result.commonA << ", B " << result.commonB << '\n';
    const std::size_t standard = curve ? 3 : 0;
    std::cout << "correspondences (overlap error < 40%): " << result.correspondences[standard] << '\n'
              << "repeatability: " << percent(result.repeatability(standard)) << '\n';
    if (!curve)
        return;
    std::cout << "\noverlap error  correspondences  repeatability\n";
    for (std::size_t i = 0; i < result.thresholds.size(); ++i) {
        char line[80];
        std::snprintf(line, sizeof line, "%12s%17zu%15s\n", ("< " + percent(result.thresholds[i])).c_str(),
                      result.correspondences[i], percent(result.repeatability(i)).c_str());
        std::cout << line;
    }
}

}  // namespace

int runRepeatability(const std::vector<std::string>& args)
{
    const ParsedArguments parsed = parseArguments(args, kOptions, kCommand);
    if (parsed.has("help")) {
        std::cout << kUsage;
        return kExitSuccess;
    }
    if (parsed.operands.size() != 3)
        throw UsageError("expected two region files and a homography file", kCommand);
    const ImageSize sizeA = sizeOption(parsed, "size-a");
    const ImageSize sizeB = sizeOption(parsed, "size-b");
    const bool curve = parsed.has("curve");

    std::vector<Ellipse> a, b;
    Homography h{};
    if (!loadEllipses(parsed.operands[0], a) || !loadEllipses(parsed.operands[1], b) ||
        !loadHomography(parsed.operands[2], h))
        return kExitFailure;
    const std::vector<double> thresholds = curve ? kCurveThresholds : std::vector<double>{kStandardThreshold};
    printResult(measureRepeatability(a, b, h, sizeA, sizeB, thresholds), curve);
    std::cout.flush();
    return std::cout ? kExitSuccess : kExitFailure;
}

}  // namespace tolvane
