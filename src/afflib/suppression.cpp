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

bool nearDuplicates(float px, float py, float qx, float qy, float bound)
{
    return std::fabs(static_cast<double>(px) - qx) < bound && std::fabs(static_cast<double>(py) - qy) < bound;
}

bool hasFiniteCentre(const AffRegion& region)
{
    return std::isfinite(region.x) && std::isfinite(region.y);
}

// A square grid over the finite centres of a list of regions, its cells
// numbered row by row and the centres listed cell by cell. A cell is a little
// wider than the bound, so that a pair closer than the bound on both axes
// always lies in the same or adjacent cells despite rounding; cells are wider
// where the regions are sparse, so that there are at most about 24 cells per
// region. Regions without a finite centre are near nothing and stay out of it.
class CentreGrid {
public:
    CentreGrid(const std::vector<AffRegion>& regions, float bound) : bound_(bound)
    {
        double minX = std::numeric_limits<double>::infinity();
        double minY = minX;
        double maxX = -minX;
        double maxY = -minX;
        std::size_t finite = 0;
        for (const AffRegion& r : regions) {
            if (!hasFiniteCentre(r))
                continue;
            ++finite;
            minX = std::min(minX, static_cast<double>(r.x));
            maxX = std::max(maxX, static_cast<double>(r.x));
            minY = std::min(minY, static_cast<double>(r.y));
            maxY = std::max(maxY, static_cast<double>(r.y));
        }
        if (finite == 0)
            return;
        originX_ = minX;
        originY_ = minY;
        const double spanX = maxX - minX;
        const double spanY = maxY - minY;
        const double n = static_cast<double>(finite);
        width_ = std::max({bound * (1.0 + 1.0 / 1024), std::sqrt(spanX * spanY / (16 * n)),
                           std::max(spanX, spanY) / (4 * n)});
        cols_ = cellOf(maxX, originX_, 4 * finite) + 1;
        rows_ = cellOf(maxY, originY_, 4 * finite) + 1;
        listCellByCell(regions, finite);
    }

    // Indices, in list order, of the regions whose centres are closer than
    // the bound to the region's on both axes.
    const std::vector<std::uint32_t>& nearDuplicatesOf(const AffRegion& region)
    {
        found_.clear();
        if (listed_.empty() || !hasFiniteCentre(region))
            return found_;
        const std::size_t col = cellOf(region.x, originX_, cols_);
        const std::size_t row = cellOf(region.y, originY_, rows_);
        const std::size_t firstCol = col == 0 ? 0 : col - 1;
        const std::size_t lastCol = std::min(col + 1, cols_ - 1);
        for (std::size_t r = row == 0 ? 0 : row - 1; r <= row + 1 && r < rows_; ++r) {
            // The cells of a row segment are listed one after the other.
            const std::uint32_t end = cellStart_[r * cols_ + lastCol + 1];
            for (std::uint32_t e = cellStart_[r * cols_ + firstCol]; e < end; ++e)
                if (nearDuplicates(region.x, region.y, listed_[e].x, listed_[e].y, bound_))
                    found_.push_back(listed_[e].index);
        }
        std::sort(found_.begin(), found_.end());
        return found_;
    }

private:
    struct Centre {
        std::uint32_t index;
        float x;
        float y;
    };

    // The cell index along one axis, clamped to [0, last]; a query's centre
    // beyond the grid lands next to the border cells, which hold every
    // region that can be near it.
    std::size_t cellOf(float v, double origin, std::size_t last) const
    {
        const double cell = std::floor((v - origin) / width_);
        return cell > 0 ? static_cast<std::size_t>(std::min(cell, static_cast<double>(last))) : 0;
    }

    std::size_t cellIndexOf(const AffRegion& region) const
    {
        return cellOf(region.y, originY_, rows_ - 1) * cols_ + cellOf(region.x, originX_, cols_ - 1);
    }

    // Counting sort of the finite centres by cell, stable.
    void listCellByCell(const std::vector<AffRegion>& regions, std::size_t finite)
    {
        cellStart_.assign(cols_ * rows_ + 1, 0);
        for (const AffRegion& r : regions)
            if (hasFiniteCentre(r))
                ++cellStart_[cellIndexOf(r) + 1];
        for (std::size_t c = 1; c < cellStart_.size(); ++c)
            cellStart_[c] += cellStart_[c - 1];
        std::vector<std::uint32_t> next(cellStart_.begin(), cellStart_.end() - 1);
        listed_.resize(finite);
        for (std::size_t k = 0; k < regions.size(); ++k)
            if (hasFiniteCentre(regions[k]))
                listed_[next[cellIndexOf(regions[k])]++] = {static_cast<std::uint32_t>(k), regions[k].x, regions[k].y};
    }

    float bound_;
    double originX_ = 0;
    double originY_ = 0;
    double width_ = 1;
    std::size_t cols_ = 0;
    std::size_t rows_ = 0;
    std::vector<std::uint32_t> cellStart_;  // per cell, where its centres start in listed_
    std::vector<Centre> listed_;
    std::vector<std::uint32_t> found_;
};

// The regions of one characteristic scale and which of them are still kept.
struct Bucket {
    std::vector<AffRegion>& regions;
    std::vector<char>& kept;
};

const std::size_t kNotInList = std::numeric_limits<std::size_t>::max();

// Compares the candidate with every kept near duplicate in `others` in list
// order (`self` is the candidate's own index there, if any): a weaker one is
// dropped and the comparison goes on; returns false as soon as one is at
// least as strong.
bool survivesAgainst(const AffRegion& candidate, std::size_t self, Bucket& others, CentreGrid& grid)
{
    for (const std::uint32_t q : grid.nearDuplicatesOf(candidate)) {
        if (q == self || !others.kept[q])
            continue;
        if (!(candidate.response > others.regions[q].response))
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
        const bool survives = survivesAgainst(candidate, p, own, ownGrid)
                           && (next == nullptr || survivesAgainst(candidate, kNotInList, *next, nextGrid));
        if (!survives)
            own.kept[p] = 0;
    }
}

void removeDropped(Bucket bucket)
{
    std::size_t kept = 0;
    for (std::size_t k = 0; k < bucket.regions.size(); ++k)
        if (bucket.kept[k])
            bucket.regions[kept++] = bucket.regions[k];
    bucket.regions.resize(kept);
}

}  // namespace

NearDuplicateThinning::NearDuplicateThinning(std::vector<std::vector<AffRegion>>& buckets,
                                             const std::vector<float>& scales)
    : buckets_(buckets), scales_(scales)
{
    for (const std::vector<AffRegion>& list : buckets)
        kept_.emplace_back(list.size(), 1);
}

void NearDuplicateThinning::thin(std::size_t i)
{
    Bucket own{buckets_[i], kept_[i]};
    if (i < scales_.size() && i + 1 < buckets_.size()) {
        Bucket next{buckets_[i + 1], kept_[i + 1]};
        thinBucket(own, &next, scales_[i]);
    } else if (i < scales_.size()) {
        thinBucket(own, nullptr, scales_[i]);
    }
    removeDropped(own);
}

void suppressNearDuplicates(std::vector<std::vector<AffRegion>>& buckets, const std::vector<float>& scales)
{
    NearDuplicateThinning thinning(buckets, scales);
    for (std::size_t i = 0; i < buckets.size(); ++i)
        thinning.thin(i);
}
