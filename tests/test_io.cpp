// Binary PGM reading (header rules, hostile headers, short rasters) and the
// region listing format.
#include "afflib.h"
#include "scratch_dir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <limits>
#include <memory>
#include <new>
#include <sstream>
#include <string>
#include <vector>

// The largest single request made through operator new, so that tests can
// check that a lying header causes no large allocation.
static std::size_t g_largestAllocation = 0;

void* operator new(std::size_t bytes)
{
    if (bytes > g_largestAllocation)
        g_largestAllocation = bytes;
    if (void* p = std::malloc(bytes ? bytes : 1))
        return p;
    throw std::bad_alloc();
}
// Out of line, so that the compiler does not pair the inlined free() with
// the allocating operator new and warn about a mismatch.
__attribute__((noinline)) void operator delete(void* p) noexcept { std::free(p); }
__attribute__((noinline)) void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

using Image = std::unique_ptr<DERY>;

Image readString(const std::string& bytes, std::string& error)
{
    std::istringstream in(bytes);
    return Image(readPGM(in, error));
}

Image readOk(const std::string& bytes)
{
    std::string error;
    Image image = readString(bytes, error);
    EXPECT_TRUE(image) << error;
    return image;
}

std::string readError(const std::string& bytes)
{
    std::string error;
    Image image = readString(bytes, error);
    EXPECT_FALSE(image);
    EXPECT_EQ(error.find('\n'), std::string::npos);
    return error;
}

std::vector<float> pixelsOf(const DERY& image)
{
    return std::vector<float>(image.pixels[0], image.pixels[0] + image.size);
}

const std::string kRaster6 = std::string("\x00\x10\x20\x80\xfe\xff", 6);

TEST(ReadPGM, ThreeAndTwoLineHeadersGiveTheSameImage)
{
    Image threeLines = readOk("P5\n3 2\n255\n" + kRaster6);
    Image twoLines = readOk("P5\n3 2 255\n" + kRaster6);
    ASSERT_TRUE(threeLines && twoLines);
    EXPECT_EQ(threeLines->cols, 3);
    EXPECT_EQ(threeLines->rows, 2);
    EXPECT_EQ(threeLines->size, 6);
    EXPECT_EQ(pixelsOf(*threeLines), (std::vector<float>{0, 16, 32, 128, 254, 255}));
    EXPECT_EQ(pixelsOf(*twoLines), pixelsOf(*threeLines));
    EXPECT_EQ(threeLines->pixels[1][0], 128.0f);
}

TEST(ReadPGM, CommentsAfterTheMagicAreSkipped)
{
    const std::string longComment = "#" + std::string(100000, 'c') + " more words\n";
    Image plain = readOk("P5\n3 2\n255\n" + kRaster6);
    Image commented = readOk("P5\n# written by a scanner\n" + longComment + "#\n3 2\n255\n" + kRaster6);
    ASSERT_TRUE(plain && commented);
    EXPECT_EQ(commented->cols, 3);
    EXPECT_EQ(commented->rows, 2);
    EXPECT_EQ(pixelsOf(*commented), pixelsOf(*plain));
}

TEST(ReadPGM, CommentsMayPrecedeEveryHeaderNumber)
{
    Image image = readOk("P5 3 #x\n2 # y\n255\n" + kRaster6);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->cols, 3);
    EXPECT_EQ(image->rows, 2);
}

TEST(ReadPGM, MaximumGreyBelow255IsScaledTo255)
{
    // round(v * 255 / maxGrey), halves upward: 1 of 2 is 127.5, so 128.
    struct Case {
        int maxGrey;
        std::string raster;
        std::vector<float> expected;
    };
    const Case cases[] = {
        {1, std::string("\x00\x01", 2), {0, 255}},
        {2, std::string("\x00\x01\x02", 3), {0, 128, 255}},
        {15, std::string("\x00\x07\x0f", 3), {0, 119, 255}},
        {254, std::string("\x00\x7f\xfe", 3), {0, 128, 255}},
        {255, std::string("\x00\x7f\xff", 3), {0, 127, 255}},
    };
    for (const Case& c : cases) {
        const std::string header =
            "P5 " + std::to_string(c.raster.size()) + " 1 " + std::to_string(c.maxGrey) + "\n";
        Image image = readOk(header + c.raster);
        ASSERT_TRUE(image) << c.maxGrey;
        EXPECT_EQ(pixelsOf(*image), c.expected) << c.maxGrey;
    }
    EXPECT_EQ(readError("P5 2 1 15\n\x0f\x10"), "sample 2 exceeds the maximum grey value 15");
}

