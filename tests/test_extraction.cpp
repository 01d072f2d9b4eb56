#include "stages.h"
#include "region_lists.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace {

std::vector<float> powersOf12(std::size_t n)
{
    std::vector<float> scales{1.0f};
    while (scales.size() < n)
        scales.push_back(scales.back() * 1.2f);
    return scales;
}

DERY* constantImage(int side, float value)
{
    DERY* image = new DERY(side, side);
    for (int i = 0; i < image->size; ++i)
        image->pixels[0][i] = value;
    return image;
}

// Square levels with zero response maps, a constant Laplacian value per
// level, and the second-moment maps of mode 1.
class Pyramid {
public:
    Pyramid(const std::vector<int>& sides, std::vector<float> levelScales,
            const std::vector<float>& lapValues)
        : scales(std::move(levelScales))
    {
        for (std::size_t i = 0; i < sides.size(); ++i) {
            response.push_back(constantImage(sides[i], 0.0f));
            lap.push_back(constantImage(sides[i], lapValues[i]));
            m11.push_back(constantImage(sides[i], 4.0f));
            m12.push_back(constantImage(sides[i], 0.0f));
            m22.push_back(constantImage(sides[i], 1.0f));
        }
    }
    ~Pyramid()
    {
        for (auto* list : {&response, &lap, &m11, &m12, &m22})
            for (DERY* image : *list)
                delete image;
    }
    Pyramid(const Pyramid&) = delete;
    Pyramid& operator=(const Pyramid&) = delete;

    void peak(std::size_t level, int row, int col, float value)
    {
        response[level]->pixels[row][col] = value;
    }
    void extract(std::vector<AffRegion*>& regions, int mode = 2, float threshold = 1000.0f)
    {
        harris_lap(response, m11, m12, m22, lap, scales, regions, threshold, mode);
    }

    std::vector<float> scales;
    std::vector<DERY*> response, lap, m11, m12, m22;
};

// Six 40x40 levels whose Laplacian alternates in sign, so that level L gets
// the characteristic-scale index L - 1 (1 for level 1); scales chosen freely.
Pyramid alternating(const std::vector<float>& scales)
{
    return Pyramid(std::vector<int>(6, 40), scales, {0, 10, -10, 10, -10, 10});
}

struct Regions {
    ~Regions()
    {
        for (AffRegion* r : list)
            delete r;
    }
    std::vector<AffRegion*> list;
};

std::vector<int> levelsOf(const Regions& regions)
{
    std::vector<int> levels;
    for (const AffRegion* r : regions.list)
        levels.push_back(r->level);
    return levels;
}

// getLapMax over 20x20 maps holding one constant each, at scale 1, so the
// samples are the values themselves.
int lapMaxOf(const std::vector<float>& values, unsigned level, unsigned below = 1,
             unsigned above = 8, float x = 10.0f, float y = 10.0f,
             const std::vector<int>& sides = {})
{
    std::vector<int> allSides = sides.empty() ? std::vector<int>(values.size(), 20) : sides;
    Pyramid maps(allSides, std::vector<float>(values.size(), 1.0f), values);
    return getLapMax(maps.lap, maps.scales, level, below, above, x, y);
}

}  // namespace

TEST(GetLapMax, OnlyStrictExtremaBeyondFourQualify)
{
    EXPECT_EQ(lapMaxOf({0, 4.0f, 0}, 1), -1);
    EXPECT_EQ(lapMaxOf({0, -4.0f, 0}, 1), -1);
    EXPECT_EQ(lapMaxOf({0, 4.5f, 0}, 1), 1);
    EXPECT_EQ(lapMaxOf({0, -4.5f, 0}, 1), 1);
    EXPECT_EQ(lapMaxOf({0, 9, 9, 0}, 1), -1);  // plateau
    EXPECT_EQ(lapMaxOf({1, 10, 20, 30, 40}, 1), -1);
    EXPECT_EQ(lapMaxOf({0, 1, -10, 10, 0}, 1), 2);  // the first extremum wins
}

