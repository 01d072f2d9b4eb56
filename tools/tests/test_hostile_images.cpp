// Damaged, deceptive and unusual image files through tolvane detect: every
// image is decoded right or refused with one line naming it.
#include "support.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace testsupport;

namespace {

const int kWidth = 168;
const int kHeight = 112;
// Far below what any refused file below would take if it were decoded.
const long kAddressSpace = 1L << 30;

class HostileImages : public ::testing::Test {
protected:
    // The regions of a file, in the legacy format.
    ProcessResult detect(const std::string& path, const std::vector<std::string>& options = {},
                         const RunOptions& run = {})
    {
        std::vector<std::string> args = {"detect", "-f", "legacy"};
        args.insert(args.end(), options.begin(), options.end());
        args.push_back(path);
        return runTolvane(args, run);
    }

    // A refusal: status 1, nothing on standard output, one line naming the
    // file and containing `reason`.
    ::testing::AssertionResult refused(const ProcessResult& result, const std::string& path,
                                       const std::string& reason)
    {
        const std::string prefix = "tolvane: " + path + ": ";
        if (result.status == 1 && result.out.empty() && linesOf(result.err).size() == 1 &&
            result.err.rfind(prefix, 0) == 0 && result.err.find(reason) != std::string::npos)
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "status " << result.status << ", stderr: " << result.err;
    }

    TempDir dir;
};

std::string withBytesReplaced(std::string bytes, std::size_t at, const std::string& replacement)
{
    bytes.replace(at, replacement.size(), replacement);
    return bytes;
}

TEST_F(HostileImages, DamagedJpegDataIsRefusedUnlessAccepted)
{
    writeJpegFile(dir.file("scene.jpg"), colourBlobImage(kWidth, kHeight), 90);
    const std::string whole = readFile(dir.file("scene.jpg"));
    const std::pair<const char*, std::string> damaged[] = {
        {"cut in half, end marker given back", whole.substr(0, whole.size() / 2) + "\xff\xd9"},
        {"cut in half", whole.substr(0, whole.size() / 2)},
        {"8 entropy-coded bytes overwritten, one of them a marker",
         withBytesReplaced(whole, whole.size() / 2, "\x13\x57\x9b\xff\xd3\x68\xac\xe0")},
    };
    for (const auto& [what, bytes] : damaged) {
        SCOPED_TRACE(what);
        writeFile(dir.file("damaged.jpg"), bytes);
        EXPECT_TRUE(refused(detect(dir.file("damaged.jpg")), dir.file("damaged.jpg"), "bad JPEG: "));
        const ProcessResult accepted = detect(dir.file("damaged.jpg"), {"--accept-damaged"});
        EXPECT_EQ(accepted.status, 0) << accepted.err << " (refused: " << detect(dir.file("damaged.jpg")).err << ")";
        EXPECT_NE(accepted.out.find("nb of regions = "), std::string::npos);
    }
}

// Netpbm files of the same picture at several maximum values and in plain
// and raw form give the regions of the 8-bit PGM.
TEST_F(HostileImages, SixteenBitNetpbmGivesTheRegionsOfItsEightBitTwin)
{
    const tolvane::RasterImage grey = blobImage(kWidth, kHeight);
    writeBinaryPgm(dir.file("eight.pgm"), grey);
    const std::string expected = detect(dir.file("eight.pgm")).out;
    std::string header = "P5\n" + std::to_string(kWidth) + " " + std::to_string(kHeight) + "\n65535\n";
    std::string plain = "P2\n" + std::to_string(kWidth) + " " + std::to_string(kHeight) + "\n65535\n";
    for (const unsigned char g : grey.samples) {
        header += std::string{static_cast<char>(g), static_cast<char>(g)};  // g * 257, big-endian
        plain += std::to_string(g * 257) + "\n";
    }
    writeFile(dir.file("raw16.pgm"), header);
    writeFile(dir.file("plain16.pgm"), plain);
    for (const char* name : {"raw16.pgm", "plain16.pgm"}) {
        const ProcessResult result = detect(dir.file(name));
        EXPECT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(result.out, expected) << name;
    }
}

// The input read once: through a pipe, from standard input given as "-" or
// /dev/stdin, every format gives the regions of the file.
TEST_F(HostileImages, PipesAndStandardInputGiveTheRegionsOfTheFile)
{
    writeAsciiPgm(dir.file("scene.pgm"), blobImage(kWidth, kHeight));
    writePngFile(dir.file("scene.png"), colourBlobImage(kWidth, kHeight));
    writeJpegFile(dir.file("scene.jpg"), colourBlobImage(kWidth, kHeight), 90);
    for (const char* name : {"scene.pgm", "scene.png", "scene.jpg"}) {
        SCOPED_TRACE(name);
        const std::string file = dir.file(name);
        const std::string expected = detect(file).out;
        ASSERT_GT(linesOf(expected).size(), 3u);
        const ProcessResult piped = runProgram(
            "/bin/sh", {"-c", "cat \"$1\" | \"$0\" detect -f legacy /dev/stdin", TOLVANE_EXE, file});
        EXPECT_EQ(piped.out, expected) << piped.err;
        RunOptions fromFile;
        fromFile.input = file;
        EXPECT_EQ(detect("-", {}, fromFile).out, expected);
    }
}

// A PNG chunk whose length field claims `length` bytes, with a right CRC for
// the few bytes that follow.
std::string pngChunk(const std::string& type, const std::string& data, unsigned long length)
{
    std::string chunk;
    for (int shift = 24; shift >= 0; shift -= 8)
        chunk += static_cast<char>((length >> shift) & 0xFF);
    unsigned long crc = 0xFFFFFFFFul;
    for (const char c : type + data) {
        crc ^= static_cast<unsigned char>(c);
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xEDB88320ul & (0ul - (crc & 1)));
    }
    crc ^= 0xFFFFFFFFul;
    chunk += type + data;
    for (int shift = 24; shift >= 0; shift -= 8)
        chunk += static_cast<char>((crc >> shift) & 0xFF);
    return chunk;
}

