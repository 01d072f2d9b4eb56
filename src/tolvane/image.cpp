#include "tolvane/image.h"

#include "tolvane/error.h"

#include <string>

namespace tolvane {
namespace {

std::ptrdiff_t packedOr(std::ptrdiff_t stride, int width, std::size_t pixelBytes)
{
    return stride != 0 ? stride : static_cast<std::ptrdiff_t>(width) * static_cast<std::ptrdiff_t>(pixelBytes);
}

}  // namespace

ImageView::ImageView(const std::uint8_t* pixels, int width, int height, std::ptrdiff_t stride)
    : pixels(pixels), type(PixelType::UInt8), width(width), height(height), stride(packedOr(stride, width, 1))
{
}

ImageView::ImageView(const float* pixels, int width, int height, std::ptrdiff_t stride)
    : pixels(pixels),
      type(PixelType::Float32),
      width(width),
      height(height),
      stride(packedOr(stride, width, sizeof(float)))
{
}

void ImageView::validate() const
{
    if (width < 0 || height < 0)
        throw Error(ErrorCode::InvalidArgument, "image sides must not be negative, got " + std::to_string(width) + " x " +
                    std::to_string(height));
    if (width == 0 || height == 0)
        return;
    if (!pixels)
        throw Error(ErrorCode::InvalidArgument, "image view has no pixels");
    const std::ptrdiff_t rowBytes =
        static_cast<std::ptrdiff_t>(width) * (type == PixelType::UInt8 ? 1 : static_cast<std::ptrdiff_t>(sizeof(float)));
    if (stride < rowBytes)
        throw Error(ErrorCode::InvalidArgument, "image row stride " + std::to_string(stride) + " is shorter than a row of " +
                    std::to_string(rowBytes) + " bytes");
    if (type == PixelType::Float32 && stride % static_cast<std::ptrdiff_t>(sizeof(float)) != 0)
        throw Error(ErrorCode::InvalidArgument, "float image row stride must be a multiple of 4 bytes");
}

float ImageView::at(int x, int y) const
{
    const auto* row = static_cast<const unsigned char*>(pixels) + static_cast<std::ptrdiff_t>(y) * stride;
    if (type == PixelType::UInt8)
        return row[x];
    return reinterpret_cast<const float*>(row)[x];
}

}  // namespace tolvane
