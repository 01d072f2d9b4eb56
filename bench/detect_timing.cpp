// Wall-clock and process CPU milliseconds of each of N calls of
// tolvane::detect on a PGM image, one line per call: the C++ side of
// bench/python-overhead.
#include "afflib.h"
#include "tolvane/tolvane.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: detect_timing IMAGE.pgm CALLS THREADS\n");
        return 2;
    }
    std::string error;
    const std::unique_ptr<DERY> image(readPGM(argv[1], error));
    if (!image) {
        std::fprintf(stderr, "detect_timing: %s\n", error.c_str());
        return 1;
    }
    std::vector<std::uint8_t> pixels(image->pixels[0], image->pixels[0] + image->size);
    const tolvane::ImageView view(pixels.data(), image->cols, image->rows);
    tolvane::DetectorOptions options;
    options.threads = std::atoi(argv[3]);
    for (int call = std::atoi(argv[2]); call > 0; --call) {
        const auto start = std::chrono::steady_clock::now();
        const std::clock_t cpuStart = std::clock();
        const std::vector<tolvane::Region> regions = tolvane::detect(view, options);
        const double cpu = 1000.0 * static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC;
        const std::chrono::duration<double, std::milli> elapsed = std::chrono::steady_clock::now() - start;
        std::printf("%.4f %.4f %zu\n", elapsed.count(), cpu, regions.size());
    }
    return 0;
}
