// Running a detector on one image file.
#ifndef TOLVANE_DETECTION_H
#define TOLVANE_DETECTION_H

#include "afflib.h"

#include <tolvane/detect.h>

#include <string>
#include <vector>

namespace tolvane {

enum class DetectorKind { Hessian, Harris };

struct DetectorSettings {
    DetectorKind kind = DetectorKind::Hessian;
    Mode mode = Mode::Exact;
    float threshold = 1000.0f;  // the defaults of tolvane.ln
    int iterations = 16;
    float pyramidFactor = 1.2f;  // refined mode only
    int threads = 1;  // inside the detection of one image; any count gives the same regions
};

// Threads per image when none are asked for: all `cores` (at least one),
// shared out among the `jobs` images processed at the same time.
int defaultDetectionThreads(unsigned cores, int jobs);

// "exact" or "refined"; false for any other name.
bool parseMode(const std::string& name, Mode& mode);

// "hessian" or "harris"; false for any other name.
bool parseDetectorKind(const std::string& name, DetectorKind& kind);
const char* nameOf(DetectorKind kind);

// The regions a detector returned; owns the records.
class RegionList {
public:
    RegionList() = default;
    RegionList(RegionList&& other) noexcept : regions(std::move(other.regions)) {}
    RegionList& operator=(RegionList&& other) noexcept
    {
        regions.swap(other.regions);
        return *this;
    }
    RegionList(const RegionList&) = delete;
    ~RegionList();

    std::vector<AffRegion*> regions;
};

// Runs the detector on an image. Images with a side of 12 pixels or less
// have a single pyramid level, in which no region can be found; the
// detector is not run on them. A refined-mode shape U is recorded as the
// symmetric matrix (U U^T)^(1/2), which covers the same ellipse.
RegionList detect(DERY& image, const DetectorSettings& settings);

struct Detection {
    int width = 0;
    int height = 0;
    RegionList regions;
};

// Reads the image file and detects its regions; false with a reason.
bool detectFile(const std::string& path, const DetectorSettings& settings, Detection& detection,
                std::string& error);

}  // namespace tolvane

#endif
