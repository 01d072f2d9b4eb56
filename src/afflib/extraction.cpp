// Point extraction: characteristic scale by the Laplacian across pyramid
// levels, and multi-scale maxima of a response turned into region records.
#include "afflib.h"
#include "parallel.h"
#include "stages.h"
#include "vector_clones.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace {

// Pixels within this distance of a Laplacian map's border give no sample.
const int kLapBorder = 4;
// Pixels within this distance of a response map's border are never points.
const int kScanBorder = 5;
// The Laplacian search runs from one level below the point's level up to
// (not including) eight above it.
const unsigned int kLapBelow = 1;
const unsigned int kLapAbove = 8;

bool insideLapBorder(const DERY* map, double x, double y)
{
    return kLapBorder < x && x < map->cols - kLapBorder
        && kLapBorder < y && y < map->rows - kLapBorder;
}

bool isLapExtremum(float previous, float current, float next)
{
    const bool maximum = current > previous && current > next && current > 4.0f;
    const bool minimum = current < previous && current < next && current < -4.0f;
    return maximum || minimum;
}

// Columns of a response row tested together: the test has no branch, so it
// vectorises across them.
constexpr int kScanChunk = 64;

// isMaximum[k] = 1 where column first + k of `row` is strictly greater than
// the threshold and than each of its 8 neighbours (false for not-a-number);
// the columns must not be the map's outermost ones. Returns the number of
// maxima marked.
AFFLIB_VECTOR_CLONES
int markStrictMaxima(const DERY* map, int row, int first, int count, float threshold, int* isMaximum)
{
    const float* above = map->pixels[row - 1] + first;
    const float* here = map->pixels[row] + first;
    const float* below = map->pixels[row + 1] + first;
    int found = 0;
    for (int k = 0; k < count; ++k) {
        const float v = here[k];
        isMaximum[k] = (v > threshold) & (v > above[k - 1]) & (v > above[k]) & (v > above[k + 1])
                     & (v > here[k - 1]) & (v > here[k + 1])
                     & (v > below[k - 1]) & (v > below[k]) & (v > below[k + 1]);
        found += isMaximum[k];
    }
    return found;
}

struct ShapeEntries {
    float mi11;
    float mi12;
    float mi22;
};

// Mode 1 starts from the normalised inverse square root of the second moment
// matrix at the pixel (the raw values where that leaves them unchanged);
// every other mode from the identity.
ShapeEntries initialShape(const std::vector<DERY*>& m11Maps, const std::vector<DERY*>& m12Maps,
                          const std::vector<DERY*>& m22Maps, std::size_t level, int row, int col,
                          int mode)
{
    if (mode != 1)
        return {1.0f, 0.0f, 1.0f};
    ShapeEntries shape{m11Maps[level]->pixels[row][col], m12Maps[level]->pixels[row][col],
                       m22Maps[level]->pixels[row][col]};
    float unusedL1 = 0.0f;
    float unusedL2 = 0.0f;
    invSqrRoot(shape.mi11, shape.mi12, shape.mi22, unusedL1, unusedL2);
    return shape;
}

// What turns a level's response maxima into regions.
struct PointInput {
    const std::vector<DERY*>& m11Maps;
    const std::vector<DERY*>& m12Maps;
    const std::vector<DERY*>& m22Maps;
    const std::vector<DERY*>& lapMaps;
    const std::vector<float>& scales;
    int mode;
};

// The region of a level's maximum, appended to `points` when it has a
// characteristic scale with a bucket (index below bucketCount).
void addPoint(const PointInput& in, std::size_t level, const ResponseMaximum& maximum, std::size_t bucketCount,
              std::vector<AffRegion>& points)
{
    const float scale = in.scales[level];
    const float x = static_cast<float>(maximum.col * static_cast<double>(scale));
    const float y = static_cast<float>(maximum.row * static_cast<double>(scale));
    const int j = getLapMax(in.lapMaps, in.scales, static_cast<unsigned int>(level), kLapBelow,
                            kLapAbove, x, y);
    if (j < 1 || static_cast<std::size_t>(j) >= bucketCount)
        return;
    const ShapeEntries shape = initialShape(in.m11Maps, in.m12Maps, in.m22Maps, level, maximum.row, maximum.col,
                                            in.mode);
    points.push_back(AffRegion{x, y, maximum.response, scale, in.scales[j], shape.mi11, shape.mi12, shape.mi22,
                               j, static_cast<int>(level), in.mode});
}

