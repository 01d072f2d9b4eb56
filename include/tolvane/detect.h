// Detection of affine-covariant regions in a grey image.
#ifndef TOLVANE_DETECT_H
#define TOLVANE_DETECT_H

#include "tolvane/image.h"

#include <array>
#include <cstddef>
#include <vector>

namespace tolvane {

enum class Detector {
    Hessian,  // blobs: maxima of the Hessian determinant
    Harris,   // corners: maxima of the Harris cornerness
};

// Settings of detect(). A plain value: copy and share it freely.
struct DetectorOptions {
    Detector detector = Detector::Hessian;
    // Minimum response of a point; the count of regions depends on the
    // image's contrast through it (see max_regions). Finite.
    float threshold = 1000.0f;
    // Budget of affine shape adaptation steps per region; 0 keeps the
    // starting shape. 0 to 1000.
    int iterations = 16;
    // Threads for one detection; 0 uses every core. The regions are the
    // same whatever the count. 0 to 1024.
    int threads = 0;
    // Keep only the strongest regions by |response| (ties keep list order),
    // chosen after adaptation, so that a shorter list is a subset of a
    // longer one; 0 keeps all.
    std::size_t max_regions = 0;

    // Throws Error naming the first setting out of range.
    void validate() const;
};

// One region: an elliptical neighbourhood of (x, y) that follows the image
// structure. Coordinates are input-image pixels, x the column (0 at the
// left), y the row (0 at the top).
struct Region {
    float x = 0;
    float y = 0;
    float scale = 1;      // scale factor of the detection level, 1.2^level
    float lap_scale = 1;  // scale factor of the characteristic scale
    float response = 0;   // detector response at the point
    int level = 0;        // detection level of the pyramid
    int lap_index = 0;    // level of the characteristic scale
    // The shape U, row by row: it maps an offset (column, row) of the
    // region's normalised 15 x 15 patch to an offset in the image of the
    // detection level; det U = 1. U21 equals U12.
    std::array<float, 4> shape{1, 0, 0, 1};
    // The ellipse (p - (x, y))^T [[a, b], [b, c]] (p - (x, y)) <= 1 in input
    // pixels that the region's patch (radius 7 times scale) covers.
    double a = 0;
    double b = 0;
    double c = 0;
};

// What a detection did with the points it found.
struct DetectionStats {
    std::size_t extracted = 0;       // points found on the pyramid
    std::size_t rejected = 0;        // dropped by shape adaptation (too elongated)
    std::size_t singular = 0;        // adapted, but with a singular shape: not returned
    std::size_t shape_warnings = 0;  // moment matrices with a negative eigenvalue met
    std::size_t cut = 0;             // dropped by max_regions
};

// The regions of an image, sorted by characteristic scale (small first),
// within one scale in scan order. Throws Error for an invalid view or
// options. Reentrant: calls on different threads run independently.
std::vector<Region> detect(const ImageView& image, const DetectorOptions& options = {},
                           DetectionStats* stats = nullptr);

}  // namespace tolvane

#endif
