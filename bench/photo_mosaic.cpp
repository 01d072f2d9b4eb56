// Writes the photograph mosaics the benchmarks run on: photographs of
// scikit-image's Debian data package, each cut to a 480 x 400 tile around its
// centre at its own resolution, laid in rows in a fixed order and repeated
// until the image is full (the last row and column cut at the border).
//
// Usage: photo_mosaic OUTDIR  (writes OUTDIR/mosaic-COLSxROWS.pgm for every
// benchmark size that is not there yet)
#include <tolvane/tolvane.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

namespace {

const char* const kPhotographDir = "/usr/lib/python3/dist-packages/skimage/data/";
// Textured photographs first, so that every size holds a similar mix.
const char* const kPhotographs[] = {
    "astronaut.png", "motorcycle_left.png", "camera.png", "grass.png", "ihc.png", "gravel.png",
    "coffee.png", "motorcycle_right.png", "brick.png", "hubble_deep_field.jpg", "rocket.jpg",
};
const int kTileCols = 480;
const int kTileRows = 400;

struct Size {
    int cols;
    int rows;
};
// From a quarter of a megapixel to 12 megapixels.
const Size kSizes[] = {{512, 512}, {800, 640}, {1280, 960}, {2000, 1500}, {2800, 2100}, {4000, 3000}};

std::vector<tolvane::Image> loadPhotographs()
{
    std::vector<tolvane::Image> photographs;
    for (const char* name : kPhotographs) {
        std::string problem = "smaller than a tile";
        try {
            tolvane::Image image = tolvane::readImage(std::string(kPhotographDir) + name);
            if (image.width >= kTileCols && image.height >= kTileRows) {
                photographs.push_back(std::move(image));
                continue;
            }
        } catch (const tolvane::Error& e) {
            problem = e.what();
        }
        std::cerr << "photo_mosaic: " << kPhotographDir << name << ": " << problem
                  << " (install python3-skimage-lib)" << std::endl;
        std::exit(1);
    }
    return photographs;
}

// The tile of `photograph` around its centre, copied to (left, top) of
// `mosaic` as far as the mosaic reaches.
void placeTile(const tolvane::Image& photograph, std::vector<unsigned char>& mosaic, Size size, int left, int top)
{
    const int fromLeft = (photograph.width - kTileCols) / 2;
    const int fromTop = (photograph.height - kTileRows) / 2;
    for (int r = 0; r < kTileRows && top + r < size.rows; ++r)
        for (int c = 0; c < kTileCols && left + c < size.cols; ++c)
            mosaic[static_cast<std::size_t>(top + r) * size.cols + left + c] =
                photograph.pixels[static_cast<std::size_t>(fromTop + r) * photograph.width + fromLeft + c];
}

bool writeMosaic(const std::vector<tolvane::Image>& photographs, Size size, const std::string& path)
{
    std::vector<unsigned char> mosaic(static_cast<std::size_t>(size.cols) * size.rows);
    std::size_t next = 0;
    for (int top = 0; top < size.rows; top += kTileRows)
        for (int left = 0; left < size.cols; left += kTileCols)
            placeTile(photographs[next++ % photographs.size()], mosaic, size, left, top);
    std::ofstream out(path, std::ios::binary);
    out << "P5\n" << size.cols << ' ' << size.rows << "\n255\n";
    out.write(reinterpret_cast<const char*>(mosaic.data()), static_cast<std::streamsize>(mosaic.size()));
    return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::cerr << "usage: photo_mosaic OUTDIR" << std::endl;
        return 1;
    }
    const std::filesystem::path dir(argv[1]);
    std::filesystem::create_directories(dir);
    std::vector<tolvane::Image> photographs;
    for (const Size size : kSizes) {
        const std::filesystem::path path =
            dir / ("mosaic-" + std::to_string(size.cols) + "x" + std::to_string(size.rows) + ".pgm");
        if (std::filesystem::exists(path))
            continue;
        if (photographs.empty())
            photographs = loadPhotographs();
        if (!writeMosaic(photographs, size, path.string())) {
            std::cerr << "photo_mosaic: cannot write " << path.string() << std::endl;
            return 1;
        }
    }
    return 0;
}
