// Synthetic image pairs with known homographies.
#include "synthetic_pairs.h"

#include <jpeglib.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <stdexcept>

namespace bench {
namespace {

constexpr double kPi = 3.14159265358979323846;

Matrix3 multiply(const Matrix3& p, const Matrix3& q)
{
    Matrix3 r{};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            for (int k = 0; k < 3; ++k)
                r[3 * i + j] += p[3 * i + k] * q[3 * k + j];
    return r;
}

Matrix3 inverse(const Matrix3& m)
{
    const Matrix3 adjugate = {m[4] * m[8] - m[5] * m[7], m[2] * m[7] - m[1] * m[8], m[1] * m[5] - m[2] * m[4],
                              m[5] * m[6] - m[3] * m[8], m[0] * m[8] - m[2] * m[6], m[2] * m[3] - m[0] * m[5],
                              m[3] * m[7] - m[4] * m[6], m[1] * m[6] - m[0] * m[7], m[0] * m[4] - m[1] * m[3]};
    const double det = m[0] * adjugate[0] + m[1] * adjugate[3] + m[2] * adjugate[6];
    Matrix3 r;
    for (int k = 0; k < 9; ++k)
        r[k] = adjugate[k] / det;
    return r;
}

Matrix3 translation(double x, double y) { return {1, 0, x, 0, 1, y, 0, 0, 1}; }

Matrix3 identity() { return {1, 0, 0, 0, 1, 0, 0, 0, 1}; }

// A camera of focal length f (pixels) looking at the photograph as a plane
// straight on, moved around the plane's centre by `degrees` about the
// vertical axis and turned to keep looking at that centre, at the same
// distance: H = K R (D I - C e3^T) K^-1 with the plane at depth D = 1.
Matrix3 tilt(const GreyImage& photo, double degrees)
{
    const double f = std::max(photo.width, photo.height);
    const double cx = (photo.width - 1) / 2.0, cy = (photo.height - 1) / 2.0;
    const double t = degrees * kPi / 180, c = std::cos(t), s = std::sin(t);
    const Matrix3 k = {f, 0, cx, 0, f, cy, 0, 0, 1};
    const Matrix3 rotation = {c, 0, s, 0, 1, 0, -s, 0, c};
    const Matrix3 moved = {1, 0, -s, 0, 1, 0, 0, 0, 1 - (1 - c)};  // I - C e3^T, C = (s, 0, 1 - c)
    return multiply(multiply(k, multiply(rotation, moved)), inverse(k));
}

// Zoom by `factor` and rotation by `degrees` about the image centre.
Matrix3 zoomRotation(const GreyImage& photo, double factor, double degrees)
{
    const double cx = (photo.width - 1) / 2.0, cy = (photo.height - 1) / 2.0;
    const double t = degrees * kPi / 180, c = factor * std::cos(t), s = factor * std::sin(t);
    const Matrix3 turn = {c, -s, 0, s, c, 0, 0, 0, 1};
    return multiply(translation(cx, cy), multiply(turn, translation(-cx, -cy)));
}

double bilinear(const GreyImage& image, double x, double y)
{
    if (!(x >= 0 && y >= 0 && x <= image.width - 1 && y <= image.height - 1))
        return 0;
    const int x0 = std::min(static_cast<int>(x), image.width - 2);
    const int y0 = std::min(static_cast<int>(y), image.height - 2);
    const double fx = x - x0, fy = y - y0;
    const auto at = [&](int c, int r) { return static_cast<double>(image.pixels[r * image.width + c]); };
    return (1 - fy) * ((1 - fx) * at(x0, y0) + fx * at(x0 + 1, y0)) +
           fy * ((1 - fx) * at(x0, y0 + 1) + fx * at(x0 + 1, y0 + 1));
}

std::uint8_t toByte(double v) { return static_cast<std::uint8_t>(std::clamp(std::lround(v), 0L, 255L)); }

// The photograph seen through h, each pixel the mean of 3 x 3 bilinear
// samples so that shrunk parts do not alias.
GreyImage warp(const GreyImage& photo, const Matrix3& h)
{
    const Matrix3 back = inverse(h);
    GreyImage out{photo.width, photo.height, std::vector<std::uint8_t>(photo.pixels.size())};
    for (int y = 0; y < out.height; ++y)
        for (int x = 0; x < out.width; ++x) {
            double sum = 0;
            for (int j = -1; j <= 1; ++j)
                for (int i = -1; i <= 1; ++i) {
                    const double px = x + i / 3.0, py = y + j / 3.0;
                    const double w = back[6] * px + back[7] * py + back[8];
                    sum += bilinear(photo, (back[0] * px + back[1] * py + back[2]) / w,
                                    (back[3] * px + back[4] * py + back[5]) / w);
                }
            out.pixels[y * out.width + x] = toByte(sum / 9);
        }
    return out;
}

// Separable Gaussian blur, edges replicated.
GreyImage blur(const GreyImage& photo, double sigma)
{
    const int reach = static_cast<int>(std::ceil(3 * sigma));
    std::vector<double> kernel;
    double total = 0;
    for (int t = -reach; t <= reach; ++t)
        total += kernel.emplace_back(std::exp(-t * t / (2 * sigma * sigma)));
    const int w = photo.width, h = photo.height;
    std::vector<double> rows(photo.pixels.size());
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            double s = 0;
            for (int t = -reach; t <= reach; ++t)
                s += kernel[t + reach] * photo.pixels[y * w + std::clamp(x + t, 0, w - 1)];
            rows[y * w + x] = s / total;
        }
    GreyImage out{w, h, std::vector<std::uint8_t>(photo.pixels.size())};
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            double s = 0;
            for (int t = -reach; t <= reach; ++t)
                s += kernel[t + reach] * rows[std::clamp(y + t, 0, h - 1) * w + x];
            out.pixels[y * w + x] = toByte(s / total);
        }
    return out;
}

