// The namespaced API: the same regions as the legacy detectors, from any
// pixel layout, with count control, validation and concurrent calls.
#include "region_lists.h"

#include <tolvane/tolvane.h>

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <cstdint>
#include <thread>
#include <vector>

namespace {

struct Photo {
    int width;
    int height;
    std::vector<std::uint8_t> pixels;
    tolvane::ImageView view() const { return {pixels.data(), width, height}; }
};

Photo photo(const std::string& name)
{
    const std::unique_ptr<DERY> image = goldenPhotograph(name);
    Photo p{image->cols, image->rows, {}};
    for (int r = 0; r < image->rows; ++r)
        for (int c = 0; c < image->cols; ++c)
            p.pixels.push_back(static_cast<std::uint8_t>(image->pixels[r][c]));
    return p;
}

tolvane::DetectorOptions optionsFor(tolvane::Detector detector, int threads = 1)
{
    tolvane::DetectorOptions options;
    options.detector = detector;
    options.threads = threads;
    return options;
}

void expectSameRegions(const std::vector<tolvane::Region>& expected, const std::vector<tolvane::Region>& actual)
{
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t k = 0; k < expected.size(); ++k) {
        const tolvane::Region& e = expected[k];
        const tolvane::Region& a = actual[k];
        SCOPED_TRACE("region " + std::to_string(k));
        for (float tolvane::Region::*field : {&tolvane::Region::x, &tolvane::Region::y, &tolvane::Region::scale,
                                              &tolvane::Region::lap_scale, &tolvane::Region::response})
            EXPECT_EQ(floatBits(a.*field), floatBits(e.*field));
        EXPECT_EQ(a.shape, e.shape);
        EXPECT_EQ(a.level, e.level);
        EXPECT_EQ(a.lap_index, e.lap_index);
        EXPECT_EQ(a.a, e.a);
        EXPECT_EQ(a.b, e.b);
        EXPECT_EQ(a.c, e.c);
    }
}

TEST(Api, EqualsTheLegacyDetectorsBitForBit)
{
    for (const char* name : {"camera", "coffee"}) {
        const std::unique_ptr<DERY> image = goldenPhotograph(name);
        const Photo p = photo(name);
        for (tolvane::Detector detector : {tolvane::Detector::Hessian, tolvane::Detector::Harris}) {
            SCOPED_TRACE(std::string(name) + (detector == tolvane::Detector::Hessian ? " hessian" : " harris"));
            RegionList legacy;
            if (detector == tolvane::Detector::Hessian)
                multi_scale_hes(image.get(), legacy.list, 1000.0f, 16);
            else
                multi_scale_har(image.get(), legacy.list, 1000.0f, 16);
            tolvane::DetectionStats stats;
            const std::vector<tolvane::Region> regions = tolvane::detect(p.view(), optionsFor(detector, 2), &stats);
            ASSERT_EQ(regions.size(), legacy.list.size());
            EXPECT_EQ(stats.extracted, regions.size() + stats.rejected);
            for (std::size_t k = 0; k < regions.size(); ++k) {
                const AffRegion& e = *legacy.list[k];
                const tolvane::Region& a = regions[k];
                Ellipse ellipse;
                ASSERT_TRUE(regionEllipse(e, ellipse));
                EXPECT_EQ(floatBits(a.x), floatBits(e.x));
                EXPECT_EQ(floatBits(a.y), floatBits(e.y));
                EXPECT_EQ(floatBits(a.response), floatBits(e.response));
                EXPECT_EQ(floatBits(a.lap_scale), floatBits(e.lapScale));
                EXPECT_EQ(a.shape, (std::array<float, 4>{e.mi11, e.mi12, e.mi12, e.mi22}));
                EXPECT_EQ(a.level, e.level);
                EXPECT_EQ(a.a, ellipse.a);
                EXPECT_EQ(a.c, ellipse.c);
            }
        }
    }
}

TEST(Api, StridedAndFloatViewsEqualPackedBytes)
{
    const Photo p = photo("coffee");
    const std::vector<tolvane::Region> packed = tolvane::detect(p.view(), optionsFor(tolvane::Detector::Hessian));
    ASSERT_GT(packed.size(), 100u);

    const int stride = p.width + 13;
    std::vector<std::uint8_t> padded(static_cast<std::size_t>(stride) * p.height, 77);
    std::vector<float> floats(static_cast<std::size_t>(stride) * p.height, -5.0f);
    for (int r = 0; r < p.height; ++r)
        for (int c = 0; c < p.width; ++c) {
            padded[r * stride + c] = p.pixels[r * p.width + c];
            floats[r * stride + c] = p.pixels[r * p.width + c];
        }
    const auto options = optionsFor(tolvane::Detector::Hessian);
    expectSameRegions(packed, tolvane::detect({padded.data(), p.width, p.height, stride}, options));
    expectSameRegions(packed,
                      tolvane::detect({floats.data(), p.width, p.height, stride * 4}, options));
}