TEST(GetLapMax, SearchStartsOneBelowTheLevelButNotBeforeOne)
{
    const std::vector<float> alternatingValues{0, 10, -10, 10, -10, 10, 0};
    EXPECT_EQ(lapMaxOf(alternatingValues, 1), 1);
    EXPECT_EQ(lapMaxOf(alternatingValues, 2), 1);
    EXPECT_EQ(lapMaxOf(alternatingValues, 3), 2);
    EXPECT_EQ(lapMaxOf(alternatingValues, 0, 0), 1);
    EXPECT_EQ(lapMaxOf(alternatingValues, 2, 2), 1);
    EXPECT_EQ(lapMaxOf(alternatingValues, 1, 2), -1);  // start below level 0
}

TEST(GetLapMax, AboveBoundsBothSamplingAndSearch)
{
    EXPECT_EQ(lapMaxOf({0, 10, 0}, 1, 1, 1), -1);  // two samples only
    EXPECT_EQ(lapMaxOf({0, 10, 0}, 1, 1, 2), 1);
    EXPECT_EQ(lapMaxOf({0, 1, 2, 10, 0}, 1, 1, 2), -1);  // index 3 not examined
}

TEST(GetLapMax, LevelsWherePointIsInTheBorderGiveNoSample)
{
    // A 12x12 level has its border from column 8 on: (10, 10) is skipped
    // there and later samples move down one place.
    EXPECT_EQ(lapMaxOf({0, 5, 10, -10, 0}, 1, 1, 8, 10, 10, {20, 20, 12, 20, 20}), 1);
    EXPECT_EQ(lapMaxOf({0, 5, 10, -10, 0}, 1, 1, 8, 10, 10, {20, 20, 20, 12, 12}), -1);
    EXPECT_EQ(lapMaxOf({0, 5, 10, -10, 0}, 1), 2);
    // The border comparisons are strict: 4 and cols - 4 = 16 are inside it.
    EXPECT_EQ(lapMaxOf({0, 5, 0}, 1, 1, 8, 4.0f, 10), -1);
    EXPECT_EQ(lapMaxOf({0, 5, 0}, 1, 1, 8, 4.5f, 10), 1);
    EXPECT_EQ(lapMaxOf({0, 5, 0}, 1, 1, 8, 10, 16.0f), -1);
}

TEST(GetLapMax, NoSamplesOrNoLevelsGiveMinusOne)
{
    EXPECT_EQ(lapMaxOf({0, 10, 0}, 1, 1, 8, -100.0f, 10), -1);
    EXPECT_EQ(getLapMax({}, {}, 1, 1, 8, 10.0f, 10.0f), -1);
}

TEST(HarrisLap, SixLevelExampleKeepsTheStrongerNearDuplicateInScanOrder)
{
    for (bool fineStronger : {true, false}) {
        Pyramid p({40, 33, 28, 23, 19, 16}, powersOf12(6), {0, 5, 10, -10, 0, 0});
        p.peak(1, 10, 10, fineStronger ? 3000.0f : 2000.0f);
        p.peak(4, 6, 6, fineStronger ? 2000.0f : 3000.0f);
        p.peak(1, 20, 20, 1500.0f);
        p.peak(1, 8, 25, 1500.0f);
        Regions out;
        p.extract(out.list);

        const float s1 = p.scales[1];
        const float s4 = p.scales[4];
        std::vector<std::pair<float, float>> expected{{25 * s1, 8 * s1}};
        if (fineStronger)
            expected.push_back({12.0f, 12.0f});
        expected.push_back({24.0f, 24.0f});
        if (!fineStronger)
            expected.push_back({6 * s4, 6 * s4});
        ASSERT_EQ(out.list.size(), expected.size()) << fineStronger;
        for (std::size_t k = 0; k < expected.size(); ++k) {
            EXPECT_EQ(out.list[k]->x, expected[k].first) << k;
            EXPECT_EQ(out.list[k]->y, expected[k].second) << k;
        }
        const AffRegion* survivor = out.list[fineStronger ? 1 : 2];
        const int lapIndex = fineStronger ? 2 : 3;
        const int level = fineStronger ? 1 : 4;
        EXPECT_EQ(survivor->response, 3000.0f);
        EXPECT_EQ(survivor->scale, p.scales[level]);
        EXPECT_EQ(survivor->lapScale, p.scales[lapIndex]);
        EXPECT_EQ(survivor->lapIndex, lapIndex);
        EXPECT_EQ(survivor->level, level);
        EXPECT_EQ(survivor->mode, 2);
        EXPECT_EQ(survivor->mi11, 1.0f);
        EXPECT_EQ(survivor->mi12, 0.0f);
        EXPECT_EQ(survivor->mi22, 1.0f);
    }
}

