// Repeatability of tolvane's two modes and of OpenCV's SIFT, AKAZE and MSER
// on synthetic pairs of the repository's photographs and on OpenCV's sample
// pair graf1/graf3 (when scripts/fetch-real-pair has fetched it; see
// real_pair.h), with the region-overlap protocol of `tolvane repeatability`
// (40 % overlap error), and the time of refined against exact mode.
//
// Peer regions: a SIFT or AKAZE keypoint of size s (OpenCV's diameter, twice
// the detection sigma) is the circle of radius 1.5 s, three sigmas; SIFT's
// copies of one keypoint with other orientations count once. An MSER region
// is the ellipse of twice the standard deviations of its pixels' second
// moments, which is the region itself for an elliptic one. The overlap error
// is measured after scaling to a common size, so these radii set only which
// regions lie in the common part. "500 strongest" keeps the 500 of largest
// |response| (tolvane: max_regions); MSER has no strength, so its 500
// largest regions are kept.
#include "real_pair.h"
#include "synthetic_pairs.h"

#include "repeatability.h"

#include <tolvane/tolvane.h>

#include <opencv2/features2d.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <map>
#include <numeric>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace {

using tolvane::Ellipse;

const char* const kPhotographs[] = {"data/astronaut.pgm", "tests/golden/camera.pgm", "tests/golden/coffee.pgm",
                                    "tests/golden/rocket.pgm", "tests/golden/stars-800x640.pgm"};
constexpr double kOverlapError = 0.4;
constexpr std::size_t kStrongest = 500;

struct ScoredRegion {
    Ellipse ellipse;
    double strength;
};
using Regions = std::vector<ScoredRegion>;

cv::Mat matOf(const bench::GreyImage& image)
{
    return cv::Mat(image.height, image.width, CV_8UC1, const_cast<std::uint8_t*>(image.pixels.data()));
}

ScoredRegion circle(double x, double y, double radius, double strength)
{
    const double a = 1 / (radius * radius);
    return {{static_cast<float>(x), static_cast<float>(y), a, 0, a}, strength};
}

Regions tolvaneRegions(const bench::GreyImage& image, tolvane::DetectorOptions options, std::size_t limit)
{
    options.max_regions = limit;
    Regions regions;
    for (const tolvane::Region& r :
         tolvane::detect(tolvane::ImageView(image.pixels.data(), image.width, image.height), options))
        regions.push_back({{r.x, r.y, r.a, r.b, r.c}, std::fabs(r.response)});
    return regions;
}

Regions keypointRegions(const cv::Ptr<cv::Feature2D>& detector, const bench::GreyImage& image)
{
    std::vector<cv::KeyPoint> keypoints;
    detector->detect(matOf(image), keypoints);
    std::set<std::tuple<float, float, float>> seen;
    Regions regions;
    for (const cv::KeyPoint& k : keypoints)
        if (seen.insert({k.pt.x, k.pt.y, k.size}).second)
            regions.push_back(circle(k.pt.x, k.pt.y, 1.5 * k.size, std::fabs(k.response)));
    return regions;
}

Regions mserRegions(const bench::GreyImage& image)
{
    std::vector<std::vector<cv::Point>> sets;
    std::vector<cv::Rect> boxes;
    cv::MSER::create()->detectRegions(matOf(image), sets, boxes);
    Regions regions;
    for (const std::vector<cv::Point>& points : sets) {
        double mx = 0, my = 0;
        for (const cv::Point& p : points) {
            mx += p.x;
            my += p.y;
        }
        const double n = static_cast<double>(points.size());
        mx /= n;
        my /= n;
        double sxx = 0, sxy = 0, syy = 0;
        for (const cv::Point& p : points) {
            sxx += (p.x - mx) * (p.x - mx);
            sxy += (p.x - mx) * (p.y - my);
            syy += (p.y - my) * (p.y - my);
        }
        // (p - m)^T (4 S)^-1 (p - m) <= 1, S the covariance of the pixels.
        const double cxx = 4 * sxx / n, cxy = 4 * sxy / n, cyy = 4 * syy / n;
        const double det = cxx * cyy - cxy * cxy;
        if (det > 0)
            regions.push_back({{static_cast<float>(mx), static_cast<float>(my), cyy / det, -cxy / det, cxx / det}, n});
    }
    return regions;
}

Regions strongest(Regions regions, std::size_t count)
{
    std::stable_sort(regions.begin(), regions.end(),
                     [](const ScoredRegion& p, const ScoredRegion& q) { return p.strength > q.strength; });
    if (regions.size() > count)
        regions.resize(count);
    return regions;
}

struct Method {
    const char* name;
    std::function<Regions(const bench::GreyImage&, std::size_t limit)> detect;
};

