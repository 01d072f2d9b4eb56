// Synthetic image pairs with known homographies, made from one photograph:
// viewpoint tilt with a perspective camera, zoom with rotation, blur,
// brightness and JPEG compression. Shared by the benchmarks that compare
// detectors (repeatability) and descriptors (matching) on the same pairs.
#ifndef TOLVANE_BENCH_SYNTHETIC_PAIRS_H
#define TOLVANE_BENCH_SYNTHETIC_PAIRS_H

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace bench {

// An 8-bit grey image, rows packed.
struct GreyImage {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> pixels;
};

// A 3x3 homography acting on (x, y, 1), row-major.
using Matrix3 = std::array<double, 9>;

enum class Change { Viewpoint, ZoomRotation, Blur, Brightness, Jpeg };

// One change of a photograph. `amount` is the tilt in degrees (viewpoint),
// the zoom factor (zoom + rotation, with `degrees` of rotation), the blur
// sigma in pixels, the brightness factor or the JPEG quality.
struct ViewChange {
    Change change;
    double amount;
    double degrees = 0;
};

// The second view of a photograph, and the homography that maps pixel
// positions of the photograph (x the column, y the row) to the second view.
// Pixels of the second view that the photograph does not cover are 0.
struct SyntheticPair {
    ViewChange view;
    GreyImage second;
    Matrix3 homography;
};

// The fifteen standard changes: tilt 20/40/60 degrees, zoom + rotation
// 1.5x/30, 2x/45, 2.5x/75, blur sigma 1/2/3, brightness x0.7/0.45/0.25 and
// JPEG quality 40/20/10.
std::vector<ViewChange> standardChanges();

SyntheticPair makePair(const GreyImage& photo, const ViewChange& view);

// "viewpoint", "zoom+rotation", "blur", "brightness" or "jpeg".
const char* categoryName(Change change);
// e.g. "viewpoint 40", "zoom+rotation 2x/45", "jpeg 10".
std::string changeName(const ViewChange& view);

// Binary PGM (P5, maximum 255) reading; throws std::runtime_error.
GreyImage readPgm(const std::string& path);

}  // namespace bench

#endif
