#include "stages.h"
#include "diagnostics.h"
#include "parallel.h"
#include "region_lists.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace {

struct Moments {
    float m11, m12, m22;
};

Moments measure(DERY& image, float x, float y)
{
    Moments m{};
    getMi(&image, m.m11, m.m12, m.m22, x, y);
    return m;
}

void fillWith(DERY& image, const std::function<float(int column, int row)>& value)
{
    for (int r = 0; r < image.rows; ++r)
        for (int c = 0; c < image.cols; ++c)
            image.pixels[r][c] = value(c, r);
}

struct Result {
    float m11, m12, m22, l1, l2;
    std::string printed;
};

Result runInvSqrRoot(float m11, float m12, float m22)
{
    Result r{m11, m12, m22, -7.0f, -9.0f, ""};
    testing::internal::CaptureStdout();
    invSqrRoot(r.m11, r.m12, r.m22, r.l1, r.l2);
    r.printed = testing::internal::GetCapturedStdout();
    return r;
}

void expectResult(const Result& r, float m11, float m12, float m22, float l1, float l2)
{
    EXPECT_FLOAT_EQ(r.m11, m11);
    EXPECT_NEAR(r.m12, m12, 1e-6);
    EXPECT_FLOAT_EQ(r.m22, m22);
    EXPECT_FLOAT_EQ(r.l1, l1);
    EXPECT_FLOAT_EQ(r.l2, l2);
}

AffRegion identityRegion()
{
    return AffRegion{24.0f, 24.0f, 1500.0f, 1.2f, 1.44f, 1.0f, 0.0f, 1.0f, 2, 1, 0};
}

// The same measurement every time, counting the calls.
ShapeMeasurement always(Moments m, int* calls)
{
    return [=](const ShapeMatrix&, float& m11, float& m12, float& m22) {
        ++*calls;
        m11 = m.m11;
        m12 = m.m12;
        m22 = m.m22;
    };
}

void expectShape(const AffRegion& region, float mi11, float mi12, float mi22)
{
    EXPECT_FLOAT_EQ(region.mi11, mi11);
    EXPECT_FLOAT_EQ(region.mi12, mi12);
    EXPECT_FLOAT_EQ(region.mi22, mi22);
}

const float kRootHalf = 0.70710678f;
const float kRootTwo = 1.41421356f;

}  // namespace

TEST(InvSqrRoot, DiagonalAndOffDiagonalMatrices)
{
    expectResult(runInvSqrRoot(4, 0, 1), kRootHalf, 0, kRootTwo, kRootHalf, kRootTwo);
    expectResult(runInvSqrRoot(1, 0, 4), kRootTwo, 0, kRootHalf, kRootHalf, kRootTwo);
    expectResult(runInvSqrRoot(2, 1, 2), 1.03795485f, -0.27811916f, 1.03795485f, 0.75983569f,
                 1.31607401f);
    expectResult(runInvSqrRoot(2, -1, 2), 1.03795485f, 0.27811916f, 1.03795485f, 0.75983569f,
                 1.31607401f);
}

TEST(InvSqrRoot, IdentityMultiplesAndNegativeEigenvaluesChangeNothing)
{
    for (Moments m : {Moments{2, 0, 2}, Moments{0, 0, 0}, Moments{1, 2, 1}}) {
        const Result r = runInvSqrRoot(m.m11, m.m12, m.m22);
        EXPECT_EQ(r.printed, m.m12 == 2 ? "errors\n" : "");
        EXPECT_EQ(r.m11, m.m11);
        EXPECT_EQ(r.m12, m.m12);
        EXPECT_EQ(r.m22, m.m22);
        EXPECT_EQ(r.l1, -7.0f);
        EXPECT_EQ(r.l2, -9.0f);
    }
}

TEST(InvSqrRoot, SingularMatrixGivesNotANumberSilently)
{
    const Result r = runInvSqrRoot(1, 0, 0);
    EXPECT_EQ(r.printed, "");
    EXPECT_EQ(r.l1, 0.0f);
    EXPECT_TRUE(std::isnan(r.l2) && std::isnan(r.m11) && std::isnan(r.m12) && std::isnan(r.m22));
}

TEST(GetEigen, RealPairsLargerFirstAndComplexSignal)
{
    const auto eigen = [](float a, float b, float c, float d) {
        std::vector<float> l(2);
        getEigen(a, b, c, d, l[0], l[1]);
        return l;
    };
    EXPECT_EQ(eigen(1, 2, -2, 1), (std::vector<float>{1, 100}));
    EXPECT_EQ(eigen(3, 0, 0, 1), (std::vector<float>{3, 1}));
    EXPECT_EQ(eigen(1, 0, 0, 3), (std::vector<float>{3, 1}));
    EXPECT_EQ(eigen(1, 4, 1, 1), (std::vector<float>{3, -1}));  // not symmetric
}

