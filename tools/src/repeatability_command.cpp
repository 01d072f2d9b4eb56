// tolvane repeatability: how many regions of one image are found again in
// another image related to it by a homography.
#include "cli.h"
#include "commands.h"
#include "frame_formats.h"
#include "region_files.h"
#include "repeatability.h"

#include <tolvane/match.h>

#include <cstdio>
#include <fstream>
#include <iostream>

namespace tolvane {
namespace {

const char* const kCommand = "repeatability";

const char* const kUsage = R"(Usage: tolvane repeatability A.regions B.regions H.txt [--size-a WxH --size-b WxH] [--curve]
Measures the repeatability of the regions of image A in image B, where H.txt
holds the 3x3 homography (9 numbers, row after row) that maps the pixels of
A to those of B. The region files may be in any format 'tolvane detect'
writes but the legacy listing.

Each region of A is projected into B through the affine approximation of H
at its centre. Only regions whose centre lies inside the other image count.
A pair is compared after both ellipses are scaled about their centres by the
factor that gives the projected region of A the area of a circle of radius
30 pixels; its overlap error is 1 - intersection / union. Pairs are matched
one to one in order of increasing error. Repeatability is the number of
pairs with an error below 40% over the smaller of the two region counts in
the common part.

      --size-a WxH   width and height of image A in pixels (required unless
                     the region file records them: JSON and OpenCV do)
      --size-b WxH   width and height of image B in pixels (likewise)
      --curve        also print the figures for errors below 10%, 20%, ... 60%
      --matching-score  also the matching score: of each region of A's
                     nearest neighbour in B by descriptor, the pairs that
                     are correspondences (overlap error < 40%), over the
                     smaller count in the common part. The region files
                     must carry descriptors (tolvane detect --descriptor)
  -h, --help         show this help
)";

const std::vector<OptionDefinition> kOptions = {
    {"size-a", 0, true}, {"size-b", 0, true}, {"curve", 0, false}, {"matching-score", 0, false},
    {"help", 'h', false}};

constexpr double kStandardThreshold = 0.4;
const std::vector<double> kCurveThresholds = {0.1, 0.2, 0.3, 0.4, 0.5, 0.6};

// The size an option gives; 0 x 0 when it is not given.
ImageSize sizeOption(const ParsedArguments& parsed, const std::string& name)
{
    ImageSize size;
    if (parsed.has(name))
        parseSizeOption(name, parsed.options.at(name), size.width, size.height, kCommand);
    return size;
}

// The size given, else the one the region file records.
ImageSize sizeOf(const ImageSize& given, const std::string& name, const RegionFile& file)
{
    if (given.width > 0)
        return given;
    if (file.width <= 0 || file.height <= 0)
        throw UsageError("--" + name + " WxH is required", kCommand);
    return ImageSize{file.width, file.height};
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

std::string percent(double fraction)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f%%", 100.0 * fraction);
    return text;
}

// The regions of a file of any format; with the matching score, only files
// with descriptors.
bool loadRegions(const std::string& path, bool descriptors, RegionFile& file)
{
    std::string error;
    if (!readRegionFile(path, file, error)) {
        std::cerr << "tolvane: " << path << ": " << error << std::endl;
        return false;
    }
    if (descriptors && file.frames.length == 0) {
        std::cerr << "tolvane: " << path << ": no descriptors for the matching score" << std::endl;
        return false;
    }
    return true;
}

void printMatchingScore(const std::vector<Ellipse>& a, const std::vector<Ellipse>& b, const FrameSet& framesA,
                        const FrameSet& framesB, const Homography& h, const ImageSize& sizeA, const ImageSize& sizeB,
                        const RepeatabilityResult& result)
{
    MatchOptions nearestOnly;
    nearestOnly.ratio = 1.0f;
    std::vector<std::pair<std::size_t, std::size_t>> pairs;
    for (const Match& m : match(DescriptorSet::of(framesA.descriptors, framesA.length),
                                DescriptorSet::of(framesB.descriptors, framesB.length), nearestOnly))
        pairs.emplace_back(m.a, m.b);
    const std::size_t correct = countCorrectMatches(a, b, pairs, h, sizeA, sizeB, kStandardThreshold);
    const std::size_t common = std::min(result.commonA, result.commonB);
    std::cout << "correct nearest-neighbour matches: " << correct << '\n'
              << "matching score: " << percent(common ? double(correct) / double(common) : 0.0) << '\n';
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
    const ImageSize givenA = sizeOption(parsed, "size-a");
    const ImageSize givenB = sizeOption(parsed, "size-b");
    const bool curve = parsed.has("curve");
    const bool matchingScore = parsed.has("matching-score");

    RegionFile fileA, fileB;
    if (!loadRegions(parsed.operands[0], matchingScore, fileA) ||
        !loadRegions(parsed.operands[1], matchingScore, fileB))
        return kExitFailure;
    const ImageSize sizeA = sizeOf(givenA, "size-a", fileA);
    const ImageSize sizeB = sizeOf(givenB, "size-b", fileB);
    Homography h{};
    if (!loadHomography(parsed.operands[2], h))
        return kExitFailure;
    const std::vector<Ellipse>& a = fileA.ellipses;
    const std::vector<Ellipse>& b = fileB.ellipses;
    const FrameSet& framesA = fileA.frames;
    const FrameSet& framesB = fileB.frames;
    if (matchingScore && framesA.length != framesB.length) {
        std::cerr << "tolvane: " << parsed.operands[1] << ": descriptor length differs from the first file's"
                  << std::endl;
        return kExitFailure;
    }
    const std::vector<double> thresholds = curve ? kCurveThresholds : std::vector<double>{kStandardThreshold};
    const RepeatabilityResult result = measureRepeatability(a, b, h, sizeA, sizeB, thresholds);
    printResult(result, curve);
    if (matchingScore)
        printMatchingScore(a, b, framesA, framesB, h, sizeA, sizeB, result);
    std::cout.flush();
    return std::cout ? kExitSuccess : kExitFailure;
}

}  // namespace tolvane
