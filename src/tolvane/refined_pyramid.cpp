// Refined-mode pyramid geometry: level grids centred on the image, the
// resampling that builds the levels on them, and the points found on them.
#include "refined.h"

#include "parallel.h"

#include <algorithm>
#include <cmath>

namespace tolvane {
namespace refined {
namespace {

// Bilinear taps along one axis: destination pixel k blends source pixels
// first[k] and first[k] + 1 with weight[k] on the second.
struct AxisTaps {
    std::vector<int> first;
    std::vector<double> weight;
};

AxisTaps axisTaps(int sourceSide, int targetSide, double step)
{
    AxisTaps taps;
    const double sourceCentre = 0.5 * (sourceSide - 1);
    const double targetCentre = 0.5 * (targetSide - 1);
    for (int k = 0; k < targetSide; ++k) {
        const double p = std::clamp(sourceCentre + (k - targetCentre) * step, 0.0, sourceSide - 1.0);
        const int whole = std::min(static_cast<int>(p), std::max(0, sourceSide - 2));
        taps.first.push_back(whole);
        taps.weight.push_back(sourceSide > 1 ? p - whole : 0.0);
    }
    return taps;
}

void blendRow(const float* src, const AxisTaps& columns, double* out)
{
    const std::size_t n = columns.first.size();
    for (std::size_t k = 0; k < n; ++k) {
        const int c = columns.first[k];
        const double w = columns.weight[k];
        out[k] = (1 - w) * src[c] + w * src[c + (w > 0)];
    }
}

// Points within this distance of a trace map's outer pixels give no sample.
constexpr double kTraceBorder = 4;
// Trace values of a characteristic scale lie beyond +-4.
constexpr float kTraceFloor = 4.0f;
// The trace search runs from one level below a point's level to six above.
constexpr int kTraceBelow = 1;
constexpr int kTraceAbove = 6;
// Of points within their characteristic scale of each other, the strongest stays.
constexpr double kPointReach = 1;

bool traceExtremum(float previous, float current, float next)
{
    return (current > previous && current > next && current > kTraceFloor) ||
           (current < previous && current < next && current < -kTraceFloor);
}

// The trace of a level at an input point; false where the point lies within
// the border.
bool traceAt(DERY* trace, const LevelGrid& grid, double x, double y, float& value)
{
    const double xl = grid.levelX(x);
    const double yl = grid.levelY(y);
    const double lastX = trace->cols - 1;
    const double lastY = trace->rows - 1;
    if (!(kTraceBorder < xl && xl < lastX - kTraceBorder && kTraceBorder < yl && yl < lastY - kTraceBorder))
        return false;
    value = getValue(trace, static_cast<float>(xl), static_cast<float>(yl));
    return true;
}

// The level of the first trace extremum at the input point, or -1.
int characteristicLevel(const std::vector<DERY*>& trace, const std::vector<LevelGrid>& grids, int level, double x,
                        double y)
{
    const int n = static_cast<int>(trace.size());
    const int first = std::max(1, level - kTraceBelow);
    const int last = std::min(level + kTraceAbove, n - 2);
    float window[3];
    if (!traceAt(trace[first - 1], grids[first - 1], x, y, window[1]) ||
        !traceAt(trace[first], grids[first], x, y, window[2]))
        return -1;
    for (int j = first; j <= last; ++j) {
        window[0] = window[1];
        window[1] = window[2];
        if (!traceAt(trace[j + 1], grids[j + 1], x, y, window[2]))
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
        std::vector<double> upper(static_cast<std::size_t>(dst.cols));
        std::vector<double> lower(upper.size());
        for (int r = begin; r < end; ++r) {
            const int top = rows.first[r];
            const double w = rows.weight[r];
            blendRow(src.pixels[top], columns, upper.data());
            blendRow(src.pixels[top + (w > 0)], columns, lower.data());
            for (int c = 0; c < dst.cols; ++c)
                dst.pixels[r][c] = static_cast<float>((1 - w) * upper[c] + w * lower[c]);
        }
    });
}

void samplePatch(const DERY& level, DERY& patch, float cx, float cy, const ShapeMatrix& u)
{
    const int reachX = patch.cols / 2;
    const int reachY = patch.rows / 2;
    const double lastX = level.cols - 1;
    const double lastY = level.rows - 1;
    for (int i = -reachY; i <= reachY; ++i)
        for (int j = -reachX; j <= reachX; ++j) {
            const double x = std::clamp(cx + static_cast<double>(u.u11) * j + static_cast<double>(u.u12) * i, 0.0, lastX);
            const double y = std::clamp(cy + static_cast<double>(u.u21) * j + static_cast<double>(u.u22) * i, 0.0, lastY);
            const int c = std::min(static_cast<int>(x), std::max(0, level.cols - 2));
            const int r = std::min(static_cast<int>(y), std::max(0, level.rows - 2));
            const double wx = x - c;
            const double wy = y - r;
            const float* top = level.pixels[r];
            const float* bottom = level.pixels[r + (wy > 0)];
            const int right = c + (wx > 0);
            patch.pixels[i + reachY][j + reachX] = static_cast<float>(
                (1 - wy) * ((1 - wx) * top[c] + wx * top[right]) + wy * ((1 - wx) * bottom[c] + wx * bottom[right]));
        }
}

void extractPoints(const std::vector<DERY*>& det, const std::vector<DERY*>& trace, const std::vector<LevelGrid>& grids,
                   const std::vector<float>& scales, float threshold, WorkerPool& pool,
                   std::vector<AffRegion*>& records)
{
    const std::size_t n = det.size();
    if (n < 3)
        return;
    std::vector<std::vector<AffRegion>> points(n);
    pool.forEach(n - 2, [&](std::size_t k) {
        const int level = static_cast<int>(k + 1);
        const LevelGrid& grid = grids[level];
        for (const ResponseMaximum& m : responseMaxima(det[level], threshold, WorkerPool::serial())) {
            const double x = grid.inputX(m.col);
            const double y = grid.inputY(m.row);
            const int j = characteristicLevel(trace, grids, level, x, y);
            if (j >= 1)
                points[level].push_back(AffRegion{static_cast<float>(x), static_cast<float>(y), m.response,
                                                  scales[level], scales[j], 1, 0, 1, j, level, 2});
        }
    });
    std::vector<AffRegion> all;
    std::vector<Placement> places;
    for (const std::vector<AffRegion>& levelPoints : points)
        for (const AffRegion& point : levelPoints) {
            all.push_back(point);
            places.push_back({point.x, point.y, point.lapScale, point.response});
        }
    const std::vector<bool> distinct = distinctRegions(places, kPointReach);
    for (std::size_t k = 0; k < all.size(); ++k)
        if (distinct[k])
            records.push_back(new AffRegion(all[k]));
}

}  // namespace refined
}  // namespace tolvane