TEST(HarrisLap, OnlyStrictMaximaAboveThresholdInsideTheScanBorder)
{
    Pyramid p = alternating(std::vector<float>(6, 1.0f));
    p.peak(1, 20, 20, 1000.0f);  // equal to the threshold
    p.peak(2, 20, 20, 2000.0f);  // plateau of two pixels
    p.peak(2, 20, 21, 2000.0f);
    for (int edge : {4, 35})  // first and last rows/columns of the border
        for (std::size_t level = 1; level < 5; ++level) {
            p.peak(level, edge, 20, 5000.0f);
            p.peak(level, 20, edge, 5000.0f);
        }
    p.peak(0, 10, 10, 5000.0f);  // the finest and coarsest levels are not scanned
    p.peak(5, 10, 10, 5000.0f);
    Regions none;
    p.extract(none.list);
    EXPECT_TRUE(none.list.empty());

    p.peak(1, 20, 20, std::nextafter(1000.0f, 2000.0f));
    p.peak(3, 5, 5, 5000.0f);
    p.peak(3, 34, 34, 5000.0f);
    Regions some;
    p.extract(some.list);
    EXPECT_EQ(levelsOf(some), (std::vector<int>{1, 3, 3}));
}

TEST(HarrisLap, EqualResponsesKeepTheLaterRegionAndExactBoundIsNoDuplicate)
{
    Pyramid tie = alternating(std::vector<float>(6, 1.0f));
    tie.peak(1, 20, 20, 2000.0f);  // levels 1 and 2 share bucket 1
    tie.peak(2, 20, 20, 2000.0f);
    Regions tied;
    tie.extract(tied.list);
    EXPECT_EQ(levelsOf(tied), (std::vector<int>{2}));

    Pyramid apart = alternating({1, 2, 1, 1, 1, 1});
    apart.peak(1, 10, 10, 3000.0f);  // (20, 20)
    apart.peak(2, 20, 22, 2000.0f);  // (22, 20): exactly scales[1] away
    apart.peak(2, 30, 21, 2000.0f);  // (21, 30)
    apart.peak(1, 15, 10, 1500.0f);  // (20, 30): near (21, 30), weaker
    Regions kept;
    apart.extract(kept.list);
    ASSERT_EQ(levelsOf(kept), (std::vector<int>{1, 2, 2}));
    EXPECT_EQ(kept.list[1]->x, 22.0f);
    EXPECT_EQ(kept.list[2]->x, 21.0f);
}

TEST(HarrisLap, AdjacentBucketsAreComparedWithTheLowerBucketsBound)
{
    // Level 1 fills bucket 1 (bound 1), level 3 bucket 2 (bound 3), level 4
    // bucket 3.
    struct Case {
        int upperLevel;
        int upperCol;
        float lowerResponse;
        std::vector<int> survivors;
    };
    const Case cases[] = {
        {3, 20, 3000.0f, {1}},     // the weaker upper region goes
        {3, 20, 2000.0f, {3}},     // the weaker lower region goes
        {3, 21, 3000.0f, {1, 3}},  // 1 apart: not below bucket 1's bound
        {4, 20, 2000.0f, {1, 4}},  // two buckets apart: never compared
    };
    for (const Case& c : cases) {
        Pyramid p = alternating({1, 1, 3, 1, 1, 1});
        p.peak(1, 20, 20, c.lowerResponse);
        p.peak(c.upperLevel, 20, c.upperCol, 2500.0f);
        Regions out;
        p.extract(out.list);
        EXPECT_EQ(levelsOf(out), c.survivors) << c.upperLevel << " " << c.upperCol;
    }
}

TEST(HarrisLap, ExistingRegionsStayInFrontUntouched)
{
    Pyramid p = alternating(std::vector<float>(6, 1.0f));
    p.peak(1, 20, 20, 2000.0f);
    Regions out;
    out.list.push_back(new AffRegion{20, 20, 9000, 1, 1, 1, 0, 1, 1, 1, 2});
    p.extract(out.list);
    ASSERT_EQ(out.list.size(), 2u);
    EXPECT_EQ(out.list[0]->response, 9000.0f);
    EXPECT_EQ(out.list[1]->response, 2000.0f);
}

