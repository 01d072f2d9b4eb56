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

}  // namespace tolvane

#endif
