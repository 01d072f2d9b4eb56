// numpy arrays as grey images for the detector.
#include "image_input.h"

#include <climits>
#include <cstdint>
#include <cstring>
#include <string>

namespace py = pybind11;

namespace tolvane::python {
namespace {

// The weights of the tool's colour conversion; 8-bit luma is rounded to the
// nearest integer with the same integer arithmetic as the tool.
std::uint8_t lumaOf(std::uint8_t red, std::uint8_t green, std::uint8_t blue)
{
    return static_cast<std::uint8_t>((299u * red + 587u * green + 114u * blue + 500u) / 1000u);
}

float lumaOf(float red, float green, float blue)
{
    return static_cast<float>(0.299 * red + 0.587 * green + 0.114 * blue);
}

std::string shapeText(const py::array& image)
{
    std::string text = "(";
    for (py::ssize_t axis = 0; axis < image.ndim(); ++axis)
        text += (axis ? ", " : "") + std::to_string(image.shape(axis));
    return text + (image.ndim() == 1 ? ",)" : ")");
}

int sideOf(const py::array& image, int axis)
{
    if (image.shape(axis) > INT_MAX)
        throw py::value_error("image of shape " + shapeText(image) + " is too large");
    return static_cast<int>(image.shape(axis));
}

template <typename T>
T sampleAt(const ArrayLayout& layout, int x, int y, int channel)
{
    const unsigned char* at =
        layout.data + y * layout.rowStride + x * layout.columnStride + channel * layout.channelStride;
    T value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

template <typename T>
std::vector<T> packedGrey(const ArrayLayout& layout)
{
    std::vector<T> grey(static_cast<std::size_t>(layout.width) * static_cast<std::size_t>(layout.height));
    T* out = grey.data();
    for (int y = 0; y < layout.height; ++y) {
        for (int x = 0; x < layout.width; ++x) {
            const T first = sampleAt<T>(layout, x, y, 0);
            *out++ = layout.channels == 1
                         ? first
                         : lumaOf(first, sampleAt<T>(layout, x, y, 1), sampleAt<T>(layout, x, y, 2));
        }
    }
    return grey;
}

std::size_t sampleBytes(PixelType sample)
{
    return sample == PixelType::UInt8 ? 1 : sizeof(float);
}

// Grey rows of adjacent pixels, the rows in order and the samples aligned:
// what an ImageView describes.
bool viewable(const ArrayLayout& layout)
{
    const auto bytes = static_cast<std::ptrdiff_t>(sampleBytes(layout.sample));
    return layout.channels == 1 && layout.columnStride == bytes && layout.rowStride >= bytes * layout.width &&
           layout.rowStride % bytes == 0 && reinterpret_cast<std::uintptr_t>(layout.data) % bytes == 0;
}

}  // namespace

ArrayLayout layoutOf(const py::array& image)
{
    ArrayLayout layout;
    if (image.dtype().is(py::dtype::of<std::uint8_t>()))
        layout.sample = PixelType::UInt8;
    else if (image.dtype().is(py::dtype::of<float>()))
        layout.sample = PixelType::Float32;
    else
        throw py::type_error("image must be a uint8 or float32 array, got " +
                             std::string(py::str(image.dtype())));
    const bool colour = image.ndim() == 3 && image.shape(2) == 3;
    if (image.ndim() != 2 && !colour)
        throw py::value_error("image must have the shape (rows, columns) or (rows, columns, 3), got " +
                              shapeText(image));
    layout.data = static_cast<const unsigned char*>(image.data());
    layout.height = sideOf(image, 0);
    layout.width = sideOf(image, 1);
    layout.channels = colour ? 3 : 1;
    layout.rowStride = image.strides(0);
    layout.columnStride = image.strides(1);
    layout.channelStride = colour ? image.strides(2) : 0;
    return layout;
}

GreyInput::GreyInput(const ArrayLayout& layout)
{
    if (viewable(layout) || layout.width == 0 || layout.height == 0) {
        view_.pixels = layout.data;
        view_.type = layout.sample;
        view_.width = layout.width;
        view_.height = layout.height;
        view_.stride = layout.rowStride;
    } else if (layout.sample == PixelType::UInt8) {
        bytes_ = packedGrey<std::uint8_t>(layout);
        view_ = ImageView(bytes_.data(), layout.width, layout.height);
    } else {
        floats_ = packedGrey<float>(layout);
        view_ = ImageView(floats_.data(), layout.width, layout.height);
    }
}

}  // namespace tolvane::python
