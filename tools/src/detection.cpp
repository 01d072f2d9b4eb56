// Running a detector on one image file.
#include "detection.h"

#include "image_io.h"

#include <algorithm>
#include <cmath>

namespace tolvane {
namespace {

// Both sides must exceed this for the pyramid to have a second level.
constexpr int kSingleLevelSide = 12;

// The symmetric positive definite square root of U U^T: for a 2 x 2 matrix
// P with P^2 = S, P = (S + sqrt(det S) I) / sqrt(trace S + 2 sqrt(det S)).
AffRegion recordOf(const Region& region)
{
    const double u11 = region.shape[0], u12 = region.shape[1], u21 = region.shape[2], u22 = region.shape[3];
    const double s11 = u11 * u11 + u12 * u12;
    const double s12 = u11 * u21 + u12 * u22;
    const double s22 = u21 * u21 + u22 * u22;
    const double root = std::sqrt(std::max(0.0, s11 * s22 - s12 * s12));
    const double norm = std::sqrt(s11 + s22 + 2 * root);
    return AffRegion{region.x,
                     region.y,
                     region.response,
                     region.scale,
                     region.lap_scale,
                     static_cast<float>((s11 + root) / norm),
                     static_cast<float>(s12 / norm),
                     static_cast<float>((s22 + root) / norm),
                     region.lap_index,
                     region.level,
                     2};
}

RegionList detectRefined(DERY& image, const DetectorSettings& settings)
{
    DetectorOptions options;
    options.mode = Mode::Refined;
    options.threshold = settings.threshold;
    options.iterations = settings.iterations;
    options.threads = settings.threads;
    options.pyramid_factor = settings.pyramidFactor;
    RegionList list;
    for (const Region& region : detect(ImageView(image.pixels[0], image.cols, image.rows), options))
        list.regions.push_back(new AffRegion(recordOf(region)));
    return list;
}

}  // namespace

bool parseMode(const std::string& name, Mode& mode)
{
    if (name == "exact")
        mode = Mode::Exact;
    else if (name == "refined")
        mode = Mode::Refined;
    else
        return false;
    return true;
}

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
    if (settings.mode == Mode::Refined)
        return detectRefined(image, settings);
    if (settings.kind == DetectorKind::Hessian)
        multi_scale_hes(&image, list.regions, settings.threshold, settings.iterations, settings.threads);
    else
        multi_scale_har(&image, list.regions, settings.threshold, settings.iterations, settings.threads);
    return list;
}

bool detectFile(const std::string& path, const DetectorSettings& settings, Detection& detection,
                std::string& error)
{
    const ImagePtr image = loadGreyImage(path, error);
    if (!image)
        return false;
    detection.width = image->cols;
    detection.height = image->rows;
    detection.regions = detect(*image, settings);
    return true;
}

}  // namespace tolvane
