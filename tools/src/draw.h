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

}  // namespace tolvane

#endif
