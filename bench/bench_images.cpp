#include "bench_images.h"

#include <cstdlib>
#include <iostream>

namespace {

const char* const kPhotograph = "tests/golden/stars-800x640.pgm";
const int kLargeCols = 4000;
const int kLargeRows = 3000;
const float kEnlargement = 0.2f;  // source pixels per pixel of the result

}  // namespace

DERY* loadTreeImage(const std::string& relative)
{
    const std::string path = std::string(TOLVANE_BENCH_ROOT) + "/" + relative;
    std::string error;
    DERY* image = readPGM(path.c_str(), error);
    if (!image) {
        std::cerr << "bench: " << error << std::endl;
        std::exit(1);
    }
    return image;
}

DERY* loadMosaic(const std::string& size)
{
    const char* dir = std::getenv("TOLVANE_BENCH_IMAGES");
#ifdef TOLVANE_BENCH_IMAGES
    if (!dir)
        dir = TOLVANE_BENCH_IMAGES;
#endif
    if (!dir) {
        std::cerr << "bench: set TOLVANE_BENCH_IMAGES to the folder of the photograph mosaics" << std::endl;
        std::exit(1);
    }
    const std::string path = std::string(dir) + "/mosaic-" + size + ".pgm";
    std::string error;
    DERY* image = readPGM(path.c_str(), error);
    if (!image) {
        std::cerr << "bench: " << error << " (make bench-images writes the mosaics)" << std::endl;
        std::exit(1);
    }
    return image;
}

DERY* makeLargeImage()
{
    DERY* photograph = loadTreeImage(kPhotograph);
    DERY* large = new DERY(kLargeRows, kLargeCols);
    scaling(photograph, large, kEnlargement);
    delete photograph;
    return large;
}
