// Reading grey images from the common 8-bit file formats, and writing PNG.
#ifndef TOLVANE_IMAGE_IO_H
#define TOLVANE_IMAGE_IO_H

#include "afflib.h"

#include <memory>
#include <string>
#include <vector>

namespace tolvane {

using ImagePtr = std::unique_ptr<DERY>;

// Largest number of pixels an input image may have.
constexpr long long kMaxPixels = 1LL << 28;

// 8-bit samples of an image, row after row; `channels` is 1 (grey) or 3 (RGB).
struct RasterImage {
    int width = 0;
    int height = 0;
    int channels = 1;
    std::vector<unsigned char> samples;
};

// Reads a grey image from a binary or ASCII PGM, a binary or ASCII PPM, a PNG
// or a JPEG file, recognised by its first bytes. Colour becomes grey by
// lumaOf. Netpbm samples are taken as they are, whatever the maximum value
// says; binary PGM is read by readPGM. Returns nullptr with a one-line reason
// (not naming the file) in `error`.
ImagePtr loadGreyImage(const std::string& path, std::string& error);

// Grey value of an RGB pixel: 0.299 R + 0.587 G + 0.114 B rounded to the
// nearest integer, halves upward.
unsigned char lumaOf(unsigned char red, unsigned char green, unsigned char blue);

// A new DERY with the raster's grey values (RGB through lumaOf).
ImagePtr greyImageOf(const RasterImage& raster);

// Decoders of the formats that come from libraries; false with a reason.
bool decodePng(const std::string& path, RasterImage& raster, std::string& error);
bool decodeJpeg(const std::string& path, RasterImage& raster, std::string& error);

// Writes an 8-bit RGB or grey PNG; false with a reason.
bool writePng(const std::string& path, const RasterImage& raster, std::string& error);

// Checks sides announced by a file before anything is allocated for them.
bool checkImageSides(long long width, long long height, std::string& error);

}  // namespace tolvane

#endif
