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

#include <cstddef>

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

// Interior sum with compile-time weights; tap[t] is the pixel at offset t - K.
// Zero weights are left out (they add nothing).
template <class K, class Tap>
inline double kernelSum(Tap tap)
{
    double s = K::w[0] * static_cast<double>(tap(0));
#pragma GCC unroll 16
    for (int t = 1; t <= 2 * K::K; ++t)
        if (K::w[t] != 0.0)
            s += K::w[t] * static_cast<double>(tap(t));
    return s;
}

template <class Tap>
inline double termSum(const Terms& terms, Tap tap)
{
    double s = terms.weight[0] * static_cast<double>(tap(terms.index[0]));
    for (int i = 1; i < terms.count; ++i)
        s += terms.weight[i] * static_cast<double>(tap(terms.index[i]));
    return s;
}

// Filters along each row.
template <class K>
void horizontalPass(const DERY* in, DERY* out)
{
    const int n = in->cols;
    const int interiorEnd = n >= 2 * K::K ? n - K::K : K::K;  // no interior when too short
    const int firstBorderEnd = n < K::K ? n : K::K;
    for (int y = 0; y < in->rows; ++y) {
        const float* src = in->pixels[y];
        float* dst = out->pixels[y];
        auto border = [src, dst, n](int p) {
            const Terms terms = termsAt<K>(p, n);
            dst[p] = static_cast<float>(termSum(terms, [src](int q) { return src[q]; }));
        };
        for (int p = 0; p < firstBorderEnd; ++p)
            border(p);
        for (int p = K::K; p < interiorEnd; ++p) {
            const float* window = src + p - K::K;
            dst[p] = static_cast<float>(kernelSum<K>([window](int t) { return window[t]; }));
        }
        for (int p = interiorEnd; p < n; ++p)
            border(p);
    }
}

// Filters along each column, one output row at a time so that the inner loop
// runs along contiguous pixels.
template <class K>
void verticalPass(const DERY* in, DERY* out)
{
    const int n = in->rows;
    const int width = in->cols;
    for (int y = 0; y < n; ++y) {
        float* dst = out->pixels[y];
        const bool interior = y >= K::K && y < n - K::K && n >= 2 * K::K;
        if (interior) {
            const float* const* rows = in->pixels + (y - K::K);
            for (int x = 0; x < width; ++x)
                dst[x] = static_cast<float>(kernelSum<K>([rows, x](int t) { return rows[t][x]; }));
        } else {
            const Terms terms = termsAt<K>(y, n);
            float* const* rows = in->pixels;
            for (int x = 0; x < width; ++x)
                dst[x] = static_cast<float>(termSum(terms, [rows, x](int q) { return rows[q][x]; }));
        }
    }
}

// Two passes through a temporary image; `out` may be `in`.
template <void (*First)(DERY*, DERY*), void (*Second)(DERY*, DERY*)>
void separable(DERY* in, DERY* out)
{
    DERY temp(in->rows, in->cols);
    First(in, &temp);
    Second(&temp, out);
}

}  // namespace

void HorConvSqrt2(DERY* in, DERY* out) { horizontalPass<SmoothSqrt2>(in, out); }
void VerConvSqrt2(DERY* in, DERY* out) { verticalPass<SmoothSqrt2>(in, out); }
void smoothXXH9(DERY* in, DERY* out) { horizontalPass<Smooth9>(in, out); }
void smoothYYV9(DERY* in, DERY* out) { verticalPass<Smooth9>(in, out); }
void DerXXH9(DERY* in, DERY* out) { horizontalPass<SecondDerivative9>(in, out); }
void DerYYV9(DERY* in, DERY* out) { verticalPass<SecondDerivative9>(in, out); }
void DerHConv6(DERY* in, DERY* out) { horizontalPass<FirstDerivative6>(in, out); }
void DerVConv6(DERY* in, DERY* out) { verticalPass<FirstDerivative6>(in, out); }
void DerXXH7(DERY* in, DERY* out) { horizontalPass<SecondDerivative7>(in, out); }
void DerYYV7(DERY* in, DERY* out) { verticalPass<SecondDerivative7>(in, out); }
void HorConv5(DERY* in, DERY* out) { horizontalPass<Smooth5>(in, out); }
void VerConv5(DERY* in, DERY* out) { verticalPass<Smooth5>(in, out); }

void smoothSqrt(DERY* in, DERY* out) { separable<HorConvSqrt2, VerConvSqrt2>(in, out); }
void dX6(DERY* in, DERY* out) { separable<DerHConv6, VerConv5>(in, out); }
void dY6(DERY* in, DERY* out) { separable<DerVConv6, HorConv5>(in, out); }
void dXX7(DERY* in, DERY* out) { separable<DerXXH7, VerConv5>(in, out); }
void dYY7(DERY* in, DERY* out) { separable<DerYYV7, HorConv5>(in, out); }
void dXX9(DERY* in, DERY* out) { separable<DerXXH9, smoothYYV9>(in, out); }
void dYY9(DERY* in, DERY* out) { separable<DerYYV9, smoothXXH9>(in, out); }