// The maxima of rows [begin, end) of a response map, in scan order.
void appendRowMaxima(const DERY* response, float threshold, int border, int begin, int end,
                     std::vector<ResponseMaximum>& maxima)
{
    const int colEnd = response->cols - border;
    for (int row = begin; row < end; ++row) {
        for (int first = border; first < colEnd; first += kScanChunk) {
            const int count = std::min(kScanChunk, colEnd - first);
            int isMaximum[kScanChunk];
            if (markStrictMaxima(response, row, first, count, threshold, isMaximum) == 0)
                continue;
            for (int k = 0; k < count; ++k)
                if (isMaximum[k])
                    maxima.push_back({row, first + k, response->pixels[row][first + k]});
        }
    }
}

// Number of levels every list can serve; the maps read only in mode 1 count
// only then.
std::size_t usableLevels(const std::vector<DERY*>& responseMaps, const PointInput& in)
{
    std::size_t n = std::min({responseMaps.size(), in.lapMaps.size(), in.scales.size()});
    if (in.mode == 1)
        n = std::min({n, in.m11Maps.size(), in.m12Maps.size(), in.m22Maps.size()});
    return n;
}

// The regions of the maxima of levels 1 .. n-2 (n = maxima.size()), filed
// by characteristic scale and thinned of near duplicates. The levels are
// turned into regions independently, each into its own list, and filed level
// by level: the buckets hold their regions in scan order whatever the number
// of threads. Each bucket joins the list as soon as it is thinned; a
// companion (if any) is handed the pool and the thinning of the next bucket
// each time, the last time with nothing left to thin.
void addRegionsOfMaxima(const std::vector<std::vector<ResponseMaximum>>& maxima, const PointInput& in,
                        std::vector<AffRegion*>& regions, WorkerPool& pool, const ThinningCompanion& companion = {})
{
    const std::size_t n = maxima.size();
    std::vector<std::vector<AffRegion>> buckets(n >= 3 ? n - 1 : 0);
    if (n >= 3) {
        std::vector<std::vector<AffRegion>> points(n);
        pool.forEach(n - 2, [&](std::size_t k) {
            points[k + 1].reserve(maxima[k + 1].size());
            for (const ResponseMaximum& maximum : maxima[k + 1])
                addPoint(in, k + 1, maximum, buckets.size(), points[k + 1]);
        });
        std::vector<std::size_t> filed(buckets.size());
        for (const std::vector<AffRegion>& levelRegions : points)
            for (const AffRegion& region : levelRegions)
                ++filed[region.lapIndex];
        for (std::size_t i = 0; i < buckets.size(); ++i)
            buckets[i].reserve(filed[i]);
        for (std::vector<AffRegion>& levelRegions : points) {
            for (const AffRegion& region : levelRegions)
                buckets[region.lapIndex].push_back(region);
            std::vector<AffRegion>().swap(levelRegions);
        }
    }
    NearDuplicateThinning thinning(buckets, in.scales);
    for (std::size_t i = 0; i <= buckets.size(); ++i) {
        if (i > 0)
            for (const AffRegion& region : buckets[i - 1])
                regions.push_back(new AffRegion(region));
        const std::function<void()> thinNext = [&] {
            if (i < buckets.size())
                thinning.thin(i);
        };
        if (companion)
            companion(pool, thinNext);
        else
            thinNext();
    }
}

}  // namespace

