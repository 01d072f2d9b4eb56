// The two multi-scale detectors, end to end on synthetic images.
#include "region_lists.h"
#include "stages.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <memory>
#include <vector>

namespace {

struct Regions {
    std::vector<AffRegion*> list;
    ~Regions()
    {
        for (AffRegion* region : list)
            delete region;
    }
};

// A bright blob of standard deviations su along u and sv along v, centred
// on column cc, row cr; u follows the columns, or the diagonal when rotated.
std::unique_ptr<DERY> blob(int size, double cc, double cr, double su, double sv, bool diagonal)
{
    return makeImage(size, size, [=](int r, int c) {
        const double dc = c - cc, dr = r - cr;
        const double u = diagonal ? (dc + dr) / std::sqrt(2.0) : dc;
        const double v = diagonal ? (dr - dc) / std::sqrt(2.0) : dr;
        return 20 + 200 * std::exp(-(u * u / (2 * su * su) + v * v / (2 * sv * sv)));
    });
}

TEST(Pyramid, LevelsOfA640By480Image)
{
    const int cols[] = {640, 533, 444, 370, 308, 257, 214, 178, 148, 123, 102,
                        85,  71,  59,  49,  41,  34,  28,  23,  19,  16};
    const int rows[] = {480, 400, 333, 277, 231, 192, 160, 133, 111, 92, 77,
                        64,  53,  44,  37,  31,  26,  22,  18,  15,  12};
    const std::vector<PyramidLevel> levels = pyramidLevels(480, 640);
    ASSERT_EQ(levels.size(), 21u);
    float scale = 1.0f;
    for (size_t i = 0; i < levels.size(); ++i) {
        EXPECT_EQ(levels[i].cols, cols[i]) << i;
        EXPECT_EQ(levels[i].rows, rows[i]) << i;
        EXPECT_EQ(levels[i].scale, scale) << i;
        scale *= 1.2f;
    }
    EXPECT_NEAR(levels[20].scale, 38.3376, 5e-5);  // printed as 38.3376
}

TEST(Pyramid, SmallInputs)
{
    auto sides = [](int rows, int cols) {
        std::vector<std::pair<int, int>> result;
        for (const PyramidLevel& level : pyramidLevels(rows, cols))
            result.emplace_back(level.cols, level.rows);
        return result;
    };
    using Sizes = std::vector<std::pair<int, int>>;
    EXPECT_EQ(sides(12, 40), (Sizes{{40, 12}}));
    EXPECT_EQ(sides(13, 13), (Sizes{{13, 13}, {11, 11}}));
    EXPECT_EQ(sides(15, 15), (Sizes{{15, 15}, {12, 12}}));
    EXPECT_EQ(sides(16, 16), (Sizes{{16, 16}, {13, 13}, {11, 11}}));
    EXPECT_EQ(sides(13, 100), (Sizes{{100, 13}, {83, 11}}));
    EXPECT_EQ(sides(333, 333)[1], std::make_pair(277, 277));
}

TEST(HessianAffine, IsotropicBlobGivesOneRoundRegion)
{
    auto image = blob(40, 17, 20, 3, 3, false);
    Regions regions;
    multi_scale_hes(image.get(), regions.list, 1000.0f, 16);
    ASSERT_EQ(regions.list.size(), 1u);
    const AffRegion& region = *regions.list[0];
    EXPECT_EQ(region.level, 2);
    EXPECT_EQ(region.lapIndex, 2);
    EXPECT_EQ(region.mode, 2);
    EXPECT_EQ(region.x, 12 * 1.44f);
    EXPECT_EQ(region.y, 14 * 1.44f);
    EXPECT_FLOAT_EQ(region.x, 17.28f);
    EXPECT_NEAR(region.mi11, 1.0, 0.01);
    EXPECT_NEAR(region.mi12, 0.0, 0.01);
    EXPECT_NEAR(region.mi22, 1.0, 0.01);
}

TEST(HessianAffine, ElongatedBlobsGiveStretchedShapes)
{
    {
        auto image = blob(44, 22, 22, 4, 2, false);
        Regions regions;
        multi_scale_hes(image.get(), regions.list, 1000.0f, 16);
        ASSERT_EQ(regions.list.size(), 1u);
        const AffRegion& region = *regions.list[0];
        EXPECT_FLOAT_EQ(region.x, 21.6f);
        EXPECT_FLOAT_EQ(region.y, 21.6f);
        EXPECT_EQ(region.level, 2);
        EXPECT_NEAR(region.mi11, 1.38, 0.01);
        EXPECT_NEAR(region.mi12, 0.0, 0.01);
        EXPECT_NEAR(region.mi22, 0.73, 0.01);
        EXPECT_NEAR(region.mi11 * region.mi22 - region.mi12 * region.mi12, 1.0, 0.01);
    }
    {
        auto image = blob(44, 22, 22, 4, 2, true);
        Regions regions;
        multi_scale_hes(image.get(), regions.list, 1000.0f, 16);
        ASSERT_EQ(regions.list.size(), 1u);
        const AffRegion& region = *regions.list[0];
        EXPECT_NEAR(region.mi11, 1.05, 0.01);
        EXPECT_NEAR(region.mi22, 1.05, 0.01);
        EXPECT_NEAR(region.mi12, 0.31, 0.01);
        EXPECT_NEAR(region.mi11 * region.mi22 - region.mi12 * region.mi12, 1.0, 0.01);
    }
}

TEST(HessianAffine, WithoutBudgetShapesStayIdentityAndInputIsUnchanged)
{
    auto image = blob(44, 22, 22, 4, 2, true);
    auto copy = blob(44, 22, 22, 4, 2, true);
    for (int budget : {0, -3}) {
        Regions regions;
        multi_scale_hes(image.get(), regions.list, 1000.0f, budget);
        ASSERT_EQ(regions.list.size(), 1u);
        EXPECT_EQ(regions.list[0]->mi11, 1.0f);
        EXPECT_EQ(regions.list[0]->mi12, 0.0f);
        EXPECT_EQ(regions.list[0]->mi22, 1.0f);
    }
    for (int i = 0; i < image->size; ++i)
        ASSERT_EQ(image->pixels[0][i], copy->pixels[0][i]);
}

TEST(Detectors, InputsTooSmallForThreeLevelsGiveNothing)
{
    for (int side : {0, 1, 5, 9, 13, 15}) {
        auto image = makeImage(side, side, [](int r, int c) { return (r * 7 + c * 13) % 256; });
        Regions hes, har;
        multi_scale_hes(image.get(), hes.list, 1000.0f, 16);
        multi_scale_har(image.get(), har.list, 1000.0f, 16);
        EXPECT_TRUE(hes.list.empty()) << side;
        EXPECT_TRUE(har.list.empty()) << side;
    }
    auto strip = makeImage(5, 3000, [](int, int c) { return c % 200; });
    Regions regions;
    multi_scale_hes(strip.get(), regions.list, 1000.0f, 16);
    EXPECT_TRUE(regions.list.empty());
}

// Two dark squares on a bright background: eight corners.
std::unique_ptr<DERY> squares()
{
    return makeImage(64, 64, [](int r, int c) {
        const bool first = r >= 16 && r < 34 && c >= 14 && c < 30;
        const bool second = r >= 38 && r < 52 && c >= 36 && c < 54;
        return first || second ? 30.0 : 200.0;
    });
}

TEST(HarrisAffine, BudgetSelectsModeAndAdaptation)
{
    auto image = squares();
    Regions none, one, negative, sixteen;
    multi_scale_har(image.get(), none.list, 1000.0f, 0);
    multi_scale_har(image.get(), one.list, 1000.0f, 1);
    multi_scale_har(image.get(), negative.list, 1000.0f, -1);
    multi_scale_har(image.get(), sixteen.list, 1000.0f, 16);
    ASSERT_FALSE(none.list.empty());
    ASSERT_EQ(one.list.size(), none.list.size());
    ASSERT_EQ(negative.list.size(), none.list.size());
    bool someShapeFromMoments = false;
    for (size_t i = 0; i < none.list.size(); ++i) {
        const AffRegion& a = *none.list[i];
        const AffRegion& b = *one.list[i];
        const AffRegion& c = *negative.list[i];
        EXPECT_EQ(a.mode, 0);
        EXPECT_EQ(b.mode, 1);
        EXPECT_EQ(c.mode, 1);
        EXPECT_EQ(a.x, b.x);
        EXPECT_EQ(a.y, b.y);
        EXPECT_EQ(a.level, b.level);
        EXPECT_GE(a.level, 1);
        EXPECT_GE(a.lapIndex, 1);
        EXPECT_EQ(a.mi11, 1.0f);
        EXPECT_EQ(a.mi12, 0.0f);
        EXPECT_EQ(a.mi22, 1.0f);
        EXPECT_EQ(b.mi11, c.mi11);
        EXPECT_EQ(b.mi12, c.mi12);
        EXPECT_EQ(b.mi22, c.mi22);
        someShapeFromMoments |= b.mi11 != 1.0f || b.mi12 != 0.0f;
    }
    EXPECT_TRUE(someShapeFromMoments);
    // Adaptation keeps a subsequence of the unadapted regions, in order.
    EXPECT_LE(sixteen.list.size(), one.list.size());
    size_t j = 0;
    for (const AffRegion* adapted : sixteen.list) {
        while (j < one.list.size() && (one.list[j]->x != adapted->x || one.list[j]->y != adapted->y))
            ++j;
        ASSERT_LT(j, one.list.size()) << "adapted region not among the extracted ones";
        EXPECT_EQ(adapted->mode, 1);
        ++j;
    }
}

TEST(Detectors, AdaptRegionsAlreadyInTheList)
{
    auto image = blob(44, 22, 22, 4, 2, false);
    Regions found;
    multi_scale_hes(image.get(), found.list, 1000.0f, 0);
    ASSERT_EQ(found.list.size(), 1u);
    // Hand the unadapted region back in: it is adapted along with the new one.
    Regions again;
    again.list.push_back(new AffRegion(*found.list[0]));
    multi_scale_hes(image.get(), again.list, 1000.0f, 16);
    ASSERT_EQ(again.list.size(), 2u);
    EXPECT_NEAR(again.list[0]->mi11, 1.38, 0.01);
    EXPECT_EQ(again.list[0]->mi11, again.list[1]->mi11);
    EXPECT_EQ(again.list[0]->mi22, again.list[1]->mi22);
}

}  // namespace