std::string bigEndian32(unsigned long value)
{
    std::string bytes;
    for (int shift = 24; shift >= 0; shift -= 8)
        bytes += static_cast<char>((value >> shift) & 0xFF);
    return bytes;
}

std::string pngHeader(unsigned long width, unsigned long height)
{
    const std::string ihdr = bigEndian32(width) + bigEndian32(height) + std::string("\x08\x00\x00\x00\x00", 5);
    return std::string("\x89PNG\r\n\x1a\n", 8) + pngChunk("IHDR", ihdr, 13);
}

// A JPEG of the scene whose frame header claims other sides.
std::string jpegClaiming(const std::string& jpeg, unsigned width, unsigned height)
{
    const std::size_t frame = jpeg.find("\xff\xc0");
    const std::size_t progressiveFrame = jpeg.find("\xff\xc2");
    const std::size_t at = (frame != std::string::npos ? frame : progressiveFrame) + 5;
    const std::string sides = {static_cast<char>(height >> 8), static_cast<char>(height & 255),
                               static_cast<char>(width >> 8), static_cast<char>(width & 255)};
    return withBytesReplaced(jpeg, at, sides);
}

TEST_F(HostileImages, SmallFilesClaimingHugeImagesAreRefusedBeforeAllocating)
{
    writeJpegFile(dir.file("small.jpg"), blobImage(64, 48), 90);
    JpegOptions progressive;
    progressive.progressive = true;
    writeJpegFile(dir.file("progressive.jpg"), blobImage(64, 48), 90, progressive);
    const std::string limit = "exceeds the limit of 100000000 pixels";
    const std::string shortFile = "bytes of samples, the header needs";
    const std::tuple<const char*, std::string, std::string> files[] = {
        {"a.jpg", jpegClaiming(readFile(dir.file("small.jpg")), 16384, 16384), limit},
        {"b.jpg", jpegClaiming(readFile(dir.file("progressive.jpg")), 16384, 16384), limit},
        {"c.png", pngHeader(16384, 16384) + pngChunk("IDAT", "", 0), limit},
        {"d.png", pngHeader(64, 64) + pngChunk("zTXt", "k", 0x7FFFFFF0ul), "bad PNG: "},
        {"e.ppm", "P6\n16384 16384\n255\n", limit},
        {"f.ppm", "P6\n8000 8000\n255\n" + std::string(4096, 'x'), shortFile},
        {"g.pgm", "P2\n9000 9000\n65535\n1 2 3\n", shortFile},
    };
    RunOptions limited;
    limited.addressSpaceBytes = kAddressSpace;
    for (const auto& [name, bytes, reason] : files) {
        writeFile(dir.file(name), bytes);
        EXPECT_TRUE(refused(detect(dir.file(name), {}, limited), dir.file(name), reason)) << name;
    }
    // --max-pixels raises the limit; the file must still hold what its header claims.
    EXPECT_TRUE(refused(detect(dir.file("e.ppm"), {"--max-pixels", "300000000"}, limited), dir.file("e.ppm"),
                        shortFile));
    EXPECT_TRUE(refused(detect(dir.file("small.jpg"), {"--max-pixels", "3000"}), dir.file("small.jpg"),
                        "exceeds the limit of 3000 pixels"));
}