GreyImage brighten(const GreyImage& photo, double factor)
{
    GreyImage out = photo;
    for (std::uint8_t& p : out.pixels)
        p = toByte(p * factor);
    return out;
}

// Compressed at `quality` and decompressed again.
GreyImage jpegRoundTrip(const GreyImage& photo, int quality)
{
    jpeg_error_mgr errors;
    jpeg_compress_struct encoder;
    encoder.err = jpeg_std_error(&errors);
    jpeg_create_compress(&encoder);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&encoder, &buffer, &size);
    encoder.image_width = static_cast<JDIMENSION>(photo.width);
    encoder.image_height = static_cast<JDIMENSION>(photo.height);
    encoder.input_components = 1;
    encoder.in_color_space = JCS_GRAYSCALE;
    jpeg_set_defaults(&encoder);
    jpeg_set_quality(&encoder, quality, TRUE);
    jpeg_start_compress(&encoder, TRUE);
    while (encoder.next_scanline < encoder.image_height) {
        JSAMPROW row = const_cast<std::uint8_t*>(&photo.pixels[encoder.next_scanline * photo.width]);
        jpeg_write_scanlines(&encoder, &row, 1);
    }
    jpeg_finish_compress(&encoder);
    jpeg_destroy_compress(&encoder);

    jpeg_decompress_struct decoder;
    decoder.err = jpeg_std_error(&errors);
    jpeg_create_decompress(&decoder);
    jpeg_mem_src(&decoder, buffer, size);
    jpeg_read_header(&decoder, TRUE);
    jpeg_start_decompress(&decoder);
    GreyImage out{photo.width, photo.height, std::vector<std::uint8_t>(photo.pixels.size())};
    while (decoder.output_scanline < decoder.output_height) {
        JSAMPROW row = &out.pixels[decoder.output_scanline * out.width];
        jpeg_read_scanlines(&decoder, &row, 1);
    }
    jpeg_finish_decompress(&decoder);
    jpeg_destroy_decompress(&decoder);
    std::free(buffer);
    return out;
}

}  // namespace

std::vector<ViewChange> standardChanges()
{
    return {{Change::Viewpoint, 20},    {Change::Viewpoint, 40},     {Change::Viewpoint, 60},
            {Change::ZoomRotation, 1.5, 30}, {Change::ZoomRotation, 2, 45}, {Change::ZoomRotation, 2.5, 75},
            {Change::Blur, 1},          {Change::Blur, 2},           {Change::Blur, 3},
            {Change::Brightness, 0.7},  {Change::Brightness, 0.45},  {Change::Brightness, 0.25},
            {Change::Jpeg, 40},         {Change::Jpeg, 20},          {Change::Jpeg, 10}};
}

SyntheticPair makePair(const GreyImage& photo, const ViewChange& view)
{
    switch (view.change) {
    case Change::Viewpoint: {
        const Matrix3 h = tilt(photo, view.amount);
        return {view, warp(photo, h), h};
    }
    case Change::ZoomRotation: {
        const Matrix3 h = zoomRotation(photo, view.amount, view.degrees);
        return {view, warp(photo, h), h};
    }
    case Change::Blur:
        return {view, blur(photo, view.amount), identity()};
    case Change::Brightness:
        return {view, brighten(photo, view.amount), identity()};
    case Change::Jpeg:
        return {view, jpegRoundTrip(photo, static_cast<int>(view.amount)), identity()};
    }
    throw std::logic_error("unknown change");
}

const char* categoryName(Change change)
{
    switch (change) {
    case Change::Viewpoint:
        return "viewpoint";
    case Change::ZoomRotation:
        return "zoom+rotation";
    case Change::Blur:
        return "blur";
    case Change::Brightness:
        return "brightness";
    case Change::Jpeg:
        return "jpeg";
    }
    return "";
}

std::string changeName(const ViewChange& view)
{
    char amount[32];
    if (view.change == Change::ZoomRotation)
        std::snprintf(amount, sizeof amount, "%gx/%g", view.amount, view.degrees);
    else
        std::snprintf(amount, sizeof amount, "%g", view.amount);
    return std::string(categoryName(view.change)) + " " + amount;
}

GreyImage readPgm(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::string magic;
    GreyImage image;
    int maxValue = 0;
    in >> magic >> image.width >> image.height >> maxValue;
    in.get();
    if (!in || magic != "P5" || maxValue != 255 || image.width <= 0 || image.height <= 0)
        throw std::runtime_error(path + ": not an 8-bit binary PGM file");
    image.pixels.resize(static_cast<std::size_t>(image.width) * image.height);
    in.read(reinterpret_cast<char*>(image.pixels.data()), static_cast<std::streamsize>(image.pixels.size()));
    if (!in)
        throw std::runtime_error(path + ": file ends early");
    return image;
}

}  // namespace bench
