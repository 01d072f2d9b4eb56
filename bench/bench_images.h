// The images the benchmarks run on: photographs of the source tree, an
// enlargement of one of them to 4000 x 3000, and photograph mosaics.
#ifndef TOLVANE_BENCH_IMAGES_H
#define TOLVANE_BENCH_IMAGES_H

#include "afflib.h"

#include <string>

// Reads a binary PGM of the source tree (`relative` to its root); ends the
// process with a one-line message when that fails.
DERY* loadTreeImage(const std::string& relative);

// The photograph mosaic of the given size ("800x640") that photo_mosaic
// wrote to the folder TOLVANE_BENCH_IMAGES (environment, else the build's
// default); ends the process with a one-line message when that fails.
DERY* loadMosaic(const std::string& size);

// The 800 x 640 photograph enlarged five times by bilinear resampling; its top
// 600 rows fill the 4000 x 3000 result.
DERY* makeLargeImage();

#endif
