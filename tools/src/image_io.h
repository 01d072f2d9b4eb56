// Reading grey images from the common 8-bit and 16-bit file formats, and
// writing PNG. The decoders work on the file's bytes in memory and depend on
// nothing else of the tool.
#ifndef TOLVANE_IMAGE_IO_H
#define TOLVANE_IMAGE_IO_H

#include "afflib.h"

#include <memory>
#include <string>
#include <vector>

namespace tolvane {

using ImagePtr = std::unique_ptr<DERY>;

// Default largest number of pixels an input image may have: the detector
// needs about 12.5 floats per pixel, some 5 GB at this size.
constexpr long long kDefaultMaxPixels = 100000000;

struct ReadOptions {
    long long maxPixels = kDefaultMaxPixels;
    // Take JPEG data that the decoder reports as corrupt or missing (it
    // fills what it cannot decode) instead of refusing the image.
    bool acceptDamaged = false;
};

// 8-bit samples of an image, row after row; `channels` is 1 (grey) or 3 (RGB).
struct RasterImage {
    int width = 0;
    int height = 0;
    int channels = 1;
    std::vector<unsigned char> samples;
};

// What a file's header claims. Every decoder checks it with checkHeader
// before it allocates anything for the image.
struct ImageHeader {
    long long width = 0;
    long long height = 0;
    long long maxValue = 255;      // largest sample value the format allows
    long long payloadBytes = 0;    // least number of bytes the samples take
    long long availableBytes = 0;  // bytes the file has after the header
};

// The sides are positive, their product within options.maxPixels, the
// maximum sample value from 1 to 65535 and the file long enough for the
// samples. False with a one-line reason.
bool checkHeader(const ImageHeader& header, const ReadOptions& options, std::string& error);

// Reads a grey image from a binary or ASCII PGM, a binary or ASCII PPM, a PNG
// or a JPEG file, recognised by its first bytes; "-" is standard input. The
// input is read once, so pipes work. Colour becomes grey by lumaOf; Netpbm
// samples are scaled to 0..255 (round(v * 255 / maximum)); a JPEG's EXIF
// orientation is applied, so that the image is the one a viewer shows.
// Returns nullptr with a one-line reason (not naming the file) in `error`.
ImagePtr loadGreyImage(const std::string& path, const ReadOptions& options, std::string& error);
ImagePtr loadGreyImage(const std::string& path, std::string& error);

// The same from the file's bytes.
ImagePtr decodeGreyImage(const std::string& bytes, const ReadOptions& options, std::string& error);

// Grey value of an RGB pixel: 0.299 R + 0.587 G + 0.114 B rounded to the
// nearest integer, halves upward.
unsigned char lumaOf(unsigned char red, unsigned char green, unsigned char blue);

// A new DERY with the raster's grey values (RGB through lumaOf).
ImagePtr greyImageOf(const RasterImage& raster);

// The decoders, one per format family; false with a reason.
bool decodeNetpbm(const std::string& bytes, const ReadOptions& options, RasterImage& raster, std::string& error);
bool decodePng(const std::string& bytes, const ReadOptions& options, RasterImage& raster, std::string& error);
bool decodeJpeg(const std::string& bytes, const ReadOptions& options, RasterImage& raster, std::string& error);

// The EXIF orientation (1 to 8) recorded in the body of a JPEG APP1 marker,
// or 1 when there is none or it cannot be read.
int exifOrientation(const unsigned char* data, std::size_t size);

// The raster as a viewer shows it for an EXIF orientation.
RasterImage orientedRaster(const RasterImage& raster, int orientation);

// Writes an 8-bit RGB or grey PNG; false with a reason.
bool writePng(const std::string& path, const RasterImage& raster, std::string& error);

}  // namespace tolvane

#endif
