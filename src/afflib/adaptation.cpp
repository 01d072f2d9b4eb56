// Affine shape adaptation: the 2x2 matrix helpers, the second moment matrix
// of a patch and the iteration that makes a region's neighbourhood isotropic.
#include "afflib.h"
#include "stages.h"
#include "diagnostics.h"
#include "parallel.h"
#include "vector_clones.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

void invSqrRoot(float& m11, float& m12, float& m22, float& l1, float& l2)
{
    const float t = m11 - m22;
    const double u = 2.0 * m12;
    const double d = std::sqrt(static_cast<double>(t) * t + u * u);
    if (d == 0)
        return;  // a multiple of the identity: no principal axis

    // Unit eigenvector (c, s) of the larger eigenvalue, c >= 0.
    const double c = std::sqrt((t / d + 1.0f) * 0.5f);
    double s = std::sqrt(1.0f - c * c);
    if (static_cast<float>(u / d) < 0)
        s = -s;

    const double larger = m11 * c * c + 2 * m12 * c * s + m22 * s * s;
    const double smaller = m11 * s * s - 2 * m12 * c * s + m22 * c * c;
    if (!(larger >= 0) || !(smaller >= 0)) {  // also catches not-a-number
        reportNegativeEigenvalue();
        return;
    }

    float along = static_cast<float>(1 / std::sqrt(larger));
    float across = static_cast<float>(1 / std::sqrt(smaller));
    const double k = std::sqrt(static_cast<double>(along) * across);
    along = static_cast<float>(along / k);
    across = static_cast<float>(across / k);

    m11 = static_cast<float>(along * c * c + across * s * s);
    m12 = static_cast<float>((static_cast<double>(along) - across) * c * s);
    m22 = static_cast<float>(along * s * s + across * c * c);
    l1 = along;
    l2 = across;
}

void getEigen(float a, float b, float c, float d, float& l1, float& l2)
{
    const double tr = static_cast<double>(a) + d;
    const double disc = tr * tr - 4.0f * (static_cast<double>(a) * d - static_cast<double>(c) * b);
    if (disc < 0) {  // complex pair: a fixed value far beyond any elongation bound
        l1 = 1;
        l2 = 100;
        return;
    }
    l1 = static_cast<float>((tr + std::sqrt(disc)) * 0.5);
    l2 = static_cast<float>((tr - std::sqrt(disc)) * 0.5);
}

// Integration scale of the second moment matrix, in pixels of the image
// measured.
static const float kIntegrationSigma = 1.8f;

void getMi(DERY* image, float& m11, float& m12, float& m22, float x, float y)
{
    DERY gxx(image->rows, image->cols);
    DERY gyy(image->rows, image->cols);
    DERY gxy(image->rows, image->cols);
    dX6(image, &gxx);
    dY6(image, &gyy);
    for (int k = 0; k < image->size; ++k) {
        const float gx = gxx.pixels[0][k];
        const float gy = gyy.pixels[0][k];
        gxx.pixels[0][k] = gx * gx;
        gyy.pixels[0][k] = gy * gy;
        gxy.pixels[0][k] = gx * gy;
    }
    const int ix = static_cast<int>(x);
    const int iy = static_cast<int>(y);
    m11 = smoothf(ix, iy, &gxx, kIntegrationSigma);
    m22 = smoothf(ix, iy, &gyy, kIntegrationSigma);
    m12 = smoothf(ix, iy, &gxy, kIntegrationSigma);
}

