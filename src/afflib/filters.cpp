// Fixed-weight filters: twelve one-dimensional passes (six kernels, each
// horizontal and vertical) and the seven two-dimensional operators built from
// them.
//
// Every pass computes out(p) = sum over t = -K..K of w(t) * in(clamp(p + t)):
// taps outside the line read the edge pixel. Each output is one double sum
// whose products are added in increasing tap offset and rounded to float once,
// so results do not depend on how the loops are arranged. Near an edge the
// outermost taps, which all read the edge pixel, are replaced by one merged
// weight (the kernel's border rule), standing where the first of them would.
#include "afflib.h"
#include "parallel.h"
#include "vector_clones.h"

#include <algorithm>
#include <cstddef>
#include <vector>

namespace {

// Kernel descriptions. w[i] is the weight at offset i - K. At border distance
// d < K from the first (last) pixel of a line, the merged[d] outermost taps on
// that side are replaced by edgeFirst[d] (edgeLast[d]) times the edge pixel.

struct SmoothSqrt2 {  // Gaussian of sigma sqrt(2)
    static constexpr int K = 3;
    static constexpr double w[2 * K + 1] = {0.03, 0.105, 0.222, 0.286, 0.222, 0.105, 0.03};
    static constexpr int merged[K] = {2, 2, 2};  // only the outer pair merges
    static constexpr double edgeFirst[K] = {0.135, 0.135, 0.135};
    static constexpr double edgeLast[K] = {0.135, 0.135, 0.135};
};

struct Smooth9 {  // Gaussian of sigma 2
    static constexpr int K = 4;
    static constexpr double w[2 * K + 1] = {0.0276, 0.0663, 0.1238, 0.1802, 0.2042,
                                            0.1802, 0.1238, 0.0663, 0.0276};
    static constexpr int merged[K] = {5, 4, 3, 2};  // every tap that reads the edge
    static constexpr double edgeFirst[K] = {0.6021, 0.3979, 0.2177, 0.0939};
    static constexpr double edgeLast[K] = {0.6021, 0.3979, 0.2177, 0.0939};
};

struct SecondDerivative9 {  // wide second derivative, 9 non-zero weights
    static constexpr int K = 5;
    static constexpr double w[2 * K + 1] = {0.128, 0.216,  0.216, 0.0,   -0.317, -0.485,
                                            -0.317, 0.0,  0.216, 0.216, 0.128};
    static constexpr int merged[K] = {6, 5, 4, 3, 2};
    // On the edge pixel itself the merged weight is -0.243, not the exact
    // sum -0.242 of the weights it replaces: this makes a constant line give
    // 0 at its two ends.
    static constexpr double edgeFirst[K] = {-0.243, 0.243, 0.56, 0.56, 0.344};
    static constexpr double edgeLast[K] = {-0.243, 0.243, 0.56, 0.56, 0.344};
};

struct FirstDerivative6 {  // derivative of a unit-area Gaussian of sigma 1
    static constexpr int K = 3;
    static constexpr double w[2 * K + 1] = {-0.0133, -0.108, -0.242, 0.0, 0.242, 0.108, 0.0133};
    static constexpr int merged[K] = {2, 2, 2};
    static constexpr double edgeFirst[K] = {-0.1213, -0.1213, -0.1213};
    static constexpr double edgeLast[K] = {0.1213, 0.1213, 0.1213};
};

struct SecondDerivative7 {
    static constexpr int K = 3;
    static constexpr double w[2 * K + 1] = {0.056, 0.1051, -0.0471, -0.2281, -0.0471, 0.1051, 0.056};
    static constexpr int merged[K] = {2, 2, 2};
    static constexpr double edgeFirst[K] = {0.1611, 0.1611, 0.1611};
    static constexpr double edgeLast[K] = {0.1611, 0.1611, 0.1611};
};

struct Smooth5 {  // Gaussian of sigma 1.2; each tap reads its clamped pixel
    static constexpr int K = 2;
    static constexpr double w[2 * K + 1] = {0.0856, 0.2427, 0.3434, 0.2427, 0.0856};
    static constexpr int merged[K] = {1, 1};
    static constexpr double edgeFirst[K] = {0.0856, 0.0856};
    static constexpr double edgeLast[K] = {0.0856, 0.0856};
};

constexpr int kMaxTerms = 11;

// The weighted taps of one output position: out = sum of weight[i] * in(index[i]).
struct Terms {
    int count = 0;
    double weight[kMaxTerms];
    int index[kMaxTerms];
    void add(double w, int q)
    {
        weight[count] = w;
        index[count] = q;
        ++count;
    }
};

inline int clampIndex(int q, int n) { return q < 0 ? 0 : (q > n - 1 ? n - 1 : q); }

// Taps of position p in a line of n pixels, in increasing offset. Interior
// positions give the plain kernel; border positions apply the merged edge
// weights. A line shorter than 2K pixels, where a position can be near both
// ends, reads every tap through the clamp with its own weight.
template <class K>
Terms termsAt(int p, int n)
{
    Terms terms;
    if (n < 2 * K::K) {
        for (int t = -K::K; t <= K::K; ++t)
            if (K::w[t + K::K] != 0.0)
                terms.add(K::w[t + K::K], clampIndex(p + t, n));
        return terms;
    }
    int t = -K::K;
    if (p < K::K) {
        terms.add(K::edgeFirst[p], 0);
        t += K::merged[p];
    }
    const int toLast = n - 1 - p;
    const int lastSingle = toLast < K::K ? K::K - K::merged[toLast] : K::K;
    for (; t <= lastSingle; ++t)
        if (K::w[t + K::K] != 0.0)
            terms.add(K::w[t + K::K], clampIndex(p + t, n));
    if (toLast < K::K)
        terms.add(K::edgeLast[toLast], n - 1);
    return terms;
}

// Rows of an image as a pass sees them: row r (of `height`) is rows[r - first],
// and only the rows a pass reads need to be present.
struct Plane {
    float* const* rows;
    int first;
    int height;
    int width;
    float* row(int r) const { return rows[r - first]; }
};

Plane planeOf(const DERY* image) { return {image->pixels, 0, image->rows, image->cols}; }

// Filters rows [rowBegin, rowEnd) of `in` along each row. The interior loop
// has compile-time weights and no branch, so it vectorises across pixels.
template <class K>
AFFLIB_WIDE_VECTOR_CLONES void horizontalRows(const Plane& in, const Plane& out, int rowBegin, int rowEnd)
{
    const int n = in.width;
    const int interiorEnd = n >= 2 * K::K ? n - K::K : K::K;  // no interior when too short
    // The taps of the border positions depend only on the position.
    int borderPositions[2 * K::K];
    Terms borderTerms[2 * K::K];
    int borders = 0;
    for (int p = 0; p < n; ++p) {
        if (p == K::K && interiorEnd > K::K)
            p = interiorEnd;
        borderPositions[borders] = p;
        borderTerms[borders++] = termsAt<K>(p, n);
    }
    for (int y = rowBegin; y < rowEnd; ++y) {
        const float* __restrict src = in.row(y);
        float* __restrict dst = out.row(y);
        for (int p = K::K; p < interiorEnd; ++p) {
            const float* window = src + p - K::K;
            double s = K::w[0] * static_cast<double>(window[0]);
#pragma GCC unroll 16
            for (int t = 1; t <= 2 * K::K; ++t)
                if (K::w[t] != 0.0)  // zero weights add nothing
                    s += K::w[t] * static_cast<double>(window[t]);
            dst[p] = static_cast<float>(s);
        }
        for (int b = 0; b < borders; ++b) {
            const Terms& terms = borderTerms[b];
            double s = terms.weight[0] * static_cast<double>(src[terms.index[0]]);
            for (int i = 1; i < terms.count; ++i)
                s += terms.weight[i] * static_cast<double>(src[terms.index[i]]);
            dst[borderPositions[b]] = static_cast<float>(s);
        }
    }
}

// Filters output rows [rowBegin, rowEnd) along each column, a whole row at a
// time so that the inner loop runs along contiguous pixels. Reads the input
// rows within K of each output row only.
template <class K>
AFFLIB_WIDE_VECTOR_CLONES void verticalRows(const Plane& in, const Plane& out, int rowBegin, int rowEnd)
{
    const int n = in.height;
    const int width = in.width;
    for (int y = rowBegin; y < rowEnd; ++y) {
        float* __restrict dst = out.row(y);
        if (y >= K::K && y < n - K::K) {
            const float* rows[2 * K::K + 1];
            for (int t = 0; t <= 2 * K::K; ++t)
                rows[t] = in.row(y - K::K + t);
            for (int x = 0; x < width; ++x) {
                double s = K::w[0] * static_cast<double>(rows[0][x]);
#pragma GCC unroll 16
                for (int t = 1; t <= 2 * K::K; ++t)
                    if (K::w[t] != 0.0)
                        s += K::w[t] * static_cast<double>(rows[t][x]);
                dst[x] = static_cast<float>(s);
            }
        } else {
            const Terms terms = termsAt<K>(y, n);
            const float* rows[kMaxTerms];
            for (int i = 0; i < terms.count; ++i)
                rows[i] = in.row(terms.index[i]);
            for (int x = 0; x < width; ++x) {
                double s = terms.weight[0] * static_cast<double>(rows[0][x]);
                for (int i = 1; i < terms.count; ++i)
                    s += terms.weight[i] * static_cast<double>(rows[i][x]);
                dst[x] = static_cast<float>(s);
            }
        }
    }
}

using RowPass = void (*)(const Plane&, const Plane&, int, int);

// One pass of a separable operator: its rows and how far along the columns
// it reads (0 for a pass along the rows).
struct PassStep {
    RowPass rows;
    int reach;
};

template <class K>
PassStep alongRows()
{
    return {horizontalRows<K>, 0};
}

template <class K>
PassStep alongColumns()
{
    return {verticalRows<K>, K::K};
}

// Stripes of output rows: about this many pixels, and enough rows that the
// rows a stripe's second pass reads beyond its own (computed again by the
// neighbouring stripe) stay a small share.
const int kPixelsPerStripe = 1 << 16;
const int kMinStripeRows = 64;

// Two passes, stripe by stripe of output rows: the first pass fills a
// stripe-sized buffer with just the rows the second one reads, so the
// intermediate values stay in cache and no full-size temporary is needed.
// Each value is still rounded to float after each pass.
void separable(PassStep first, PassStep second, DERY* in, DERY* out, WorkerPool& pool)
{
    const int height = in->rows;
    const int width = in->cols;
    if (in == out) {  // the second pass must not overwrite rows the first still reads
        DERY temp(height, width);
        first.rows(planeOf(in), planeOf(&temp), 0, height);
        second.rows(planeOf(&temp), planeOf(out), 0, height);
        return;
    }
    if (height <= 0 || width <= 0)
        return;
    const int stripeRows = std::max(kMinStripeRows, kPixelsPerStripe / width);
    const int stripes = (height + stripeRows - 1) / stripeRows;
    pool.forEach(static_cast<size_t>(stripes), [&](size_t stripe) {
        const int begin = static_cast<int>(stripe) * stripeRows;
        const int end = std::min(height, begin + stripeRows);
        const int low = std::max(0, begin - second.reach);
        const int high = std::min(height, end + second.reach);
        // One buffer per thread, reused from stripe to stripe and call to call.
        thread_local std::vector<float> buffer;
        thread_local std::vector<float*> rows;
        buffer.resize(static_cast<size_t>(high - low) * width);
        rows.resize(static_cast<size_t>(high - low));
        for (int r = low; r < high; ++r)
            rows[r - low] = buffer.data() + static_cast<size_t>(r - low) * width;
        const Plane intermediate{rows.data(), low, height, width};
        first.rows(planeOf(in), intermediate, low, high);
        second.rows(intermediate, planeOf(out), begin, end);
    });
}

}  // namespace

