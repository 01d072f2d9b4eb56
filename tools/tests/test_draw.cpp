#include "draw.h"

#include "support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>

using namespace tolvane;
using namespace testsupport;

namespace {

struct Pixel {
    int r, g, b;
    bool operator==(const Pixel& o) const { return r == o.r && g == o.g && b == o.b; }
};

Pixel at(const RasterImage& picture, int x, int y)
{
    const unsigned char* p = &picture.samples[(static_cast<std::size_t>(y) * picture.width + x) * 3];
    return Pixel{p[0], p[1], p[2]};
}

bool isGrey(const Pixel& p)
{
    return p.r == p.g && p.g == p.b;
}

class Drawing : public ::testing::Test {
protected:
    Drawing()
    {
        image.width = 80;
        image.height = 60;
        for (int i = 0; i < 80 * 60; ++i)
            image.samples.push_back(static_cast<std::uint8_t>(i % 256));
    }
    RasterImage draw(const std::vector<Ellipse>& ellipses) { return drawEllipses(image, ellipses, {}, {}); }

    RasterImage image;
};

TEST_F(Drawing, GreyBackgroundWithColouredOutlineAndCentre)
{
    // A circle of radius 10 and an ellipse 20 wide and 5 high.
    const std::vector<Ellipse> ellipses = {{40, 30, 0.01, 0, 0.01}, {20, 45, 1.0 / 400, 0, 1.0 / 25}};
    const RasterImage picture = draw(ellipses);
    ASSERT_EQ(picture.width, 80);
    ASSERT_EQ(picture.height, 60);
    ASSERT_EQ(picture.channels, 3);
    EXPECT_EQ(at(picture, 1, 0), (Pixel{1, 1, 1}));
    EXPECT_EQ(at(picture, 75, 5), (Pixel{(5 * 80 + 75) % 256, (5 * 80 + 75) % 256, (5 * 80 + 75) % 256}));

    // The outline passes through the ends of the axes, the centre is
    // marked, and the inside is untouched.
    for (const auto& [x, y] : {std::pair{50, 30}, {30, 30}, {40, 20}, {40, 40}, {40, 30}, {42, 30}})
        EXPECT_FALSE(isGrey(at(picture, x, y))) << x << "," << y;
    EXPECT_TRUE(isGrey(at(picture, 45, 35)));
    for (const auto& [x, y] : {std::pair{40, 45}, {0, 45}, {20, 40}, {20, 50}, {20, 45}})
        EXPECT_FALSE(isGrey(at(picture, x, y))) << x << "," << y;
    EXPECT_TRUE(isGrey(at(picture, 20, 42)));
    // Consecutive ellipses get different colours.
    EXPECT_FALSE(at(picture, 50, 30) == at(picture, 40, 45));
}

TEST_F(Drawing, EllipsesPartlyOrWhollyOutsideAreClipped)
{
    const std::vector<Ellipse> ellipses = {{0, 0, 0.01, 0, 0.01}, {500, -300, 0.01, 0.005, 0.01},
                                           {40, 30, 1e-8, 0, 1e-8}};
    const RasterImage picture = draw(ellipses);
    EXPECT_FALSE(isGrey(at(picture, 10, 0)));
    EXPECT_FALSE(isGrey(at(picture, 0, 0)));
}

TEST_F(Drawing, CentresFarOutsideDrawNothingAndConvertNoHugeCoordinate)
{
    // Run under the undefined-behaviour checks, a far centre rounded to an
    // integer fails here.
    const float far[] = {1e30f, -1e30f, 3e9f, -3e9f, 2.2e9f};
    std::vector<Ellipse> ellipses;
    for (const float x : far)
        for (const float y : {30.0f, x})
            ellipses.push_back(Ellipse{x, y, 0.01, 0, 0.01});
    const RasterImage picture = draw(ellipses);
    for (int y = 0; y < picture.height; ++y)
        for (int x = 0; x < picture.width; ++x)
            ASSERT_TRUE(isGrey(at(picture, x, y))) << x << "," << y;
}

// Each outline is walked only where it passes the image: thousands of
// ellipses a hundred thousand times larger than the image draw at once.
TEST_F(Drawing, HugeEllipsesAreClippedBeforeTheyAreWalked)
{
    std::vector<Ellipse> ellipses;
    for (int i = 0; i < 2000; ++i) {
        const double radius = 1e6 + 997.0 * i;
        ellipses.push_back(Ellipse{40.0f, static_cast<float>(30.0 + radius - (i % 50)), 1 / (radius * radius), 0,
                                   1 / (radius * radius)});
    }
    const auto start = std::chrono::steady_clock::now();
    const RasterImage picture = draw(ellipses);
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 2.0);
    // The top of the first circle crosses the image in row 30.
    EXPECT_FALSE(isGrey(at(picture, 40, 30)));
}

