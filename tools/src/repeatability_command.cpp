// tolvane repeatability: how many regions of one image are found again in
// another image related to it by a homography.
#include "cli.h"
#include "commands.h"
#include "frame_formats.h"
#include "output_file.h"
#include "plot_svg.h"
#include "region_files.h"
#include "repeatability.h"

#include <tolvane/match.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>

namespace tolvane {
namespace {

const char* const kCommand = "repeatability";

const char* const kUsage = R"(Usage: tolvane repeatability A.regions B.regions [A2 B2 ...] H.txt [--size-a WxH --size-b WxH]
Measures the repeatability of the regions of image A in image B, where H.txt
holds the 3x3 homography (9 numbers, row after row) that maps the pixels of
A to those of B. The region files may be in any format 'tolvane detect'
writes but the legacy listing. Further pairs of region files of the same two
images (other detectors or settings) are measured alike, each under its
label.

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
      --plot OUT.svg draw repeatability (and with --matching-score the
                     matching score) against the overlap error threshold,
                     10% to 60% in steps of 5%, one line per pair, as an
                     SVG picture
      --labels L1,L2,...  the pairs' names in the output and the plot
                     (default: the path of each A file without extension)
      --matching-score  also the matching score: of each region of A's
                     nearest neighbour in B by descriptor, the pairs that
                     are correspondences (overlap error < 40%), over the
                     smaller count in the common part. The region files
                     must carry descriptors (tolvane detect --descriptor)
  -h, --help         show this help
)";

const std::vector<OptionDefinition> kOptions = {
    {"size-a", 0, true},  {"size-b", 0, true}, {"curve", 0, false}, {"matching-score", 0, false},
    {"plot", 0, true},    {"labels", 0, true}, {"help", 'h', false}};

constexpr double kStandardThreshold = 0.4;
const std::vector<double> kCurveThresholds = {0.1, 0.2, 0.3, 0.4, 0.5, 0.6};
const std::vector<double> kPlotThresholds = {0.1, 0.15, 0.2, 0.25, 0.3, 0.35, 0.4, 0.45, 0.5, 0.55, 0.6};

// Region files of one detector (or setting) on images A and B.
struct RegionPair {
    std::string label;
    std::string a, b;
};

// The loaded regions of a pair and what was measured on them.
struct Measurement {
    std::vector<Ellipse> a, b;
    ImageSize sizeA, sizeB;
    FrameSet framesA, framesB;
    RepeatabilityResult result;
    std::vector<std::size_t> correctMatches;  // per threshold, with --matching-score
};

std::vector<std::string> splitLabels(const std::string& text)
{
    std::vector<std::string> labels;
    std::size_t start = 0;
    for (std::size_t comma; (comma = text.find(',', start)) != std::string::npos; start = comma + 1)
        labels.push_back(text.substr(start, comma - start));
    labels.push_back(text.substr(start));
    return labels;
}

std::vector<RegionPair> regionPairsOf(const ParsedArguments& parsed)
{
    const std::vector<std::string>& operands = parsed.operands;
    if (operands.size() < 3 || operands.size() % 2 == 0)
        throw UsageError("expected two region files (and further pairs) and a homography file", kCommand);
    const std::size_t count = (operands.size() - 1) / 2;
    std::vector<std::string> labels;
    if (parsed.has("labels")) {
        labels = splitLabels(parsed.options.at("labels"));
        if (labels.size() != count)
            throw UsageError(std::to_string(labels.size()) + " labels for " + std::to_string(count) + " pairs",
                             kCommand);
    }
    std::vector<RegionPair> pairs;
    for (std::size_t i = 0; i < count; ++i) {
        const std::string& a = operands[2 * i];
        const std::string label = labels.empty() ? std::filesystem::path(a).replace_extension().string() : labels[i];
        pairs.push_back({label, a, operands[2 * i + 1]});
    }
    return pairs;
}

std::size_t thresholdIndex(const std::vector<double>& thresholds, double threshold)
{
    return static_cast<std::size_t>(std::find(thresholds.begin(), thresholds.end(), threshold) - thresholds.begin());
}

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

// Of each region of A's nearest neighbour in B by descriptor, how many are
// correspondences, per threshold.
std::vector<std::size_t> correctMatchesOf(const Measurement& m, const Homography& h,
                                          const std::vector<double>& thresholds)
{
    MatchOptions nearestOnly;
    nearestOnly.ratio = 1.0f;
    std::vector<std::pair<std::size_t, std::size_t>> pairs;
    for (const Match& match : match(DescriptorSet::of(m.framesA.descriptors, m.framesA.length),
                                    DescriptorSet::of(m.framesB.descriptors, m.framesB.length), nearestOnly))
        pairs.emplace_back(match.a, match.b);
    std::vector<std::size_t> correct;
    for (const double threshold : thresholds)
        correct.push_back(countCorrectMatches(m.a, m.b, pairs, h, m.sizeA, m.sizeB, threshold));
    return correct;
}

double matchingScore(const Measurement& m, std::size_t thresholdIndex)
{
    const std::size_t common = std::min(m.result.commonA, m.result.commonB);
    return common ? double(m.correctMatches[thresholdIndex]) / double(common) : 0.0;
}

void printMatchingScore(const Measurement& m, std::size_t standard)
{
    std::cout << "correct nearest-neighbour matches: " << m.correctMatches[standard] << '\n'
              << "matching score: " << percent(matchingScore(m, standard)) << '\n';
}

void printResult(const RepeatabilityResult& result, bool curve)
{
    std::cout << "regions: A " << result.regionsA << ", B " << result.regionsB << '\n'
              << "in the common part: A " << result.commonA << ", B " << result.commonB << '\n';
    const std::size_t standard = thresholdIndex(result.thresholds, kStandardThreshold);
    std::cout << "correspondences (overlap error < 40%): " << result.correspondences[standard] << '\n'
              << "repeatability: " << percent(result.repeatability(standard)) << '\n';
    if (!curve)
        return;
    std::cout << "\noverlap error  correspondences  repeatability\n";
    for (std::size_t i = 0; i < result.thresholds.size(); ++i) {
        if (thresholdIndex(kCurveThresholds, result.thresholds[i]) == kCurveThresholds.size())
            continue;
        char line[80];
        std::snprintf(line, sizeof line, "%12s%17zu%15s\n", ("< " + percent(result.thresholds[i])).c_str(),
                      result.correspondences[i], percent(result.repeatability(i)).c_str());
        std::cout << line;
    }
}

// The pair's regions, and the image sizes given or else recorded in the files.
bool load(const RegionPair& pair, bool withDescriptors, const ImageSize& givenA, const ImageSize& givenB,
          Measurement& m)
{
    RegionFile fileA, fileB;
    if (!loadRegions(pair.a, withDescriptors, fileA) || !loadRegions(pair.b, withDescriptors, fileB))
        return false;
    if (withDescriptors && fileA.frames.length != fileB.frames.length) {
        std::cerr << "tolvane: " << pair.b << ": descriptor length differs from that of " << pair.a << std::endl;
        return false;
    }
    m.sizeA = sizeOf(givenA, "size-a", fileA);
    m.sizeB = sizeOf(givenB, "size-b", fileB);
    m.a = std::move(fileA.ellipses);
    m.b = std::move(fileB.ellipses);
    m.framesA = std::move(fileA.frames);
    m.framesB = std::move(fileB.frames);
    return true;
}

std::vector<PlotPanel> plotPanelsOf(const std::vector<RegionPair>& pairs, const std::vector<Measurement>& measured,
                                    bool matchingScores)
{
    PlotPanel repeatability{"Repeatability", "repeatability (%)", {}};
    PlotPanel score{"Matching score", "matching score (%)", {}};
    for (std::size_t p = 0; p < pairs.size(); ++p) {
        PlotSeries r{pairs[p].label, {}}, s{pairs[p].label, {}};
        for (std::size_t i = 0; i < kPlotThresholds.size(); ++i) {
            r.values.push_back(measured[p].result.repeatability(i));
            if (matchingScores)
                s.values.push_back(matchingScore(measured[p], i));
        }
        repeatability.series.push_back(r);
        score.series.push_back(s);
    }
    if (!matchingScores)
        return {repeatability};
    return {repeatability, score};
}

bool writePlot(const std::string& path, const std::vector<RegionPair>& pairs,
               const std::vector<Measurement>& measured, bool matchingScores)
{
    std::string error;
    const std::vector<PlotPanel> panels = plotPanelsOf(pairs, measured, matchingScores);
    if (writeTextOutputFile(
            path, [&](std::ostream& out) { writeSvgPlot(out, kPlotThresholds, "overlap error (%)", panels); },
            error))
        return true;
    std::cerr << "tolvane: " << path << ": " << error << std::endl;
    return false;
}

}  // namespace