int getLapMax(const std::vector<DERY*>& lapMaps, const std::vector<float>& scales,
              unsigned int level, unsigned int below, unsigned int above,
              float x, float y)
{
    // A search starting below level 0 examines nothing.
    if (below > level)
        return -1;
    // Summed in 64 bits so that large arguments cannot wrap around.
    const std::uint64_t levelLimit = static_cast<std::uint64_t>(level) + above;
    const std::uint64_t start = level == below ? 1 : level - below;
    const std::size_t levels = std::min(lapMaps.size(), scales.size());
    // The samples are the Laplacian values at the point on the levels from
    // the finest up to (not including) levelLimit where it lies inside the
    // border, numbered in that order; sample j is an extremum against
    // samples j - 1 and j + 1, for j from `start` on. Samples before
    // start - 1 are only counted, never read.
    float window[3] = {0.0f, 0.0f, 0.0f};  // samples k - 2, k - 1, k
    std::uint64_t k = 0;
    for (std::size_t i = 0; i < levels && i < levelLimit; ++i) {
        const double xi = static_cast<double>(x) / scales[i];
        const double yi = static_cast<double>(y) / scales[i];
        if (!insideLapBorder(lapMaps[i], xi, yi))
            continue;
        if (k + 1 >= start) {
            window[0] = window[1];
            window[1] = window[2];
            window[2] = getValue(lapMaps[i], static_cast<float>(xi), static_cast<float>(yi));
            if (k > start && isLapExtremum(window[0], window[1], window[2]))
                return static_cast<int>(k - 1);
        }
        ++k;
    }
    return -1;
}

void harris_lap(const std::vector<DERY*>& responseMaps,
                const std::vector<DERY*>& m11Maps,
                const std::vector<DERY*>& m12Maps,
                const std::vector<DERY*>& m22Maps,
                const std::vector<DERY*>& lapMaps,
                const std::vector<float>& scales,
                std::vector<AffRegion*>& regions, float threshold, int mode, int threads)
{
    const PointInput in{m11Maps, m12Maps, m22Maps, lapMaps, scales, mode};
    const std::size_t n = usableLevels(responseMaps, in);
    if (n < 3)
        return;
    std::vector<std::vector<ResponseMaximum>> maxima(n);
    WorkerPool pool(threads);
    pool.forEach(n - 2, [&](std::size_t k) {
        maxima[k + 1] = responseMaxima(responseMaps[k + 1], threshold, WorkerPool::serial());
    });
    addRegionsOfMaxima(maxima, in, regions, pool);
}

std::vector<ResponseMaximum> responseMaxima(const DERY* response, float threshold, WorkerPool& pool)
{
    return responseMaxima(response, threshold, kScanBorder, pool);
}

std::vector<ResponseMaximum> responseMaxima(const DERY* response, float threshold, int border, WorkerPool& pool)
{
    const int rows = response->rows - 2 * border;
    if (rows <= 0)
        return {};
    const int cols = response->cols > 0 ? response->cols : 1;
    const int rowsPerTask = std::max(1, kPixelsPerTask / cols);
    const int tasks = pool.threads() == 1 ? 1 : (rows + rowsPerTask - 1) / rowsPerTask;
    const int step = (rows + tasks - 1) / tasks;
    std::vector<std::vector<ResponseMaximum>> parts(static_cast<std::size_t>(tasks));
    pool.forEach(parts.size(), [&](std::size_t t) {
        const int begin = border + static_cast<int>(t) * step;
        appendRowMaxima(response, threshold, border, begin, std::min(begin + step, border + rows), parts[t]);
    });
    std::vector<ResponseMaximum> maxima;
    for (const std::vector<ResponseMaximum>& part : parts)
        maxima.insert(maxima.end(), part.begin(), part.end());
    return maxima;
}

void addHessianRegions(const std::vector<std::vector<ResponseMaximum>>& maxima, const std::vector<DERY*>& lapMaps,
                       const std::vector<float>& scales, std::vector<AffRegion*>& regions, int threads,
                       const ThinningCompanion& companion)
{
    const std::vector<DERY*> unread;
    const PointInput in{unread, unread, unread, lapMaps, scales, 2};
    WorkerPool pool(threads);
    addRegionsOfMaxima(maxima, in, regions, pool, companion);
}
