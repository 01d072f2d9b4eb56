// Regions of an image file with their oriented frames and descriptors.
#ifndef TOLVANE_TOOL_DESCRIPTION_H
#define TOLVANE_TOOL_DESCRIPTION_H

#include "detection.h"
#include "frame_formats.h"
#include "raster_io.h"

#include <tolvane/describe.h>

#include <string>

namespace tolvane {

// "sift", "rootsift" or "none"; false for any other name.
bool parseDescriptorKind(const std::string& name, DescriptorKind& kind);
const char* nameOf(DescriptorKind kind);

struct DescribedImage {
    Image image;
    FrameSet frames;
    std::vector<std::uint8_t> patches;  // when asked for, options.patch_size^2 bytes per frame
};

// Reads the image, detects its regions and describes them; regions without
// an ellipse are left out. False with a one-line reason.
bool describeFile(const std::string& path, const DetectorOptions& detector, const ReadOptions& reading,
                  const DescribeOptions& options, DescribedImage& described, std::string& error);

// The patches as one grey image, a square tile per frame, one below the other.
RasterImage patchStack(const std::vector<std::uint8_t>& patches, int side);

}  // namespace tolvane

#endif
