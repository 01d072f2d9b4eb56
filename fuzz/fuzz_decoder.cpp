// Coverage-guided fuzz target: arbitrary bytes through one of the tool's
// image decoders (the library's), chosen when compiling (-DFUZZ_DECODER=decodePng and so
// on), then the grey conversion. A decoded raster must be as large as its
// sides say; a refusal is one non-empty line.
#include "raster_io.h"

#include <cstdint>
#include <cstdlib>
#include <string>

#ifndef FUZZ_DECODER
#error "define FUZZ_DECODER as decodeNetpbm, decodePng or decodeJpeg"
#endif

namespace {

// Keeps every run fast: larger images are refused by the header check.
const long long kMaxPixels = 1 << 20;

void checkRaster(const tolvane::RasterImage& raster)
{
    const bool sidesOk = raster.width >= 1 && raster.height >= 1 &&
                         static_cast<long long>(raster.width) * raster.height <= kMaxPixels;
    const bool channelsOk = raster.channels == 1 || raster.channels == 3;
    if (!sidesOk || !channelsOk ||
        raster.samples.size() != static_cast<std::size_t>(raster.width) * raster.height * raster.channels)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    tolvane::ReadOptions options;
    options.max_pixels = kMaxPixels;
    options.accept_damaged = size % 2 == 0;
    tolvane::RasterImage raster;
    std::string error;
    if (!tolvane::FUZZ_DECODER(bytes, options, raster, error)) {
        if (error.empty() || error.find('\n') != std::string::npos)
            std::abort();
        return 0;
    }
    checkRaster(raster);
    const tolvane::Image image = tolvane::greyImageOf(raster);
    if (image.width != raster.width || image.height != raster.height)
        std::abort();
    return 0;
}
