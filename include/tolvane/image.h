// Grey images: views over the caller's pixels, and owning images.
#ifndef TOLVANE_IMAGE_H
#define TOLVANE_IMAGE_H

#include <cstddef>
#include <cstdint>
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

}  // namespace tolvane

#endif
