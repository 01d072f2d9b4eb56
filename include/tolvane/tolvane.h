// tolvane: affine-covariant interest regions in grey-level images.
//
//   #include <tolvane/tolvane.h>
//
//   std::vector<std::uint8_t> pixels = ...;     // 640 x 480, rows 672 bytes apart
//   tolvane::ImageView view(pixels.data(), 640, 480, 672);
//   tolvane::DetectorOptions options;           // Hessian-affine, threshold 1000
//   options.max_regions = 2000;                 // the 2000 strongest
//   try {
//       for (const tolvane::Region& r : tolvane::detect(view, options))
//           std::printf("%g %g %g %g %g\n", r.x, r.y, r.a, r.b, r.c);
//   } catch (const tolvane::Error& e) { std::fprintf(stderr, "%s\n", e.what()); }
//
// Everything is in namespace tolvane. Results are values the caller owns;
// every function may be called from several threads at once. Errors are
// thrown as tolvane::Error; nothing is printed. Link tolvane::tolvane.
#ifndef TOLVANE_TOLVANE_H
#define TOLVANE_TOLVANE_H

#include "tolvane/describe.h"
#include "tolvane/detect.h"
#include "tolvane/error.h"
#include "tolvane/image.h"
#include "tolvane/match.h"

#endif
