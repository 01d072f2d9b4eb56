// Files of oriented frames with their descriptors: the ellipse format with
// descriptors, CSV, JSON, a compact binary format and OpenCV's YAML; readers
// of the ellipse and binary ones.
#ifndef TOLVANE_FRAME_FORMATS_H
#define TOLVANE_FRAME_FORMATS_H

#include <tolvane/describe.h>

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

namespace tolvane {

enum class FrameFormat { Ellipse, Csv, Json, Binary, OpenCv };

// "ellipse", "csv", "json", "binary" or "opencv"; false for any other name.
bool parseFrameFormat(const std::string& name, FrameFormat& format);

// ".regions", ".csv", ".json", ".frames", ".yml".
const char* extensionOf(FrameFormat format);

// Frames and their descriptors (`length` bytes each; length 0: none).
struct FrameSet {
    std::vector<Frame> frames;
    std::vector<std::size_t> region_of_frame;  // empty: frame i belongs to region i
    std::vector<Region> regions;               // the regions described; empty when not known
    std::vector<std::uint8_t> descriptors;
    std::size_t length = 0;
};

// What a frame file records about the run that made it (CSV and JSON).
struct DescriptionInfo {
    std::string image;
    int width = 0;
    int height = 0;
    std::string detector;
    std::string descriptor;
};

// The ellipse [[a, b], [b, c]] a frame covers: (F F^T)^-1.
struct FrameEllipse {
    double a, b, c;
};
FrameEllipse ellipseOf(const Frame& frame);

// The ellipse format: first line the descriptor length (1.0 without
// descriptors), then the count, then "x y a b c d1 ... dL" per frame.
// The binary format, little-endian: the 8 bytes "TVFRAME1", the descriptor
// length (uint32), 4 zero bytes, the count (uint64), then per frame x, y,
// a11, a12, a21, a22 (float32), then all descriptors (count x length bytes).
// The OpenCV format: see opencv_format.h.
void writeFrames(std::ostream& out, FrameFormat format, const DescriptionInfo& info, const FrameSet& set);

// Reads the binary format (recognised by its first bytes) or the ellipse
// format, whose frames are the upright square roots of the ellipses. False
// with a reason. (region_files.h reads a file of any format.)
bool readFrames(std::istream& in, FrameSet& set, std::string& error);

// Whether a file's content starts as the binary format does.
bool looksLikeBinaryFrames(const std::string& content);

// Whether a file's content is a cv::FileStorage YAML file.
bool looksLikeOpenCv(const std::string& content);

}  // namespace tolvane

#endif
