// The two multi-scale detectors: a resolution pyramid reduced by 1.2 per
// level, response maps on every level, point extraction over all levels at
// once, then affine shape adaptation of the regions found.
#include "afflib.h"
#include "stages.h"
#include "parallel.h"

#include <cmath>
#include <memory>

namespace {

const float kPyramidFactor = 1.2f;
const int kMinPyramidSide = 12;

std::vector<DERY*> imagesFor(const std::vector<PyramidLevel>& levels, size_t first = 0)
{
    std::vector<DERY*> images(levels.size(), nullptr);
    for (size_t i = first; i < levels.size(); ++i)
        images[i] = new DERY(levels[i].rows, levels[i].cols);
    return images;
}

// Each level's part of a shared block starts on a 64-byte boundary.
size_t paddedPixels(const PyramidLevel& level)
{
    const size_t line = 16;
    return (static_cast<size_t>(level.rows) * static_cast<size_t>(level.cols) + line - 1) / line * line;
}

size_t blockPixels(const std::vector<PyramidLevel>& levels, size_t first = 0)
{
    size_t total = 0;
    for (size_t i = first; i < levels.size(); ++i)
        total += paddedPixels(levels[i]);
    return total;
}

// Images of levels first .. n-1 (null below) as views of one block of
// blockPixels(levels, first) floats.
std::vector<DERY*> imagesIn(const PixelBlock& block, const std::vector<PyramidLevel>& levels, size_t first = 0)
{
    std::vector<DERY*> images(levels.size(), nullptr);
    float* part = block.data();
    for (size_t i = first; i < levels.size(); ++i) {
        images[i] = new DERY(levels[i].rows, levels[i].cols, part);
        part += paddedPixels(levels[i]);
    }
    return images;
}

void release(std::vector<DERY*>& images, size_t first = 0)
{
    for (size_t i = first; i < images.size(); ++i)
        delete images[i];
    images.clear();
}

// Points are searched on levels 1 .. n-2 only.
bool isSearched(size_t level, size_t levels) { return level >= 1 && level + 1 < levels; }

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

// Level 0 is the input itself; every further level is the previous one
// resampled bilinearly by the factor 1.2, with no smoothing in between.
ScaleSpace::ScaleSpace(DERY* image, int threads)
    : levels(pyramidLevels(image->rows, image->cols)),
      storage(blockPixels(levels, 1)),
      images(imagesIn(storage, levels, 1))
{
    images[0] = image;
    WorkerPool pool(threads);
    for (size_t i = 1; i < images.size(); ++i)
        scaling(images[i - 1], images[i], kPyramidFactor, pool);
    for (const PyramidLevel& level : levels)
        scales.push_back(level.scale);
}

ScaleSpace::~ScaleSpace() { release(images, 1); }

// Computes the Hessian of each level into trace[i] and a new determinant map
// that it hands, for the levels searched for points, to
// keepSearched(i, map, pool), one level after the other, each spread over the
// pool, so that only one level's temporaries exist at a time. Pyramids of
// fewer than three levels hold no point and may be below the filters'
// minimum size: their maps are left unfilled. With a `reused` block of at
// least level 0's size, every determinant map is a view of it (the filters
// overwrite every pixel), so that its pages are faulted in once; the part a
// smaller level no longer needs is given back, so that it does not add to
// the memory taken while the traces fill up.
template <class KeepSearched>
void computeHessianLevels(const ScaleSpace& space, const std::vector<DERY*>& trace, PixelBlock* reused,
                          int threads, KeepSearched keepSearched)
{
    if (!space.canHoldPoints())
        return;
    WorkerPool pool(threads);
    const size_t n = space.images.size();
    for (size_t i = 0; i < n; ++i) {
        const PyramidLevel& level = space.levels[i];
        if (reused)
            reused->releaseBeyond(paddedPixels(level));
        auto det = reused ? std::make_unique<DERY>(level.rows, level.cols, reused->data())
                          : std::make_unique<DERY>(level.rows, level.cols);
        hessian(space.images[i], det.get(), trace[i], pool);
        if (isSearched(i, n))
            keepSearched(i, std::move(det), pool);
    }
}

HessianMaps::HessianMaps(const ScaleSpace& space, int threads)
    : det(space.levels.size(), nullptr), traceStorage(blockPixels(space.levels)),
      trace(imagesIn(traceStorage, space.levels))
{
    computeHessianLevels(space, trace, nullptr, threads,
                         [&](size_t i, std::unique_ptr<DERY> map, WorkerPool&) { det[i] = map.release(); });
}

HessianScan::HessianScan(const ScaleSpace& space, float threshold, int threads)
    : maxima(space.levels.size()), traceStorage(blockPixels(space.levels)),
      trace(imagesIn(traceStorage, space.levels))
{
    PixelBlock determinant(paddedPixels(space.levels[0]));
    computeHessianLevels(space, trace, &determinant, threads,
                         [&](size_t i, std::unique_ptr<DERY> map, WorkerPool& pool) {
        maxima[i] = responseMaxima(map.get(), threshold, pool);
    });
}

HessianScan::~HessianScan() { release(trace); }

HessianMaps::~HessianMaps()
{
    release(det);
    release(trace);
}

HarrisMaps::HarrisMaps(const ScaleSpace& space, int threads)
    : lap(imagesFor(space.levels)),
      response(imagesFor(space.levels, 1)),
      m11(imagesFor(space.levels, 1)),
      m12(imagesFor(space.levels, 1)),
      m22(imagesFor(space.levels, 1))
{
    if (!space.canHoldPoints())
        return;
    WorkerPool pool(threads);
    laplacian(space.images[0], lap[0], pool);
    for (size_t i = 1; i < space.images.size(); ++i) {
        harris(space.images[i], response[i], m11[i], m12[i], m22[i], pool);
        laplacian(space.images[i], lap[i], pool);
    }
}

HarrisMaps::~HarrisMaps()
{
    release(lap);
    release(response);
    release(m11);
    release(m12);
    release(m22);
}

void multi_scale_hes(DERY* image, std::vector<AffRegion*>& regions, float threshold, int maxIterations,
                     int threads, DetectionCounts& counts)
{
    const ScaleSpace space(image, threads);
    const HessianScan scan(space, threshold, threads);
    const size_t before = regions.size();
    addHessianRegions(scan.maxima, scan.trace, space.scales, regions, threads);
    counts.extracted = regions.size() - before;
    if (maxIterations > 0)
        findAffineRegion(space.images, scan.trace, space.scales, regions, maxIterations, threads);
    counts.adapted = regions.size() - before;
}

void multi_scale_har(DERY* image, std::vector<AffRegion*>& regions, float threshold, int maxIterations,
                     int threads, DetectionCounts& counts)
{
    const ScaleSpace space(image, threads);
    const HarrisMaps maps(space, threads);
    const size_t before = regions.size();
    if (space.canHoldPoints()) {
        // Budget 0 keeps the identity start shape; any other budget starts
        // from the second moment matrix at the point.
        const int mode = maxIterations == 0 ? 0 : 1;
        harris_lap(maps.response, maps.m11, maps.m12, maps.m22, maps.lap, space.scales, regions, threshold, mode,
                   threads);
    }
    counts.extracted = regions.size() - before;
    if (maxIterations > 1)
        findAffineRegion(space.images, maps.lap, space.scales, regions, maxIterations, threads);
    counts.adapted = regions.size() - before;
}

void multi_scale_hes(DERY* image, std::vector<AffRegion*>& regions, float threshold, int maxIterations,
                     int threads)
{
    DetectionCounts counts;
    multi_scale_hes(image, regions, threshold, maxIterations, threads, counts);
}

void multi_scale_har(DERY* image, std::vector<AffRegion*>& regions, float threshold, int maxIterations,
                     int threads)
{
    DetectionCounts counts;
    multi_scale_har(image, regions, threshold, maxIterations, threads, counts);
}
