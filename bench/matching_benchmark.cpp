// The matching benchmark: synthetic view pairs of photographs of the source
// tree with known homographies (tilts, rotation, scale, blur, brightness) and
// OpenCV's sample pair graf1/graf3 (from TOLVANE_REAL_PAIR, a folder that
// scripts/fetch-real-pair fills; left out when it is not there), matched by
// tolvane (Hessian regions in exact and refined mode, Harris regions, SIFT
// descriptors) and by OpenCV's SIFT and AKAZE. Prints a Markdown table: keypoints of both
// images, ratio-test matches, correct matches (within kCorrectPixels of where
// the homography puts them), inliers of a USAC/MAGSAC homography and the
// matching score (correct matches, each keypoint of B counted once, over the
// smaller keypoint count in the common part).
#include "bench_images.h"
#include "real_pair.h"

#include <tolvane/tolvane.h>

#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>
#include <opencv2/features2d.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <memory>
#include <numeric>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr double kCorrectPixels = 5.0;
constexpr double kInlierPixels = 3.0;
constexpr float kRatio = 0.8f;
constexpr float kLowRefinedThreshold = 100.0f;

struct Pair {
    std::string name;
    cv::Mat a, b;
    cv::Matx33d h;  // maps pixels of a to pixels of b
};

struct Features {
    std::vector<cv::Point2f> points;
    cv::Mat descriptors;  // one row per point
};

struct Method {
    std::string name;
    std::function<Features(const cv::Mat&)> features;
    int norm;  // of the descriptors
};

cv::Mat photograph(const std::string& relative)
{
    const std::unique_ptr<DERY> image(loadTreeImage(relative));
    cv::Mat grey(image->rows, image->cols, CV_8U);
    for (int y = 0; y < image->rows; ++y)
        for (int x = 0; x < image->cols; ++x)
            grey.at<unsigned char>(y, x) = cv::saturate_cast<unsigned char>(image->pixels[y][x]);
    return grey;
}

// Turned by `degrees` about the centre into a canvas that holds it all, then
// squashed along x by `tilt` with area averaging (no aliasing).
Pair tiltPair(const std::string& name, const cv::Mat& a, double degrees, double tilt)
{
    const cv::Point2f centre(0.5f * (a.cols - 1), 0.5f * (a.rows - 1));
    cv::Mat turn = cv::getRotationMatrix2D(centre, degrees, 1.0);
    const cv::Rect2f box = cv::RotatedRect(centre, a.size(), static_cast<float>(degrees)).boundingRect2f();
    turn.at<double>(0, 2) += 0.5 * box.width - centre.x;
    turn.at<double>(1, 2) += 0.5 * box.height - centre.y;
    cv::Mat turned;
    cv::warpAffine(a, turned, turn, cv::Size(static_cast<int>(box.width), static_cast<int>(box.height)),
                   cv::INTER_LINEAR, cv::BORDER_CONSTANT, 0);
    cv::Mat b;
    cv::resize(turned, b, cv::Size(static_cast<int>(std::lround(turned.cols / tilt)), turned.rows), 0, 0,
               cv::INTER_AREA);
    const double sx = static_cast<double>(b.cols) / turned.cols;
    // Area resampling maps x to (x + 0.5) sx - 0.5.
    const cv::Matx33d squash(sx, 0, 0.5 * sx - 0.5, 0, 1, 0, 0, 0, 1);
    const cv::Matx33d rotation(turn.at<double>(0, 0), turn.at<double>(0, 1), turn.at<double>(0, 2),
                               turn.at<double>(1, 0), turn.at<double>(1, 1), turn.at<double>(1, 2), 0, 0, 1);
    return {name, a, b, squash * rotation};
}

Pair scalePair(const std::string& name, const cv::Mat& a, double factor)
{
    cv::Mat b;
    const cv::Size size(static_cast<int>(std::lround(a.cols / factor)), static_cast<int>(std::lround(a.rows / factor)));
    cv::resize(a, b, size, 0, 0, cv::INTER_AREA);
    const double sx = static_cast<double>(b.cols) / a.cols, sy = static_cast<double>(b.rows) / a.rows;
    return {name, a, b, cv::Matx33d(sx, 0, 0.5 * sx - 0.5, 0, sy, 0.5 * sy - 0.5, 0, 0, 1)};
}

Pair quarterTurnPair(const std::string& name, const cv::Mat& a)
{
    cv::Mat b;
    cv::rotate(a, b, cv::ROTATE_90_CLOCKWISE);
    // (x, y) goes to (rows - 1 - y, x).
    return {name, a, b, cv::Matx33d(0, -1, a.rows - 1, 1, 0, 0, 0, 0, 1)};
}

