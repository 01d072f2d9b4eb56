#include "repeatability.h"

#include "region_formats.h"
#include "support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

using namespace tolvane;

namespace {

Ellipse circle(double x, double y, double radius)
{
    return Ellipse{static_cast<float>(x), static_cast<float>(y), 1.0 / (radius * radius), 0.0,
                   1.0 / (radius * radius)};
}

// Axis-aligned ellipse with semi-axes p along x and q along y, turned by angle.
Ellipse rotatedEllipse(double x, double y, double p, double q, double angle)
{
    const double cs = std::cos(angle), sn = std::sin(angle);
    const double u = 1.0 / (p * p), v = 1.0 / (q * q);
    return Ellipse{static_cast<float>(x), static_cast<float>(y), u * cs * cs + v * sn * sn,
                   (u - v) * cs * sn, u * sn * sn + v * cs * cs};
}

Homography matrix(std::initializer_list<double> values)
{
    Homography h{};
    int i = 0;
    for (const double v : values) {
        h.m[i / 3][i % 3] = v;
        ++i;
    }
    return h;
}

const Homography kIdentity = matrix({1, 0, 0, 0, 1, 0, 0, 0, 1});

// Area of the intersection by counting points of a fine grid.
double gridIntersection(const Ellipse& p, const Ellipse& q, double step)
{
    const auto inside = [](const Ellipse& e, double x, double y) {
        const double dx = x - e.x, dy = y - e.y;
        return e.a * dx * dx + 2 * e.b * dx * dy + e.c * dy * dy <= 1.0;
    };
    double count = 0;
    for (double y = -100; y < 100; y += step)
        for (double x = -100; x < 100; x += step)
            count += inside(p, x + step / 2, y + step / 2) && inside(q, x + step / 2, y + step / 2);
    return count * step * step;
}

TEST(OverlapGeometry, IdenticalEllipsesHaveNoError)
{
    const Ellipse e = rotatedEllipse(3, 4, 20, 7, 0.6);
    EXPECT_NEAR(overlapError(e, e), 0.0, 1e-9);
    EXPECT_NEAR(intersectionArea(e, e), ellipseArea(e), 1e-9 * ellipseArea(e));
}

TEST(OverlapGeometry, ConcentricCirclesLoseTheAreaOutsideTheSmaller)
{
    for (const double r1 : {5.0, 12.0, 29.0}) {
        const double r2 = 30.0;
        EXPECT_NEAR(overlapError(circle(0, 0, r1), circle(0, 0, r2)), 1.0 - r1 * r1 / (r2 * r2), 1e-9) << r1;
    }
}

TEST(OverlapGeometry, DisjointEllipsesHaveFullError)
{
    EXPECT_EQ(intersectionArea(circle(0, 0, 10), circle(25, 0, 10)), 0.0);
    EXPECT_EQ(overlapError(circle(0, 0, 10), circle(0, 30, 10)), 1.0);
    // Boxes overlap, ellipses do not.
    EXPECT_EQ(intersectionArea(circle(0, 0, 10), circle(14.5, 14.5, 10)), 0.0);
}

TEST(OverlapGeometry, CrossedEllipsesMatchTheClosedForm)
{
    // x^2/p^2 + y^2/q^2 <= 1 meets its quarter turn in 4 p q atan(q / p).
    const double p = 20, q = 8;
    const double exact = 4 * p * q * std::atan(q / p);
    EXPECT_NEAR(intersectionArea(rotatedEllipse(0, 0, p, q, 0), rotatedEllipse(0, 0, p, q, M_PI / 2)), exact,
                1e-6 * exact);
}

TEST(OverlapGeometry, OffsetAndTurnedEllipsesMatchAFineGrid)
{
    const Ellipse cases[][2] = {
        {circle(0, 0, 20), circle(15, 0, 20)},
        {rotatedEllipse(0, 0, 25, 10, 0.3), rotatedEllipse(5, -4, 18, 12, 1.1)},
        {rotatedEllipse(0, 0, 30, 5, 0.0), rotatedEllipse(0, 3, 30, 5, 0.2)},
    };
    for (const auto& c : cases) {
        const double reference = gridIntersection(c[0], c[1], 0.05);
        EXPECT_NEAR(intersectionArea(c[0], c[1]), reference, 1e-3 * reference);
        EXPECT_NEAR(intersectionArea(c[0], c[1]), intersectionArea(c[1], c[0]), 1e-9 * reference);
    }
}

TEST(OverlapGeometry, NormalisationScalesAboutTheCentres)
{
    // Scaling both circles by the one factor keeps concentric errors.
    EXPECT_NEAR(normalisedOverlapError(circle(0, 0, 3), circle(0, 0, 4)), 1.0 - 9.0 / 16.0, 1e-9);
    // Two radius-3 circles 3 apart: after scaling to radius 30 they are
    // still only 3 apart, so they overlap much more than before.
    const double before = overlapError(circle(0, 0, 3), circle(3, 0, 3));
    const double after = normalisedOverlapError(circle(0, 0, 3), circle(3, 0, 3));
    EXPECT_GT(before, 0.5);
    EXPECT_NEAR(after, overlapError(circle(0, 0, 30), circle(3, 0, 30)), 1e-9);
    EXPECT_LT(after, 0.15);
}

TEST(Homographies, ReadInvertAndMap)
{
    std::istringstream text("2 0 10\n0 3 -5\n0 0 1\n");
    Homography h{};
    std::string error;
    ASSERT_TRUE(readHomography(text, h, error)) << error;
    double x, y;
    ASSERT_TRUE(mapPoint(h, 1, 2, x, y));
    EXPECT_DOUBLE_EQ(x, 12);
    EXPECT_DOUBLE_EQ(y, 1);
    Homography inverse{};
    ASSERT_TRUE(invert(h, inverse));
    ASSERT_TRUE(mapPoint(inverse, 12, 1, x, y));
    EXPECT_NEAR(x, 1, 1e-12);
    EXPECT_NEAR(y, 2, 1e-12);

    const Homography perspective = matrix({1, 0.1, 3, 0.2, 0.9, -4, 0.001, 0.002, 1});
    ASSERT_TRUE(invert(perspective, inverse));
    ASSERT_TRUE(mapPoint(perspective, 50, 70, x, y));
    ASSERT_TRUE(mapPoint(inverse, x, y, x, y));
    EXPECT_NEAR(x, 50, 1e-9);
    EXPECT_NEAR(y, 70, 1e-9);

    EXPECT_FALSE(invert(matrix({1, 2, 3, 2, 4, 6, 0, 0, 1}), inverse));
    EXPECT_FALSE(mapPoint(matrix({1, 0, 0, 0, 1, 0, -1, 0, 1}), 2, 0, x, y));  // behind infinity
}

TEST(Homographies, RejectsBadFiles)
{
    const std::pair<const char*, const char*> cases[] = {
        {"1 0 0 0 1 0 0 0", "expected 9 numbers, found 8"},
        {"1 0 0 0 1 0 0 0 1 5", "more than 9 numbers"},
        {"1 0 0 0 one 0 0 0 1", "'one' is not a number"},
    };
    for (const auto& [text, reason] : cases) {
        std::istringstream in(text);
        Homography h{};
        std::string error;
        EXPECT_FALSE(readHomography(in, h, error));
        EXPECT_EQ(error, reason);
    }
}

TEST(Projection, AffineMapsTransformEllipsesExactly)
{
    // Scaling by 2 along x doubles the x semi-axis; a translation moves the centre.
    const Homography h = matrix({2, 0, 5, 0, 1, -3, 0, 0, 1});
    Ellipse projected{};
    ASSERT_TRUE(projectEllipse(circle(10, 20, 4), h, projected));
    EXPECT_EQ(projected.x, 25.0f);
    EXPECT_EQ(projected.y, 17.0f);
    EXPECT_NEAR(projected.a, 1.0 / 64.0, 1e-15);
    EXPECT_NEAR(projected.b, 0.0, 1e-15);
    EXPECT_NEAR(projected.c, 1.0 / 16.0, 1e-15);

    // A rotation by 90 degrees turns an ellipse long in x into one long in y.
    ASSERT_TRUE(projectEllipse(rotatedEllipse(0, 0, 10, 2, 0), matrix({0, -1, 0, 1, 0, 0, 0, 0, 1}), projected));
    EXPECT_NEAR(projected.a, 1.0 / 4.0, 1e-15);
    EXPECT_NEAR(projected.c, 1.0 / 100.0, 1e-15);
}

TEST(Projection, PerspectiveUsesTheLocalJacobian)
{
    // Points on the boundary map to points on the projected boundary, up to
    // the second-order error of the affine approximation.
    const Homography h = matrix({1, 0.05, 3, 0.02, 1.1, -4, 0.0004, 0.0003, 1});
    const Ellipse e = rotatedEllipse(200, 150, 0.5, 0.2, 0.4);
    Ellipse projected{};
    ASSERT_TRUE(projectEllipse(e, h, projected));
    for (int k = 0; k < 8; ++k) {
        const double t = k * M_PI / 4;
        const double bx = 200 + 0.5 * std::cos(t) * std::cos(0.4) - 0.2 * std::sin(t) * std::sin(0.4);
        const double by = 150 + 0.5 * std::cos(t) * std::sin(0.4) + 0.2 * std::sin(t) * std::cos(0.4);
        double mx, my;
        ASSERT_TRUE(mapPoint(h, bx, by, mx, my));
        const double dx = mx - projected.x, dy = my - projected.y;
        EXPECT_NEAR(projected.a * dx * dx + 2 * projected.b * dx * dy + projected.c * dy * dy, 1.0, 2e-3);
    }
}

class Repeatability : public ::testing::Test {
protected:
    const ImageSize size{200, 100};
    std::vector<Ellipse> regions = {circle(20, 20, 5), rotatedEllipse(60, 50, 9, 4, 0.5), circle(150, 80, 12),
                                    rotatedEllipse(100, 30, 6, 3, 2.0)};
};

TEST_F(Repeatability, IdenticalSetsRepeatFully)
{
    const RepeatabilityResult r = measureRepeatability(regions, regions, kIdentity, size, size, {0.4});
    EXPECT_EQ(r.regionsA, 4u);
    EXPECT_EQ(r.commonA, 4u);
    EXPECT_EQ(r.commonB, 4u);
    EXPECT_EQ(r.correspondences[0], 4u);
    EXPECT_DOUBLE_EQ(r.repeatability(0), 1.0);
}

TEST_F(Repeatability, TranslationCountsOnlyTheCommonPart)
{
    // B is A's scene moved 50 pixels to the left: the region of A at x = 20
    // leaves B, and a region of B at x = 190 comes from outside A.
    const Homography shift = matrix({1, 0, -50, 0, 1, 0, 0, 0, 1});
    std::vector<Ellipse> b;
    for (const Ellipse& e : regions) {
        Ellipse moved{};
        ASSERT_TRUE(projectEllipse(e, shift, moved));
        if (insideImage(moved.x, moved.y, size))
            b.push_back(moved);
    }
    b.push_back(circle(190, 50, 5));
    const RepeatabilityResult r = measureRepeatability(regions, b, shift, size, size, {0.4});
    EXPECT_EQ(r.regionsA, 4u);
    EXPECT_EQ(r.regionsB, 4u);
    EXPECT_EQ(r.commonA, 3u);
    EXPECT_EQ(r.commonB, 3u);
    EXPECT_EQ(r.correspondences[0], 3u);
    EXPECT_DOUBLE_EQ(r.repeatability(0), 1.0);
}

TEST_F(Repeatability, EveryNonZeroMultipleOfTheHomographyGivesTheSameFigures)
{
    const double h[9] = {0.9, 0.1, 12, -0.1, 0.95, 4, 0.0002, 0.0001, 1};
    const auto multiple = [&](double factor) {
        Homography scaled{};
        for (int i = 0; i < 9; ++i)
            scaled.m[i / 3][i % 3] = factor * h[i];
        return scaled;
    };
    std::vector<Ellipse> b;
    for (const Ellipse& e : regions) {
        Ellipse projected{};
        ASSERT_TRUE(projectEllipse(e, multiple(1.0), projected));
        b.push_back(projected);
    }
    const RepeatabilityResult expected = measureRepeatability(regions, b, multiple(1.0), size, size, {0.4});
    ASSERT_GT(expected.correspondences[0], 2u);
    for (const double factor : {-1.0, -0.001, 2.5, -1e6}) {
        const RepeatabilityResult r = measureRepeatability(regions, b, multiple(factor), size, size, {0.4});
        EXPECT_EQ(r.commonA, expected.commonA) << factor;
        EXPECT_EQ(r.commonB, expected.commonB) << factor;
        EXPECT_EQ(r.correspondences, expected.correspondences) << factor;
    }
}

TEST(ImageBounds, PixelCentresFromZeroToSideMinusOne)
{
    const ImageSize size{10, 5};
    EXPECT_TRUE(insideImage(0, 0, size));
    EXPECT_TRUE(insideImage(9, 4, size));
    EXPECT_FALSE(insideImage(9.01, 2, size));
    EXPECT_FALSE(insideImage(3, -0.01, size));
}

TEST_F(Repeatability, DisjointSetsRepeatNothing)
{
    const std::vector<Ellipse> elsewhere = {circle(180, 10, 4), circle(10, 90, 6)};
    const RepeatabilityResult r = measureRepeatability(regions, elsewhere, kIdentity, size, size, {0.4});
    EXPECT_EQ(r.correspondences[0], 0u);
    EXPECT_EQ(r.repeatability(0), 0.0);
    EXPECT_EQ(measureRepeatability({}, {}, kIdentity, size, size, {0.4}).repeatability(0), 0.0);
}

TEST_F(Repeatability, CurveCountsPairsBelowEachThreshold)
{
    // Concentric circles with known normalised errors 1 - r1^2 / r2^2:
    // radius 10 against 10.5 (0.093), 12 (0.306) and 14 (0.490).
    const std::vector<Ellipse> a = {circle(30, 30, 10), circle(90, 30, 10), circle(150, 30, 10)};
    const std::vector<Ellipse> b = {circle(30, 30, 10.5), circle(90, 30, 12), circle(150, 30, 14)};
    const RepeatabilityResult r =
        measureRepeatability(a, b, kIdentity, size, size, {0.1, 0.2, 0.3, 0.4, 0.5, 0.6});
    EXPECT_EQ(r.correspondences, (std::vector<std::size_t>{1, 1, 1, 2, 3, 3}));
    EXPECT_DOUBLE_EQ(r.repeatability(3), 2.0 / 3.0);
}

TEST_F(Repeatability, MatchingIsOneToOneByIncreasingError)
{
    // Two regions of A near one region of B: only the closer one matches.
    const std::vector<Ellipse> a = {circle(50, 50, 10), circle(52, 50, 10)};
    const std::vector<Ellipse> b = {circle(51.5, 50, 10)};
    const RepeatabilityResult r = measureRepeatability(a, b, kIdentity, size, size, {0.4});
    EXPECT_EQ(r.correspondences[0], 1u);
    EXPECT_DOUBLE_EQ(r.repeatability(0), 1.0);  // over min(2, 1)
}

TEST(RepeatabilityCommand, PrintsTheFigures)
{
    testsupport::TempDir dir;
    testsupport::writeFile(dir.file("a.regions"), "1.0\n2\n20 20 0.04 0 0.04\n60 50 0.01 0 0.01\n");
    testsupport::writeFile(dir.file("b.regions"), "1.0\n1\n30 20 0.04 0 0.04\n");
    testsupport::writeFile(dir.file("H.txt"), "1 0 10\n0 1 0\n0 0 1\n");
    const auto result = testsupport::runTolvane({"repeatability", dir.file("a.regions"), dir.file("b.regions"),
                                                 dir.file("H.txt"), "--size-a", "100x80", "--size-b=100x80"});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out,
              "regions: A 2, B 1\n"
              "in the common part: A 2, B 1\n"
              "correspondences (overlap error < 40%): 1\n"
              "repeatability: 100.0%\n");