namespace {

// The measurement of the adaptation patch at its centre (7, 7). The Gaussian
// window (half-width 5) reads the gradients of rows and columns 2 to 12 only,
// so they are computed there alone, with the arithmetic of dX6 and dY6: the
// 7-weight first derivative along a whole 15-pixel line, rounded to float,
// then the 5-weight smoothing across the lines, which never reaches a border
// on rows and columns 2 to 12. Each sum adds its products in increasing tap
// order and is rounded to float once.
constexpr int kSide = kAdaptationPatchSide;
constexpr int kWindowFirst = 2;   // first row and column the window reads
constexpr int kWindowLast = 12;   // last row and column the window reads
constexpr int kWindowSide = kWindowLast - kWindowFirst + 1;

// The 7-weight first derivative at v along the axis of the given step: at
// the first window position (2) the two outer taps on the low side both read
// the edge pixel and carry one merged weight, at the last (12) those on the
// high side, elsewhere every tap reads its own pixel.
inline float derivativeAtFirst(const float* v, std::ptrdiff_t step)
{
    return static_cast<float>(-0.1213 * v[-2 * step] + -0.242 * v[-step] + 0.242 * v[step]
                              + 0.108 * v[2 * step] + 0.0133 * v[3 * step]);
}

inline float derivativeAtLast(const float* v, std::ptrdiff_t step)
{
    return static_cast<float>(-0.0133 * v[-3 * step] + -0.108 * v[-2 * step] + -0.242 * v[-step]
                              + 0.242 * v[step] + 0.1213 * v[2 * step]);
}

inline float derivativeInside(const float* v, std::ptrdiff_t step)
{
    return static_cast<float>(-0.0133 * v[-3 * step] + -0.108 * v[-2 * step] + -0.242 * v[-step]
                              + 0.242 * v[step] + 0.108 * v[2 * step] + 0.0133 * v[3 * step]);
}

// The 5-weight smoothing centred on v, along the axis of the given step.
inline float smoothedAt(const float* v, std::ptrdiff_t step)
{
    return static_cast<float>(0.0856 * v[-2 * step] + 0.2427 * v[-step] + 0.3434 * v[0]
                              + 0.2427 * v[step] + 0.0856 * v[2 * step]);
}

constexpr int kPatchPixels = kSide * kSide;
// Flat patch positions of the window rows, all columns.
constexpr int kWindowBegin = kWindowFirst * kSide;
constexpr int kWindowEnd = (kWindowLast + 1) * kSide;

// Gradients at flat patch positions of `Lanes` patches side by side: those
// of patch l at p are gx[p * Lanes + l] and gy[p * Lanes + l], meaningful
// where p is a window position (window row and window column).
template <int Lanes>
struct LaneGradients {
    float gx[kPatchPixels * Lanes];
    float gy[kPatchPixels * Lanes];
};
using WindowGradients = LaneGradients<1>;

// Each pass runs over a contiguous range of flat positions, so that it
// vectorises without a remainder per row; positions outside the window get
// values that are never read by the moment sums.
AFFLIB_WIDE_VECTOR_CLONES
void windowGradients(const float* patch, WindowGradients& g)
{
    float alongRows[kPatchPixels];
    float alongColumns[kPatchPixels];
    // Along the rows: the inside form wherever its taps lie in the patch,
    // then the edge forms at the first and last window column of every row.
    // The four corner positions left are read only for columns outside the
    // window.
    alongRows[0] = alongRows[1] = alongRows[kPatchPixels - 2] = alongRows[kPatchPixels - 1] = 0.0f;
    for (int p = 3; p < kPatchPixels - 3; ++p)
        alongRows[p] = derivativeInside(patch + p, 1);
    for (int r = 0; r < kSide; ++r) {
        alongRows[r * kSide + kWindowFirst] = derivativeAtFirst(patch + r * kSide + kWindowFirst, 1);
        alongRows[r * kSide + kWindowLast] = derivativeAtLast(patch + r * kSide + kWindowLast, 1);
    }
    // Along the columns, on the window rows only.
    for (int p = kWindowBegin; p < kWindowBegin + kSide; ++p)
        alongColumns[p] = derivativeAtFirst(patch + p, kSide);
    for (int p = kWindowBegin + kSide; p < kWindowEnd - kSide; ++p)
        alongColumns[p] = derivativeInside(patch + p, kSide);
    for (int p = kWindowEnd - kSide; p < kWindowEnd; ++p)
        alongColumns[p] = derivativeAtLast(patch + p, kSide);
    for (int p = kWindowBegin; p < kWindowEnd; ++p)
        g.gx[p] = smoothedAt(alongRows + p, kSide);
    for (int p = kWindowBegin + 2; p < kWindowEnd - 2; ++p)
        g.gy[p] = smoothedAt(alongColumns + p, 1);
}

// The Gaussian window of the integration sigma as initGauss builds it (the
// same float operations in the same order), held apart from the process-wide
// cache: its weights, row by row, and the float running sum of all of them.
struct IntegrationWindow {
    float weight[kWindowSide][kWindowSide];
    float total;
};

IntegrationWindow makeIntegrationWindow()
{
    const int s = kWindowSide / 2;  // rint(3 * sigma)
    const int m = static_cast<int>(std::rint(5.0f * kIntegrationSigma));
    const float d = static_cast<float>(-2.0 * kIntegrationSigma * kIntegrationSigma);
    float profile[kWindowSide];  // m + 1 <= kWindowSide entries
    for (int i = 0; i <= m; ++i)
        profile[i] = std::exp(static_cast<float>(i * i / static_cast<double>(d)));
    for (int i = 1; i <= m - s && i <= s; ++i)
        profile[s - i] = profile[s - i] + profile[s + i];
    IntegrationWindow window;
    for (int a = 0; a <= s; ++a) {
        for (int b = 0; b <= s; ++b) {
            const float v = profile[b] * profile[a];
            window.weight[s - a][s - b] = window.weight[s + a][s + b] = v;
            window.weight[s - a][s + b] = window.weight[s + a][s - b] = v;
        }
    }
    window.total = 0;
    for (int r = 0; r < kWindowSide; ++r)
        for (int c = 0; c < kWindowSide; ++c)
            window.total = window.total + window.weight[r][c];
    return window;
}

const IntegrationWindow kWindow = makeIntegrationWindow();

// The window sums of the three gradient products of each lane's patch,
// column offsets outer and row offsets inner like convolution(): each lane
// adds its own terms in that order, so that a patch measured beside others
// gets the sums it gets alone, and the lanes' additions, independent of one
// another, share vector instructions.
template <int Lanes>
AFFLIB_WIDE_VECTOR_CLONES void windowMoments(const LaneGradients<Lanes>& g, float* m11, float* m12, float* m22)
{
    double sumXX[Lanes] = {};
    double sumYY[Lanes] = {};
    double sumXY[Lanes] = {};
    for (int c = 0; c < kWindowSide; ++c) {
        for (int r = 0; r < kWindowSide; ++r) {
            const int p = (kWindowFirst + r) * kSide + kWindowFirst + c;
            const double weight = kWindow.weight[r][c];
            for (int l = 0; l < Lanes; ++l) {
                const float gx = g.gx[p * Lanes + l];
                const float gy = g.gy[p * Lanes + l];
                const float xx = gx * gx;
                const float yy = gy * gy;
                const float xy = gx * gy;
                sumXX[l] += weight * xx;
                sumYY[l] += weight * yy;
                sumXY[l] += weight * xy;
            }
        }
    }
    for (int l = 0; l < Lanes; ++l) {
        m11[l] = static_cast<float>(sumXX[l] / kWindow.total);
        m22[l] = static_cast<float>(sumYY[l] / kWindow.total);
        m12[l] = static_cast<float>(sumXY[l] / kWindow.total);
    }
}

}  // namespace

