// The region file formats: tolvane.ln's listing, the ellipse format, CSV and
// JSON, and the reader of the ellipse format.
#ifndef TOLVANE_REGION_FORMATS_H
#define TOLVANE_REGION_FORMATS_H

#include <tolvane/detect.h>

#include <iosfwd>
#include <string>
#include <vector>

namespace tolvane {

enum class RegionFormat { Legacy, Ellipse, Csv, Json };

// "legacy", "ellipse", "csv" or "json"; false for any other name.
bool parseRegionFormat(const std::string& name, RegionFormat& format);

// File name extension of a format: ".txt", ".regions", ".csv", ".json".
const char* extensionOf(RegionFormat format);

// What a region file records about the run that made it.
struct DetectionInfo {
    std::string image;
    int width = 0;
    int height = 0;
    std::string detector;
    float threshold = 0.0f;
    int iterations = 0;
    int mode = 0;  // how the starting shapes were made: see extractionMode
};

// The point-extraction mode recorded with each region: 2 for the Hessian
// detector; for the Harris detector 1 (shapes from the second moment
// matrix) or, without adaptation, 0 (identity shapes).
int extractionMode(const DetectorOptions& options);

// An ellipse (p - (x, y))^T [[a, b], [b, c]] (p - (x, y)) <= 1 in pixels.
struct Ellipse {
    float x = 0;
    float y = 0;
    double a = 0;
    double b = 0;
    double c = 0;
};

// Writes the regions in the format; the ellipse format's lines are
// formatted on up to `threads` threads when there are many.
void writeRegions(std::ostream& out, RegionFormat format, const DetectionInfo& info,
                  const std::vector<Region>& regions, int threads = 1);

// Shortest decimal text that reads back as the same value.
std::string formatNumber(float value);
std::string formatNumber(double value);

// A JSON string. A byte that is not part of well-formed UTF-8 (a file name
// need not be text) becomes the lone surrogate \udcXX, which keeps the byte.
std::string jsonString(const std::string& text);

// Reads the ellipse format: a first line (a number, not used), the count,
// then one line "x y a b c" per region; further numbers on a region line are
// ignored. Every [[a, b], [b, c]] must be positive definite. False with a
// reason that names the line.
// (region_files.h reads a file of any format.)
bool readEllipses(std::istream& in, std::vector<Ellipse>& ellipses, std::string& error);

}  // namespace tolvane

#endif
