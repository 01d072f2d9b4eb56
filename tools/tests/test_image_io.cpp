#include "afflib.h"
#include "raster_io.h"
#include "support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>

#include <png.h>

using namespace testsupport;
using tolvane::RasterImage;

namespace {

ImagePtr load(const std::string& path, std::string& error)
{
    return loadGreyImage(path, error);
}

ImagePtr loadOk(const std::string& path)
{
    std::string error;
    ImagePtr image = load(path, error);
    EXPECT_TRUE(image) << error;
    return image;
}

std::string loadError(const std::string& path)
{
    std::string error;
    EXPECT_FALSE(load(path, error)) << path;
    return error;
}

void expectPixelsEqual(const tolvane::Image& image, const RasterImage& grey)
{
    ASSERT_EQ(image.width, grey.width);
    ASSERT_EQ(image.height, grey.height);
    EXPECT_EQ(image.pixels, grey.samples);
}

RasterImage smallGrey()
{
    return blobImage(40, 30);
}

class ImageFiles : public ::testing::Test {
protected:
    TempDir dir;
};

TEST(Luma, WeightsAndRounding)
{
    EXPECT_EQ(tolvane::lumaOf(0, 0, 0), 0);
    EXPECT_EQ(tolvane::lumaOf(255, 255, 255), 255);
    EXPECT_EQ(tolvane::lumaOf(255, 0, 0), 76);    // 76.245
    EXPECT_EQ(tolvane::lumaOf(0, 255, 0), 150);   // 149.685
    EXPECT_EQ(tolvane::lumaOf(0, 0, 255), 29);    // 29.07
    EXPECT_EQ(tolvane::lumaOf(10, 10, 10), 10);
    EXPECT_EQ(tolvane::lumaOf(0, 0, 5), 1);       // 0.57 rounds up
    EXPECT_EQ(tolvane::lumaOf(0, 0, 4), 0);       // 0.456 rounds down
}

TEST_F(ImageFiles, BinaryPgmIsTheImageOfReadPGM)
{
    const RasterImage grey = smallGrey();
    writeBinaryPgm(dir.file("a.pgm"), grey);
    const ImagePtr image = loadOk(dir.file("a.pgm"));
    std::string error;
    std::unique_ptr<DERY> reference(readPGM(dir.file("a.pgm").c_str(), error));
    ASSERT_TRUE(reference) << error;
    ASSERT_EQ(static_cast<int>(image->pixels.size()), reference->size);
    for (int i = 0; i < reference->size; ++i)
        ASSERT_EQ(image->pixels[i], reference->pixels[0][i]);
    expectPixelsEqual(*image, grey);
}

// The samples of a grey picture at another maximum value, as Netpbm text or
// bytes (two big-endian bytes above 255).
std::string netpbmOf(const RasterImage& grey, char magic, int maxValue)
{
    const bool colour = magic == '3' || magic == '6';
    const bool ascii = magic == '2' || magic == '3';
    std::string file = std::string("P") + magic + "\n" + std::to_string(grey.width) + " " +
                       std::to_string(grey.height) + "\n" + std::to_string(maxValue) + "\n";
    for (const unsigned char g : grey.samples) {
        const long value = std::lround(g * static_cast<double>(maxValue) / 255.0);
        for (int channel = 0; channel < (colour ? 3 : 1); ++channel) {
            if (ascii)
                file += std::to_string(value) + " ";
            else if (maxValue > 255)
                file += std::string{static_cast<char>(value >> 8), static_cast<char>(value & 255)};
            else
                file += static_cast<char>(value);
        }
    }
    return file;
}

TEST_F(ImageFiles, NetpbmSamplesOfAnyMaximumAreScaledTo255)
{
    const RasterImage grey = smallGrey();
    for (const char magic : {'2', '3', '5', '6'})
        for (const int maxValue : {255, 256, 1000, 4095, 65535}) {
            writeFile(dir.file("a.pnm"), netpbmOf(grey, magic, maxValue));
            SCOPED_TRACE(std::string("P") + magic + " maximum " + std::to_string(maxValue));
            expectPixelsEqual(*loadOk(dir.file("a.pnm")), grey);
        }
    // round(v * 255 / 15): 7 is 119, halves upward.
    writeFile(dir.file("b.pgm"), std::string("P5\n4 1\n15\n\x00\x07\x08\x0f", 15));
    const ImagePtr low = loadOk(dir.file("b.pgm"));
    EXPECT_EQ(std::vector<int>(low->pixels.begin(), low->pixels.begin() + 4), (std::vector<int>{0, 119, 136, 255}));
    writeFile(dir.file("c.pgm"), std::string("P5\n1 1\n15\n\x10", 12));
    EXPECT_EQ(loadError(dir.file("c.pgm")), "sample 1 exceeds the maximum value 15");
}

TEST_F(ImageFiles, AsciiPgmWithCommentsEqualsBinary)
{
    const RasterImage grey = smallGrey();
    writeAsciiPgm(dir.file("a.pgm"), grey);
    expectPixelsEqual(*loadOk(dir.file("a.pgm")), grey);

    writeFile(dir.file("b.pgm"), "P2 # magic\n# a comment line\n3 # width\n2\n255\n0 1 2\n253 254 255\n");
    const ImagePtr image = loadOk(dir.file("b.pgm"));
    ASSERT_EQ(image->width, 3);
    ASSERT_EQ(image->height, 2);
    EXPECT_EQ(image->pixels[image->width], 253.0f);
    EXPECT_EQ(image->pixels[image->width + 2], 255.0f);
}

TEST_F(ImageFiles, PpmBecomesLuma)
{
    const RasterImage rgb = colourBlobImage(40, 30);
    writeBinaryPpm(dir.file("a.ppm"), rgb);
    writeAsciiPpm(dir.file("b.ppm"), rgb);
    expectPixelsEqual(*loadOk(dir.file("a.ppm")), smallGrey());
    expectPixelsEqual(*loadOk(dir.file("b.ppm")), smallGrey());

    writeFile(dir.file("c.ppm"), std::string("P6\n2 1\n255\n\xff\x00\x00\x00\x00\xff", 17));
    const ImagePtr image = loadOk(dir.file("c.ppm"));
    EXPECT_EQ(image->pixels[0], 76.0f);
    EXPECT_EQ(image->pixels[1], 29.0f);
}

TEST_F(ImageFiles, PngGreyAndColour)
{
    writePngFile(dir.file("grey.png"), smallGrey());
    expectPixelsEqual(*loadOk(dir.file("grey.png")), smallGrey());
    writePngFile(dir.file("colour.png"), colourBlobImage(40, 30));
    expectPixelsEqual(*loadOk(dir.file("colour.png")), smallGrey());
}

TEST_F(ImageFiles, JpegDecodesCloseToTheEncodedImage)
{
    const RasterImage grey = smallGrey();
    writeJpegFile(dir.file("grey.jpg"), grey, 100);
    writeJpegFile(dir.file("colour.jpg"), colourBlobImage(40, 30), 100);
    for (const char* name : {"grey.jpg", "colour.jpg"}) {
        const ImagePtr image = loadOk(dir.file(name));
        ASSERT_EQ(image->width, 40);
        ASSERT_EQ(image->height, 30);
        double worst = 0;
        for (int i = 0; i < static_cast<int>(image->pixels.size()); ++i)
            worst = std::max(worst, std::abs(static_cast<double>(image->pixels[i]) - grey.samples[i]));
        EXPECT_LE(worst, 4.0) << name;
    }
}

TEST_F(ImageFiles, FormatIsRecognisedByContentNotName)
{
    writePngFile(dir.file("really-a-png.jpg"), smallGrey());
    expectPixelsEqual(*loadOk(dir.file("really-a-png.jpg")), smallGrey());
}

TEST_F(ImageFiles, BrokenFilesGiveReasons)
{
    EXPECT_NE(loadError(dir.file("missing.pgm")).find("cannot open"), std::string::npos);
    EXPECT_EQ(loadError(dir.path), "is a directory");
    writeFile(dir.file("empty"), "");
    EXPECT_EQ(loadError(dir.file("empty")), "file is empty");
    writeFile(dir.file("text.txt"), "hello\n");
    EXPECT_EQ(loadError(dir.file("text.txt")), "not a PGM, PPM, PNG or JPEG image");

    writeFile(dir.file("short.ppm"), "P6\n4 4\n255\nabc");
    EXPECT_EQ(loadError(dir.file("short.ppm")), "file has 4 bytes of samples, the header needs 49");
    writeFile(dir.file("deep.ppm"), "P6\n1 1\n65536\n123456");
    EXPECT_EQ(loadError(dir.file("deep.ppm")), "maximum sample value 65536 is not from 1 to 65535");
    writeFile(dir.file("big.pgm"), "P2\n1 1\n100\n101\n");
    EXPECT_EQ(loadError(dir.file("big.pgm")), "sample 1 exceeds the maximum value 100");
    writeFile(dir.file("few.pgm"), "P2\n2 2\n255\n1 2 3 x\n");
    EXPECT_EQ(loadError(dir.file("few.pgm")), "sample 4 of 4 is missing or not a number");
    writeFile(dir.file("nowidth.pgm"), "P2\nx 2\n255\n");
    EXPECT_EQ(loadError(dir.file("nowidth.pgm")), "bad or missing width in the header");
    writeFile(dir.file("zero.pgm"), "P5\n0 5\n255\n");
    EXPECT_EQ(loadError(dir.file("zero.pgm")), "image of 0 x 5 pixels has no pixels");
    writeFile(dir.file("short.pgm"), "P5\n4 4\n255\nab");
    EXPECT_EQ(loadError(dir.file("short.pgm")), "file has 3 bytes of samples, the header needs 17");
}

TEST_F(ImageFiles, TruncatedPngAndJpegAreRejected)
{
    writePngFile(dir.file("a.png"), smallGrey());
    writeJpegFile(dir.file("a.jpg"), smallGrey(), 90);
    for (const char* name : {"a.png", "a.jpg"}) {
        const std::string whole = readFile(dir.file(name));
        writeFile(dir.file(name), whole.substr(0, whole.size() / 2));
        const std::string error = loadError(dir.file(name));
        EXPECT_EQ(error.rfind(name[2] == 'p' ? "bad PNG: " : "bad JPEG: ", 0), 0u) << error;
    }
}

TEST_F(ImageFiles, PngWriterRoundTripsRgb)
{
    RasterImage rgb;
    rgb.width = 3;
    rgb.height = 2;
    rgb.channels = 3;
    for (int i = 0; i < 18; ++i)
        rgb.samples.push_back(static_cast<unsigned char>(i * 14));
    std::string error;
    ASSERT_TRUE(tolvane::writePng(dir.file("rgb.png"), rgb, error)) << error;
    RasterImage back;
    ASSERT_TRUE(tolvane::decodePng(readFile(dir.file("rgb.png")), {}, back, error)) << error;
    EXPECT_EQ(back.channels, 3);
    EXPECT_EQ(back.samples, rgb.samples);
}

}  // namespace