void getPatchMi(DERY* patch, float& m11, float& m12, float& m22)
{
    const int centre = kSide / 2;  // the pixel (7, 7)
    if (patch->rows != kSide || patch->cols != kSide) {
        getMi(patch, m11, m12, m22, centre, centre);
        return;
    }
    WindowGradients g;
    windowGradients(patch->pixels[0], g);
    windowMoments(g, &m11, &m12, &m22);
}

// 0 for an isotropic shape, approaching 1 for a strongly oriented one.
static float anisotropy(float l1, float l2)
{
    return static_cast<float>(1 - static_cast<double>(l2) / l1);
}

static bool tooElongated(float l1, float l2)
{
    const float bound = 6.0f;
    return static_cast<double>(l1) / l2 > bound || static_cast<double>(l2) / l1 > bound;
}

static bool isFinite(const ShapeMatrix& u)
{
    return std::isfinite(u.u11) && std::isfinite(u.u12) && std::isfinite(u.u21)
        && std::isfinite(u.u22);
}

// [[m11, m12], [m12, m22]] * u.
static ShapeMatrix leftMultiply(float m11, float m12, float m22, const ShapeMatrix& u)
{
    const auto dot = [](float a, float b, float c, float d) {
        return static_cast<float>(static_cast<double>(a) * b + static_cast<double>(c) * d);
    };
    return {dot(m11, u.u11, m12, u.u21), dot(m11, u.u12, m12, u.u22),
            dot(m12, u.u11, m22, u.u21), dot(m12, u.u12, m22, u.u22)};
}

