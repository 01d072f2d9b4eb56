// Helpers of the tool tests.
#include "support.h"

#include <tolvane/error.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <fcntl.h>
#include <jpeglib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testsupport {

ImagePtr loadGreyImage(const std::string& path, std::string& error)
{
    try {
        return tolvane::readImage(path);
    } catch (const tolvane::Error& e) {
        error = e.what();
        return std::nullopt;
    }
}
namespace {

struct Blob {
    double x, y, sigmaAlong, sigmaAcross, angle, amplitude;
};

const Blob kBlobs[] = {
    {30, 28, 4.0, 4.0, 0.0, 170},    {80, 30, 7.0, 3.0, 0.0, 150},  {130, 34, 6.0, 2.5, 0.785, 160},
    {34, 80, 3.0, 3.0, 0.0, -30},    {82, 84, 5.0, 5.0, 0.0, 140},  {136, 86, 8.0, 4.0, 2.0, 130},
};

double sceneValue(int column, int row)
{
    double value = 40.0 + 0.1 * column + 0.05 * row;
    for (const Blob& b : kBlobs) {
        const double dx = column - b.x;
        const double dy = row - b.y;
        const double along = dx * std::cos(b.angle) + dy * std::sin(b.angle);
        const double across = -dx * std::sin(b.angle) + dy * std::cos(b.angle);
        value += b.amplitude * std::exp(-0.5 * (along * along / (b.sigmaAlong * b.sigmaAlong) +
                                                across * across / (b.sigmaAcross * b.sigmaAcross)));
    }
    return std::min(255.0, std::max(0.0, std::round(value)));
}

// A colourful RGB triple whose luma is v; `variant` picks the hue.
void colourWithLuma(unsigned char v, int variant, unsigned char rgb[3])
{
    const int sign = variant % 2 == 0 ? 1 : -1;
    for (int spread = 60; spread >= 0; --spread) {
        for (int dg = -6; dg <= 6; ++dg) {
            const int r = v + sign * spread, b = v - sign * spread, g = v + dg;
            if (r < 0 || r > 255 || g < 0 || g > 255 || b < 0 || b > 255)
                continue;
            if (tolvane::lumaOf(r, g, b) == v) {
                rgb[0] = r, rgb[1] = g, rgb[2] = b;
                return;
            }
        }
    }
    rgb[0] = rgb[1] = rgb[2] = v;
}

void writeNetpbm(const std::string& path, const char* magic, const tolvane::RasterImage& raster,
                 bool ascii)
{
    std::ofstream out(path, std::ios::binary);
    out << magic << "\n# made by the tool tests\n" << raster.width << ' ' << raster.height << "\n255\n";
    if (!ascii) {
        out.write(reinterpret_cast<const char*>(raster.samples.data()),
                  static_cast<std::streamsize>(raster.samples.size()));
        return;
    }
    for (std::size_t i = 0; i < raster.samples.size(); ++i)
        out << static_cast<int>(raster.samples[i]) << ((i + 1) % 12 == 0 ? '\n' : ' ');
    out << '\n';
}

std::string captured(std::FILE* file)
{
    std::rewind(file);
    std::string text;
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0)
        text.append(buffer, n);
    std::fclose(file);
    return text;
}

// The address sanitizer reserves terabytes of address space, so an
// address-space limit can only be applied in an unsanitized build.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kCanLimitAddressSpace = false;
#else
constexpr bool kCanLimitAddressSpace = true;
#endif

