// Reading images for the tool's commands: the library's reader, with its
// failures as one-line reasons.
#ifndef TOLVANE_TOOL_IMAGE_IO_H
#define TOLVANE_TOOL_IMAGE_IO_H

#include "afflib.h"
#include "raster_io.h"

#include <memory>
#include <string>

namespace tolvane {

using ImagePtr = std::unique_ptr<DERY>;

// The grey image of a file ("-": standard input) as a float image, or
// nullptr with a one-line reason (not naming the file) in `error`.
ImagePtr loadGreyImage(const std::string& path, const ReadOptions& options, std::string& error);
ImagePtr loadGreyImage(const std::string& path, std::string& error);

}  // namespace tolvane

#endif