static void eigenvalues(const ShapeMatrix& u, float& l1, float& l2)
{
    getEigen(u.u11, u.u12, u.u21, u.u22, l1, l2);
}

namespace {

// One region's adaptation, one measurement at a time: begun from the
// region's shape, then updated with each measurement of the patch through
// shape() while running(). A converged shape is written to the region.
class ShapeAdaptation {
public:
    ShapeAdaptation() = default;

    ShapeAdaptation(AffRegion* region, int maxIterations)
        : region_(region), maxIterations_(maxIterations),
          shape_{region->mi11, region->mi12, region->mi12, region->mi22}
    {
        eigenvalues(shape_, l1_, l2_);
        q_ = anisotropy(l1_, l2_);
        // A shape that is not a finite matrix cannot be resampled through,
        // and would pass every strict test below: such a region is rejected.
        state_ = maxIterations <= 0 || !isFinite(shape_) ? State::Rejected : State::Running;
    }

    bool running() const { return state_ == State::Running; }
    const ShapeMatrix& shape() const { return shape_; }
    // The measurements taken when converged, 0 when rejected.
    int result() const { return state_ == State::Converged ? iterations_ : 0; }

    void update(float m11, float m12, float m22)
    {
        const float isotropyBound = 0.08f;
        const int lastIterationIndex = 15;
        // l1_, l2_ also receive the eigenvalues of each correction; when a
        // measurement is left unchanged by invSqrRoot they keep the shape's.
        invSqrRoot(m11, m12, m22, l2_, l1_);  // l1_ gets the factor >= 1
        const float previousQ = q_;
        q_ = anisotropy(l1_, l2_);
        shape_ = leftMultiply(m11, m12, m22, shape_);
        eigenvalues(shape_, l1_, l2_);
        if (iterations_ > lastIterationIndex || !isFinite(shape_) || tooElongated(l1_, l2_)) {
            state_ = State::Rejected;
            return;
        }
        const bool converged = q_ < isotropyBound && previousQ < isotropyBound;
        ++iterations_;
        if (iterations_ < maxIterations_ && !converged)
            return;
        state_ = State::Converged;
        region_->mi11 = shape_.u11;
        region_->mi12 = shape_.u12;
        region_->mi22 = shape_.u22;
    }

private:
    enum class State { Running, Converged, Rejected };

