// Pictures of regions: ellipses drawn over the grey image.
#ifndef TOLVANE_DRAW_H
#define TOLVANE_DRAW_H

#include "raster_io.h"
#include "region_formats.h"

#include <tolvane/tolvane.h>

#include <vector>

namespace tolvane {

// The grey image as RGB, with each
// ellipse's outline and a small cross at its centre painted over it, the
// colours cycling through a fixed palette in file order.
RasterImage drawEllipses(const Image& image, const std::vector<Ellipse>& ellipses);

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
RasterImage drawMatches(const Image& a, const Image& b, const std::vector<DrawnMatch>& matches, bool outlines);

}  // namespace tolvane

#endif