Pair blurPair(const std::string& name, const cv::Mat& a, double sigma)
{
    cv::Mat b;
    cv::GaussianBlur(a, b, cv::Size(), sigma);
    return {name, a, b, cv::Matx33d::eye()};
}

Pair brightnessPair(const std::string& name, const cv::Mat& a, double gain, double offset)
{
    cv::Mat b;
    a.convertTo(b, CV_8U, gain, offset);
    return {name, a, b, cv::Matx33d::eye()};
}

cv::Mat matOf(const bench::GreyImage& image)
{
    return cv::Mat(image.height, image.width, CV_8U, const_cast<std::uint8_t*>(image.pixels.data())).clone();
}

Pair pairOf(const bench::RealPair& real)
{
    const bench::Matrix3& h = real.homography;
    return {"graf 1 to 3", matOf(real.first), matOf(real.second),
            cv::Matx33d(h[0], h[1], h[2], h[3], h[4], h[5], h[6], h[7], h[8])};
}

// The frames of the strongest regions (by |response|) that fit in `limit`
// frames; all frames when limit is 0.
Features tolvaneFeatures(const cv::Mat& image, const tolvane::DetectorOptions& options, std::size_t limit = 0)
{
    const tolvane::ImageView view(image.ptr<std::uint8_t>(), image.cols, image.rows,
                                  static_cast<std::ptrdiff_t>(image.step));
    const std::vector<tolvane::Region> regions = tolvane::detect(view, options);
    const tolvane::Description d = tolvane::describe(view, regions);
    std::vector<bool> kept(regions.size(), limit == 0);
    if (limit > 0) {
        std::vector<std::size_t> framesOf(regions.size(), 0);
        for (std::size_t r : d.region_of_frame)
            ++framesOf[r];
        std::vector<std::size_t> strongestFirst(regions.size());
        std::iota(strongestFirst.begin(), strongestFirst.end(), std::size_t{0});
        std::stable_sort(strongestFirst.begin(), strongestFirst.end(), [&](std::size_t a, std::size_t b) {
            return std::abs(regions[a].response) > std::abs(regions[b].response);
        });
        std::size_t frames = 0;
        for (std::size_t r : strongestFirst) {
            if (frames + framesOf[r] > limit)
                break;
            kept[r] = true;
            frames += framesOf[r];
        }
    }
    Features f;
    cv::Mat bytes(0, static_cast<int>(tolvane::kDescriptorLength), CV_8U);
    for (std::size_t k = 0; k < d.frames.size(); ++k) {
        if (!kept[d.region_of_frame[k]])
            continue;
        f.points.emplace_back(d.frames[k].x, d.frames[k].y);
        bytes.push_back(cv::Mat(1, static_cast<int>(tolvane::kDescriptorLength), CV_8U,
                                const_cast<std::uint8_t*>(&d.descriptors[k * tolvane::kDescriptorLength])));
    }
    bytes.convertTo(f.descriptors, CV_32F);
    return f;
}

Features openCvFeatures(const cv::Ptr<cv::Feature2D>& detector, const cv::Mat& image)
{
    std::vector<cv::KeyPoint> keypoints;
    Features f;
    detector->detectAndCompute(image, cv::noArray(), keypoints, f.descriptors);
    for (const cv::KeyPoint& k : keypoints)
        f.points.push_back(k.pt);
    return f;
}

cv::Point2d mapped(const cv::Matx33d& h, const cv::Point2f& p)
{
    const cv::Vec3d q = h * cv::Vec3d(p.x, p.y, 1.0);
    return {q[0] / q[2], q[1] / q[2]};
}

bool inside(const cv::Point2d& p, const cv::Mat& image)
{
    return p.x >= 0 && p.y >= 0 && p.x <= image.cols - 1 && p.y <= image.rows - 1;
}

struct Row {
    std::size_t keypointsA = 0, keypointsB = 0, matches = 0, correct = 0, inliers = 0;
    double score = 0;
};

