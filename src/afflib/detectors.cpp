// The two multi-scale detectors: a resolution pyramid reduced by 1.2 per
// level, response maps on every level, point extraction over all levels at
// once, then affine shape adaptation of the regions found.
#include "afflib.h"

#include <cmath>
#include <memory>

namespace {

const float kPyramidFactor = 1.2f;
const int kMinPyramidSide = 12;

using Images = std::vector<std::unique_ptr<DERY>>;

std::vector<DERY*> pointers(const Images& images)
{
    std::vector<DERY*> list;
    list.reserve(images.size());
    for (const auto& image : images)
        list.push_back(image.get());
    return list;
}

Images imagesFor(const std::vector<PyramidLevel>& levels, size_t first = 0)
{
    Images images(levels.size());
    for (size_t i = first; i < levels.size(); ++i)
        images[i] = std::make_unique<DERY>(levels[i].rows, levels[i].cols);
    return images;
}

struct Pyramid {
    std::vector<PyramidLevel> levels;
    Images images;
    std::vector<float> scales;
};

// Level 0 is a copy of the input; every further level is the previous one
// resampled bilinearly by the factor 1.2, with no smoothing in between.
Pyramid buildPyramid(DERY* image)
{
    Pyramid pyramid;
    pyramid.levels = pyramidLevels(image->rows, image->cols);
    pyramid.images = imagesFor(pyramid.levels);
    set(image, pyramid.images[0].get());
    for (size_t i = 1; i < pyramid.images.size(); ++i)
        scaling(pyramid.images[i - 1].get(), pyramid.images[i].get(), kPyramidFactor);
    for (const PyramidLevel& level : pyramid.levels)
        pyramid.scales.push_back(level.scale);
    return pyramid;
}

// Points are searched on levels 1 .. n-2 only, so fewer than three levels
// can yield no region; such pyramids may also be below the filters' minimum
// size, and their response maps are not computed.
bool canHoldPoints(const Pyramid& pyramid) { return pyramid.levels.size() >= 3; }

}  // namespace

std::vector<PyramidLevel> pyramidLevels(int rows, int cols)
{
    std::vector<PyramidLevel> levels{{cols, rows, 1.0f}};
    while (cols > kMinPyramidSide && rows > kMinPyramidSide) {
        // Quotient in double by the single-precision factor, rounded to nearest.
        cols = static_cast<int>(std::nearbyint(cols / static_cast<double>(kPyramidFactor)));
        rows = static_cast<int>(std::nearbyint(rows / static_cast<double>(kPyramidFactor)));
        levels.push_back({cols, rows, levels.back().scale * kPyramidFactor});
    }
    return levels;
}

void multi_scale_hes(DERY* image, std::vector<AffRegion*>& regions, float threshold, int maxIterations)
{
    Pyramid pyramid = buildPyramid(image);
    const std::vector<DERY*> levelImages = pointers(pyramid.images);
    Images detMaps = imagesFor(pyramid.levels);
    Images traceMaps = imagesFor(pyramid.levels);
    const std::vector<DERY*> det = pointers(detMaps);
    const std::vector<DERY*> trace = pointers(traceMaps);
    if (canHoldPoints(pyramid)) {
        for (size_t i = 0; i < levelImages.size(); ++i)
            hessian(levelImages[i], det[i], trace[i]);
        // Mode 2: identity start shape; the second-moment map lists are unread.
        harris_lap(det, det, det, det, trace, pyramid.scales, regions, threshold, 2);
    }
    if (maxIterations > 0)
        findAffineRegion(levelImages, trace, pyramid.scales, regions, maxIterations);
}

void multi_scale_har(DERY* image, std::vector<AffRegion*>& regions, float threshold, int maxIterations)
{
    Pyramid pyramid = buildPyramid(image);
    const std::vector<DERY*> levelImages = pointers(pyramid.images);
    Images lapMaps = imagesFor(pyramid.levels);
    // The Harris maps of level 0 are never read (level 0 is not searched).
    Images responseMaps = imagesFor(pyramid.levels, 1);
    Images m11Maps = imagesFor(pyramid.levels, 1);
    Images m12Maps = imagesFor(pyramid.levels, 1);
    Images m22Maps = imagesFor(pyramid.levels, 1);
    const std::vector<DERY*> lap = pointers(lapMaps);
    if (canHoldPoints(pyramid)) {
        laplacian(levelImages[0], lap[0]);
        for (size_t i = 1; i < levelImages.size(); ++i) {
            harris(levelImages[i], responseMaps[i].get(), m11Maps[i].get(), m12Maps[i].get(),
                   m22Maps[i].get());
            laplacian(levelImages[i], lap[i]);
        }
        // Budget 0 keeps the identity start shape; any other budget starts
        // from the second moment matrix at the point.
        const int mode = maxIterations == 0 ? 0 : 1;
        harris_lap(pointers(responseMaps), pointers(m11Maps), pointers(m12Maps), pointers(m22Maps), lap,
                   pyramid.scales, regions, threshold, mode);
    }
    if (maxIterations > 1)
        findAffineRegion(levelImages, lap, pyramid.scales, regions, maxIterations);
}
