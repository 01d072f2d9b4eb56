// Point extraction: characteristic scale by the Laplacian across pyramid
// levels, and multi-scale maxima of a response turned into region records.
#include "afflib.h"

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

// The Laplacian value at the point on every level from the finest up to
// (not including) `levelLimit`, skipping levels where it lies in the border.
std::vector<float> lapSamples(const std::vector<DERY*>& lapMaps, const std::vector<float>& scales,
                              std::uint64_t levelLimit, float x, float y)
{
    const std::size_t levels = std::min(lapMaps.size(), scales.size());
    std::vector<float> samples;
    for (std::size_t i = 0; i < levels && i < levelLimit; ++i) {
        const double xi = static_cast<double>(x) / scales[i];
        const double yi = static_cast<double>(y) / scales[i];
        if (insideLapBorder(lapMaps[i], xi, yi))
            samples.push_back(getValue(lapMaps[i], static_cast<float>(xi), static_cast<float>(yi)));
    }
    return samples;
}

bool isLapExtremum(const std::vector<float>& s, std::size_t j)
{
    const bool maximum = s[j] > s[j - 1] && s[j] > s[j + 1] && s[j] > 4.0f;
    const bool minimum = s[j] < s[j - 1] && s[j] < s[j + 1] && s[j] < -4.0f;
    return maximum || minimum;
}

// True for a strict 3x3 maximum of map at (row, col), which must not lie on
// the map's outermost rows or columns.
bool isStrictLocalMaximum(const DERY* map, int row, int col)
{
    const float v = map->pixels[row][col];
    for (int r = row - 1; r <= row + 1; ++r)
        for (int c = col - 1; c <= col + 1; ++c)
            if ((r != row || c != col) && !(v > map->pixels[r][c]))
                return false;
    return true;
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

using Bucket = std::vector<AffRegion*>;

struct ExtractionInput {
    const std::vector<DERY*>& responseMaps;
    const std::vector<DERY*>& m11Maps;
    const std::vector<DERY*>& m12Maps;
    const std::vector<DERY*>& m22Maps;
    const std::vector<DERY*>& lapMaps;
    const std::vector<float>& scales;
    float threshold;
    int mode;
};

// Turns the strict maxima above threshold of one level into regions, each
// appended to the bucket of its characteristic-scale index.
void collectLevelPoints(const ExtractionInput& in, std::size_t level, std::vector<Bucket>& buckets)
{
    const DERY* response = in.responseMaps[level];
    const float scale = in.scales[level];
    for (int row = kScanBorder; row < response->rows - kScanBorder; ++row) {
        for (int col = kScanBorder; col < response->cols - kScanBorder; ++col) {
            const float v = response->pixels[row][col];
            if (!(v > in.threshold) || !isStrictLocalMaximum(response, row, col))
                continue;
            const float x = static_cast<float>(col * static_cast<double>(scale));
            const float y = static_cast<float>(row * static_cast<double>(scale));
            const int j = getLapMax(in.lapMaps, in.scales, static_cast<unsigned int>(level),
                                    kLapBelow, kLapAbove, x, y);
            if (j < 1 || static_cast<std::size_t>(j) >= buckets.size())
                continue;
            const ShapeEntries shape =
                initialShape(in.m11Maps, in.m12Maps, in.m22Maps, level, row, col, in.mode);
            buckets[j].push_back(new AffRegion{x, y, v, scale, in.scales[j], shape.mi11, shape.mi12,
                                               shape.mi22, j, static_cast<int>(level), in.mode});
        }
    }
}

bool nearDuplicates(const AffRegion* p, const AffRegion* q, float bound)
{
    return std::fabs(static_cast<double>(p->x) - q->x) < bound
        && std::fabs(static_cast<double>(p->y) - q->y) < bound;
}

// Compares own[p] with every other region of `others` in order; a weaker
// near-duplicate is removed and destroyed, and the comparison goes on with the
// region that followed it. Returns false as soon as own[p] meets a
// near-duplicate at least as strong. `p` follows removals that precede it.
bool survivesAgainst(Bucket& own, std::size_t& p, Bucket& others, float bound)
{
    const AffRegion* candidate = own[p];
    std::size_t q = 0;
    while (q < others.size()) {
        AffRegion* other = others[q];
        if (other == candidate || !nearDuplicates(candidate, other, bound)) {
            ++q;
            continue;
        }
        if (!(candidate->response > other->response))
            return false;
        delete other;
        others.erase(others.begin() + static_cast<std::ptrdiff_t>(q));
        if (&others == &own && q < p)
            --p;
    }
    return true;
}

// Thins bucket i against itself and then against bucket i + 1, with the
// bound scales[i]. The region under examination loses on equal responses.
void suppressNearDuplicates(std::vector<Bucket>& buckets, std::size_t i, float bound)
{
    Bucket& own = buckets[i];
    Bucket* next = i + 1 < buckets.size() ? &buckets[i + 1] : nullptr;
    std::size_t p = 0;
    while (p < own.size()) {
        const bool survives = survivesAgainst(own, p, own, bound)
                           && (next == nullptr || survivesAgainst(own, p, *next, bound));
        if (survives) {
            ++p;
        } else {
            delete own[p];
            own.erase(own.begin() + static_cast<std::ptrdiff_t>(p));
        }
    }
}

// Number of levels every list can serve; the maps read only in mode 1 count
// only then.
std::size_t usableLevels(const ExtractionInput& in)
{
    std::size_t n = std::min({in.responseMaps.size(), in.lapMaps.size(), in.scales.size()});
    if (in.mode == 1)
        n = std::min({n, in.m11Maps.size(), in.m12Maps.size(), in.m22Maps.size()});
    return n;
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
    const std::vector<float> samples = lapSamples(lapMaps, scales, levelLimit, x, y);
    const std::uint64_t start = level == below ? 1 : level - below;
    // j + 1 < n rather than j < n - 1: n may be 0.
    for (std::uint64_t j = start; j < levelLimit && j + 1 < samples.size(); ++j)
        if (isLapExtremum(samples, static_cast<std::size_t>(j)))
            return static_cast<int>(j);
    return -1;
}

void harris_lap(const std::vector<DERY*>& responseMaps,
                const std::vector<DERY*>& m11Maps,
                const std::vector<DERY*>& m12Maps,
                const std::vector<DERY*>& m22Maps,
                const std::vector<DERY*>& lapMaps,
                const std::vector<float>& scales,
                std::vector<AffRegion*>& regions, float threshold, int mode)
{
    const ExtractionInput in{responseMaps, m11Maps, m12Maps, m22Maps, lapMaps, scales,
                             threshold, mode};
    const std::size_t n = usableLevels(in);
    if (n < 3)
        return;
    std::vector<Bucket> buckets(n - 1);
    for (std::size_t level = 1; level + 1 < n; ++level)
        collectLevelPoints(in, level, buckets);
    for (std::size_t i = 0; i < buckets.size(); ++i)
        suppressNearDuplicates(buckets, i, scales[i]);
    for (const Bucket& bucket : buckets)
        regions.insert(regions.end(), bucket.begin(), bucket.end());
}