TEST(ReadPGM, OnlyTheMagicP5AndDecimalHeaderNumbersAreRead)
{
    const std::string notP5 = "not a binary PGM file (the magic is not P5)";
    const std::pair<std::string, std::string> cases[] = {
        {"P2\n3 2\n255\n", notP5},
        {"P6\n3 2\n255\n", notP5},
        {"\x89PNG\r\n\x1a\n", notP5},
        {"ab cd\n", notP5},
        {"P5 wide 7 255\n", "width 'wide' is not a whole number from 0 to 2147483647"},
        {"P5 3px 2 255\n", "width '3px' is not a whole number from 0 to 2147483647"},
        {"P5 +3 2 255\n", "width '+3' is not a whole number from 0 to 2147483647"},
        {"P5 -3 2 255\n", "width '-3' is not a whole number from 0 to 2147483647"},
        {"P5 3 -2 255\n", "height '-2' is not a whole number from 0 to 2147483647"},
        {"P5 3 2 x\n", "maximum grey value 'x' is not a whole number from 1 to 255"},
        {"P5 3 2 0\n", "maximum grey value '0' is not a whole number from 1 to 255"},
        {"P5 3 2 65535\n", "maximum grey value '65535' is not a whole number from 1 to 255"},
    };
    for (const auto& [bytes, reason] : cases)
        EXPECT_EQ(readError(bytes + kRaster6), reason) << bytes;
}

TEST(ReadPGM, LeadingZerosAreDecimal)
{
    Image image = readOk("P5 000000000000000000000003 02 0255\n" + kRaster6);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->cols, 3);
    EXPECT_EQ(image->rows, 2);
    EXPECT_EQ(pixelsOf(*image), (std::vector<float>{0, 16, 32, 128, 254, 255}));
}

TEST(ReadPGM, OnlyOneWhitespaceCharacterEndsTheHeader)
{
    // The second newline is the first raster byte.
    Image image = readOk("P5\n2 1\n255\n\n\x07");
    ASSERT_TRUE(image);
    EXPECT_EQ(image->pixels[0][0], 10.0f);
    EXPECT_EQ(image->pixels[0][1], 7.0f);
}

TEST(ReadPGM, HeaderEndingEarlyIsRefused)
{
    EXPECT_EQ(readError(""), "PGM header ends before the format magic");
    EXPECT_EQ(readError("P5\n"), "PGM header ends before the width");
    EXPECT_EQ(readError("P5\n# only a comment\n"), "PGM header ends before the width");
    EXPECT_EQ(readError("P5 3"), "PGM header ends before the height");
    EXPECT_EQ(readError("P5 3 2 "), "PGM header ends before the maximum grey value");
    EXPECT_EQ(readError("P5 3 2 255"), "PGM header ends before the raster");
}

TEST(ReadPGM, NegativeAndOversizedSidesAreRefused)
{
    EXPECT_EQ(readError("P5 2147483648 1 255\n"), "width '2147483648' is not a whole number from 0 to 2147483647");
    EXPECT_EQ(readError("P5 2147483647 1 255\n"), "raster ends after 0 of 2147483647 bytes");
    EXPECT_EQ(readError("P5 1 99999999999999999999999 255\n"),
              "height '99999999999999999999' is not a whole number from 0 to 2147483647");
    EXPECT_EQ(readError("P5 46341 46341 255\n"), "image of 46341 x 46341 pixels is too large");
    EXPECT_EQ(readError("P5 100000 100000 255\n"), "image of 100000 x 100000 pixels is too large");
    // No raster bounds the row table of an empty image.
    EXPECT_EQ(readError("P5 0 100100000 255\n"), "image of 0 x 100100000 pixels is too large");
    EXPECT_EQ(readError("P5 2000000000 0 255\n"), "image of 2000000000 x 0 pixels is too large");
}

TEST(ReadPGM, ShortRasterIsRefused)
{
    EXPECT_EQ(readError("P5 3 2 255\n" + kRaster6.substr(0, 5)), "raster ends after 5 of 6 bytes");
    EXPECT_EQ(readError("P5 3 2 255\n"), "raster ends after 0 of 6 bytes");
}

TEST(ReadPGM, HugeAnnouncedRasterOnASmallInputAllocatesLittle)
{
    g_largestAllocation = 0;
    EXPECT_EQ(readError("P5 40000 40000 255\n" + std::string(1000, 'x')),
              "raster ends after 1000 of 1600000000 bytes");
    EXPECT_LT(g_largestAllocation, 4u << 20);
}

TEST(ReadPGM, EmptyImagesAreValid)
{
    Image noColumns = readOk("P5 0 5 255\n");
    ASSERT_TRUE(noColumns);
    EXPECT_EQ(noColumns->rows, 5);
    EXPECT_EQ(noColumns->size, 0);
    Image nothing = readOk("P5 0 0 255\n");
    ASSERT_TRUE(nothing);
    EXPECT_EQ(nothing->size, 0);
    Image tallestEmpty = readOk("P5 0 1048576 255\n");
    ASSERT_TRUE(tallestEmpty);
    EXPECT_EQ(tallestEmpty->rows, 1048576);
}

