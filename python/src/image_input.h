// numpy arrays as grey images for the detector.
#ifndef TOLVANE_PYTHON_IMAGE_INPUT_H
#define TOLVANE_PYTHON_IMAGE_INPUT_H

#include "tolvane/image.h"

#include <pybind11/numpy.h>

#include <cstdint>
#include <vector>

namespace tolvane::python {

// Where the samples of an array are, read with the GIL held so that the
// grey image can then be made without it. Strides are in bytes.
struct ArrayLayout {
    const unsigned char* data = nullptr;
    PixelType sample = PixelType::UInt8;
    int width = 0;
    int height = 0;
    int channels = 1;  // 1 (grey) or 3 (red, green, blue)
    std::ptrdiff_t rowStride = 0;
    std::ptrdiff_t columnStride = 0;
    std::ptrdiff_t channelStride = 0;
};

// Throws pybind11::type_error for a dtype other than uint8 and float32 and
// pybind11::value_error for a shape other than (rows, columns) or
// (rows, columns, 3).
ArrayLayout layoutOf(const pybind11::array& image);

// A grey image over the array: its own memory when it holds grey rows of
// adjacent, aligned pixels, otherwise a packed grey copy. Needs no GIL; the
// array must outlive it.
class GreyInput {
public:
    explicit GreyInput(const ArrayLayout& layout);
    GreyInput(const GreyInput&) = delete;
    GreyInput& operator=(const GreyInput&) = delete;

    const ImageView& view() const { return view_; }

private:
    std::vector<std::uint8_t> bytes_;
    std::vector<float> floats_;
    ImageView view_;
};

}  // namespace tolvane::python

#endif
