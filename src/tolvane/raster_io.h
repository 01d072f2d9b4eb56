// 8-bit rasters: the decoders behind readImage, each working on the file's
// bytes in memory and checking the header's claims before allocating, and
// PNG writing. Internal to the library; the tool and the tests use rasters
// for pictures too.
#ifndef TOLVANE_RASTER_IO_H
#define TOLVANE_RASTER_IO_H

#include "tolvane/image.h"

#include <cstddef>
#include <string>
#include <vector>

namespace tolvane {

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

// The sides are positive, their product within options.max_pixels, the
// maximum sample value from 1 to 65535 and the file long enough for the
// samples. False with a one-line reason.
bool checkHeader(const ImageHeader& header, const ReadOptions& options, std::string& error);

// The whole content of a file ("-": standard input), read once so that pipes
// work, refused early when it is longer than an image within the pixel limit
// can be. False with a one-line reason.
bool readImageBytes(const std::string& path, const ReadOptions& options, std::string& bytes, std::string& error);

// A raster from a binary or ASCII PGM, a binary or ASCII PPM, a PNG or a
// JPEG file's bytes, recognised by the first bytes. Netpbm samples are scaled
// to 0..255 (round(v * 255 / maximum)); a JPEG's EXIF orientation is applied.
// A colour JPEG is decoded to its grey luminance channel unless `keepColour`
// is set (PPM and PNG files keep their colours either way).
bool decodeRaster(const std::string& bytes, const ReadOptions& options, RasterImage& raster, std::string& error,
                  bool keepColour = false);

// The decoders, one per format family; false with a reason.
bool decodeNetpbm(const std::string& bytes, const ReadOptions& options, RasterImage& raster, std::string& error);
bool decodePng(const std::string& bytes, const ReadOptions& options, RasterImage& raster, std::string& error);
bool decodeJpeg(const std::string& bytes, const ReadOptions& options, RasterImage& raster, std::string& error,
                bool keepColour = false);

// Grey value of an RGB pixel: 0.299 R + 0.587 G + 0.114 B rounded to the
// nearest integer, halves upward.
unsigned char lumaOf(unsigned char red, unsigned char green, unsigned char blue);

// The raster's grey values (RGB through lumaOf).
Image greyImageOf(RasterImage raster);

// The EXIF orientation (1 to 8) recorded in the body of a JPEG APP1 marker,
// or 1 when there is none or it cannot be read.
int exifOrientation(const unsigned char* data, std::size_t size);

// The raster as a viewer shows it for an EXIF orientation.
RasterImage orientedRaster(const RasterImage& raster, int orientation);

// Writes an 8-bit RGB or grey PNG; false with a reason.
bool writePng(const std::string& path, const RasterImage& raster, std::string& error);

// Writes an RGB or grey JPEG of quality 1 to 100; false with a reason.
bool writeJpeg(const std::string& path, const RasterImage& raster, int quality, std::string& error);

}  // namespace tolvane

#endif
