// Running a detector on one image file.
#include "detection.h"

#include <algorithm>

namespace tolvane {
namespace {

// Both sides must exceed this for the pyramid to have a second level.
constexpr int kSingleLevelSide = 12;

}  // namespace

bool parseDetectorKind(const std::string& name, DetectorKind& kind)
{
    if (name == "hessian")
        kind = DetectorKind::Hessian;
    else if (name == "harris")
        kind = DetectorKind::Harris;
    else
        return false;
    return true;
}

const char* nameOf(DetectorKind kind)
{
    return kind == DetectorKind::Hessian ? "hessian" : "harris";
}

int defaultDetectionThreads(unsigned cores, int jobs)
{
    return std::max(1, static_cast<int>(cores) / std::max(1, jobs));
}

RegionList::~RegionList()
{
    for (AffRegion* region : regions)
        delete region;
}

RegionList detect(DERY& image, const DetectorSettings& settings)
{
    RegionList list;
    if (image.cols <= kSingleLevelSide || image.rows <= kSingleLevelSide)
        return list;
    if (settings.kind == DetectorKind::Hessian)
        multi_scale_hes(&image, list.regions, settings.threshold, settings.iterations, settings.threads);
    else
        multi_scale_har(&image, list.regions, settings.threshold, settings.iterations, settings.threads);
    return list;
}

bool detectFile(const std::string& path, const DetectorSettings& settings, const ReadOptions& reading,
                Detection& detection, std::string& error)
{
    const ImagePtr image = loadGreyImage(path, reading, error);
    if (!image)
        return false;
    detection.width = image->cols;
    detection.height = image->rows;
    detection.regions = detect(*image, settings);
    return true;
}

}  // namespace tolvane
