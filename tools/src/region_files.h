// Reading any region or frame file the tool writes, its format recognised
// from the content rather than the name.
#ifndef TOLVANE_REGION_FILES_H
#define TOLVANE_REGION_FILES_H

#include "frame_formats.h"
#include "region_formats.h"

#include <string>
#include <vector>

namespace tolvane {

// What a region or frame file holds.
struct RegionFile {
    // The file records oriented frames (written with --descriptor, or in
    // the binary or OpenCV format) rather than regions.
    bool hasFrames = false;
    // Region files: the regions with the fields the format records (the
    // ellipse format: x, y, a, b, c; CSV and JSON: all, the shape as listed).
    std::vector<Region> regions;
    // Frame files: the frames and their descriptors. Region files: each
    // region's upright frame, no descriptors.
    FrameSet frames;
    // The ellipse of every region or frame, with the numbers the file records.
    std::vector<Ellipse> ellipses;
    // The response of every ellipse when the file records it (region files
    // in CSV and JSON), else empty.
    std::vector<float> responses;
    // The image size when the file records it (JSON, OpenCV), else 0 x 0.
    int width = 0;
    int height = 0;
};

// Reads a file in any of the region formats (ellipse, CSV, JSON), the frame
// formats (ellipse with descriptors, CSV, JSON, binary, OpenCV). The legacy
// listing records no region size and is refused with that reason. False
// with a one-line reason that does not name the file.
bool readRegionFile(const std::string& path, RegionFile& file, std::string& error);
bool readRegionText(const std::string& content, RegionFile& file, std::string& error);

// The ellipses or the frames of a file of any format.
bool readEllipseFile(const std::string& path, std::vector<Ellipse>& ellipses, std::string& error);
bool readFrameFile(const std::string& path, FrameSet& set, std::string& error);

}  // namespace tolvane

#endif