namespace {

// Writes with libpng's simplified interface, in formats the tool itself
// never writes.
void writeSimplifiedPng(const std::string& path, png_uint_32 format, const void* samples, int width, int height)
{
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = width;
    image.height = height;
    image.format = format;
    ASSERT_TRUE(png_image_write_to_file(&image, path.c_str(), 0, samples, 0, nullptr)) << image.message;
}

TEST_F(ImageFiles, PngWithAlphaOrSixteenBitSamplesBecomesEightBitGrey)
{
    const unsigned char greyAlpha[] = {0, 255, 100, 10, 200, 0, 255, 128};
    writeSimplifiedPng(dir.file("ga.png"), PNG_FORMAT_GA, greyAlpha, 4, 1);
    const ImagePtr ga = loadOk(dir.file("ga.png"));
    ASSERT_EQ(ga->width, 4);
    EXPECT_EQ(ga->pixels[0], 0.0f);
    EXPECT_EQ(ga->pixels[1], 100.0f);
    EXPECT_EQ(ga->pixels[2], 200.0f);
    EXPECT_EQ(ga->pixels[3], 255.0f);

    const png_uint_16 deep[] = {0, 257 * 7, 257 * 128, 65535};
    writeSimplifiedPng(dir.file("deep.png"), PNG_FORMAT_LINEAR_Y, deep, 2, 2);
    const ImagePtr image = loadOk(dir.file("deep.png"));
    ASSERT_EQ(image->height, 2);
    EXPECT_EQ(image->pixels[1], 7.0f);
    EXPECT_EQ(image->pixels[image->width], 128.0f);
    EXPECT_EQ(image->pixels[image->width + 1], 255.0f);
}

}  // namespace
