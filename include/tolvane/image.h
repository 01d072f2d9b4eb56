// Grey images: views over the caller's pixels, and owning images.
#ifndef TOLVANE_IMAGE_H
#define TOLVANE_IMAGE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tolvane {

enum class PixelType { UInt8, Float32 };

// A grey image in memory the caller owns: `height` rows of `width` pixels,
// row r starting `stride` bytes after row r - 1 (a stride of 0 means rows
// are packed). Float pixels are on the 0-255 scale of 8-bit images. The view
// copies nothing and owns nothing: the pixels must outlive every call it is
// passed to. Safe to share between threads (it is only read).
struct ImageView {
    ImageView() = default;
    ImageView(const std::uint8_t* pixels, int width, int height, std::ptrdiff_t stride = 0);
    ImageView(const float* pixels, int width, int height, std::ptrdiff_t stride = 0);

    const void* pixels = nullptr;
    PixelType type = PixelType::UInt8;
    int width = 0;
    int height = 0;
    std::ptrdiff_t stride = 0;  // bytes from one row to the next

    // Throws Error for negative sides, missing pixels or a stride shorter
    // than a row.
    void validate() const;
    // Pixel (column x, row y) as a float on the 0-255 scale.
    float at(int x, int y) const;
};

// An 8-bit grey image that owns its pixels, rows packed. A value type: copy
// or move it freely; distinct images may be used from different threads.
struct Image {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> pixels;  // width * height, row after row

    ImageView view() const { return ImageView(pixels.data(), width, height); }
};

// Limits and leniency of image reading. A plain value.
struct ReadOptions {
    // Largest number of pixels an image may have: the detector needs about
    // 12.5 floats per pixel, some 5 GB at the default. At least 1.
    long long max_pixels = 100000000;
    // Take JPEG data that the decoder reports as corrupt or missing (it fills
    // what it cannot decode) instead of refusing the image.
    bool accept_damaged = false;

    void validate() const;
};

// Reads a grey image from a binary or ASCII PGM, a binary or ASCII PPM (8 or
// 16 bits), a PNG or a JPEG file, recognised by its first bytes; "-" reads
// standard input. Colour becomes grey with the weights 0.299, 0.587, 0.114
// (rounded to the nearest integer); Netpbm samples are scaled to 0-255
// (round(v * 255 / maximum)); a JPEG's EXIF orientation is applied, so that
// the image is the one a viewer shows. Every header is checked against the
// limits before anything is allocated for the pixels. Throws Error
// (FileAccess when the file cannot be read, BadData for its content).
Image readImage(const std::string& path, const ReadOptions& options = {});

// The same from a file's bytes in memory.
Image decodeImage(const std::string& bytes, const ReadOptions& options = {});

}  // namespace tolvane

#endif