int runRepeatability(const std::vector<std::string>& args)
{
    const ParsedArguments parsed = parseArguments(args, kOptions, kCommand);
    if (parsed.has("help")) {
        std::cout << kUsage;
        return kExitSuccess;
    }
    const std::vector<RegionPair> pairs = regionPairsOf(parsed);
    const ImageSize givenA = sizeOption(parsed, "size-a");
    const ImageSize givenB = sizeOption(parsed, "size-b");
    const bool curve = parsed.has("curve");
    const bool matchingScore = parsed.has("matching-score");
    const std::string plot = parsed.has("plot") ? parsed.options.at("plot") : "";

    for (const std::string& input : parsed.operands)
        if (!plot.empty() && isSameFile(plot, input)) {
            std::cerr << "tolvane: " << plot << ": is the same file as the input " << input << "; not overwritten"
                      << std::endl;
            return kExitFailure;
        }
    std::vector<Measurement> measured(pairs.size());
    for (std::size_t p = 0; p < pairs.size(); ++p)
        if (!load(pairs[p], matchingScore, givenA, givenB, measured[p]))
            return kExitFailure;
    Homography h{};
    if (!loadHomography(parsed.operands.back(), h))
        return kExitFailure;
    const std::vector<double> thresholds = !plot.empty() ? kPlotThresholds
                                           : curve       ? kCurveThresholds
                                                         : std::vector<double>{kStandardThreshold};
    for (std::size_t p = 0; p < pairs.size(); ++p) {
        Measurement& m = measured[p];
        m.result = measureRepeatability(m.a, m.b, h, m.sizeA, m.sizeB, thresholds);
        if (pairs.size() > 1)
            std::cout << (p ? "\n" : "") << pairs[p].label << ":\n";
        printResult(m.result, curve);
        if (matchingScore) {
            m.correctMatches = correctMatchesOf(m, h, thresholds);
            printMatchingScore(m, thresholdIndex(thresholds, kStandardThreshold));
        }
    }
    if (!plot.empty() && !writePlot(plot, pairs, measured, matchingScore))
        return kExitFailure;
    std::cout.flush();
    return std::cout ? kExitSuccess : kExitFailure;
}

}  // namespace tolvane
