// tolvane detect --descriptor and tolvane match as processes: the homography
// of a synthetic view pair and of OpenCV's sample pair graf1/graf3 recovered,
// the same matches from images and from frame files, and wrong command lines.
#include "support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>

using namespace testsupport;

namespace {

// Rotation by 20 degrees, scaling by 0.8 and a little perspective.
const double kTruth[3][3] = {{0.7518, -0.2736, 150.0}, {0.2736, 0.7518, -40.0}, {0.00005, -0.00003, 1.0}};

class Match : public ::testing::Test {
protected:
    void SetUp() override
    {
        const tolvane::RasterImage photo = readGreyPgm(std::string(TOLVANE_GOLDEN_DIR) + "/coffee.pgm");
        writeBinaryPgm(dir.file("a.pgm"), photo);
        writeBinaryPgm(dir.file("b.pgm"), warpedImage(photo, kTruth));
    }
    TempDir dir;
};

void mapped(const double (&h)[3][3], double x, double y, double& mx, double& my)
{
    const double w = h[2][0] * x + h[2][1] * y + h[2][2];
    mx = (h[0][0] * x + h[0][1] * y + h[0][2]) / w;
    my = (h[1][0] * x + h[1][1] * y + h[1][2]) / w;
}

// Reads nine numbers from `in` after skipping everything up to `after`.
void readHomography(std::istream& in, double (&h)[3][3], const std::string& after = "")
{
    std::string word;
    while (!after.empty() && in >> word && word.find(after) == std::string::npos) {
    }
    for (auto& row : h)
        for (double& v : row)
            ASSERT_TRUE(in >> v);
}

// Both homographies take the corners of a width x height image to within 5 pixels of each other.
void expectCornersAgree(const double (&truth)[3][3], const double (&h)[3][3], int width, int height)
{
    const double corners[4][2] = {{0, 0}, {width - 1.0, 0}, {0, height - 1.0}, {width - 1.0, height - 1.0}};
    for (const auto& corner : corners) {
        double tx, ty, ex, ey;
        mapped(truth, corner[0], corner[1], tx, ty);
        mapped(h, corner[0], corner[1], ex, ey);
        EXPECT_LT(std::hypot(ex - tx, ey - ty), 5.0) << corner[0] << ", " << corner[1];
    }
}

TEST_F(Match, RecoversTheHomographyOfAViewPair)
{
    const std::vector<std::vector<std::string>> detections = {{}, {"--mode", "refined", "--upsample"}};
    for (const std::vector<std::string>& detection : detections) {
        SCOPED_TRACE(detection.empty() ? "exact" : "refined, enlarged");
        std::vector<std::string> arguments = {"match", dir.file("a.pgm"), dir.file("b.pgm"), "--model-output",
                                              dir.file("h.txt"), "-o", dir.file("m.csv"), "--draw", dir.file("m.png")};
        arguments.insert(arguments.end(), detection.begin(), detection.end());
        const ProcessResult r = runTolvane(arguments);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find("inliers"), std::string::npos);
        std::ifstream in(dir.file("h.txt"));
        double h[3][3];
        readHomography(in, h);
        expectCornersAgree(kTruth, h, 600, 400);
        const std::vector<std::string> lines = linesOf(readFile(dir.file("m.csv")));
        ASSERT_GT(lines.size(), 30u);
        EXPECT_EQ(lines[0], "a,b,distance,second,inlier");
        EXPECT_FALSE(readFile(dir.file("m.png")).empty());
    }
}

// The pair is fetched into the build tree by `make test` (scripts/fetch-real-pair).
TEST_F(Match, RecoversTheHomographyOfOpenCVsSamplePair)
{
    const std::string pair = TOLVANE_REAL_PAIR_DIR;
    std::ifstream truthFile(pair + "/H1to3p.xml");
    if (!truthFile || !std::ifstream(pair + "/graf1.png") || !std::ifstream(pair + "/graf3.png"))
        GTEST_SKIP() << "no sample pair in " << pair << " (scripts/fetch-real-pair " << pair << ")";
    double truth[3][3];
    readHomography(truthFile, truth, "<data>");
    const ProcessResult r = runTolvane({"match", pair + "/graf1.png", pair + "/graf3.png", "--model", "homography",
                                        "--model-output", dir.file("h.txt")});
    ASSERT_EQ(r.status, 0) << r.err;
    std::ifstream in(dir.file("h.txt"));
    double h[3][3];
    readHomography(in, h);
    expectCornersAgree(truth, h, 800, 640);
}