[[noreturn]] void execWithOptions(const std::string& program, char* const* argv, const RunOptions& options,
                                  int out, int err)
{
    const int input = open(options.input.c_str(), O_RDONLY);
    dup2(input, STDIN_FILENO);
    dup2(out, STDOUT_FILENO);
    dup2(err, STDERR_FILENO);
    if (options.addressSpaceBytes > 0 && kCanLimitAddressSpace) {
        const rlimit limit{rlim_t(options.addressSpaceBytes), rlim_t(options.addressSpaceBytes)};
        setrlimit(RLIMIT_AS, &limit);
    }
    if (options.openFiles > 0) {
        const rlimit limit{rlim_t(options.openFiles), rlim_t(options.openFiles)};
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    execv(program.c_str(), argv);
    _exit(127);
}

// The body of an APP1 marker: EXIF, a little-endian TIFF header and one
// directory holding the orientation alone.
std::string exifWithOrientation(int orientation)
{
    const char tiff[] = {'I', 'I', 42, 0, 8, 0, 0, 0,                    // header, directory at 8
                         1, 0,                                              // one entry
                         0x12, 0x01, 3, 0, 1, 0, 0, 0, static_cast<char>(orientation), 0, 0, 0,
                         0, 0, 0, 0};                                       // no next directory
    return std::string("Exif\0\0", 6) + std::string(tiff, sizeof tiff);
}

// An RGB row as Adobe CMYK: inks stored inverted, so C' = R, M' = G, Y' = B
// and no black.
JSAMPROW invertedInksOf(const JSAMPLE* rgb, int width, std::vector<JSAMPLE>& inks)
{
    for (int x = 0; x < width; ++x) {
        std::copy_n(rgb + 3 * x, 3, inks.begin() + 4 * x);
        inks[4 * x + 3] = 255;
    }
    return inks.data();
}

}  // namespace

TempDir::TempDir()
{
    char pattern[] = "/tmp/tolvane-test-XXXXXX";
    const char* made = mkdtemp(pattern);
    if (!made)
        throw std::runtime_error("cannot create a scratch directory");
    path = made;
}

TempDir::~TempDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

ProcessResult runProgram(const std::string& program, const std::vector<std::string>& args, const RunOptions& options)
{
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0)
        execWithOptions(program, argv.data(), options, fileno(out), fileno(err));
    int status = 0;
    waitpid(pid, &status, 0);
    ProcessResult result;
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.out = captured(out);
    result.err = captured(err);
    return result;
}

ProcessResult runTolvane(const std::vector<std::string>& args, const RunOptions& options)
{
    return runProgram(TOLVANE_EXE, args, options);
}

tolvane::RasterImage blobImage(int width, int height)
{
    tolvane::RasterImage raster;
    raster.width = width;
    raster.height = height;
    raster.channels = 1;
    for (int r = 0; r < height; ++r)
        for (int c = 0; c < width; ++c)
            raster.samples.push_back(static_cast<unsigned char>(sceneValue(c, r)));
    return raster;
}

tolvane::RasterImage colourBlobImage(int width, int height)
{
    const tolvane::RasterImage grey = blobImage(width, height);
    tolvane::RasterImage raster;
    raster.width = width;
    raster.height = height;
    raster.channels = 3;
    raster.samples.resize(grey.samples.size() * 3);
    for (std::size_t i = 0; i < grey.samples.size(); ++i)
        colourWithLuma(grey.samples[i], static_cast<int>(i / 7), &raster.samples[3 * i]);
    return raster;
}

void writeBinaryPgm(const std::string& path, const tolvane::RasterImage& grey)
{
    writeNetpbm(path, "P5", grey, false);
}

void writeAsciiPgm(const std::string& path, const tolvane::RasterImage& grey)
{
    writeNetpbm(path, "P2", grey, true);
}

void writeBinaryPpm(const std::string& path, const tolvane::RasterImage& rgb)
{
    writeNetpbm(path, "P6", rgb, false);
}

void writeAsciiPpm(const std::string& path, const tolvane::RasterImage& rgb)
{
    writeNetpbm(path, "P3", rgb, true);
}

void writePngFile(const std::string& path, const tolvane::RasterImage& raster)
{
    std::string error;
    ASSERT_TRUE(tolvane::writePng(path, raster, error)) << error;
}

