#include "afflib.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

AffRegion regionWithShape(float scale, float mi11, float mi12, float mi22)
{
    AffRegion region{};
    region.x = 17.28f;
    region.y = 20.16f;
    region.scale = scale;
    region.mi11 = mi11;
    region.mi12 = mi12;
    region.mi22 = mi22;
    return region;
}

double quadraticForm(const Ellipse& e, double px, double py)
{
    const double dx = px - e.x;
    const double dy = py - e.y;
    return e.a * dx * dx + 2.0 * e.b * dx * dy + e.c * dy * dy;
}

TEST(RegionEllipse, IdentityShapeIsTheCircleOfSevenLevelPixelsTimesScale)
{
    Ellipse e{};
    ASSERT_TRUE(regionEllipse(regionWithShape(1.0f, 1, 0, 1), e));
    EXPECT_DOUBLE_EQ(e.a, 1.0 / 49.0);
    EXPECT_DOUBLE_EQ(e.b, 0.0);
    EXPECT_DOUBLE_EQ(e.c, 1.0 / 49.0);

    ASSERT_TRUE(regionEllipse(regionWithShape(2.0f, 1, 0, 1), e));
    EXPECT_DOUBLE_EQ(e.a, 1.0 / 196.0);
    EXPECT_DOUBLE_EQ(e.c, 1.0 / 196.0);
}

TEST(RegionEllipse, CentreIsTheRegionPositionUnchanged)
{
    Ellipse e{};
    ASSERT_TRUE(regionEllipse(regionWithShape(1.44f, 1.38f, 0.01f, 0.73f), e));
    EXPECT_EQ(e.x, 17.28f);
    EXPECT_EQ(e.y, 20.16f);
}

TEST(RegionEllipse, DiagonalShapeStretchesTheAxes)
{
    Ellipse e{};
    ASSERT_TRUE(regionEllipse(regionWithShape(1.0f, 2.0f, 0.0f, 0.5f), e));
    // Semi-axes 14 along the columns and 3.5 along the rows.
    EXPECT_DOUBLE_EQ(e.a, 1.0 / (14.0 * 14.0));
    EXPECT_DOUBLE_EQ(e.b, 0.0);
    EXPECT_DOUBLE_EQ(e.c, 1.0 / (3.5 * 3.5));
}

TEST(RegionEllipse, BoundaryIsTheImageOfThePatchCircle)
{
    const float scale = 2.0736f;
    const AffRegion region = regionWithShape(scale, 1.05f, 0.31f, 1.05f);
    Ellipse e{};
    ASSERT_TRUE(regionEllipse(region, e));
    for (int k = 0; k < 16; ++k) {
        const double t = k * M_PI / 8.0;
        const double j = 7.0 * std::cos(t);
        const double i = 7.0 * std::sin(t);
        const double px = e.x + scale * (region.mi11 * j + region.mi12 * i);
        const double py = e.y + scale * (region.mi12 * j + region.mi22 * i);
        EXPECT_NEAR(quadraticForm(e, px, py), 1.0, 1e-12) << "angle " << t;
    }
}

TEST(RegionEllipse, AreaIsThePatchDiscScaledByTheShapeDeterminant)
{
    const AffRegion region = regionWithShape(1.728f, 1.2f, -0.4f, 0.9f);
    Ellipse e{};
    ASSERT_TRUE(regionEllipse(region, e));
    const double det = 1.2 * 0.9 - 0.4 * 0.4;
    const double expected = M_PI * 49.0 * 1.728 * 1.728 * det;
    EXPECT_NEAR(M_PI / std::sqrt(e.a * e.c - e.b * e.b), expected, 1e-4 * expected);
}

TEST(RegionEllipse, SingularShapeHasNoEllipse)
{
    const Ellipse before{1, 2, 3, 4, 5};
    for (const AffRegion& region : {regionWithShape(1.0f, 0, 0, 0),      // zero measurement
                                    regionWithShape(1.0f, 1, 2, 4),      // rank one
                                    regionWithShape(0.0f, 1, 0, 1)}) {   // no scale
        Ellipse e = before;
        EXPECT_FALSE(regionEllipse(region, e));
        EXPECT_EQ(e.x, before.x);
        EXPECT_EQ(e.a, before.a);
        EXPECT_EQ(e.c, before.c);
    }
}

}  // namespace
