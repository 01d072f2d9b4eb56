// Pictures of regions: ellipses drawn over the grey image.
#ifndef TOLVANE_DRAW_H
#define TOLVANE_DRAW_H

#include "afflib.h"
#include "image_io.h"

#include <vector>

namespace tolvane {

// The image in grey (values rounded and clamped to 0..255) as RGB, with each
// ellipse's outline and a small cross at its centre painted over it, the
// colours cycling through a fixed palette in file order.
RasterImage drawEllipses(const DERY& image, const std::vector<Ellipse>& ellipses);

// A matched pair: the regions in their own images, and whether the model
// accepted the pair.
struct DrawnMatch {
    Ellipse a;
    Ellipse b;
    bool inlier;
};

// The two images side by side, the second to the right of the first, with a
// line joining the centres of each pair, green for inliers and red for the
// others; with the regions' outlines too when `outlines` is set.
RasterImage drawMatches(const DERY& a, const DERY& b, const std::vector<DrawnMatch>& matches, bool outlines);

}  // namespace tolvane

#endif