TEST(Api, MaxRegionsKeepsTheStrongestWhateverTheCountOrThreads)
{
    const Photo p = photo("camera");
    auto options = optionsFor(tolvane::Detector::Hessian);
    const std::vector<tolvane::Region> all = tolvane::detect(p.view(), options);
    ASSERT_GT(all.size(), 200u);

    options.max_regions = 100;
    tolvane::DetectionStats stats;
    const std::vector<tolvane::Region> strongest = tolvane::detect(p.view(), options, &stats);
    ASSERT_EQ(strongest.size(), 100u);
    EXPECT_EQ(stats.cut, all.size() - 100);
    float weakestKept = INFINITY;
    for (const tolvane::Region& r : strongest)
        weakestKept = std::min(weakestKept, std::fabs(r.response));
    std::size_t stronger = 0;
    for (const tolvane::Region& r : all)
        stronger += std::fabs(r.response) > weakestKept;
    EXPECT_LT(stronger, 100u);

    options.max_regions = 200;
    std::vector<tolvane::Region> subset;
    for (const tolvane::Region& r : tolvane::detect(p.view(), options))
        if (std::fabs(r.response) >= weakestKept)
            subset.push_back(r);
    options.threads = 7;
    options.max_regions = 100;
    expectSameRegions(strongest, tolvane::detect(p.view(), options));
    subset.resize(std::min(subset.size(), strongest.size()));
    expectSameRegions(strongest, subset);

    options.max_regions = all.size() + 1;
    expectSameRegions(all, tolvane::detect(p.view(), options));
}

TEST(Api, InvalidOptionsAndViewsThrowTheLibraryError)
{
    std::vector<std::uint8_t> pixels(64 * 64, 0);
    const tolvane::ImageView good(pixels.data(), 64, 64);
    struct Case {
        const char* what;
        tolvane::ImageView view;
        void (*change)(tolvane::DetectorOptions&);
    };
    const Case cases[] = {
        {"negative iterations", good, [](tolvane::DetectorOptions& o) { o.iterations = -1; }},
        {"NaN threshold", good, [](tolvane::DetectorOptions& o) { o.threshold = NAN; }},
        {"infinite threshold", good, [](tolvane::DetectorOptions& o) { o.threshold = INFINITY; }},
        {"negative threads", good, [](tolvane::DetectorOptions& o) { o.threads = -2; }},
        {"negative side", tolvane::ImageView(pixels.data(), -1, 64), [](tolvane::DetectorOptions&) {}},
        {"no pixels", tolvane::ImageView(static_cast<const std::uint8_t*>(nullptr), 64, 64),
         [](tolvane::DetectorOptions&) {}},
        {"short stride", tolvane::ImageView(pixels.data(), 64, 32, 63), [](tolvane::DetectorOptions&) {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        tolvane::DetectorOptions options;
        c.change(options);
        EXPECT_THROW(tolvane::detect(c.view, options), tolvane::Error);
    }
    EXPECT_TRUE(tolvane::detect(good).empty());
    EXPECT_TRUE(tolvane::detect(tolvane::ImageView()).empty());
}

TEST(Api, ConcurrentCallsGiveTheSequentialResults)
{
    const Photo a = photo("camera");
    const Photo b = photo("coffee");
    const auto hessian = optionsFor(tolvane::Detector::Hessian, 2);
    const auto harris = optionsFor(tolvane::Detector::Harris, 1);
    const std::vector<tolvane::Region> expectedA = tolvane::detect(a.view(), hessian);
    const std::vector<tolvane::Region> expectedB = tolvane::detect(b.view(), harris);
    std::vector<tolvane::Region> gotA, gotB;
    std::thread first([&] { gotA = tolvane::detect(a.view(), hessian); });
    std::thread second([&] { gotB = tolvane::detect(b.view(), harris); });
    first.join();
    second.join();
    expectSameRegions(expectedA, gotA);
    expectSameRegions(expectedB, gotB);
}

}  // namespace

namespace {

TEST(Api, ReadingClassifiesItsFailures)
{
    const std::string pgm = "P5\n3 2\n255\n\x01\x02\x03\x04\x05\x06";
    const tolvane::Image image = tolvane::decodeImage(pgm);
    EXPECT_EQ(image.width, 3);
    EXPECT_EQ(image.height, 2);
    EXPECT_EQ(image.pixels, (std::vector<std::uint8_t>{1, 2, 3, 4, 5, 6}));

    tolvane::ReadOptions small;
    small.max_pixels = 5;
    tolvane::ReadOptions none;
    none.max_pixels = 0;
    const struct {
        const char* what;
        std::function<void()> read;
        tolvane::ErrorCode code;
    } cases[] = {
        {"missing file", [] { tolvane::readImage("/nonexistent/image.pgm"); }, tolvane::ErrorCode::FileAccess},
        {"not an image", [] { tolvane::decodeImage("hello"); }, tolvane::ErrorCode::BadData},
        {"beyond the pixel limit", [&] { tolvane::decodeImage(pgm, small); }, tolvane::ErrorCode::BadData},
        {"no pixel allowed", [&] { tolvane::decodeImage(pgm, none); }, tolvane::ErrorCode::InvalidArgument},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        try {
            c.read();
            ADD_FAILURE() << "no error";
        } catch (const tolvane::Error& e) {
            EXPECT_EQ(e.code(), c.code);
            EXPECT_STRNE(e.what(), "");
        }
    }
}

}  // namespace
