// Pictures of regions: ellipses drawn over the image, and the picture files.
#ifndef TOLVANE_DRAW_H
#define TOLVANE_DRAW_H

#include "raster_io.h"
#include "region_formats.h"

#include <tolvane/tolvane.h>

#include <cstddef>
#include <string>
#include <vector>

namespace tolvane {

// How the ellipses are coloured: cycling through a fixed palette in file
// order, or by the rank of their scale (the geometric mean of the semi-axes)
// or of their |response|, from blue (smallest) through green and yellow to
// red (largest).
enum class ColourBy { None, Scale, Response };

// "none", "scale" or "response"; false for any other name.
bool parseColourBy(const std::string& name, ColourBy& colourBy);

struct DrawOptions {
    std::size_t max = 0;                 // draw the N strongest by |response| (default 0: all)
    ColourBy colourBy = ColourBy::None;  // default: the palette in file order
};

// The background (grey or RGB) as RGB, with each ellipse's outline and a
// small cross at its centre painted over it, lines wider on large pictures
// (see lineWidthOf). `responses` is empty or has one value per ellipse; it is
// needed by options.max and ColourBy::Response.
RasterImage drawEllipses(const RasterImage& background, const std::vector<Ellipse>& ellipses,
                         const std::vector<float>& responses, const DrawOptions& options);

// Line width in pixels for a picture: 1 up to 1499 pixels on the longer
// side, one more per further 1500.
int lineWidthOf(int width, int height);

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
RasterImage drawMatches(const RasterImage& a, const RasterImage& b, const std::vector<DrawnMatch>& matches,
                        bool outlines);

enum class PictureFormat { Png, Jpeg };

// The format an output picture's extension names (.png, .jpg or .jpeg, in
// any case); throws UsageError for `command` for any other.
PictureFormat pictureFormatOf(const std::string& path, const std::string& command);

// An image file as it looks, in colour when it has colour; false with a
// reason.
bool readPicture(const std::string& path, const ReadOptions& options, RasterImage& picture, std::string& error);

// Writes the picture whole or not at all (see writeOutputFile); false with a
// reason.
bool writePicture(const std::string& path, PictureFormat format, const RasterImage& picture, std::string& error);

}  // namespace tolvane

#endif
