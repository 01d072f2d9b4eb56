// Oriented affine frames of regions, their gradient-histogram descriptors and
// their normalised patches.
#ifndef TOLVANE_DESCRIBE_H
#define TOLVANE_DESCRIBE_H

#include "tolvane/detect.h"
#include "tolvane/image.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tolvane {

// An oriented region: the affine map p = (x, y) + [[a11, a12], [a21, a22]] u
// from the unit circle |u| <= 1 of the normalised patch onto the region
// ellipse in input pixels, rotation included. Both the patch and the image
// have x to the right and y downwards. Column (a11, a21) is where the patch's
// x axis points in the image: the region's orientation, the direction of its
// dominant gradient. The orientation angle is measured in the shape-normalised
// (not yet rotated) patch as atan2(gy, gx) of that gradient, that is from +x
// towards +y (clockwise on screen); the frame is the region's symmetric shape
// square root times the rotation [[cos, -sin], [sin, cos]] by that angle.
struct Frame {
    float x = 0;
    float y = 0;
    float a11 = 1;
    float a12 = 0;
    float a21 = 0;
    float a22 = 1;
};

enum class DescriptorKind {
    Sift,      // 4 x 4 cells x 8 orientations of gradient, 128 bytes
    RootSift,  // the same, L1-normalised and square-rooted: L2 compares as the Hellinger kernel
    None,      // frames (and patches) only
};

constexpr std::size_t kDescriptorLength = 128;

// Settings of describe(). A plain value.
struct DescribeOptions {
    DescriptorKind descriptor = DescriptorKind::Sift;
    // No rotation: one frame per region, its x axis the image's x axis as
    // seen through the region's shape. Otherwise one frame per orientation
    // histogram peak above 80 % of the highest.
    bool upright = false;
    // The measurement region, in multiples of the region ellipse: the
    // descriptor covers the square [-mr_size, mr_size]^2 of the normalised
    // patch. Above 0, at most 100.
    float mr_size = 3.0f;
    // Side in pixels of the normalised patches returned when `patches` is
    // set; they cover the same square as the descriptor. 4 to 1024.
    int patch_size = 32;
    bool patches = false;
    // Threads; 0 uses every core. The results are the same whatever the count.
    // 0 to 1024.
    int threads = 0;

    // Throws Error naming the first setting out of range.
    void validate() const;
};

// Owning results of describe(), in region order (each region's frames
// together, strongest orientation first).
struct Description {
    std::vector<Frame> frames;
    std::vector<std::size_t> region_of_frame;  // index into the regions given
    // kDescriptorLength bytes per frame, frame after frame; empty for None.
    std::vector<std::uint8_t> descriptors;
    // patch_size^2 grey bytes per frame, row after row, frame after frame;
    // empty unless patches were asked for.
    std::vector<std::uint8_t> patches;
};

// Frames, descriptors and patches of `regions` (as detect() gives them for
// `image`). Regions whose measurement region would need more than the image
// offers are still described: samples outside repeat the border. Throws
// Error for an invalid view or options, and for a float image with a pixel
// that is not finite.
Description describe(const ImageView& image, const std::vector<Region>& regions,
                     const DescribeOptions& options = {});

// The unrotated frame of a region: the symmetric square root of its ellipse.
Frame uprightFrame(const Region& region);

}  // namespace tolvane

#endif