void HorConvSqrt2(DERY* in, DERY* out) { horizontalRows<SmoothSqrt2>(planeOf(in), planeOf(out), 0, in->rows); }
void VerConvSqrt2(DERY* in, DERY* out) { verticalRows<SmoothSqrt2>(planeOf(in), planeOf(out), 0, in->rows); }
void smoothXXH9(DERY* in, DERY* out) { horizontalRows<Smooth9>(planeOf(in), planeOf(out), 0, in->rows); }
void smoothYYV9(DERY* in, DERY* out) { verticalRows<Smooth9>(planeOf(in), planeOf(out), 0, in->rows); }
void DerXXH9(DERY* in, DERY* out) { horizontalRows<SecondDerivative9>(planeOf(in), planeOf(out), 0, in->rows); }
void DerYYV9(DERY* in, DERY* out) { verticalRows<SecondDerivative9>(planeOf(in), planeOf(out), 0, in->rows); }
void DerHConv6(DERY* in, DERY* out) { horizontalRows<FirstDerivative6>(planeOf(in), planeOf(out), 0, in->rows); }
void DerVConv6(DERY* in, DERY* out) { verticalRows<FirstDerivative6>(planeOf(in), planeOf(out), 0, in->rows); }
void DerXXH7(DERY* in, DERY* out) { horizontalRows<SecondDerivative7>(planeOf(in), planeOf(out), 0, in->rows); }
void DerYYV7(DERY* in, DERY* out) { verticalRows<SecondDerivative7>(planeOf(in), planeOf(out), 0, in->rows); }
void HorConv5(DERY* in, DERY* out) { horizontalRows<Smooth5>(planeOf(in), planeOf(out), 0, in->rows); }
void VerConv5(DERY* in, DERY* out) { verticalRows<Smooth5>(planeOf(in), planeOf(out), 0, in->rows); }