std::vector<Method> methods()
{
    const auto peer = [](std::function<Regions(const bench::GreyImage&)> all) {
        return [all](const bench::GreyImage& image, std::size_t limit) {
            return limit == 0 ? all(image) : strongest(all(image), limit);
        };
    };
    const auto tolvaneWith = [](const tolvane::DetectorOptions& options) {
        return [options](const bench::GreyImage& image, std::size_t limit) {
            return tolvaneRegions(image, options, limit);
        };
    };
    const tolvane::DetectorOptions exact;
    tolvane::DetectorOptions refined;
    refined.mode = tolvane::Mode::Refined;
    tolvane::DetectorOptions finer = refined;
    finer.pyramid_factor = 1.1f;
    tolvane::DetectorOptions enlarged = refined;
    enlarged.upsample = true;
    return {
        {"tolvane exact", tolvaneWith(exact)},
        {"tolvane refined", tolvaneWith(refined)},
        {"tolvane refined 1.1", tolvaneWith(finer)},
        {"tolvane refined, enlarged", tolvaneWith(enlarged)},
        {"OpenCV SIFT", peer([](const bench::GreyImage& i) { return keypointRegions(cv::SIFT::create(), i); })},
        {"OpenCV AKAZE", peer([](const bench::GreyImage& i) { return keypointRegions(cv::AKAZE::create(), i); })},
        {"OpenCV MSER", peer(mserRegions)},
    };
}

std::vector<Ellipse> ellipsesOf(const Regions& regions)
{
    std::vector<Ellipse> ellipses;
    for (const ScoredRegion& r : regions)
        ellipses.push_back(r.ellipse);
    return ellipses;
}

struct Score {
    double repeatability = 0;  // percent
    double correspondences = 0;
    double regions = 0;  // mean of the two images
};

Score measure(const Regions& a, const Regions& b, const bench::Matrix3& homography, const bench::GreyImage& first,
              const bench::GreyImage& second)
{
    tolvane::Homography h;
    for (int k = 0; k < 9; ++k)
        h.m[k / 3][k % 3] = homography[k];
    const tolvane::ImageSize sizeA{first.width, first.height};
    const tolvane::ImageSize sizeB{second.width, second.height};
    const tolvane::RepeatabilityResult result =
        tolvane::measureRepeatability(ellipsesOf(a), ellipsesOf(b), h, sizeA, sizeB, {kOverlapError});
    return {100 * result.repeatability(0), static_cast<double>(result.correspondences[0]),
            (a.size() + b.size()) / 2.0};
}

// Scores by method, region limit and change, one per photograph.
using Key = std::tuple<std::string, std::size_t, std::string>;

struct Table {
    std::map<Key, std::vector<Score>> scores;
    // On the sample pair, by method and region limit; empty without it.
    std::map<std::pair<std::string, std::size_t>, Score> real;

    double mean(const std::string& method, std::size_t limit, const std::vector<std::string>& changes,
                double Score::*field) const
    {
        double sum = 0;
        std::size_t n = 0;
        for (const std::string& change : changes)
            for (const Score& s : scores.at({method, limit, change})) {
                sum += s.*field;
                ++n;
            }
        return n ? sum / n : 0;
    }
};

// The changes of one category, or of all categories (but brightness).
std::vector<std::string> changesOf(const std::string& category, bool withBrightness = true)
{
    std::vector<std::string> names;
    for (const bench::ViewChange& view : bench::standardChanges()) {
        const std::string name = bench::categoryName(view.change);
        if ((category.empty() || name == category) && (withBrightness || view.change != bench::Change::Brightness))
            names.push_back(bench::changeName(view));
    }
    return names;
}

std::vector<std::string> categories()
{
    std::vector<std::string> names;
    for (const bench::ViewChange& view : bench::standardChanges())
        if (names.empty() || names.back() != bench::categoryName(view.change))
            names.push_back(bench::categoryName(view.change));
    return names;
}

void printTable(const Table& table, const std::vector<Method>& all, std::size_t limit)
{
    std::printf("\n%s, repeatability %% at %.0f %% overlap error\n\n", limit ? "500 strongest regions" : "all regions",
                100 * kOverlapError);
    std::printf("| method |");
    for (const std::string& c : categories())
        std::printf(" %s |", c.c_str());
    const bool real = !table.real.empty();
    std::printf(" mean | mean without brightness | regions per image | correspondences |%s\n|---|",
                real ? " graf1/graf3 |" : "");
    for (std::size_t k = 0; k < categories().size() + 4 + real; ++k)
        std::printf("---|");
    std::printf("\n");
    for (const Method& m : all) {
        std::printf("| %s |", m.name);
        for (const std::string& c : categories())
            std::printf(" %.1f |", table.mean(m.name, limit, changesOf(c), &Score::repeatability));
        std::printf(" %.1f | %.1f | %.0f | %.0f |", table.mean(m.name, limit, changesOf(""), &Score::repeatability),
                    table.mean(m.name, limit, changesOf("", false), &Score::repeatability),
                    table.mean(m.name, limit, changesOf(""), &Score::regions),
                    table.mean(m.name, limit, changesOf(""), &Score::correspondences));
        if (real)
            std::printf(" %.1f |", table.real.at({m.name, limit}).repeatability);
        std::printf("\n");
    }
}