Row evaluate(const Pair& pair, const Method& method)
{
    const Features a = method.features(pair.a);
    const Features b = method.features(pair.b);
    Row row{a.points.size(), b.points.size()};
    if (a.points.empty() || b.points.size() < 2)
        return row;
    std::vector<std::vector<cv::DMatch>> knn;
    cv::BFMatcher(method.norm).knnMatch(a.descriptors, b.descriptors, knn, 2);
    std::vector<cv::Point2f> from, to;
    std::vector<bool> scored(b.points.size(), false);
    std::size_t distinct = 0;
    for (const auto& m : knn) {
        if (m.size() < 2 || !(m[0].distance < kRatio * m[1].distance))
            continue;
        const cv::Point2f& pa = a.points[m[0].queryIdx];
        const cv::Point2f& pb = b.points[m[0].trainIdx];
        from.push_back(pa);
        to.push_back(pb);
        if (cv::norm(mapped(pair.h, pa) - cv::Point2d(pb)) < kCorrectPixels) {
            ++row.correct;
            distinct += !scored[m[0].trainIdx];
            scored[m[0].trainIdx] = true;
        }
    }
    row.matches = from.size();
    if (from.size() >= 4) {
        cv::Mat mask;
        cv::findHomography(from, to, cv::USAC_MAGSAC, kInlierPixels, mask, 10000, 0.9999);
        row.inliers = mask.empty() ? 0 : static_cast<std::size_t>(cv::countNonZero(mask));
    }
    const cv::Matx33d back = pair.h.inv();
    std::size_t commonA = 0, commonB = 0;
    for (const cv::Point2f& p : a.points)
        commonA += inside(mapped(pair.h, p), pair.b);
    for (const cv::Point2f& p : b.points)
        commonB += inside(mapped(back, p), pair.a);
    const std::size_t common = std::min(commonA, commonB);
    row.score = common ? static_cast<double>(distinct) / common : 0.0;
    return row;
}

Method tolvaneMethod(const std::string& name, const tolvane::DetectorOptions& options)
{
    return {name, [=](const cv::Mat& i) { return tolvaneFeatures(i, options); }, cv::NORM_L2};
}

// Refined regions from a threshold low enough to offer plenty, the
// strongest of them with as many frames as SIFT finds keypoints in the same
// image: the comparison at equal numbers of keypoints, which users get from
// a lower threshold too.
Method refinedAtSiftCount()
{
    return {"tolvane Hessian refined, SIFT's count", [](const cv::Mat& i) {
        std::vector<cv::KeyPoint> keypoints;
        cv::SIFT::create()->detect(i, keypoints);
        tolvane::DetectorOptions options;
        options.mode = tolvane::Mode::Refined;
        options.threshold = kLowRefinedThreshold;
        return tolvaneFeatures(i, options, std::max<std::size_t>(1, keypoints.size()));
    }, cv::NORM_L2};
}

void printTable(const std::string& title, const std::vector<Pair>& pairs, const std::vector<Method>& methods)
{
    std::printf("\n%s\n\n| pair | method | keypoints A / B | matches | correct | inliers | matching score |\n"
                "|---|---|---|---|---|---|---|\n",
                title.c_str());
    for (const Pair& pair : pairs)
        for (const Method& method : methods) {
            const Row r = evaluate(pair, method);
            std::printf("| %s | %s | %zu / %zu | %zu | %zu | %zu | %.1f%% |\n", pair.name.c_str(),
                        method.name.c_str(), r.keypointsA, r.keypointsB, r.matches, r.correct, r.inliers,
                        100.0 * r.score);
            std::fflush(stdout);
        }
}

}  // namespace

int main()
{
    cv::setNumThreads(1);
    const tolvane::DetectorOptions exact;
    tolvane::DetectorOptions refined;
    refined.mode = tolvane::Mode::Refined;
    tolvane::DetectorOptions enlarged = refined;
    enlarged.upsample = true;
    tolvane::DetectorOptions harris;
    harris.detector = tolvane::Detector::Harris;
    const std::vector<Method> methods = {
        tolvaneMethod("tolvane Hessian", exact),
        tolvaneMethod("tolvane Hessian refined", refined),
        refinedAtSiftCount(),
        tolvaneMethod("tolvane Hessian refined, enlarged", enlarged),
        tolvaneMethod("tolvane Harris", harris),
        {"OpenCV SIFT", [](const cv::Mat& i) { return openCvFeatures(cv::SIFT::create(), i); }, cv::NORM_L2},
        {"OpenCV AKAZE", [](const cv::Mat& i) { return openCvFeatures(cv::AKAZE::create(), i); },
         cv::NORM_HAMMING},
    };
    for (const char* source : {"data/astronaut.pgm", "tests/golden/coffee.pgm"}) {
        const cv::Mat a = photograph(source);
        printTable(source, {tiltPair("tilt 2", a, 30, 2), tiltPair("tilt 3", a, 30, 3), tiltPair("tilt 4", a, 30, 4),
                            quarterTurnPair("rotation 90", a), scalePair("scale 2.5", a, 2.5),
                            blurPair("blur 3", a, 3.0), brightnessPair("brightness", a, 0.5, 20)},
                   methods);
    }
    const std::string folder = bench::realPairFolder();
    if (const std::optional<bench::RealPair> real = bench::readRealPair(folder))
        printTable("OpenCV's sample pair graf1/graf3", {pairOf(*real)}, methods);
    else
        std::printf("\nOpenCV's sample pair graf1/graf3 left out: not in %s (scripts/fetch-real-pair)\n",
                    folder.c_str());
    return 0;
}