// The corner of the stored picture that a viewer shows top left, per EXIF
// orientation: x and y as fractions of the stored sides.
struct OrientationCase {
    int orientation;
    int storedCornerX;
    int storedCornerY;
};

TEST_F(HostileImages, ExifOrientationIsAppliedAsAViewerDoes)
{
    const OrientationCase cases[] = {{1, 0, 0}, {2, 1, 0}, {3, 1, 1}, {4, 0, 1},
                                     {5, 0, 0}, {6, 0, 1}, {7, 1, 1}, {8, 1, 0}};
    const int width = 48;
    const int height = 32;
    for (const OrientationCase& c : cases) {
        SCOPED_TRACE("orientation " + std::to_string(c.orientation));
        tolvane::RasterImage stored;
        stored.width = width;
        stored.height = height;
        stored.samples.assign(width * height, 20);
        for (int y = 0; y < 8; ++y)
            for (int x = 0; x < 8; ++x)
                stored.samples[(c.storedCornerY ? height - 1 - y : y) * width + (c.storedCornerX ? width - 1 - x : x)] =
                    240;
        JpegOptions options;
        options.orientation = c.orientation;
        writeJpegFile(dir.file("o.jpg"), stored, 95, options);
        std::string error;
        const ImagePtr shown = loadGreyImage(dir.file("o.jpg"), error);
        ASSERT_TRUE(shown) << error;
        const bool turned = c.orientation >= 5;
        EXPECT_EQ(shown->width, turned ? height : width);
        EXPECT_EQ(shown->height, turned ? width : height);
        EXPECT_GT(shown->pixels[2 * shown->width + 2], 200.0f);
        EXPECT_LT(shown->pixels[(shown->height - 3) * shown->width + shown->width - 3], 60.0f);
    }
}

TEST_F(HostileImages, CmykAndYcckJpegsBecomeGrey)
{
    const tolvane::RasterImage grey = blobImage(64, 48);
    for (const JpegOptions::Inks inks : {JpegOptions::Inks::Cmyk, JpegOptions::Inks::Ycck}) {
        JpegOptions options;
        options.inks = inks;
        writeJpegFile(dir.file("inks.jpg"), colourBlobImage(64, 48), 100, options);
        std::string error;
        const ImagePtr image = loadGreyImage(dir.file("inks.jpg"), error);
        ASSERT_TRUE(image) << error;
        double worst = 0;
        for (int i = 0; i < static_cast<int>(image->pixels.size()); ++i)
            worst = std::max(worst, std::abs(static_cast<double>(image->pixels[i]) - grey.samples[i]));
        EXPECT_LE(worst, 6.0) << (inks == JpegOptions::Inks::Cmyk ? "CMYK" : "YCCK");
    }
}

}  // namespace