    AffRegion* region_ = nullptr;
    int maxIterations_ = 0;
    ShapeMatrix shape_{};
    float l1_ = 0;
    float l2_ = 0;
    float q_ = 0;
    int iterations_ = 0;
    State state_ = State::Rejected;
};

// The adaptation iteration with any measurement callable: the detector's own
// patch measurement is called directly, not through a std::function.
template <class Measure>
int adaptShape(AffRegion* region, int maxIterations, Measure&& measure)
{
    ShapeAdaptation adaptation(region, maxIterations);
    while (adaptation.running()) {
        float m11;
        float m12;
        float m22;
        measure(adaptation.shape(), m11, m12, m22);
        adaptation.update(m11, m12, m22);
    }
    return adaptation.result();
}

// Where a region's patches are sampled: its level image and its centre in
// that image's pixels.
struct PatchSource {
    DERY* image;
    float x;
    float y;
};

PatchSource patchSourceOf(const std::vector<DERY*>& levelImages, const std::vector<float>& scales,
                          const AffRegion& region)
{
    return {levelImages[region.level], region.x / scales[region.level], region.y / scales[region.level]};
}

void samplePatch(const PatchSource& source, const ShapeMatrix& u, DERY* patch)
{
    interpolate(source.image, patch, source.x, source.y, u.u11, u.u12, u.u21, u.u22);
}

// One patch for every measurement of the thread: each overwrites it whole.
DERY& threadPatch()
{
    thread_local DERY patch(kAdaptationPatchSide, kAdaptationPatchSide);
    return patch;
}

constexpr int kLanes = 8;

// Adapts regions[0 .. count) with up to kLanes of them side by side, a region
// entering a lane as soon as the one before it there has ended: each lane's
// patch is sampled and differentiated alone, and the window sums of all lanes
// are taken together (windowMoments). iterations[k] receives the result of
// regions[k].
void adaptInLanes(const std::vector<DERY*>& levelImages, const std::vector<float>& scales, AffRegion* const* regions,
                  int* iterations, std::size_t count, int maxIterations)
{
    struct Lane {
        std::size_t index;
        PatchSource source;
        ShapeAdaptation adaptation;
    };
    Lane lanes[kLanes];
    bool occupied[kLanes] = {};
    std::size_t next = 0;
    // Takes the next region that needs a measurement into lane l.
    const auto refill = [&](int l) {
        occupied[l] = false;
        while (next < count && !occupied[l]) {
            const std::size_t k = next++;
            lanes[l] = {k, patchSourceOf(levelImages, scales, *regions[k]), ShapeAdaptation(regions[k], maxIterations)};
            occupied[l] = lanes[l].adaptation.running();
            if (!occupied[l])
                iterations[k] = lanes[l].adaptation.result();
        }
    };
    for (int l = 0; l < kLanes; ++l)
        refill(l);
    DERY& patch = threadPatch();
    LaneGradients<kLanes> lane{};  // lanes left empty add zeros
    WindowGradients one;
    for (;;) {
        bool any = false;
        for (int l = 0; l < kLanes; ++l) {
            if (!occupied[l])
                continue;
            any = true;
            samplePatch(lanes[l].source, lanes[l].adaptation.shape(), &patch);
            windowGradients(patch.pixels[0], one);
            for (int r = kWindowFirst; r <= kWindowLast; ++r) {
                for (int c = kWindowFirst; c <= kWindowLast; ++c) {
                    const int p = r * kSide + c;
                    lane.gx[p * kLanes + l] = one.gx[p];
                    lane.gy[p * kLanes + l] = one.gy[p];
                }
            }
        }
        if (!any)
            return;
        float m11[kLanes];
        float m12[kLanes];
        float m22[kLanes];
        windowMoments(lane, m11, m12, m22);
        for (int l = 0; l < kLanes; ++l) {
            if (!occupied[l])
                continue;
            lanes[l].adaptation.update(m11[l], m12[l], m22[l]);
            if (!lanes[l].adaptation.running()) {
                iterations[lanes[l].index] = lanes[l].adaptation.result();
                refill(l);
            }
        }
    }
}

}  // namespace

int adaptRegionShape(AffRegion* region, int maxIterations, const ShapeMeasurement& measure)
{
    return adaptShape(region, maxIterations, measure);
}

int fastfindAffineRegion(const std::vector<DERY*>& levelImages,
                         const std::vector<DERY*>& /* auxMaps: not read */,
                         const std::vector<float>& scales,
                         AffRegion* region, int maxIterations)
{
    const PatchSource source = patchSourceOf(levelImages, scales, *region);
    DERY& patch = threadPatch();
    const auto measurePatch = [&](const ShapeMatrix& u, float& m11, float& m12, float& m22) {
        samplePatch(source, u, &patch);
        getPatchMi(&patch, m11, m12, m22);
    };
    return adaptShape(region, maxIterations, measurePatch);
}

void findAffineRegion(const std::vector<DERY*>& levelImages,
                      const std::vector<DERY*>& /* auxMaps: not read */,
                      const std::vector<float>& scales,
                      std::vector<AffRegion*>& regions, int maxIterations, int threads)
{
    if (regions.empty())
        return;
    // Regions are adapted independently, each writing only its own record
    // and result slot; the rejected ones then leave the list in list order.
    std::vector<int> iterations(regions.size());
    const std::size_t perTask = 128;
    WorkerPool pool(threads);
    pool.forEach((regions.size() + perTask - 1) / perTask, [&](std::size_t task) {
        const std::size_t first = task * perTask;
        adaptInLanes(levelImages, scales, regions.data() + first, iterations.data() + first,
                     std::min(perTask, regions.size() - first), maxIterations);
    });
    std::size_t kept = 0;
    for (std::size_t k = 0; k < regions.size(); ++k) {
        if (iterations[k] == 0)
            delete regions[k];
        else
            regions[kept++] = regions[k];
    }
    regions.resize(kept);
}