using ReadPGMFile = ScratchDirTest;

TEST_F(ReadPGMFile, ReadsAValidFile)
{
    const std::string path = write("ok.pgm", "P5\n3 2\n255\n" + kRaster6);
    std::string error;
    Image image(readPGM(path.c_str(), error));
    ASSERT_TRUE(image) << error;
    EXPECT_EQ(pixelsOf(*image), (std::vector<float>{0, 16, 32, 128, 254, 255}));
}

TEST_F(ReadPGMFile, ErrorsNameTheFileAndTheProblem)
{
    const std::string missing = (dir_ / "missing.pgm").string();
    const std::string truncated = write("short.pgm", "P5\n3 2\n255\n" + kRaster6.substr(0, 5));
    const std::string directory = dir_.string();
    std::string error;

    EXPECT_EQ(readPGM(missing.c_str(), error), nullptr);
    EXPECT_EQ(error, "cannot open " + missing + ": No such file or directory");
    EXPECT_EQ(readPGM(directory.c_str(), error), nullptr);
    EXPECT_EQ(error, "cannot open " + directory + ": Is a directory");
    EXPECT_EQ(readPGM(truncated.c_str(), error), nullptr);
    EXPECT_EQ(error, truncated + ": raster ends after 5 of 6 bytes");
}

AffRegion region(float x, float y, float mi11, float mi12, float mi22)
{
    AffRegion r{};
    r.x = x;
    r.y = y;
    r.mi11 = mi11;
    r.mi12 = mi12;
    r.mi22 = mi22;
    return r;
}

std::string listing(std::vector<AffRegion> records)
{
    std::vector<AffRegion*> pointers;
    for (AffRegion& r : records)
        pointers.push_back(&r);
    std::ostringstream out;
    listRegions(out, pointers);
    return out.str();
}

TEST(ListRegions, EmptyListPrintsOnlyTheCount)
{
    EXPECT_EQ(listing({}), "nb of regions = 0\n");
}

TEST(ListRegions, FieldsUseSixSignificantDigits)
{
    EXPECT_EQ(listing({region(123.5f, 45.25f, 1, 0, 1)}),
              "0.  x=123.5, y=45.25, mi11=1, mi12=0, mi22=1\n"
              "nb of regions = 1\n");
    EXPECT_EQ(listing({region(1e6f, 1.5e-7f, -0.5f, 17.28f, 1234567.0f)}),
              "0.  x=1e+06, y=1.5e-07, mi11=-0.5, mi12=17.28, mi22=1.23457e+06\n"
              "nb of regions = 1\n");
    EXPECT_EQ(listing({region(0.0001f, 0.00001f, 999999.0f, 1.0f / 3.0f, -0.0f)}),
              "0.  x=0.0001, y=1e-05, mi11=999999, mi12=0.333333, mi22=-0\n"
              "nb of regions = 1\n");
}

TEST(ListRegions, SpecialValuesAsStreamInsertionWritesThem)
{
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float values[] = {inf, -inf, nan, -nan, std::numeric_limits<float>::denorm_min(),
                            std::numeric_limits<float>::max(), -std::numeric_limits<float>::min(),
                            999999.5f, 0.000123456789f, 9.9999949e-5f, 123456.7f};
    for (const float v : values) {
        std::ostringstream expected;
        expected << "0.  x=" << v << ", y=" << v << ", mi11=" << v << ", mi12=" << v << ", mi22=" << v
                 << "\nnb of regions = 1\n";
        EXPECT_EQ(listing({region(v, v, v, v, v)}), expected.str()) << v;
    }
}

TEST(ListRegions, IndicesCountFromZero)
{
    EXPECT_EQ(listing({region(1, 2, 1, 0, 1), region(3, 4, 1, 0, 1), region(5, 6, 1, 0, 1)}),
              "0.  x=1, y=2, mi11=1, mi12=0, mi22=1\n"
              "1.  x=3, y=4, mi11=1, mi12=0, mi22=1\n"
              "2.  x=5, y=6, mi11=1, mi12=0, mi22=1\n"
              "nb of regions = 3\n");
}

TEST(ListRegions, CallerStreamStateDoesNotChangeTheFormat)
{
    std::vector<AffRegion> records{region(123.5f, 45.25f, 1, 0, 1)};
    std::vector<AffRegion*> pointers{&records[0]};
    std::ostringstream out;
    out.precision(2);
    out.setf(std::ios::fixed);
    listRegions(out, pointers);
    EXPECT_EQ(out.str(), "0.  x=123.5, y=45.25, mi11=1, mi12=0, mi22=1\nnb of regions = 1\n");
}

}  // namespace
