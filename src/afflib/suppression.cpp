// Near-duplicate thinning of the extracted points, bucket by bucket of
// characteristic scale, through a grid over the region centres so that each
// region meets only its neighbours.
#include "stages.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

namespace {

bool nearDuplicates(const AffRegion& p, const AffRegion& q, float bound)
{
    return std::fabs(static_cast<double>(p.x) - q.x) < bound
        && std::fabs(static_cast<double>(p.y) - q.y) < bound;
}

bool hasFiniteCentre(const AffRegion& region)
{
    return std::isfinite(region.x) && std::isfinite(region.y);
}

// A square grid over the finite centres of a list of regions. A cell is a
// little wider than the bound, so that a pair closer than the bound on both
// axes always lies in the same or adjacent cells despite rounding; regions
// without a finite centre are near nothing and stay out of it.
class CentreGrid {
public:
    CentreGrid(const std::vector<AffRegion>& regions, float bound)
    {
        double minX = std::numeric_limits<double>::infinity();
        double minY = minX;
        double maxX = -minX;
        double maxY = -minX;
        for (const AffRegion& r : regions) {
            if (!hasFiniteCentre(r))
                continue;
            minX = std::min(minX, static_cast<double>(r.x));
            maxX = std::max(maxX, static_cast<double>(r.x));
            minY = std::min(minY, static_cast<double>(r.y));
            maxY = std::max(maxY, static_cast<double>(r.y));
        }
        originX_ = minX;
        originY_ = minY;
        // At most kMaxCells cells per side, so that cell keys stay small
        // whatever the spread of the centres.
        width_ = std::max({bound * (1.0 + 1.0 / 1024), (maxX - minX) / kMaxCells, (maxY - minY) / kMaxCells});
        for (std::size_t k = 0; k < regions.size(); ++k)
            if (hasFiniteCentre(regions[k]))
                entries_.push_back({keyOf(cellOf(regions[k].x, originX_), cellOf(regions[k].y, originY_)),
                                    static_cast<std::uint32_t>(k)});
        std::sort(entries_.begin(), entries_.end(),
                  [](const Entry& a, const Entry& b) { return a.key < b.key || (a.key == b.key && a.index < b.index); });
    }

    // Indices, in list order, of the regions in the cell of (x, y) and the
    // eight around it: every region that can be a near duplicate of it.
    const std::vector<std::uint32_t>& neighboursOf(const AffRegion& region)
    {
        found_.clear();
        if (!hasFiniteCentre(region))
            return found_;
        const std::int64_t col = cellOf(region.x, originX_);
        const std::int64_t row = cellOf(region.y, originY_);
        for (std::int64_t r = row - 1; r <= row + 1; ++r) {
            const auto first = std::lower_bound(entries_.begin(), entries_.end(), keyOf(col - 1, r),
                                                [](const Entry& e, std::int64_t key) { return e.key < key; });
            for (auto e = first; e != entries_.end() && e->key <= keyOf(col + 1, r); ++e)
                found_.push_back(e->index);
        }
        std::sort(found_.begin(), found_.end());
        return found_;
    }

private:
    static constexpr double kMaxCells = 1 << 20;
    // Cells are numbered from 1 so that the neighbours of cell 0 .. kMaxCells
    // have non-negative numbers too.
    static constexpr std::int64_t kStride = (1 << 20) + 3;

    struct Entry {
        std::int64_t key;
        std::uint32_t index;
    };

    // Not-a-number (a spread too wide for double) puts everything in one cell.
    std::int64_t cellOf(float v, double origin) const
    {
        const double cell = std::floor((v - origin) / width_);
        return 1 + static_cast<std::int64_t>(cell > 0 ? std::min(cell, kMaxCells) : 0);
    }

    static std::int64_t keyOf(std::int64_t col, std::int64_t row) { return row * kStride + col; }

    double originX_;
    double originY_;
    double width_;
    std::vector<Entry> entries_;
    std::vector<std::uint32_t> found_;
};

// The regions of one characteristic scale and which of them are still kept.
struct Bucket {
    explicit Bucket(std::vector<AffRegion>& list) : regions(list), kept(list.size(), 1) {}

    std::vector<AffRegion>& regions;
    std::vector<char> kept;
};

const std::size_t kNotInList = std::numeric_limits<std::size_t>::max();

// Compares the candidate with every kept near duplicate of `others` in list
// order (`self` is the candidate's own index there, if any): a weaker one is
// dropped and the comparison goes on; returns false as soon as one is at
// least as strong.
bool survivesAgainst(const AffRegion& candidate, std::size_t self, Bucket& others, CentreGrid& grid, float bound)
{
    for (const std::uint32_t q : grid.neighboursOf(candidate)) {
        const AffRegion& other = others.regions[q];
        if (q == self || !others.kept[q] || !nearDuplicates(candidate, other, bound))
            continue;
        if (!(candidate.response > other.response))
            return false;
        others.kept[q] = 0;
    }
    return true;
}

// Thins `own` against itself and then against `next` (if any), candidate by
// candidate in list order. The candidate loses on equal responses.
void thinBucket(Bucket& own, Bucket* next, float bound)
{
    if (!(bound > 0))
        return;  // no distance is below such a bound
    const std::vector<AffRegion> none;
    CentreGrid ownGrid(own.regions, bound);
    CentreGrid nextGrid(next ? next->regions : none, bound);
    for (std::size_t p = 0; p < own.regions.size(); ++p) {
        if (!own.kept[p])
            continue;
        const AffRegion& candidate = own.regions[p];
        const bool survives = survivesAgainst(candidate, p, own, ownGrid, bound)
                           && (next == nullptr || survivesAgainst(candidate, kNotInList, *next, nextGrid, bound));
        if (!survives)
            own.kept[p] = 0;
    }
}

void removeDropped(Bucket& bucket)
{
    std::size_t kept = 0;
    for (std::size_t k = 0; k < bucket.regions.size(); ++k)
        if (bucket.kept[k])
            bucket.regions[kept++] = bucket.regions[k];
    bucket.regions.resize(kept);
}

}  // namespace

void suppressNearDuplicates(std::vector<std::vector<AffRegion>>& buckets, const std::vector<float>& scales)
{
    std::vector<Bucket> marked;
    marked.reserve(buckets.size());
    for (std::vector<AffRegion>& list : buckets)
        marked.emplace_back(list);
    for (std::size_t i = 0; i < marked.size() && i < scales.size(); ++i)
        thinBucket(marked[i], i + 1 < marked.size() ? &marked[i + 1] : nullptr, scales[i]);
    for (Bucket& bucket : marked)
        removeDropped(bucket);
}