    const auto curve = testsupport::runTolvane({"repeatability", dir.file("a.regions"), dir.file("b.regions"),
                                                dir.file("H.txt"), "--size-a", "100x80", "--size-b", "100x80",
                                                "--curve"});
    EXPECT_EQ(curve.status, 0) << curve.err;
    const auto lines = testsupport::linesOf(curve.out);
    ASSERT_EQ(lines.size(), 12u);
    EXPECT_EQ(lines[5], "overlap error  correspondences  repeatability");
    EXPECT_EQ(lines[6], "     < 10.0%                1         100.0%");
}

// The plot parsed as XML: each series' title and the heights of its points.
TEST(RepeatabilityCommand, PlotIsWellFormedSvgWithOneLabelledLinePerPair)
{
    testsupport::TempDir dir;
    // Concentric circles of radius 10 against 10.5, 12 and 14: overlap errors
    // 0.093, 0.306 and 0.490.
    testsupport::writeFile(dir.file("a.regions"), "1.0\n3\n30 30 0.01 0 0.01\n90 30 0.01 0 0.01\n150 30 0.01 0 0.01\n");
    testsupport::writeFile(dir.file("b.regions"),
                           "1.0\n3\n30 30 0.0090702948 0 0.0090702948\n90 30 0.0069444444 0 0.0069444444\n"
                           "150 30 0.0051020408 0 0.0051020408\n");
    testsupport::writeFile(dir.file("H.txt"), "1 0 0\n0 1 0\n0 0 1\n");
    const auto result = testsupport::runTolvane(
        {"repeatability", dir.file("a.regions"), dir.file("b.regions"), dir.file("a.regions"), dir.file("a.regions"),
         dir.file("H.txt"), "--size-a", "200x80", "--size-b", "200x80", "--labels", "near,same & <all>", "--plot",
         dir.file("plot.svg")});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out.rfind("near:\nregions: A 3, B 3\n", 0), 0u) << result.out;
    EXPECT_NE(result.out.find("\n\nsame & <all>:\n"), std::string::npos) << result.out;

    const char* const kSeries =
        "import sys, xml.etree.ElementTree as E\n"
        "ns = {'s': 'http://www.w3.org/2000/svg'}\n"
        "root = E.parse(sys.argv[1]).getroot()\n"
        "for g in root.iterfind('.//s:g[@class=\"series\"]', ns):\n"
        "    print(g.find('s:title', ns).text, [c.get('cy') for c in g.iterfind('s:circle', ns)])\n"
        "print([t.text for t in root.iterfind('.//s:g[@class=\"legend\"]/s:text', ns)])\n";
    const auto parsed = testsupport::runProgram("/usr/bin/python3", {"-c", kSeries, dir.file("plot.svg")});
    ASSERT_EQ(parsed.status, 0) << parsed.err;
    // 40 + (1 - repeatability) 268: one of three below 35 %, two below 50 %.
    const std::string third = "'218.7'", twoThirds = "'129.3'", all = "'40.0'";
    std::string near = "near [", same = "same & <all> [";
    for (int i = 0; i < 11; ++i) {
        near += (i ? ", " : "") + (i < 5 ? third : i < 8 ? twoThirds : all);
        same += (i ? ", " : "") + all;
    }
    EXPECT_EQ(parsed.out, near + "]\n" + same + "]\n['near', 'same & <all>']\n");
}