void smoothSqrt(DERY* in, DERY* out, WorkerPool& pool)
{
    separable(alongRows<SmoothSqrt2>(), alongColumns<SmoothSqrt2>(), in, out, pool);
}
void dX6(DERY* in, DERY* out, WorkerPool& pool)
{
    separable(alongRows<FirstDerivative6>(), alongColumns<Smooth5>(), in, out, pool);
}
void dY6(DERY* in, DERY* out, WorkerPool& pool)
{
    separable(alongColumns<FirstDerivative6>(), alongRows<Smooth5>(), in, out, pool);
}
void dXX7(DERY* in, DERY* out, WorkerPool& pool)
{
    separable(alongRows<SecondDerivative7>(), alongColumns<Smooth5>(), in, out, pool);
}
void dYY7(DERY* in, DERY* out, WorkerPool& pool)
{
    separable(alongColumns<SecondDerivative7>(), alongRows<Smooth5>(), in, out, pool);
}
void dXX9(DERY* in, DERY* out, WorkerPool& pool)
{
    separable(alongRows<SecondDerivative9>(), alongColumns<Smooth9>(), in, out, pool);
}
void dYY9(DERY* in, DERY* out, WorkerPool& pool)
{
    separable(alongColumns<SecondDerivative9>(), alongRows<Smooth9>(), in, out, pool);
}

void smoothSqrt(DERY* in, DERY* out) { smoothSqrt(in, out, WorkerPool::serial()); }
void dX6(DERY* in, DERY* out) { dX6(in, out, WorkerPool::serial()); }
void dY6(DERY* in, DERY* out) { dY6(in, out, WorkerPool::serial()); }
void dXX7(DERY* in, DERY* out) { dXX7(in, out, WorkerPool::serial()); }
void dYY7(DERY* in, DERY* out) { dYY7(in, out, WorkerPool::serial()); }
void dXX9(DERY* in, DERY* out) { dXX9(in, out, WorkerPool::serial()); }
void dYY9(DERY* in, DERY* out) { dYY9(in, out, WorkerPool::serial()); }
