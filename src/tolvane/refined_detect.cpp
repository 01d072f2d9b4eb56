// Refined-mode detection: pyramid, responses, points, sub-pixel positions,
// shape adaptation and duplicate removal, in that order.
#include "refined.h"

#include "parallel.h"
#include "region_records.h"

#include <cmath>
#include <memory>

namespace tolvane {
namespace refined {
namespace {

constexpr int kMinPyramidSide = 12;
// Sigma of the exact mode's adaptation measurement window, cached before any
// thread measures.
constexpr float kIntegrationSigma = 1.8f;

// Owns the images of the levels first .. last, the others null.
struct Images {
    Images(const std::vector<PyramidLevel>& levels, std::size_t first, std::size_t last)
    {
        for (std::size_t i = 0; i < levels.size(); ++i)
            list.push_back(first <= i && i <= last ? std::make_unique<DERY>(levels[i].rows, levels[i].cols) : nullptr);
    }
    std::vector<DERY*> pointers() const
    {
        std::vector<DERY*> p;
        for (const auto& image : list)
            p.push_back(image.get());
        return p;
    }
    std::vector<std::unique_ptr<DERY>> list;
};

// Level 0 is the image itself, borrowed.
struct Pyramid {
    Pyramid(DERY& image, float factor, WorkerPool& pool)
        : levels(pyramidLevels(image.rows, image.cols, factor)), grids(levelGrids(levels)),
          owned(levels, 1, levels.size() - 1), images(owned.pointers())
    {
        images[0] = &image;
        for (std::size_t i = 1; i < levels.size(); ++i)
            resampleCentred(*images[i - 1], *images[i], factor, pool);
        for (const PyramidLevel& level : levels)
            scales.push_back(level.scale);
    }
    std::vector<PyramidLevel> levels;
    std::vector<LevelGrid> grids;
    Images owned;
    std::vector<DERY*> images;
    std::vector<float> scales;
};

// The 3 x 3 determinant neighbourhood of a point's pixel moves it to the
// maximum of the fitted quadratic. Points lie inside the scan border, so the
// neighbourhood is on the map.
void moveToSubPixel(AffRegion& record, const DERY& det, const LevelGrid& grid)
{
    const int col = static_cast<int>(std::nearbyint(grid.levelX(record.x)));
    const int row = static_cast<int>(std::nearbyint(grid.levelY(record.y)));
    float values[3][3];
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            values[r][c] = det.pixels[row + r - 1][col + c - 1];
    const Offset offset = subPixelOffset(values);
    record.x = static_cast<float>(grid.inputX(col + static_cast<double>(offset.dx)));
    record.y = static_cast<float>(grid.inputY(row + static_cast<double>(offset.dy)));
}

// The adapted shape of a record, or false when adaptation rejects it.
bool adaptRecord(const AffRegion& record, DERY* levelImage, const LevelGrid& grid, int maxIterations,
                 ShapeMatrix& shape)
{
    const auto xl = static_cast<float>(grid.levelX(record.x));
    const auto yl = static_cast<float>(grid.levelY(record.y));
    DERY patch(kAdaptationPatchSide, kAdaptationPatchSide);
    const auto measure = [&](const ShapeMatrix& u, float& m11, float& m12, float& m22) {
        samplePatch(*levelImage, patch, xl, yl, u);
        getPatchMi(&patch, m11, m12, m22);
    };
    shape = {1, 0, 0, 1};
    return maxIterations == 0 || adaptShape(shape, maxIterations, measure) > 0;
}

Region regionOf(const AffRegion& record, const ShapeMatrix& shape)
{
    Region region = regionFields(record);
    region.shape = {shape.u11, shape.u12, shape.u21, shape.u22};
    return region;
}

}  // namespace

std::vector<PyramidLevel> pyramidLevels(int rows, int cols, float factor)
{
    std::vector<PyramidLevel> levels{{cols, rows, 1.0f}};
    while (cols > kMinPyramidSide && rows > kMinPyramidSide) {
        cols = static_cast<int>(std::nearbyint(cols / static_cast<double>(factor)));
        rows = static_cast<int>(std::nearbyint(rows / static_cast<double>(factor)));
        levels.push_back({cols, rows, levels.back().scale * factor});
    }
    return levels;
}

std::vector<Region> detect(DERY& image, const DetectorOptions& options, int threads, DetectionStats& stats)
{
    WorkerPool pool(threads);
    normaliseContrast(image);
    const Pyramid pyramid(image, options.pyramid_factor, pool);
    if (pyramid.levels.size() < 3)
        return {};
    const std::size_t n = pyramid.levels.size();
    const Images det(pyramid.levels, 1, n - 2);  // the levels searched
    const Images trace(pyramid.levels, 1, n - 1);  // level 0's where it is read
    for (std::size_t i = 1; i < n; ++i)
        hessianResponses(pyramid.images[i], det.list[i].get(), trace.list[i].get(), pool);

    const std::vector<DERY*> detMaps = det.pointers();
    RegionRecords records;
    extractPoints(detMaps, trace.pointers(), *pyramid.images[0], pyramid.grids, pyramid.scales,
                  options.responseThreshold(), pool, records.list);
    stats.extracted = records.list.size();

    initGauss(kIntegrationSigma);
    pool.forEach(records.list.size(), [&](std::size_t k) {
        AffRegion& record = *records.list[k];
        moveToSubPixel(record, *detMaps[record.level], pyramid.grids[record.level]);
    });
    std::vector<Placement> places;
    for (const AffRegion* record : records.list)
        places.push_back({record->x, record->y, record->scale, record->response});
    std::vector<ShapeMatrix> shapes(records.list.size());
    const std::vector<Outcome> outcome = adaptDistinct(
        places,
        [&](std::size_t k) {
            const AffRegion& record = *records.list[k];
            return adaptRecord(record, pyramid.images[record.level], pyramid.grids[record.level],
                               options.iterations, shapes[k]);
        },
        pool);
    std::vector<Region> regions;
    for (std::size_t k = 0; k < records.list.size(); ++k) {
        if (outcome[k] == Outcome::Rejected) {
            ++stats.rejected;
        } else if (outcome[k] == Outcome::Duplicate) {
            ++stats.duplicates;
        } else {
            Region region = regionOf(*records.list[k], shapes[k]);
            if (refinedEllipse(region.scale, region.shape, region.a, region.b, region.c))
                regions.push_back(region);
            else
                ++stats.singular;
        }
    }
    return regions;
}

}  // namespace refined
}  // namespace tolvane