TEST(DrawCommand, WritesAPngOfTheImageSize)
{
    TempDir dir;
    writePngFile(dir.file("scene.png"), colourBlobImage(168, 112));
    const ProcessResult detected = runTolvane({"detect", "-o", dir.file("scene.regions"), dir.file("scene.png")});
    ASSERT_EQ(detected.status, 0) << detected.err;
    const ProcessResult drawn =
        runTolvane({"draw", dir.file("scene.png"), dir.file("scene.regions"), "-o", dir.file("picture.png")});
    ASSERT_EQ(drawn.status, 0) << drawn.err;
    EXPECT_EQ(drawn.out + drawn.err, "");
    RasterImage picture;
    std::string error;
    ASSERT_TRUE(decodePng(readFile(dir.file("picture.png")), {}, picture, error)) << error;
    EXPECT_EQ(picture.width, 168);
    EXPECT_EQ(picture.height, 112);
    EXPECT_EQ(picture.channels, 3);
    std::size_t coloured = 0;
    for (int y = 0; y < picture.height; ++y)
        for (int x = 0; x < picture.width; ++x)
            coloured += isGrey(at(picture, x, y)) ? 0 : 1;
    EXPECT_GT(coloured, 100u);
}

// Which ellipses are drawn and in which colours, on a colour photograph.
TEST(DrawCommand, OptionsChooseTheRegionsTheirColoursAndThePictureFormat)
{
    TempDir dir;
    const RasterImage colour = colourBlobImage(60, 40);
    writePngFile(dir.file("scene.png"), colour);
    // Three circles left to right, of radius 4, 6 and 8; responses 5, -30, 20.
    writeFile(dir.file("regions.csv"), "index,x,y,response,scale,lapScale,mi11,mi12,mi22,lapIndex,level,mode,a,b,c\n"
                                       "0,10,20,5,1,1,1,0,1,0,0,2,0.0625,0,0.0625\n"
                                       "1,30,20,-30,1,1,1,0,1,0,0,2,0.02777777,0,0.02777777\n"
                                       "2,50,20,20,1,1,1,0,1,0,0,2,0.015625,0,0.015625\n");
    const Pixel background{-1, -1, -1};
    const Pixel blue{64, 128, 255}, green{48, 220, 48}, red{255, 48, 48};
    struct Case {
        std::vector<std::string> options;
        Pixel centres[3];  // at each circle's centre; background: not drawn
    };
    const Case cases[] = {
        {{}, {red, green, blue}},
        {{"--max", "2"}, {background, red, green}},
        {{"--color-by", "scale"}, {blue, green, red}},
        {{"--color-by", "response", "-n", "2"}, {background, red, blue}},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"draw", dir.file("scene.png"), dir.file("regions.csv"), "-o",
                                         dir.file("out.png")};
        args.insert(args.end(), c.options.begin(), c.options.end());
        const ProcessResult result = runTolvane(args);
        ASSERT_EQ(result.status, 0) << result.err;
        RasterImage picture;
        std::string error;
        ASSERT_TRUE(decodePng(readFile(dir.file("out.png")), {}, picture, error)) << error;
        for (int i = 0; i < 3; ++i) {
            const int x = 10 + 20 * i;
            const Pixel expected = c.centres[i] == background ? at(colour, x, 20) : c.centres[i];
            EXPECT_EQ(at(picture, x, 20), expected) << c.options.size() << " options, circle " << i;
        }
        EXPECT_EQ(at(picture, 0, 0), at(colour, 0, 0));
    }

    ASSERT_EQ(runTolvane({"draw", dir.file("scene.png"), dir.file("regions.csv"), "-o", dir.file("out.JPG")}).status, 0);
    RasterImage jpeg;
    std::string error;
    ASSERT_TRUE(decodeJpeg(readFile(dir.file("out.JPG")), {}, jpeg, error, true)) << error;
    EXPECT_EQ(jpeg.channels, 3);
    const ProcessResult refused =
        runTolvane({"draw", dir.file("scene.png"), dir.file("regions.csv"), "-o", dir.file("out.gif")});
    EXPECT_EQ(refused.status, 2);
    EXPECT_EQ(refused.err.rfind("tolvane: cannot tell the picture format of " + dir.file("out.gif"), 0), 0u);
    EXPECT_EQ(lineWidthOf(1499, 800), 1);
    EXPECT_EQ(lineWidthOf(3000, 4000), 3);
}

TEST(DrawCommand, ReportsWhichInputIsBad)
{
    TempDir dir;
    writePngFile(dir.file("scene.png"), blobImage(30, 30));
    writeFile(dir.file("bad.regions"), "1.0\n2\n1 2 0.1 0 0.1\n");
    ProcessResult result =
        runTolvane({"draw", dir.file("scene.png"), dir.file("bad.regions"), "-o", dir.file("out.png")});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "tolvane: " + dir.file("bad.regions") + ": the file announces 2 regions but has 1\n");
    result = runTolvane({"draw", dir.file("none.png"), dir.file("bad.regions"), "-o", dir.file("out.png")});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err.rfind("tolvane: " + dir.file("none.png") + ": cannot open: ", 0), 0u) << result.err;
    EXPECT_FALSE(std::ifstream(dir.file("out.png")).good());
}

}  // namespace