void writeJpegFile(const std::string& path, const tolvane::RasterImage& raster, int quality,
                   const JpegOptions& options)
{
    std::FILE* file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    jpeg_compress_struct jpeg;
    jpeg_error_mgr errors;
    jpeg.err = jpeg_std_error(&errors);
    jpeg_create_compress(&jpeg);
    jpeg_stdio_dest(&jpeg, file);
    const bool inks = options.inks != JpegOptions::Inks::None;
    jpeg.image_width = static_cast<JDIMENSION>(raster.width);
    jpeg.image_height = static_cast<JDIMENSION>(raster.height);
    jpeg.input_components = inks ? 4 : raster.channels;
    jpeg.in_color_space = inks ? JCS_CMYK : raster.channels == 3 ? JCS_RGB : JCS_GRAYSCALE;
    jpeg_set_defaults(&jpeg);
    if (options.inks == JpegOptions::Inks::Ycck)
        jpeg_set_colorspace(&jpeg, JCS_YCCK);
    jpeg_set_quality(&jpeg, quality, TRUE);
    if (options.progressive)
        jpeg_simple_progression(&jpeg);
    jpeg_start_compress(&jpeg, TRUE);
    if (options.orientation != 1) {
        const std::string exif = exifWithOrientation(options.orientation);
        jpeg_write_marker(&jpeg, JPEG_APP0 + 1, reinterpret_cast<const JOCTET*>(exif.data()),
                          static_cast<unsigned>(exif.size()));
    }
    std::vector<JSAMPLE> inkRow(static_cast<std::size_t>(raster.width) * 4);
    while (jpeg.next_scanline < jpeg.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(raster.samples.data()) +
                       static_cast<std::size_t>(jpeg.next_scanline) * raster.width * raster.channels;
        if (inks)
            row = invertedInksOf(row, raster.width, inkRow);
        jpeg_write_scanlines(&jpeg, &row, 1);
    }
    jpeg_finish_compress(&jpeg);
    jpeg_destroy_compress(&jpeg);
    std::fclose(file);
}

tolvane::RasterImage warpedImage(const tolvane::RasterImage& grey, const double (&h)[3][3])
{
    // The inverse by the adjugate; its scale does not matter.
    const double i[3][3] = {{h[1][1] * h[2][2] - h[1][2] * h[2][1], h[0][2] * h[2][1] - h[0][1] * h[2][2],
                             h[0][1] * h[1][2] - h[0][2] * h[1][1]},
                            {h[1][2] * h[2][0] - h[1][0] * h[2][2], h[0][0] * h[2][2] - h[0][2] * h[2][0],
                             h[0][2] * h[1][0] - h[0][0] * h[1][2]},
                            {h[1][0] * h[2][1] - h[1][1] * h[2][0], h[0][1] * h[2][0] - h[0][0] * h[2][1],
                             h[0][0] * h[1][1] - h[0][1] * h[1][0]}};
    tolvane::RasterImage out{grey.width, grey.height, 1, std::vector<unsigned char>(grey.samples.size(), 0)};
    for (int y = 0; y < out.height; ++y)
        for (int x = 0; x < out.width; ++x) {
            const double w = i[2][0] * x + i[2][1] * y + i[2][2];
            const double sx = (i[0][0] * x + i[0][1] * y + i[0][2]) / w;
            const double sy = (i[1][0] * x + i[1][1] * y + i[1][2]) / w;
            if (!(sx >= 0 && sy >= 0 && sx < grey.width - 1 && sy < grey.height - 1))
                continue;
            const int x0 = static_cast<int>(sx), y0 = static_cast<int>(sy);
            const double fx = sx - x0, fy = sy - y0;
            auto at = [&](int xx, int yy) {
                return double(grey.samples[static_cast<std::size_t>(yy) * grey.width + xx]);
            };
            const double v = (at(x0, y0) * (1 - fx) + at(x0 + 1, y0) * fx) * (1 - fy) +
                             (at(x0, y0 + 1) * (1 - fx) + at(x0 + 1, y0 + 1) * fx) * fy;
            out.samples[static_cast<std::size_t>(y) * out.width + x] = static_cast<unsigned char>(std::lround(v));
        }
    return out;
}

tolvane::RasterImage readGreyPgm(const std::string& path)
{
    std::string error;
    const ImagePtr image = loadGreyImage(path, error);
    EXPECT_TRUE(image) << error;
    return image ? tolvane::RasterImage{image->width, image->height, 1, image->pixels} : tolvane::RasterImage{};
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeFile(const std::string& path, const std::string& contents)
{
    std::ofstream(path, std::ios::binary) << contents;
}

std::vector<std::string> linesOf(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line);
    return lines;
}

}  // namespace testsupport