TEST(GetMi, RampsAlongColumnsRowsAndDiagonal)
{
    DERY image(15, 15);
    fillWith(image, [](int c, int) { return static_cast<float>(c); });
    const Moments columns = measure(image, 7, 7);
    EXPECT_NEAR(columns.m11, 0.9914f, 1e-4);
    EXPECT_NEAR(columns.m12, 0.0f, 1e-6);
    EXPECT_NEAR(columns.m22, 0.0f, 1e-6);

    fillWith(image, [](int, int r) { return static_cast<float>(r); });
    const Moments rows = measure(image, 7, 7);
    EXPECT_EQ(rows.m22, columns.m11);
    EXPECT_NEAR(rows.m11, 0.0f, 1e-6);

    fillWith(image, [](int c, int r) { return static_cast<float>(c + r); });
    const Moments diagonal = measure(image, 7, 7);
    for (float m : {diagonal.m11, diagonal.m12, diagonal.m22})
        EXPECT_NEAR(m, 0.9914f, 1e-4);
    EXPECT_EQ(g_scale, 1.8f);
}

TEST(GetMi, CentreIsTruncatedAndWindowMustFit)
{
    DERY image(15, 15);
    fillWith(image, [](int c, int r) { return static_cast<float>(c * c + 3 * r); });
    const Moments centre = measure(image, 7, 7);
    EXPECT_EQ(measure(image, 7.9f, 7.2f).m11, centre.m11);
    EXPECT_EQ(measure(image, 7.9f, 7.2f).m12, centre.m12);
    EXPECT_NE(measure(image, 8, 7).m11, centre.m11);
    for (const Moments& m : {measure(image, 4, 7), measure(image, 10, 7), measure(image, 7, 10)})
        EXPECT_TRUE(m.m11 == 0 && m.m12 == 0 && m.m22 == 0);
}

namespace {

void expectSameBits(const Moments& expected, const Moments& actual)
{
    EXPECT_EQ(floatBits(actual.m11), floatBits(expected.m11));
    EXPECT_EQ(floatBits(actual.m12), floatBits(expected.m12));
    EXPECT_EQ(floatBits(actual.m22), floatBits(expected.m22));
}

Moments measurePatch(DERY& patch)
{
    Moments m{};
    getPatchMi(&patch, m.m11, m.m12, m.m22);
    return m;
}

}  // namespace

TEST(GetPatchMi, EqualsGetMiAtTheCentreBitForBit)
{
    std::mt19937 random(8);
    const float huge = std::numeric_limits<float>::max();
    // Pixel values of each kind of patch: grey levels, signed values, values
    // whose squares overflow, tiny values, and mixtures with zeros of both
    // signs and the largest floats.
    const std::vector<std::function<float()>> kinds{
        [&] { return std::uniform_real_distribution<float>(0, 255)(random); },
        [&] { return std::uniform_real_distribution<float>(-1000, 1000)(random); },
        [&] { return std::uniform_real_distribution<float>(-1e25f, 1e25f)(random); },
        [&] { return std::uniform_real_distribution<float>(-1e-30f, 1e-30f)(random); },
        [&] {
            const float choices[] = {0.0f, -0.0f, 1.0f, -3.5f, huge, -huge, 255.0f};
            return choices[std::uniform_int_distribution<int>(0, 6)(random)];
        },
    };
    DERY patch(15, 15);
    for (const auto& pixel : kinds) {
        for (int n = 0; n < 200; ++n) {
            for (int i = 0; i < patch.size; ++i)
                patch.pixels[0][i] = pixel();
            expectSameBits(measure(patch, 7, 7), measurePatch(patch));
        }
    }
    for (float value : {0.0f, -0.0f, 42.0f}) {
        fillWith(patch, [&](int, int) { return value; });
        expectSameBits(measure(patch, 7, 7), measurePatch(patch));
    }
    EXPECT_EQ(g_scale, 1.8f);
    // The measurement does not depend on what the window cache holds.
    fillWith(patch, [](int c, int r) { return static_cast<float>(c * r % 7); });
    const Moments expected = measure(patch, 7, 7);
    initGauss(2.5f);
    expectSameBits(expected, measurePatch(patch));
}

TEST(GetPatchMi, OtherSizesAreMeasuredAtSevenSeven)
{
    DERY wide(15, 20);
    fillWith(wide, [](int c, int r) { return static_cast<float>(c * c - 2 * r * c); });
    expectSameBits(measure(wide, 7, 7), measurePatch(wide));
    DERY small(9, 9);  // the window does not fit: zeros
    fillWith(small, [](int c, int) { return static_cast<float>(c); });
    const Moments m = measurePatch(small);
    EXPECT_TRUE(m.m11 == 0 && m.m12 == 0 && m.m22 == 0);
}

