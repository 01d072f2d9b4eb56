// Coverage-guided fuzz target: arbitrary bytes through the PGM reading step
// and, for images of at most kMaxSide x kMaxSide, through both detectors.
#include "afflib.h"

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

// Keeps every run fast; the detectors' cost grows with the pixel count.
const int kMaxSide = 96;

// A failure is reported as one non-empty line; a decoded pixel is a byte value.
void checkRead(const DERY* image, const std::string& error)
{
    if (!image) {
        if (error.empty() || error.find('\n') != std::string::npos)
            std::abort();
        return;
    }
    for (int i = 0; i < image->size; ++i) {
        const float v = image->pixels[0][i];
        if (!(v >= 0.0f && v <= 255.0f) || v != static_cast<float>(static_cast<int>(v)))
            std::abort();
    }
}

void freeAll(std::vector<AffRegion*>& regions)
{
    for (AffRegion* region : regions)
        delete region;
    regions.clear();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
    std::string error;
    std::unique_ptr<DERY> image(readPGM(in, error));
    checkRead(image.get(), error);
    if (!image || image->cols > kMaxSide || image->rows > kMaxSide)
        return 0;
    std::vector<AffRegion*> regions;
    multi_scale_hes(image.get(), regions, 1000.0f, 16);
    freeAll(regions);
    multi_scale_har(image.get(), regions, 1000.0f, 16);
    freeAll(regions);
    // Budget 1: start shapes from the second moment maps, no adaptation.
    multi_scale_har(image.get(), regions, 1000.0f, 1);
    freeAll(regions);
    return 0;
}