TEST(RepeatabilityCommand, ReportsBadInput)
{
    testsupport::TempDir dir;
    testsupport::writeFile(dir.file("a.regions"), "1.0\n1\n20 20 0.04 0 0.04\n");
    testsupport::writeFile(dir.file("H.txt"), "1 0 0\n0 1 0\n0 0 0\n");
    auto result = testsupport::runTolvane({"repeatability", dir.file("a.regions"), dir.file("a.regions"),
                                           dir.file("H.txt"), "--size-a", "100x80", "--size-b", "100x80"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "tolvane: " + dir.file("H.txt") + ": the homography is singular\n");

    result = testsupport::runTolvane({"repeatability", dir.file("a.regions"), dir.file("a.regions"),
                                      dir.file("H.txt"), "--size-a", "100x80"});
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.err, "tolvane: --size-b WxH is required\n"
                          "Try 'tolvane repeatability --help' for more information.\n");

    result = testsupport::runTolvane({"repeatability", dir.file("a.regions"), dir.file("a.regions"),
                                      dir.file("H.txt"), "--size-a", "100by80", "--size-b", "1x1"});
    EXPECT_EQ(result.status, 2);
    EXPECT_NE(result.err.find("invalid value '100by80' for --size-a: expected WIDTHxHEIGHT"), std::string::npos);
}

}  // namespace

TEST_F(Repeatability, MatchesCountWhenTheirRegionsCorrespond)
{
    // B is A's scene moved 50 pixels to the left; region 0 of A leaves B.
    const Homography shift = matrix({1, 0, -50, 0, 1, 0, 0, 0, 1});
    std::vector<Ellipse> b;
    for (const Ellipse& e : regions) {
        Ellipse moved{};
        ASSERT_TRUE(projectEllipse(e, shift, moved));
        b.push_back(moved);
    }
    struct Case {
        const char* what;
        std::size_t i, j;
        std::size_t correct;
    };
    for (const Case& c : {Case{"its own region", 1, 1, 1}, Case{"another region", 1, 2, 0},
                          Case{"outside the other image", 0, 0, 0}, Case{"the last one", 3, 3, 1}}) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(countCorrectMatches(regions, b, {{c.i, c.j}}, shift, size, size, 0.4), c.correct);
    }
    EXPECT_EQ(countCorrectMatches(regions, b, {{1, 1}, {2, 2}, {3, 1}}, shift, size, size, 0.4), 2u);
}
