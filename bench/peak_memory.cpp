// Runs one Hessian-affine detection with the driver's settings, for measuring
// the peak memory of the detector from outside (e.g. under /usr/bin/time -v):
//
//   peak_memory IMAGE.pgm [THREADS]   detect, print "nb of regions = N"
//   peak_memory --write-large OUT.pgm write the 4000 x 3000 benchmark image
#include "afflib.h"
#include "bench_images.h"

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

namespace {

const char* const kUsage = "usage: peak_memory IMAGE.pgm [THREADS] | peak_memory --write-large OUT.pgm";

// Grey values rounded to the nearest byte value.
bool writePGM(const DERY& image, const std::string& path)
{
    std::ofstream out(path, std::ios::binary);
    out << "P5\n" << image.cols << " " << image.rows << "\n255\n";
    std::string row(image.cols, '\0');
    for (int r = 0; r < image.rows; ++r) {
        for (int c = 0; c < image.cols; ++c) {
            const float value = std::fmin(std::fmax(image.pixels[r][c], 0.0f), 255.0f);
            row[c] = static_cast<char>(static_cast<unsigned char>(std::lrint(value)));
        }
        out.write(row.data(), static_cast<std::streamsize>(row.size()));
    }
    out.close();
    return static_cast<bool>(out);
}

int writeLargeImage(const std::string& path)
{
    DERY* image = makeLargeImage();
    const bool written = writePGM(*image, path);
    delete image;
    if (!written) {
        std::cerr << "peak_memory: cannot write " << path << std::endl;
        return 1;
    }
    return 0;
}

int detect(const char* path, int threads)
{
    std::string error;
    DERY* image = readPGM(path, error);
    if (!image) {
        std::cerr << "peak_memory: " << error << std::endl;
        return 1;
    }
    std::vector<AffRegion*> regions;
    multi_scale_hes(image, regions, 1000.0f, 16, threads);
    std::cout << "nb of regions = " << regions.size() << std::endl;
    for (AffRegion* region : regions)
        delete region;
    delete image;
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && std::string(argv[1]) == "--write-large")
        return writeLargeImage(argv[2]);
    if (argc < 2 || argc > 3 || argv[1][0] == '-') {
        std::cerr << kUsage << std::endl;
        return 1;
    }
    const int threads = argc == 3 ? std::atoi(argv[2]) : 1;
    if (threads < 1) {
        std::cerr << "peak_memory: the thread count must be a positive number" << std::endl;
        return 1;
    }
    return detect(argv[1], threads);
}
