// Refined-mode region stages: sub-pixel position, shape adaptation in patch
// coordinates, duplicate removal and the region ellipse.
#include "refined.h"

#include "parallel.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <unordered_map>

namespace tolvane {
namespace refined {
namespace {

float clampUnit(double v) { return static_cast<float>(std::clamp(v, -1.0, 1.0)); }

// The exact mode's convergence test and iteration limit.
constexpr float kIsotropyBound = 0.08f;
constexpr int kLastIterationIndex = 15;
constexpr double kMaxElongation = 6;

bool positiveDefinite(float m11, float m12, float m22)
{
    return m11 > 0 && static_cast<double>(m11) * m22 - static_cast<double>(m12) * m12 > 0;
}

// The correction (det mu)^(1/4) mu^(-1/2) of a positive definite measurement,
// in place, and its anisotropy 1 - l2 / l1 (its eigenvalues l1 >= l2).
float correctionOf(float& m11, float& m12, float& m22)
{
    if (m12 == 0 && m11 == m22) {  // isotropic already
        m11 = m22 = 1;
        return 0;
    }
    float larger = 1;
    float smaller = 1;
    invSqrRoot(m11, m12, m22, smaller, larger);
    return static_cast<float>(1 - static_cast<double>(smaller) / larger);
}

ShapeMatrix rightMultiply(const ShapeMatrix& u, float m11, float m12, float m22)
{
    const auto dot = [](float a, float b, float c, float d) {
        return static_cast<float>(static_cast<double>(a) * b + static_cast<double>(c) * d);
    };
    return {dot(u.u11, m11, u.u12, m12), dot(u.u11, m12, u.u12, m22), dot(u.u21, m11, u.u22, m12),
            dot(u.u21, m12, u.u22, m22)};
}

// Whether the ratio r of U's singular values exceeds the bound: r + 1/r is
// the sum of U's squared entries over |det U|.
bool tooElongated(const ShapeMatrix& u)
{
    const double squares = static_cast<double>(u.u11) * u.u11 + static_cast<double>(u.u12) * u.u12 +
                           static_cast<double>(u.u21) * u.u21 + static_cast<double>(u.u22) * u.u22;
    const double det = std::fabs(static_cast<double>(u.u11) * u.u22 - static_cast<double>(u.u12) * u.u21);
    return !(squares <= (kMaxElongation + 1 / kMaxElongation) * det);  // also catches not-a-number
}

// Spatial hash of kept regions for duplicate removal. Scales fall into bands
// of width ln 1.25, so that a duplicate lies in the same or a neighbouring
// band; each band has its own grid, with cells at least as wide as the
// largest search radius any query into it can have.
constexpr double kScaleBand = 1.25;

class DuplicateGrid {
public:
    explicit DuplicateGrid(const std::vector<Placement>& places)
        : places_(places), bands_(places.size()), next_(places.size(), kNone)
    {
        for (std::size_t i = 0; i < places.size(); ++i)
            bands_[i] = bandOf(places[i].scale);
        if (places.empty())
            return;
        lowestBand_ = *std::min_element(bands_.begin(), bands_.end()) - 1;
        const int highestBand = *std::max_element(bands_.begin(), bands_.end()) + 1;
        for (int b = lowestBand_; b <= highestBand; ++b)
            cellWidths_.push_back(0.5 * std::pow(kScaleBand, b + 2));
        cells_.reserve(places.size());
    }

    bool hasDuplicate(std::size_t i) const
    {
        const Placement& p = places_[i];
        const int band = bands_[i];
        for (int b = band - 1; b <= band + 1; ++b) {
            const long cx = cellOf(p.x, b);
            const long cy = cellOf(p.y, b);
            for (long dy = -1; dy <= 1; ++dy)
                for (long dx = -1; dx <= 1; ++dx) {
                    const auto cell = cells_.find(key(b, cx + dx, cy + dy));
                    if (cell == cells_.end())
                        continue;
                    for (std::size_t j = cell->second; j != kNone; j = next_[j])
                        if (duplicates(p, places_[j]))
                            return true;
                }
        }
        return false;
    }

    void add(std::size_t i)
    {
        const Placement& p = places_[i];
        const int b = bands_[i];
        const auto inserted = cells_.try_emplace(key(b, cellOf(p.x, b), cellOf(p.y, b)), i);
        if (!inserted.second) {
            next_[i] = inserted.first->second;
            inserted.first->second = i;
        }
    }

private:
    static bool duplicates(const Placement& p, const Placement& q)
    {
        const double radius = 0.5 * std::max(p.scale, q.scale);
        const double dx = static_cast<double>(p.x) - q.x;
        const double dy = static_cast<double>(p.y) - q.y;
        return dx * dx + dy * dy <= radius * radius &&
               std::fabs(std::log(static_cast<double>(p.scale) / q.scale)) < std::log(kScaleBand);
    }
    static int bandOf(float scale) { return static_cast<int>(std::floor(std::log(scale) / std::log(kScaleBand))); }
    // Scales of band b are below 1.25^(b+1); a query from band b - 1 or b + 1
    // searches at most 0.5 * 1.25^(b+2).
    long cellOf(float coordinate, int band) const
    {
        return static_cast<long>(std::floor(coordinate / cellWidths_[static_cast<std::size_t>(band - lowestBand_)]));
    }
    static std::uint64_t key(int band, long cx, long cy)
    {
        return (static_cast<std::uint64_t>(static_cast<std::uint16_t>(band)) << 48) ^
               (static_cast<std::uint64_t>(static_cast<std::uint32_t>(cx) & 0xffffff) << 24) ^
               (static_cast<std::uint64_t>(static_cast<std::uint32_t>(cy) & 0xffffff));
    }