void printChanges(const Table& table, const std::vector<Method>& all)
{
    std::printf("\nall regions, repeatability %% by change (mean of the photographs)\n\n| change |");
    for (const Method& m : all)
        std::printf(" %s |", m.name);
    std::printf("\n|---|");
    for (std::size_t k = 0; k < all.size(); ++k)
        std::printf("---|");
    std::printf("\n");
    for (const std::string& change : changesOf("")) {
        std::printf("| %s |", change.c_str());
        for (const Method& m : all)
            std::printf(" %.1f |", table.mean(m.name, 0, {change}, &Score::repeatability));
        std::printf("\n");
    }
}

double millisecondsOf(const std::function<void()>& run)
{
    const auto start = std::chrono::steady_clock::now();
    run();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

void printModeCost(const std::vector<bench::GreyImage>& photos)
{
    std::printf("\ntime of one detection, one thread, best of 7 (ms)\n\n"
                "| photograph | exact | refined | ratio | refined 1.1 | ratio |\n|---|---|---|---|---|---|\n");
    tolvane::DetectorOptions exact;
    exact.threads = 1;
    tolvane::DetectorOptions refined = exact;
    refined.mode = tolvane::Mode::Refined;
    tolvane::DetectorOptions fine = refined;
    fine.pyramid_factor = 1.1f;
    const tolvane::DetectorOptions* modes[] = {&exact, &refined, &fine};
    double sums[3] = {0, 0, 0};
    for (std::size_t k = 0; k < photos.size(); ++k) {
        const tolvane::ImageView view(photos[k].pixels.data(), photos[k].width, photos[k].height);
        double best[3] = {1e300, 1e300, 1e300};
        for (int round = 0; round < 7; ++round)  // alternated, so that changes of load hit every mode alike
            for (int m = 0; m < 3; ++m)
                best[m] = std::min(best[m], millisecondsOf([&] { tolvane::detect(view, *modes[m]); }));
        for (int m = 0; m < 3; ++m)
            sums[m] += best[m];
        std::printf("| %s | %.1f | %.1f | %.2f | %.1f | %.2f |\n", kPhotographs[k], best[0], best[1],
                    best[1] / best[0], best[2], best[2] / best[0]);
    }
    std::printf("| all | %.1f | %.1f | %.2f | %.1f | %.2f |\n", sums[0], sums[1], sums[1] / sums[0], sums[2],
                sums[2] / sums[0]);
}

}  // namespace

// With method names as arguments, only those methods are measured.
int main(int argc, char** argv)
{
    try {
        std::vector<bench::GreyImage> photos;
        for (const char* path : kPhotographs)
            photos.push_back(bench::readPgm(std::string(TOLVANE_BENCH_ROOT) + "/" + path));
        std::vector<Method> all = methods();
        if (argc > 1)
            all.erase(std::remove_if(all.begin(), all.end(),
                                     [&](const Method& m) {
                                         return std::find(argv + 1, argv + argc, std::string(m.name)) == argv + argc;
                                     }),
                      all.end());
        Table table;
        for (std::size_t p = 0; p < photos.size(); ++p) {
            std::fprintf(stderr, "%s\n", kPhotographs[p]);
            std::vector<bench::SyntheticPair> pairs;
            for (const bench::ViewChange& view : bench::standardChanges())
                pairs.push_back(bench::makePair(photos[p], view));
            for (const Method& m : all)
                for (std::size_t limit : {std::size_t{0}, kStrongest}) {
                    const Regions first = m.detect(photos[p], limit);
                    for (const bench::SyntheticPair& pair : pairs)
                        table.scores[{m.name, limit, bench::changeName(pair.view)}].push_back(
                            measure(first, m.detect(pair.second, limit), pair.homography, photos[p], pair.second));
                }
        }
        if (const std::optional<bench::RealPair> real = bench::readRealPair(bench::realPairFolder())) {
            for (const Method& m : all)
                for (std::size_t limit : {std::size_t{0}, kStrongest})
                    table.real[{m.name, limit}] = measure(m.detect(real->first, limit), m.detect(real->second, limit),
                                                          real->homography, real->first, real->second);
        } else {
            std::fprintf(stderr, "OpenCV's sample pair graf1/graf3 left out: not in %s (scripts/fetch-real-pair)\n",
                         bench::realPairFolder().c_str());
        }
        std::printf("%zu photographs x %zu changes = %zu pairs\n", photos.size(), bench::standardChanges().size(),
                    photos.size() * bench::standardChanges().size());
        printTable(table, all, 0);
        printTable(table, all, kStrongest);
        printChanges(table, all);
        printModeCost(photos);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "repeatability_bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
