// Refined-mode pyramid geometry: level grids centred on the image, the
// resampling that builds the levels on them, and the points found on them.
#include "refined.h"

#include "parallel.h"
#include "vector_clones.h"

#include <algorithm>
#include <cmath>

namespace tolvane {
namespace refined {
namespace {

// Bilinear taps along one axis: destination pixel k is
// near[k] * source[first[k]] + far[k] * source[first[k] + 1].
struct AxisTaps {
    std::vector<int> first;
    std::vector<float> near;
    std::vector<float> far;
};

AxisTaps axisTaps(int sourceSide, int targetSide, double step)
{
    AxisTaps taps;
    const double sourceCentre = 0.5 * (sourceSide - 1);
    const double targetCentre = 0.5 * (targetSide - 1);
    const int lastFirst = std::max(0, sourceSide - 2);
    for (int k = 0; k < targetSide; ++k) {
        const double p = std::clamp(sourceCentre + (k - targetCentre) * step, 0.0, sourceSide - 1.0);
        const int whole = std::min(static_cast<int>(p), lastFirst);
        const double fraction = std::min(p - whole, 1.0);
        taps.first.push_back(whole);
        taps.near.push_back(static_cast<float>(1 - fraction));
        taps.far.push_back(static_cast<float>(fraction));
    }
    return taps;
}

AFFLIB_WIDE_VECTOR_CLONES
void blendAlongRow(const float* __restrict in, const int* __restrict first, const float* __restrict near,
                   const float* __restrict far, float* __restrict out, int n)
{
    for (int k = 0; k < n; ++k)
        out[k] = near[k] * in[first[k]] + far[k] * in[first[k] + 1];
}

AFFLIB_WIDE_VECTOR_CLONES
void blendRows(const float* __restrict upper, const float* __restrict lower, float near, float far,
               float* __restrict out, int n)
{
    for (int k = 0; k < n; ++k)
        out[k] = near * upper[k] + far * lower[k];
}

// A source row blended at every destination column, with its index.
struct BlendedRow {
    explicit BlendedRow(int cols) : values(static_cast<std::size_t>(cols)) {}
    void blend(const DERY& src, int row, const AxisTaps& columns)
    {
        if (source == row)
            return;
        blendAlongRow(src.pixels[row], columns.first.data(), columns.near.data(), columns.far.data(), values.data(),
                      static_cast<int>(values.size()));
        source = row;
    }
    int source = -1;
    std::vector<float> values;
};

// Trace values of a characteristic scale lie beyond +-4.
constexpr float kTraceFloor = 4.0f;
// The trace search runs from one level below a point's level to eight above
// (the exact mode's six left out points whose regions are found again).
constexpr int kTraceBelow = 1;
constexpr int kTraceAbove = 8;
// Points are the maxima of every pixel with a 3 x 3 neighbourhood: a wider
// border would leave out the coarse levels' regions near the image's edges,
// which a zoomed view finds.
constexpr int kPointBorder = 1;

bool traceExtremum(float previous, float current, float next)
{
    return (current > previous && current > next && current > kTraceFloor) ||
           (current < previous && current < next && current < -kTraceFloor);
}

// The trace maps of the levels but the finest, whose trace is computed only
// at the pixels read.
struct TraceLevels {
    const std::vector<DERY*>& maps;
    const DERY& finest;