TEST(AdaptRegionShape, ConvergesInOneIterationOnIsotropicMeasurements)
{
    int calls = 0;
    AffRegion region = identityRegion();
    EXPECT_EQ(adaptRegionShape(&region, 16, always({1.1f, 0, 1}, &calls)), 1);
    const Result correction = runInvSqrRoot(1.1f, 0, 1);
    expectShape(region, correction.m11, correction.m12, correction.m22);

    // A multiple of the identity is multiplied in unnormalised.
    for (float m : {3.0f, 0.0f}) {
        region = identityRegion();
        EXPECT_EQ(adaptRegionShape(&region, 16, always({m, 0, m}, &calls)), 1);
        expectShape(region, m, 0, m);
    }

    // So is one with a negative eigenvalue, after the complaint.
    region = identityRegion();
    testing::internal::CaptureStdout();
    EXPECT_EQ(adaptRegionShape(&region, 16, always({1, 2, 1}, &calls)), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "errors\n");
    expectShape(region, 1, 2, 1);
}

TEST(AdaptRegionShape, NegativeEigenvaluesAreCountedWhereTheCallerCounts)
{
    DiagnosticCounter counter{0};
    testing::internal::CaptureStdout();
    {
        const ScopedDiagnosticCounter scope(&counter);
        WorkerPool pool(2);
        pool.forEach(6, [](size_t) {
            int calls = 0;
            AffRegion region = identityRegion();
            adaptRegionShape(&region, 16, always({1, 2, 1}, &calls));
        });
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(counter.load(), 6u);
}

TEST(AdaptRegionShape, ElongationBeyondSixIsRejectedWithTheShapeUntouched)
{
    AffRegion region = identityRegion();
    region.mi12 = 0.25f;
    int calls = 0;
    // diag(0.71, 1.41), diag(0.5, 2), then diag(0.35, 2.83): ratio 8.
    EXPECT_EQ(adaptRegionShape(&region, 16, always({4, 0, 1}, &calls)), 0);
    EXPECT_EQ(calls, 3);
    expectShape(region, 1, 0.25f, 1);

    region = identityRegion();
    region.mi22 = 6.0f;
    EXPECT_EQ(adaptRegionShape(&region, 1, always({1, 0, 1}, &calls)), 1);
    expectShape(region, 1, 0, 6);
    region.mi22 = 6.0001f;
    EXPECT_EQ(adaptRegionShape(&region, 1, always({1, 0, 1}, &calls)), 0);
}

TEST(AdaptRegionShape, BudgetAndIterationLimit)
{
    int calls = 0;
    AffRegion region = identityRegion();
    for (int budget : {0, -3})
        EXPECT_EQ(adaptRegionShape(&region, budget, always({1, 0, 1}, &calls)), 0);
    EXPECT_EQ(calls, 0);

    // Alternating orientations keep q at 0.5 while the shape swings between
    // diag(0.71, 1.41) and the identity: never converged, never too long.
    const ShapeMeasurement alternating = [&](const ShapeMatrix&, float& m11, float& m12,
                                             float& m22) {
        const bool even = calls++ % 2 == 0;
        m11 = even ? 4.0f : 1.0f;
        m12 = 0;
        m22 = even ? 1.0f : 4.0f;
    };
    EXPECT_EQ(adaptRegionShape(&region, 16, alternating), 16);
    EXPECT_NEAR(region.mi11, 1.0f, 1e-6);
    EXPECT_NEAR(region.mi22, 1.0f, 1e-6);

    calls = 0;
    region.mi12 = 0.125f;
    EXPECT_EQ(adaptRegionShape(&region, 20, alternating), 0);
    EXPECT_EQ(calls, 17);
    EXPECT_EQ(region.mi12, 0.125f);
}

TEST(AdaptRegionShape, ShapeThatIsNotFiniteIsRejected)
{
    int calls = 0;
    AffRegion region = identityRegion();
    EXPECT_EQ(adaptRegionShape(&region, 16, always({1, 0, 0}, &calls)), 0);
    EXPECT_EQ(calls, 1);
    expectShape(region, 1, 0, 1);

    region.mi12 = NAN;
    EXPECT_EQ(adaptRegionShape(&region, 16, always({1, 0, 1}, &calls)), 0);
    EXPECT_EQ(calls, 1);
}

TEST(AdaptRegionShape, CorrectionIsMultipliedInFromTheLeft)
{
    std::vector<ShapeMatrix> seen;
    const ShapeMeasurement record = [&](const ShapeMatrix& u, float& m11, float& m12, float& m22) {
        seen.push_back(u);
        m11 = 4;
        m12 = 0;
        m22 = 1;
    };
    AffRegion region = identityRegion();
    region.mi12 = 0.5f;
    adaptRegionShape(&region, 2, record);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].u21, 0.5f);
    EXPECT_FLOAT_EQ(seen[1].u11, kRootHalf);
    EXPECT_FLOAT_EQ(seen[1].u12, 0.5f * kRootHalf);
    EXPECT_FLOAT_EQ(seen[1].u21, 0.5f * kRootTwo);
    EXPECT_FLOAT_EQ(seen[1].u22, kRootTwo);
}