TEST_F(Match, FrameFilesGiveTheMatchesOfTheirImages)
{
    for (const char* side : {"a", "b"}) {
        const ProcessResult r = runTolvane({"detect", "--descriptor", "sift", "--format", "binary",
                                            dir.file(std::string(side) + ".pgm"), "-o",
                                            dir.file(std::string(side) + ".frames")});
        ASSERT_EQ(r.status, 0) << r.err;
    }
    const ProcessResult fromImages =
        runTolvane({"match", "--mutual", "--model", "none", dir.file("a.pgm"), dir.file("b.pgm")});
    const ProcessResult fromFiles =
        runTolvane({"match", "--mutual", "--model", "none", dir.file("a.frames"), dir.file("b.frames")});
    ASSERT_EQ(fromImages.status, 0) << fromImages.err;
    ASSERT_EQ(fromFiles.status, 0) << fromFiles.err;
    EXPECT_GT(linesOf(fromImages.out).size(), 30u);
    EXPECT_EQ(fromFiles.out, fromImages.out);
}

TEST_F(Match, RepeatabilityGivesTheMatchingScore)
{
    for (const char* side : {"a", "b"})
        ASSERT_EQ(runTolvane({"detect", "--descriptor", "sift", dir.file(std::string(side) + ".pgm"), "-o",
                              dir.file(std::string(side) + ".regions")})
                      .status,
                  0);
    std::string homography;
    for (const auto& row : kTruth)
        homography += std::to_string(row[0]) + " " + std::to_string(row[1]) + " " + std::to_string(row[2]) + "\n";
    writeFile(dir.file("h.txt"), homography);
    const ProcessResult r = runTolvane({"repeatability", dir.file("a.regions"), dir.file("b.regions"),
                                        dir.file("h.txt"), "--size-a", "600x400", "--size-b", "600x400",
                                        "--matching-score"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::size_t at = r.out.find("matching score: ");
    ASSERT_NE(at, std::string::npos) << r.out;
    EXPECT_GT(std::stod(r.out.substr(at + 16)), 20.0) << r.out;
}

TEST_F(Match, WrongCommandLinesAndInputsAreRefused)
{
    writeFile(dir.file("plain.regions"), "1.0\n1\n5 5 1 0 1\n");
    struct Case {
        std::vector<std::string> args;
        int status;
        const char* message;
    };
    const Case cases[] = {
        {{"match", dir.file("a.pgm")}, 2, "two images"},
        {{"match", "--ratio", "1.5", dir.file("a.pgm"), dir.file("b.pgm")}, 2, "ratio"},
        {{"match", "--model", "affine", dir.file("a.pgm"), dir.file("b.pgm")}, 2, "unknown model"},
        {{"match", "--descriptor", "none", dir.file("a.pgm"), dir.file("b.pgm")}, 2, "unknown descriptor"},
        {{"match", dir.file("plain.regions"), dir.file("b.pgm")}, 1, "no descriptors"},
        {{"match", dir.file("missing.pgm"), dir.file("b.pgm")}, 1, "missing.pgm"},
        {{"detect", "--upright", dir.file("a.pgm")}, 2, "needs --descriptor"},
        {{"detect", "--descriptor", "sift", "--format", "legacy", dir.file("a.pgm")}, 2, "unknown format"},
        {{"detect", "--descriptor", "sift", "--mr-size", "0", dir.file("a.pgm")}, 2, "measurement region"},
    };
    for (const Case& c : cases) {
        const ProcessResult r = runTolvane(c.args);
        EXPECT_EQ(r.status, c.status) << c.message;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
}

TEST_F(Match, PatchesAreAStackOfSquareTiles)
{
    const ProcessResult r = runTolvane({"detect", "--descriptor", "none", "--upright", "--patches",
                                        dir.file("p.png"), "--patch-size", "16", dir.file("a.pgm")});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<std::string> lines = linesOf(r.out);
    ASSERT_GT(lines.size(), 2u);
    EXPECT_EQ(lines[0], "1.0");
    const std::string png = readFile(dir.file("p.png"));
    ASSERT_GT(png.size(), 24u);
    auto bigEndian = [&](std::size_t at) {
        return (std::uint32_t(std::uint8_t(png[at])) << 24) | (std::uint32_t(std::uint8_t(png[at + 1])) << 16) |
               (std::uint32_t(std::uint8_t(png[at + 2])) << 8) | std::uint32_t(std::uint8_t(png[at + 3]));
    };
    EXPECT_EQ(bigEndian(16), 16u);
    EXPECT_EQ(bigEndian(20), 16u * std::stoul(lines[1]));
}

}  // namespace