TEST(HarrisLap, ModeOneStartsFromTheNormalisedSecondMomentMatrix)
{
    Pyramid p = alternating(std::vector<float>(6, 1.0f));
    p.peak(1, 20, 20, 2000.0f);
    p.peak(2, 10, 10, 2000.0f);
    p.m11[2]->pixels[10][10] = 2.0f;  // a multiple of the identity stays raw
    p.m22[2]->pixels[10][10] = 2.0f;
    Regions out;
    p.extract(out.list, 1);
    ASSERT_EQ(out.list.size(), 2u);
    EXPECT_NEAR(out.list[0]->mi11, std::sqrt(0.5), 1e-6);
    EXPECT_EQ(out.list[0]->mi12, 0.0f);
    EXPECT_NEAR(out.list[0]->mi22, std::sqrt(2.0), 1e-6);
    EXPECT_EQ(out.list[0]->mode, 1);
    EXPECT_EQ(out.list[1]->mi11, 2.0f);
    EXPECT_EQ(out.list[1]->mi22, 2.0f);
}

TEST(HarrisLap, TooFewLevelsOrOutOfRangeScaleIndexAddNothing)
{
    Pyramid two({40, 40}, {1, 1}, {0, 10});
    two.peak(1, 20, 20, 5000.0f);
    Regions out;
    two.extract(out.list);
    harris_lap({}, {}, {}, {}, {}, {}, out.list, 1000.0f, 2);
    EXPECT_TRUE(out.list.empty());

    // Longer Laplacian list: the characteristic index 3 has no bucket among
    // the three response levels.
    Pyramid p(std::vector<int>(5, 40), std::vector<float>(5, 1.0f), {0, 0, 0, 10, 0});
    p.peak(1, 20, 20, 5000.0f);
    const std::vector<DERY*> threeLevels(p.response.begin(), p.response.begin() + 3);
    harris_lap(threeLevels, threeLevels, threeLevels, threeLevels, p.lap, p.scales, out.list,
               1000.0f, 2);
    EXPECT_TRUE(out.list.empty());
}

TEST(HarrisLap, MaximaAcrossAWideRowAreFoundInScanOrder)
{
    // Rows wider than the groups of columns the scan tests together.
    Pyramid p(std::vector<int>(6, 200), std::vector<float>(6, 1.0f), {0, 10, -10, 10, -10, 10});
    const std::vector<std::pair<int, int>> peaks{{20, 5}, {20, 68}, {20, 133}, {20, 194}, {30, 69}, {30, 132}};
    for (const auto& [row, col] : peaks)
        p.peak(1, row, col, 2000.0f);
    p.peak(1, 40, 195, 2000.0f);  // in the border
    Regions out;
    p.extract(out.list);
    ASSERT_EQ(out.list.size(), peaks.size());
    for (std::size_t k = 0; k < peaks.size(); ++k) {
        EXPECT_EQ(out.list[k]->y, static_cast<float>(peaks[k].first));
        EXPECT_EQ(out.list[k]->x, static_cast<float>(peaks[k].second));
    }
}

TEST(HarrisLap, SameRegionsWithAnyThreadCount)
{
    std::unique_ptr<DERY> photograph = goldenPhotograph("camera");
    ASSERT_TRUE(photograph);
    const ScaleSpace space(photograph.get());
    const HessianMaps hessian(space);
    const HarrisMaps harris(space);
    const auto extract = [&](int mode, int threads) {
        RegionList regions;
        if (mode == 2)
            harris_lap(hessian.det, hessian.det, hessian.det, hessian.det, hessian.trace, space.scales,
                       regions.list, 1000.0f, mode, threads);
        else
            harris_lap(harris.response, harris.m11, harris.m12, harris.m22, harris.lap, space.scales,
                       regions.list, 1000.0f, mode, threads);
        return regions;
    };
    for (int mode : {1, 2}) {
        const RegionList single = extract(mode, 1);
        EXPECT_GT(single.list.size(), 50u);
        for (int threads : {2, 3, 7}) {
            SCOPED_TRACE("mode " + std::to_string(mode) + ", " + std::to_string(threads) + " threads");
            expectSameRegions(single, extract(mode, threads));
        }
    }
}