    const DERY& level(int i) const { return i == 0 ? finest : *maps[static_cast<std::size_t>(i)]; }
    float at(int i, int col, int row) const
    {
        return i == 0 ? traceAtPixel(finest, col, row) : maps[static_cast<std::size_t>(i)]->pixels[row][col];
    }
};

// The trace of a level at an input point; false where the point does not
// lie between the level's outer pixels.
bool traceAt(const TraceLevels& trace, int i, const LevelGrid& grid, double x, double y, float& value)
{
    const double xl = grid.levelX(x);
    const double yl = grid.levelY(y);
    const DERY& level = trace.level(i);
    if (!(0 < xl && xl < level.cols - 1 && 0 < yl && yl < level.rows - 1))
        return false;
    const int c = static_cast<int>(xl);
    const int r = static_cast<int>(yl);
    const double wx = xl - c;
    const double wy = yl - r;
    const double top = (1 - wx) * trace.at(i, c, r) + wx * trace.at(i, c + 1, r);
    const double bottom = (1 - wx) * trace.at(i, c, r + 1) + wx * trace.at(i, c + 1, r + 1);
    value = static_cast<float>((1 - wy) * top + wy * bottom);
    return true;
}

// The level of the first trace extremum at the input point, or -1.
int characteristicLevel(const TraceLevels& trace, const std::vector<LevelGrid>& grids, int level, double x, double y)
{
    const int n = static_cast<int>(grids.size());
    const int first = std::max(1, level - kTraceBelow);
    const int last = std::min(level + kTraceAbove, n - 2);
    float window[3];
    if (!traceAt(trace, first - 1, grids[first - 1], x, y, window[1]) ||
        !traceAt(trace, first, grids[first], x, y, window[2]))
        return -1;
    for (int j = first; j <= last; ++j) {
        window[0] = window[1];
        window[1] = window[2];
        if (!traceAt(trace, j + 1, grids[j + 1], x, y, window[2]))
            return -1;
        if (traceExtremum(window[0], window[1], window[2]))
            return j;
    }
    return -1;
}

}  // namespace

std::vector<LevelGrid> levelGrids(const std::vector<PyramidLevel>& levels)
{
    std::vector<LevelGrid> grids;
    for (const PyramidLevel& level : levels)
        grids.emplace_back(levels.front(), level);
    return grids;
}

void resampleCentred(const DERY& src, DERY& dst, double step, WorkerPool& pool)
{
    const AxisTaps columns = axisTaps(src.cols, dst.cols, step);
    const AxisTaps rows = axisTaps(src.rows, dst.rows, step);
    const int rowsPerTask = dst.cols > 0 ? kPixelsPerTask / dst.cols + 1 : dst.rows;
    forEachBlock(pool, dst.rows, rowsPerTask, [&](int begin, int end) {
        BlendedRow upper(dst.cols);
        BlendedRow lower(dst.cols);
        for (int r = begin; r < end; ++r) {
            const int top = rows.first[r];
            if (lower.source == top)
                std::swap(upper, lower);
            upper.blend(src, top, columns);
            lower.blend(src, top + 1, columns);
            blendRows(upper.values.data(), lower.values.data(), rows.near[r], rows.far[r], dst.pixels[r], dst.cols);
        }
    });
}

void samplePatch(const DERY& level, DERY& patch, float cx, float cy, const ShapeMatrix& u)
{
    const int reachX = patch.cols / 2;
    const int reachY = patch.rows / 2;
    // Where every bilinear block lies inside and off the last row and
    // column, the library's vectorised resampling reads the same pixels.
    const double spanX = std::fabs(u.u11) * reachX + std::fabs(u.u12) * reachY;
    const double spanY = std::fabs(u.u21) * reachX + std::fabs(u.u22) * reachY;
    if (cx - spanX >= 0 && cx + spanX <= level.cols - 2 && cy - spanY >= 0 && cy + spanY <= level.rows - 2) {
        interpolate(const_cast<DERY*>(&level), &patch, cx, cy, u.u11, u.u12, u.u21, u.u22);
        return;
    }
    const float lastX = static_cast<float>(level.cols - 1);
    const float lastY = static_cast<float>(level.rows - 1);
    for (int i = -reachY; i <= reachY; ++i) {
        const float rowX = cx + u.u12 * static_cast<float>(i);
        const float rowY = cy + u.u22 * static_cast<float>(i);
        float* out = patch.pixels[i + reachY] + reachX;
        for (int j = -reachX; j <= reachX; ++j) {
            const float x = std::clamp(rowX + u.u11 * static_cast<float>(j), 0.0f, lastX);
            const float y = std::clamp(rowY + u.u21 * static_cast<float>(j), 0.0f, lastY);
            const int c = std::min(static_cast<int>(x), level.cols - 2);
            const int r = std::min(static_cast<int>(y), level.rows - 2);
            const float wx = x - static_cast<float>(c);
            const float wy = y - static_cast<float>(r);
            const float* top = level.pixels[r] + c;
            const float* bottom = level.pixels[r + 1] + c;
            const float upper = top[0] + wx * (top[1] - top[0]);
            const float lower = bottom[0] + wx * (bottom[1] - bottom[0]);
            out[j] = upper + wy * (lower - upper);
        }
    }
}

void extractPoints(const std::vector<DERY*>& det, const std::vector<DERY*>& trace, const DERY& finest,
                   const std::vector<LevelGrid>& grids, const std::vector<float>& scales, float threshold,
                   WorkerPool& pool, std::vector<AffRegion*>& records)
{
    const TraceLevels traceLevels{trace, finest};
    const std::size_t n = det.size();
    if (n < 3)
        return;
    std::vector<std::vector<AffRegion>> points(n);
    pool.forEach(n - 2, [&](std::size_t k) {
        const int level = static_cast<int>(k + 1);
        const LevelGrid& grid = grids[level];
        for (const ResponseMaximum& m : responseMaxima(det[level], threshold, kPointBorder, WorkerPool::serial())) {
            const double x = grid.inputX(m.col);
            const double y = grid.inputY(m.row);
            const int j = characteristicLevel(traceLevels, grids, level, x, y);
            if (j >= 1)
                points[level].push_back(AffRegion{static_cast<float>(x), static_cast<float>(y), m.response,
                                                  scales[level], scales[j], 1, 0, 1, j, level, 2});
        }
    });
    for (const std::vector<AffRegion>& levelPoints : points)
        for (const AffRegion& point : levelPoints)
            records.push_back(new AffRegion(point));
}

}  // namespace refined
}  // namespace tolvane
