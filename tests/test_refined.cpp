// Refined-mode detection: its kernels, sub-pixel fit, shape update,
// duplicate removal, options and the whole detection.
#include "refined.h"
#include "parallel.h"
#include "region_lists.h"
#include "synthetic_scene.h"

#include <tolvane/tolvane.h>

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <numeric>

namespace {

using tolvane::DetectorOptions;
using tolvane::Mode;
namespace refined = tolvane::refined;

constexpr double kGain = refined::kDerivativeGain;

TEST(RefinedKernels, MomentsFixTheirGains)
{
    const refined::ResponseKernels& k = refined::responseKernels();
    struct Case {
        const char* name;
        const std::array<double, refined::kKernelTaps>& weights;
        int power;
        double moment;
        bool even;
    };
    const Case cases[] = {
        {"smoothing", k.smooth, 0, 1.0, true},
        {"second derivative, sum", k.second, 0, 0.0, true},
        {"second derivative", k.second, 2, 2 * kGain, true},
        {"first derivative", k.first, 1, std::sqrt(kGain), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        double moment = 0;
        for (int t = -refined::kKernelReach; t <= refined::kKernelReach; ++t) {
            const double w = c.weights[t + refined::kKernelReach];
            moment += std::pow(t, c.power) * w;
            EXPECT_EQ(w, (c.even ? 1 : -1) * c.weights[refined::kKernelReach - t]);
        }
        EXPECT_NEAR(moment, c.moment, 1e-12);
    }
    EXPECT_NEAR(k.smooth[refined::kKernelReach + 1] / k.smooth[refined::kKernelReach], std::exp(-1.0 / 8), 1e-12);
}

// On a quadratic a x^2 + b y^2 + c x y the maps give Lxx = 2aG, Lyy = 2bG and
// Lxy = cG, G the derivative gain, away from the edges.
TEST(RefinedKernels, HessianOfQuadraticSurfaces)
{
    struct Case {
        double a, b, c;
    };
    const Case cases[] = {{1, 1, 0}, {1, -1, 0}, {0.5, 2, 0}, {0, 0, 1}, {1, 1, 1.5}, {-0.25, 0.75, -0.5}};
    for (const Case& q : cases) {
        SCOPED_TRACE(testing::Message() << q.a << " " << q.b << " " << q.c);
        const auto image = makeImage(31, 33, [&](int r, int col) {
            const double x = col - 16, y = r - 15;
            return q.a * x * x + q.b * y * y + q.c * x * y;
        });
        DERY det(31, 33), trace(31, 33);
        refined::hessianResponses(image.get(), &det, &trace, WorkerPool::serial());
        const double lxx = 2 * q.a * kGain, lyy = 2 * q.b * kGain, lxy = q.c * kGain;
        EXPECT_NEAR(det.pixels[15][16], lxx * lyy - lxy * lxy, 1e-3 * (1 + std::fabs(lxx * lyy - lxy * lxy)));
        EXPECT_NEAR(trace.pixels[15][16], lxx + lyy, 1e-4 * (1 + std::fabs(lxx + lyy)));
    }
}

TEST(RefinedKernels, ResponsesDoNotDependOnThreadsStripesOrPixelByPixel)
{
    const auto image = goldenPhotograph("camera");
    DERY det1(image->rows, image->cols), trace1(image->rows, image->cols);
    DERY det3(image->rows, image->cols), trace3(image->rows, image->cols), traceOnly(image->rows, image->cols);
    refined::hessianResponses(image.get(), &det1, &trace1, WorkerPool::serial());
    WorkerPool pool(3);
    refined::hessianResponses(image.get(), &det3, &trace3, pool);
    refined::hessianResponses(image.get(), nullptr, &traceOnly, pool);
    EXPECT_EQ(0, std::memcmp(det1.pixels[0], det3.pixels[0], sizeof(float) * det1.size));
    EXPECT_EQ(0, std::memcmp(trace1.pixels[0], trace3.pixels[0], sizeof(float) * trace1.size));
    EXPECT_EQ(0, std::memcmp(trace1.pixels[0], traceOnly.pixels[0], sizeof(float) * trace1.size));
    for (int row = 0; row < image->rows; row += 7)
        for (int col : {0, 1, 5, 6, 100, image->cols - 7, image->cols - 1})
            ASSERT_EQ(floatBits(refined::traceAtPixel(*image, col, row)), floatBits(trace1.pixels[row][col]))
                << row << " " << col;
}

// A paraboloid sampled on the 3 x 3 grid: its fit is exact.
TEST(RefinedSubPixel, FindsTheTopOfAParaboloid)
{
    struct Case {
        double x0, y0;    // top of the paraboloid
        double hxy;       // mixed term, or a saddle when large
        float dx, dy;     // expected offset
    };
    const Case cases[] = {
        {0, 0, 0, 0, 0},          {0.3, -0.2, 0, 0.3f, -0.2f},   {-0.45, 0.4, 0.5, -0.45f, 0.4f},
        {0.9, 0.7, -0.8, 0.9f, 0.7f}, {2.5, -0.5, 0, 1, -0.5f},  {-3, -4, 0.3, -1, -1},
        {0.3, 0.3, 5, 0, 0},      // saddle: no maximum, no move
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.x0 << " " << c.y0 << " " << c.hxy);
        float values[3][3];
        for (int r = 0; r < 3; ++r)
            for (int col = 0; col < 3; ++col) {
                const double x = col - 1 - c.x0, y = r - 1 - c.y0;
                values[r][col] = static_cast<float>(100 - 2 * x * x - 3 * y * y + c.hxy * x * y);
            }
        const refined::Offset offset = refined::subPixelOffset(values);
        EXPECT_NEAR(offset.dx, c.dx, 1e-4);
        EXPECT_NEAR(offset.dy, c.dy, 1e-4);
    }
}

ShapeMatrix product(const ShapeMatrix& p, const ShapeMatrix& q)
{
    return {p.u11 * q.u11 + p.u12 * q.u21, p.u11 * q.u12 + p.u12 * q.u22, p.u21 * q.u11 + p.u22 * q.u21,
            p.u21 * q.u12 + p.u22 * q.u22};
}

ShapeMatrix transposed(const ShapeMatrix& u) { return {u.u11, u.u21, u.u12, u.u22}; }

// A structure with image second moment matrix A is seen through U as
// U^T A U. The update in patch coordinates reaches U U^T proportional to
// A^-1, also when U is not symmetric on the way.
TEST(RefinedAdaptation, ShapeFollowsAnAnisotropicStructure)
{
    struct Case {
        double ratio;     // eigenvalue ratio of A
        double degrees;   // direction of its first axis
        bool accepted;
    };
    const Case cases[] = {{1, 0, true}, {4, 0, true},  {4, 30, true},  {9, 110, true},
                          {30, 45, true}, {40, 20, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.ratio << " at " << c.degrees);
        const double t = c.degrees * M_PI / 180, co = std::cos(t), si = std::sin(t);
        const float a11 = static_cast<float>(c.ratio * co * co + si * si);
        const float a12 = static_cast<float>((c.ratio - 1) * co * si);
        const float a22 = static_cast<float>(c.ratio * si * si + co * co);
        const ShapeMatrix a{a11, a12, a12, a22};
        const auto measure = [&](const ShapeMatrix& u, float& m11, float& m12, float& m22) {
            const ShapeMatrix m = product(transposed(u), product(a, u));
            m11 = m.u11;
            m12 = m.u12;
            m22 = m.u22;
        };
        ShapeMatrix u{1, 0, 0, 1};
        const int iterations = refined::adaptShape(u, 16, measure);
        if (!c.accepted) {
            EXPECT_EQ(iterations, 0);
            continue;
        }
        ASSERT_GT(iterations, 0);
        EXPECT_LE(iterations, 3);
        // U U^T A = I after normalising both to determinant 1.
        const ShapeMatrix check = product(product(u, transposed(u)), a);
        const double scale = std::sqrt(static_cast<double>(a11) * a22 - static_cast<double>(a12) * a12);
        EXPECT_NEAR(check.u11 / scale, 1, 1e-4);
        EXPECT_NEAR(check.u12 / scale, 0, 1e-4);
        EXPECT_NEAR(check.u21 / scale, 0, 1e-4);
        EXPECT_NEAR(check.u22 / scale, 1, 1e-4);
        EXPECT_NEAR(u.u11 * u.u22 - u.u12 * u.u21, 1, 1e-5);
    }
}

TEST(RefinedAdaptation, RejectsMeasurementsThatAreNotPositiveDefinite)
{
    const float cases[][3] = {{0, 0, 0}, {-1, 0, 1}, {1, 2, 1}, {NAN, 0, 1}};
    for (const auto& m : cases) {
        ShapeMatrix u{1, 0, 0, 1};
        EXPECT_EQ(refined::adaptShape(u, 16, [&](const ShapeMatrix&, float& m11, float& m12, float& m22) {
                      m11 = m[0];
                      m12 = m[1];
                      m22 = m[2];
                  }),
                  0);
    }
}

// An elongated blob at 30 degrees: the adapted ellipses have the blob's axis
// ratio and direction.
TEST(RefinedAdaptation, ElongatedRotatedBlobGivesItsEllipse)
{
    const double su = 6, sv = 3, t = 30 * M_PI / 180;
    const auto image = makeImage(96, 96, [&](int r, int c) {
        const double dc = c - 47.3, dr = r - 48.6;
        const double u = dc * std::cos(t) + dr * std::sin(t), v = -dc * std::sin(t) + dr * std::cos(t);
        return 20 + 200 * std::exp(-(u * u / (2 * su * su) + v * v / (2 * sv * sv)));
    });
    DetectorOptions options;
    options.mode = Mode::Refined;
    options.threads = 1;
    std::vector<float> pixels(image->pixels[0], image->pixels[0] + image->size);
    const auto regions = tolvane::detect(tolvane::ImageView(pixels.data(), 96, 96), options);
    // Its maxima on levels far enough apart in scale each give a region.
    ASSERT_FALSE(regions.empty());
    for (const tolvane::Region& r : regions) {
        SCOPED_TRACE(r.scale);
        EXPECT_NEAR(r.x, 47.3, 0.3);
        EXPECT_NEAR(r.y, 48.6, 0.3);
        // Axes of the ellipse: eigenvectors of [[a, b], [b, c]].
        const double angle = 0.5 * std::atan2(2 * r.b, r.a - r.c);  // of the larger eigenvalue: the minor axis
        const double root = std::sqrt((r.a - r.c) * (r.a - r.c) + 4 * r.b * r.b);
        const double axisRatio = std::sqrt(((r.a + r.c) + root) / ((r.a + r.c) - root));
        EXPECT_NEAR(axisRatio, su / sv, 0.2);
        EXPECT_NEAR(std::remainder(angle - (t + M_PI / 2), M_PI), 0, 0.05);
        EXPECT_NE(r.shape[1], r.shape[2]);
    }
}

TEST(RefinedDuplicates, StrongestFirstWithinHalfTheScaleAndOneScaleStep)
{
    using P = refined::Placement;
    struct Case {
        const char* what;
        std::vector<P> places;
        std::vector<bool> kept;
    };
    const Case cases[] = {
        {"same place, same scale", {{10, 10, 2, 5}, {10, 10, 2, 7}}, {false, true}},
        {"inside half the larger scale", {{10, 10, 2, 7}, {10.9f, 10.3f, 2.4f, 5}}, {true, false}},
        {"beyond half the larger scale", {{10, 10, 2, 7}, {11.3f, 10, 2.4f, 5}}, {true, true}},
        {"scale step of 1.2", {{50, 50, 10, 7}, {50, 50, 12, 5}}, {true, false}},
        {"scale step of 1.3", {{50, 50, 10, 7}, {50, 50, 13, 5}}, {true, true}},
        {"across a scale band border", {{50, 50, 1.24f, 7}, {50.2f, 50, 1.27f, 5}}, {true, false}},
        {"large next to small", {{50, 50, 40, 7}, {51, 50, 1, 5}}, {true, true}},
        {"a removed region removes nothing", {{0, 0, 2, 9}, {0.8f, 0, 2, 8}, {1.6f, 0, 2, 7}}, {true, false, true}},
        {"ties keep the first", {{5, 5, 3, 4}, {5, 5, 3, 4}}, {true, false}},
        {"negative coordinates", {{-3, -3, 2, 4}, {-3.5f, -3, 2, 5}}, {false, true}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(refined::distinctRegions(c.places), c.kept);
    }
}

TEST(RefinedDuplicates, GridFindsWhatEveryPairSees)
{
    std::vector<refined::Placement> places;
    for (int k = 0; k < 3000; ++k) {
        const float s = std::pow(1.2f, k % 9);
        places.push_back({static_cast<float>((k * 37) % 101) * 0.7f, static_cast<float>((k * 53) % 89) * 0.6f, s,
                          static_cast<float>((k * 7919) % 1009)});
    }
    std::vector<std::size_t> order(places.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t i, std::size_t j) { return places[i].response > places[j].response; });
    std::vector<bool> expected(places.size(), false);
    std::vector<std::size_t> kept;
    for (std::size_t i : order) {
        bool duplicate = false;
        for (std::size_t j : kept) {
            const double r = 0.5 * std::max(places[i].scale, places[j].scale);
            const double dx = places[i].x - places[j].x, dy = places[i].y - places[j].y;
            duplicate |= dx * dx + dy * dy <= r * r &&
                         std::fabs(std::log(static_cast<double>(places[i].scale) / places[j].scale)) < std::log(1.25);
        }
        if (!duplicate) {
            kept.push_back(i);
            expected[i] = true;
        }
    }
    EXPECT_EQ(refined::distinctRegions(places), expected);
}

TEST(RefinedDuplicates, AdaptingOnlyKeptPointsKeepsWhatAdaptingAllWould)
{
    std::vector<refined::Placement> places;
    for (int k = 0; k < 2000; ++k)
        places.push_back({static_cast<float>((k * 37) % 61) * 0.4f, static_cast<float>((k * 53) % 43) * 0.5f,
                          static_cast<float>(std::pow(1.2, k % 5)), static_cast<float>((k * 7919) % 1009)});
    const auto rejects = [](std::size_t k) { return (k * 2654435761u) % 7 < 3; };
    std::vector<refined::Placement> survivors;
    for (std::size_t k = 0; k < places.size(); ++k)
        if (!rejects(k))
            survivors.push_back(places[k]);
    const std::vector<bool> distinct = refined::distinctRegions(survivors);

    for (int threads : {1, 3}) {
        WorkerPool pool(threads);
        std::vector<int> adaptations(places.size(), 0);
        const std::vector<refined::Outcome> outcome = refined::adaptDistinct(
            places,
            [&](std::size_t k) {
                ++adaptations[k];
                return !rejects(k);
            },
            pool);
        std::size_t survivor = 0;
        for (std::size_t k = 0; k < places.size(); ++k) {
            SCOPED_TRACE(k);
            ASSERT_LE(adaptations[k], 1);
            if (rejects(k)) {
                EXPECT_EQ(outcome[k] == refined::Outcome::Rejected, adaptations[k] == 1);
            } else {
                EXPECT_EQ(outcome[k] == refined::Outcome::Kept, distinct[survivor++]);
            }
            EXPECT_TRUE(outcome[k] != refined::Outcome::Kept || adaptations[k] == 1);
        }
    }
}

TEST(RefinedOptions, DefaultsAndValidation)
{
    DetectorOptions exact;
    DetectorOptions refinedMode;
    refinedMode.mode = Mode::Refined;
    EXPECT_EQ(exact.responseThreshold(), 1000.0f);
    EXPECT_EQ(refinedMode.responseThreshold(), 500.0f);
    refinedMode.threshold = 700.0f;
    EXPECT_EQ(refinedMode.responseThreshold(), 700.0f);

    struct Case {
        const char* what;
        void (*change)(DetectorOptions&);
        bool valid;
    };
    const Case cases[] = {
        {"refined, factor 1.1", [](DetectorOptions& o) { o.mode = Mode::Refined; o.pyramid_factor = 1.1f; }, true},
        {"refined, factor 2", [](DetectorOptions& o) { o.mode = Mode::Refined; o.pyramid_factor = 2; }, true},
        {"refined, factor 1", [](DetectorOptions& o) { o.mode = Mode::Refined; o.pyramid_factor = 1; }, false},
        {"refined, factor NaN", [](DetectorOptions& o) { o.mode = Mode::Refined; o.pyramid_factor = NAN; }, false},
        {"refined, factor 2.5", [](DetectorOptions& o) { o.mode = Mode::Refined; o.pyramid_factor = 2.5f; }, false},
        {"exact, factor 1.1", [](DetectorOptions& o) { o.pyramid_factor = 1.1f; }, false},
        {"refined, enlarged", [](DetectorOptions& o) { o.mode = Mode::Refined; o.upsample = true; }, true},
        {"exact, enlarged", [](DetectorOptions& o) { o.upsample = true; }, false},
        {"refined Harris", [](DetectorOptions& o) { o.mode = Mode::Refined; o.detector = tolvane::Detector::Harris; },
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        DetectorOptions options;
        c.change(options);
        if (c.valid)
            EXPECT_NO_THROW(options.validate());
        else
            EXPECT_THROW(options.validate(), tolvane::Error);
    }
}

std::vector<float> pixelsOf(const DERY& image, float gain)
{
    std::vector<float> pixels(image.pixels[0], image.pixels[0] + image.size);
    for (float& p : pixels)
        p *= gain;
    return pixels;
}

void expectSameBytes(const std::vector<tolvane::Region>& a, const std::vector<tolvane::Region>& b)
{
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t k = 0; k < a.size(); ++k) {
        SCOPED_TRACE(k);
        EXPECT_EQ(floatBits(a[k].x), floatBits(b[k].x));
        EXPECT_EQ(floatBits(a[k].y), floatBits(b[k].y));
        EXPECT_EQ(a[k].shape, b[k].shape);
        EXPECT_EQ(a[k].a, b[k].a);
        EXPECT_EQ(a[k].b, b[k].b);
        EXPECT_EQ(a[k].c, b[k].c);
    }
}

TEST(RefinedDetection, SameBytesOnAnyThreadsAndTheSameRegionsAtAnyBrightness)
{
    const auto image = goldenPhotograph("coffee");
    const std::vector<float> full = pixelsOf(*image, 1);
    const tolvane::ImageView view(full.data(), image->cols, image->rows);
    DetectorOptions options;
    options.mode = Mode::Refined;
    options.threads = 1;
    tolvane::DetectionStats stats;
    const auto one = tolvane::detect(view, options, &stats);
    ASSERT_GT(one.size(), 150u);
    EXPECT_EQ(stats.extracted, one.size() + stats.rejected + stats.duplicates + stats.singular);
    for (int threads : {2, 7}) {
        options.threads = threads;
        expectSameBytes(one, tolvane::detect(view, options));
    }
    // Only the contrast matters: a quarter of the brightness finds the same
    // regions up to rounding.
    const std::vector<float> dark = pixelsOf(*image, 0.25f);
    const auto darker = tolvane::detect(tolvane::ImageView(dark.data(), image->cols, image->rows), options);
    EXPECT_NEAR(static_cast<double>(darker.size()), static_cast<double>(one.size()), 0.01 * one.size());
}

// Level grids centred on the image turn and mirror with it: the regions of a
// turned or mirrored image are the first image's regions, turned or mirrored,
// also when the image is enlarged first.
TEST(RefinedDetection, RegionsTurnAndMirrorWithTheImage)
{
    const int w = 181, h = 134;
    const tolvane::Image scene = drawScene(scatteredBlobs(40, 70, 7), w, h);
    struct Case {
        const char* name;
        int width, height;
        // source pixel (x, y) of the transformed image's pixel (u, v)
        std::function<std::pair<int, int>(int u, int v)> source;
        // a region of the first image moved into the transformed one
        std::function<tolvane::Region(const tolvane::Region&)> move;
    };
    const Case cases[] = {
        {"quarter turn clockwise", h, w, [&](int u, int v) { return std::make_pair(v, h - 1 - u); },
         [&](const tolvane::Region& r) {
             tolvane::Region t = r;
             t.x = static_cast<float>(h - 1) - r.y;
             t.y = r.x;
             t.a = r.c;
             t.b = -r.b;
             t.c = r.a;
             return t;
         }},
        {"mirror", w, h, [&](int u, int v) { return std::make_pair(w - 1 - u, v); },
         [&](const tolvane::Region& r) {
             tolvane::Region t = r;
             t.x = static_cast<float>(w - 1) - r.x;
             t.b = -r.b;
             return t;
         }},
    };
    for (bool upsample : {false, true}) {
        SCOPED_TRACE(upsample ? "enlarged" : "as it is");
        DetectorOptions options;
        options.mode = Mode::Refined;
        options.upsample = upsample;
        const auto first = tolvane::detect(tolvane::ImageView(scene.pixels.data(), w, h), options);
        ASSERT_GT(first.size(), 20u);
        for (const Case& c : cases) {
            SCOPED_TRACE(c.name);
            std::vector<std::uint8_t> pixels(scene.pixels.size());
            for (int v = 0; v < c.height; ++v)
                for (int u = 0; u < c.width; ++u) {
                    const auto [x, y] = c.source(u, v);
                    pixels[static_cast<std::size_t>(v) * c.width + u] = scene.pixels[static_cast<std::size_t>(y) * w + x];
                }
            const auto second = tolvane::detect(tolvane::ImageView(pixels.data(), c.width, c.height), options);
            EXPECT_EQ(second.size(), first.size());
            for (const tolvane::Region& r : first) {
                const tolvane::Region expected = c.move(r);
                const auto nearest = std::min_element(second.begin(), second.end(), [&](const auto& p, const auto& q) {
                    return std::hypot(p.x - expected.x, p.y - expected.y) < std::hypot(q.x - expected.x, q.y - expected.y);
                });
                ASSERT_NE(nearest, second.end());
                EXPECT_NEAR(nearest->x, expected.x, 0.01);
                EXPECT_NEAR(nearest->y, expected.y, 0.01);
                EXPECT_EQ(nearest->scale, expected.scale);
                const double size = std::sqrt(expected.a * expected.c - expected.b * expected.b);
                EXPECT_NEAR(nearest->a, expected.a, 0.01 * size);
                EXPECT_NEAR(nearest->b, expected.b, 0.01 * size);
                EXPECT_NEAR(nearest->c, expected.c, 0.01 * size);
            }
        }
    }
}

// Enlarging finds smaller structures and keeps the larger ones: nearly every
// region of the image itself has one of the enlarged image's near its centre,
// in input pixels, with an ellipse of its size up to one pyramid step (the
// enlarged image's levels fall between the image's own).
TEST(RefinedDetection, EnlargedImageKeepsTheRegionsOfTheImage)
{
    const int w = 181, h = 134;
    const tolvane::Image scene = drawScene(scatteredBlobs(40, 70, 7), w, h);
    const tolvane::ImageView view(scene.pixels.data(), w, h);
    DetectorOptions options;
    options.mode = Mode::Refined;
    const auto plain = tolvane::detect(view, options);
    options.upsample = true;
    const auto enlarged = tolvane::detect(view, options);
    ASSERT_GT(plain.size(), 20u);
    EXPECT_GT(enlarged.size(), plain.size());
    // The radius of a region's ellipse, as a circle of the same area.
    const auto radius = [](const tolvane::Region& r) { return 1 / std::sqrt(std::sqrt(r.a * r.c - r.b * r.b)); };
    std::size_t kept = 0;
    for (const tolvane::Region& r : plain) {
        const auto counterpart = [&](const tolvane::Region& e) {
            return std::hypot(e.x - r.x, e.y - r.y) < 0.15 * radius(r)
                && std::fabs(std::log(radius(e) / radius(r))) < std::log(1.25);
        };
        kept += std::any_of(enlarged.begin(), enlarged.end(), counterpart);
    }
    EXPECT_GE(kept, plain.size() * 9 / 10);
}

}  // namespace
