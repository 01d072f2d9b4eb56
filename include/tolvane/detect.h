// Detection of affine-covariant regions in a grey image.
#ifndef TOLVANE_DETECT_H
#define TOLVANE_DETECT_H

#include "tolvane/image.h"

#include <array>
#include <cstddef>
#include <optional>
#include <vector>

namespace tolvane {

enum class Detector {
    Hessian,  // blobs: maxima of the Hessian determinant
    Harris,   // corners: maxima of the Harris cornerness
};

enum class Mode {
    // The legacy detectors bit for bit.
    Exact,
    // Hessian only: full Hessian determinant (with the mixed derivative) on
    // contrast-normalised pixels, sub-pixel positions, shape correction in
    // patch coordinates with all four shape entries, duplicates removed
    // after adaptation. More repeatable, somewhat slower.
    Refined,
};

// Settings of detect(). A plain value: copy and share it freely.
struct DetectorOptions {
    Detector detector = Detector::Hessian;
    Mode mode = Mode::Exact;
    // Minimum response of a point; the count of regions depends on the
    // image's contrast through it in exact mode (see max_regions). Left
    // unset, the mode's default applies: 1000 in exact mode, 500 in refined
    // mode (on pixels scaled to a standard deviation of 60). Finite.
    std::optional<float> threshold;
    // Ratio of the sides of consecutive pyramid levels. Only refined mode may
    // change it: 1.1 gives finer scales (more repeatable under zoom, less
    // under blur) at about 1.6 times the time of 1.2. 1.05 to 2.
    float pyramid_factor = 1.2f;
    // Refined mode only: detect on the image enlarged twice (each pixel
    // becomes four, interpolated on the centred grid), which finds smaller
    // structures: about twice the regions, more matches under strong
    // viewpoint change and on small images, at two to three times the time
    // and four times the image memory. Regions are given in input pixels all the same; their `level`
    // and `lap_index` count levels of the enlarged image's pyramid.
    bool upsample = false;
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
    // The threshold in force: `threshold` when set, else the mode's default.
    float responseThreshold() const;
};

// One region: an elliptical neighbourhood of (x, y) that follows the image
// structure. Coordinates are input-image pixels, x the column (0 at the
// left), y the row (0 at the top).
struct Region {
    float x = 0;
    float y = 0;
    float scale = 1;      // scale factor of the detection level, pyramid_factor^level
    float lap_scale = 1;  // scale factor of the characteristic scale
    float response = 0;   // detector response at the point
    int level = 0;        // detection level of the pyramid
    int lap_index = 0;    // level of the characteristic scale
    // The shape U, row by row: it maps an offset (column, row) of the
    // region's normalised 15 x 15 patch to an offset in the image of the
    // detection level; det U = 1. In exact mode U21 equals U12.
    std::array<float, 4> shape{1, 0, 0, 1};
    // The ellipse (p - (x, y))^T [[a, b], [b, c]] (p - (x, y)) <= 1 in input
    // pixels that the region's patch (radius 7 times scale) covers:
    // [[a, b], [b, c]] = (49 scale^2 U U^T)^-1.
    double a = 0;
    double b = 0;
    double c = 0;
};

// What a detection did with the points it found.
struct DetectionStats {
    std::size_t extracted = 0;       // points found on the pyramid
    std::size_t rejected = 0;        // dropped by shape adaptation (too elongated)
    std::size_t duplicates = 0;      // refined mode: near a stronger region of like scale
    std::size_t singular = 0;        // adapted, but with a singular shape: not returned
    std::size_t shape_warnings = 0;  // moment matrices with a negative eigenvalue met
    std::size_t cut = 0;             // dropped by max_regions
};

// The regions of an image, sorted by characteristic scale (small first),
// within one scale in scan order (refined mode: in scan order of the integer
// maxima before their sub-pixel shift). Throws Error for an invalid view or
// options. Reentrant: calls on different threads run independently.
std::vector<Region> detect(const ImageView& image, const DetectorOptions& options = {},
                           DetectionStats* stats = nullptr);

}  // namespace tolvane

#endif