namespace {

// Level 1: a round blob; level 2: a blob twice as wide as high; level 3: a
// ramp along the columns, far too elongated to adapt.
struct Pyramid {
    DERY level0{48, 48}, round{48, 48}, wide{48, 48}, ramp{48, 48};
    std::vector<DERY*> images{&level0, &round, &wide, &ramp};
    std::vector<float> scales{1.0f, 1.2f, 1.44f, 1.728f};

    Pyramid()
    {
        fillWith(level0, [](int, int) { return 0.0f; });
        fillWith(round, [](int c, int r) { return blob(c, r, 3, 3); });
        fillWith(wide, [](int c, int r) { return blob(c, r, 4, 2); });
        fillWith(ramp, [](int c, int) { return static_cast<float>(c); });
    }

    static float blob(int c, int r, double sigmaColumn, double sigmaRow)
    {
        const double u = (c - 24) / sigmaColumn;
        const double v = (r - 24) / sigmaRow;
        return static_cast<float>(20 + 200 * std::exp(-(u * u + v * v) / 2));
    }

    AffRegion* newRegionOn(int level) const
    {
        AffRegion* region = new AffRegion(identityRegion());
        region->level = level;
        region->x = 24 * scales[level];
        region->y = 24 * scales[level];
        return region;
    }
};

}  // namespace

TEST(FindAffineRegion, AdaptsInPlaceAndRemovesRejectedRegionsInOrder)
{
    Pyramid pyramid;
    AffRegion* round = pyramid.newRegionOn(1);
    AffRegion* wide = pyramid.newRegionOn(2);
    const AffRegion roundBefore = *round;
    std::vector<AffRegion*> regions{round, pyramid.newRegionOn(3), wide};
    findAffineRegion(pyramid.images, pyramid.images, pyramid.scales, regions, 16);
    ASSERT_EQ(regions, (std::vector<AffRegion*>{round, wide}));

    EXPECT_NEAR(round->mi11, 1.0f, 0.01);
    EXPECT_NEAR(round->mi12, 0.0f, 0.01);
    EXPECT_NEAR(round->mi22, 1.0f, 0.01);
    EXPECT_GT(wide->mi11, 1.1f);  // stretched along the columns
    EXPECT_LT(wide->mi22, 0.9f);
    EXPECT_NEAR(wide->mi11 * wide->mi22 - wide->mi12 * wide->mi12, 1.0, 1e-3);

    AffRegion shapeRestored = *round;
    shapeRestored.mi11 = roundBefore.mi11;
    shapeRestored.mi12 = roundBefore.mi12;
    shapeRestored.mi22 = roundBefore.mi22;
    EXPECT_EQ(std::memcmp(&shapeRestored, &roundBefore, sizeof(AffRegion)), 0);
    delete round;
    delete wide;
}

TEST(FindAffineRegion, NoBudgetRemovesEveryRegion)
{
    Pyramid pyramid;
    for (int threads : {1, 3}) {
        std::vector<AffRegion*> regions{pyramid.newRegionOn(1), pyramid.newRegionOn(2)};
        findAffineRegion(pyramid.images, pyramid.images, pyramid.scales, regions, 0, threads);
        EXPECT_TRUE(regions.empty());
    }
}

TEST(FindAffineRegion, SameRegionsWithAnyThreadCount)
{
    std::unique_ptr<DERY> photograph = goldenPhotograph("coffee");
    ASSERT_TRUE(photograph);
    const ScaleSpace space(photograph.get());
    const HessianMaps maps(space);
    RegionList found;
    harris_lap(maps.det, maps.det, maps.det, maps.det, maps.trace, space.scales, found.list, 1000.0f, 2);
    const auto adapt = [&](int threads) {
        RegionList regions(found);
        findAffineRegion(space.images, maps.trace, space.scales, regions.list, 16, threads);
        return regions;
    };
    const RegionList single = adapt(1);
    EXPECT_GT(single.list.size(), 50u);
    EXPECT_LT(single.list.size(), found.list.size());  // some are rejected
    for (int threads : {2, 3, 7}) {
        SCOPED_TRACE(std::to_string(threads) + " threads");
        expectSameRegions(single, adapt(threads));
    }
}