namespace {

// The thinning in its plain quadratic form: each candidate meets every other
// region of its bucket and of the next one in list order.
void suppressByScanningAll(std::vector<std::vector<AffRegion>>& buckets, const std::vector<float>& scales)
{
    const auto near = [](const AffRegion& p, const AffRegion& q, float bound) {
        return std::fabs(static_cast<double>(p.x) - q.x) < bound && std::fabs(static_cast<double>(p.y) - q.y) < bound;
    };
    std::vector<std::vector<bool>> kept;
    for (const auto& bucket : buckets)
        kept.emplace_back(bucket.size(), true);
    for (std::size_t i = 0; i < buckets.size(); ++i) {
        for (std::size_t p = 0; p < buckets[i].size(); ++p) {
            for (std::size_t b = i; b <= i + 1 && b < buckets.size() && kept[i][p]; ++b) {
                for (std::size_t q = 0; q < buckets[b].size() && kept[i][p]; ++q) {
                    if ((b == i && q == p) || !kept[b][q] || !near(buckets[i][p], buckets[b][q], scales[i]))
                        continue;
                    if (buckets[i][p].response > buckets[b][q].response)
                        kept[b][q] = false;
                    else
                        kept[i][p] = false;
                }
            }
        }
    }
    for (std::size_t i = 0; i < buckets.size(); ++i) {
        std::vector<AffRegion> survivors;
        for (std::size_t k = 0; k < buckets[i].size(); ++k)
            if (kept[i][k])
                survivors.push_back(buckets[i][k]);
        buckets[i] = survivors;
    }
}

// Buckets of random regions, clustered so that near duplicates abound, with
// tied responses and centres on the cell and bound edges (whole multiples of
// the bound apart).
std::vector<std::vector<AffRegion>> randomBuckets(unsigned seed, float spread, const std::vector<float>& scales)
{
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> steps(0, 40);
    std::uniform_int_distribution<int> responses(1, 6);
    std::vector<std::vector<AffRegion>> buckets(scales.size());
    for (std::size_t i = 0; i < buckets.size(); ++i) {
        for (int k = 0; k < 300; ++k) {
            AffRegion r{};
            r.x = steps(random) * spread * scales[i] / 4;
            r.y = steps(random) * spread * scales[i] / 4;
            r.response = static_cast<float>(responses(random));
            r.lapIndex = static_cast<int>(i);
            buckets[i].push_back(r);
        }
    }
    return buckets;
}

bool sameRegions(const std::vector<AffRegion>& a, const std::vector<AffRegion>& b)
{
    // Bit for bit, so that a region without a finite centre equals itself.
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](const AffRegion& p, const AffRegion& q) {
               return std::memcmp(&p, &q, sizeof p) == 0;
           });
}

}  // namespace

TEST(SuppressNearDuplicates, SameSurvivorsInSameOrderAsComparingEveryPair)
{
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    struct Case {
        float spread;  // centre step in bounds: 1 puts centres exactly a bound apart
        std::vector<float> scales;
    };
    const Case cases[] = {
        {1.0f, powersOf12(6)}, {0.3f, powersOf12(6)}, {7.0f, powersOf12(6)},
        {1.0f, {1.0f, 0.0f, -2.0f, 1.0f}}, {1.0f, {1.0f, inf, 1.0f}}, {1.0f, {nan, 1.0f, 1.0f}},
    };
    for (const Case& c : cases) {
        for (unsigned seed = 1; seed <= 3; ++seed) {
            std::vector<std::vector<AffRegion>> grid = randomBuckets(seed, c.spread, c.scales);
            grid[0][5].x = nan;
            grid.back()[7].y = inf;
            std::vector<std::vector<AffRegion>> plain = grid;
            suppressNearDuplicates(grid, c.scales);
            suppressByScanningAll(plain, c.scales);
            for (std::size_t i = 0; i < grid.size(); ++i)
                EXPECT_TRUE(sameRegions(grid[i], plain[i])) << c.spread << " seed " << seed << " bucket " << i;
        }
    }
}