    const std::vector<Placement>& places_;
    std::vector<int> bands_;
    int lowestBand_ = 0;
    std::vector<double> cellWidths_;  // of bands lowestBand_, lowestBand_ + 1, ...
    // Each cell's regions as a list: the last one added, then next_ of it.
    static constexpr std::size_t kNone = static_cast<std::size_t>(-1);
    std::unordered_map<std::uint64_t, std::size_t> cells_;
    std::vector<std::size_t> next_;
};

}  // namespace

Offset subPixelOffset(const float (&v)[3][3])
{
    const double gx = (static_cast<double>(v[1][2]) - v[1][0]) / 2;
    const double gy = (static_cast<double>(v[2][1]) - v[0][1]) / 2;
    const double hxx = static_cast<double>(v[1][2]) + v[1][0] - 2.0 * v[1][1];
    const double hyy = static_cast<double>(v[2][1]) + v[0][1] - 2.0 * v[1][1];
    const double hxy = (static_cast<double>(v[2][2]) - v[2][0] - v[0][2] + v[0][0]) / 4;
    const double det = hxx * hyy - hxy * hxy;
    if (!(hxx < 0 && det > 0))
        return {};
    // -H^-1 g
    return {clampUnit(-(hyy * gx - hxy * gy) / det), clampUnit(-(hxx * gy - hxy * gx) / det)};
}

int adaptShape(ShapeMatrix& shape, int maxIterations, const ShapeMeasurement& measure)
{
    float q = 0;  // the identity start is isotropic
    int i = 0;
    bool converged = false;
    do {
        float m11;
        float m12;
        float m22;
        measure(shape, m11, m12, m22);
        if (!positiveDefinite(m11, m12, m22))
            return 0;
        const float previousQ = q;
        q = correctionOf(m11, m12, m22);
        shape = rightMultiply(shape, m11, m12, m22);
        if (i > kLastIterationIndex || tooElongated(shape))
            return 0;
        converged = q < kIsotropyBound && previousQ < kIsotropyBound;
        ++i;
    } while (i < maxIterations && !converged);
    return i;
}

std::vector<bool> distinctRegions(const std::vector<Placement>& places)
{
    std::vector<std::size_t> order(places.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t i, std::size_t j) { return places[i].response > places[j].response; });
    std::vector<bool> kept(places.size(), false);
    DuplicateGrid grid(places);
    for (std::size_t i : order) {
        if (grid.hasDuplicate(i))
            continue;
        kept[i] = true;
        grid.add(i);
    }
    return kept;
}

std::vector<Outcome> adaptDistinct(const std::vector<Placement>& places, const std::function<bool(std::size_t)>& adapt,
                                   WorkerPool& pool)
{
    enum State : char { Waiting, Adapted, Rejected };
    std::vector<State> state(places.size(), Waiting);
    for (;;) {
        std::vector<std::size_t> candidates;
        std::vector<Placement> candidatePlaces;
        for (std::size_t k = 0; k < places.size(); ++k)
            if (state[k] != Rejected) {
                candidates.push_back(k);
                candidatePlaces.push_back(places[k]);
            }
        const std::vector<bool> distinct = distinctRegions(candidatePlaces);
        std::vector<std::size_t> waiting;
        for (std::size_t i = 0; i < candidates.size(); ++i)
            if (distinct[i] && state[candidates[i]] == Waiting)
                waiting.push_back(candidates[i]);
        if (waiting.empty()) {
            std::vector<Outcome> outcome(places.size(), Outcome::Rejected);
            for (std::size_t i = 0; i < candidates.size(); ++i)
                outcome[candidates[i]] = distinct[i] ? Outcome::Kept : Outcome::Duplicate;
            return outcome;
        }
        pool.forEach(waiting.size(),
                     [&](std::size_t i) { state[waiting[i]] = adapt(waiting[i]) ? Adapted : Rejected; });
    }
}

bool refinedEllipse(float scale, const std::array<float, 4>& u, double& a, double& b, double& c)
{
    const double s2 = static_cast<double>(scale) * scale * kPatchRadius * kPatchRadius;
    const double p11 = s2 * (static_cast<double>(u[0]) * u[0] + static_cast<double>(u[1]) * u[1]);
    const double p12 = s2 * (static_cast<double>(u[0]) * u[2] + static_cast<double>(u[1]) * u[3]);
    const double p22 = s2 * (static_cast<double>(u[2]) * u[2] + static_cast<double>(u[3]) * u[3]);
    const double det = p11 * p22 - p12 * p12;
    if (!(det > 0) || !std::isfinite(det))
        return false;
    a = p22 / det;
    b = -p12 / det;
    c = p11 / det;
    return std::isfinite(a) && std::isfinite(b) && std::isfinite(c);
}

}  // namespace refined
}  // namespace tolvane
