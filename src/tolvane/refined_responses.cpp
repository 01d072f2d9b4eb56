// Refined-mode response maps: the full Hessian determinant (with the mixed
// derivative) from 13-tap Gaussian derivative kernels, and the contrast
// normalisation of the input.
#include "refined.h"

#include "parallel.h"
#include "vector_clones.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace tolvane {
namespace refined {
namespace {

constexpr int R = kKernelReach;

double gaussianAt(int t) { return std::exp(-t * t / 8.0); }

// Multiplies every weight so that sum t^power w(t) becomes `target`.
void scaleMoment(std::array<double, kKernelTaps>& w, int power, double target)
{
    double moment = 0;
    for (int t = -R; t <= R; ++t)
        moment += std::pow(t, power) * w[t + R];
    for (double& weight : w)
        weight *= target / moment;
}

ResponseKernels makeKernels()
{
    ResponseKernels k;
    double sum = 0;
    double secondMean = 0;
    for (int t = -R; t <= R; ++t) {
        k.smooth[t + R] = gaussianAt(t);
        k.second[t + R] = (t * t / 4.0 - 1) * gaussianAt(t);
        k.first[t + R] = t * gaussianAt(t);
        sum += k.smooth[t + R];
        secondMean += k.second[t + R] / kKernelTaps;
    }
    for (double& w : k.smooth)
        w /= sum;
    for (double& w : k.second)
        w -= secondMean;
    scaleMoment(k.second, 2, 2 * kDerivativeGain);
    scaleMoment(k.first, 1, std::sqrt(kDerivativeGain));
    return k;
}

// A kernel's weights as single floats by distance from the centre: c[0] at
// the centre, c[k] at +k; at -k the same (even) or negated (odd).
struct HalfKernel {
    float c[R + 1];
};

HalfKernel halfOf(const std::array<double, kKernelTaps>& w)
{
    HalfKernel h;
    for (int k = 0; k <= R; ++k)
        h.c[k] = static_cast<float>(w[R + k]);
    return h;
}

// out[x] = sum over t of w(t) * line[t][x], where line[t + R] is the
// sequence of samples at offset t: horizontal passes give shifted pointers
// into one padded row, vertical passes the neighbouring rows. Symmetric
// weights are paired so that each pair costs one product.
AFFLIB_WIDE_VECTOR_CLONES
void evenPass(const float* const* line, const HalfKernel& h, float* __restrict out, int n)
{
    for (int x = 0; x < n; ++x) {
        float s = h.c[0] * line[R][x];
#pragma GCC unroll 8
        for (int k = 1; k <= R; ++k)
            s += h.c[k] * (line[R + k][x] + line[R - k][x]);
        out[x] = s;
    }
}

AFFLIB_WIDE_VECTOR_CLONES
void oddPass(const float* const* line, const HalfKernel& h, float* __restrict out, int n)
{
    for (int x = 0; x < n; ++x) {
        float s = h.c[1] * (line[R + 1][x] - line[R - 1][x]);
#pragma GCC unroll 8
        for (int k = 2; k <= R; ++k)
            s += h.c[k] * (line[R + k][x] - line[R - k][x]);
        out[x] = s;
    }
}

struct Kernels1D {
    HalfKernel smooth = halfOf(responseKernels().smooth);
    HalfKernel second = halfOf(responseKernels().second);
    HalfKernel first = halfOf(responseKernels().first);
};

// Rows of output computed together: about this many pixels.
constexpr int kPixelsPerStripe = 1 << 15;
constexpr int kMinStripeRows = 16;

// Per-thread scratch of one stripe: the three horizontal passes of the rows
// the stripe's vertical passes read, and one padded input row.
struct StripeBuffers {
    std::vector<float> padded;
    std::vector<float> smoothX, secondX, firstX;
    std::vector<float> xx, yy, xy;
};

void horizontalPasses(const DERY& in, const Kernels1D& k, int row, bool mixed, StripeBuffers& b, std::size_t at)
{
    const int n = in.cols;
    const float* src = in.pixels[row];
    std::fill(b.padded.begin(), b.padded.begin() + R, src[0]);
    std::copy(src, src + n, b.padded.begin() + R);
    std::fill(b.padded.begin() + R + n, b.padded.end(), src[n - 1]);
    const float* line[kKernelTaps];
    for (int t = 0; t < kKernelTaps; ++t)
        line[t] = b.padded.data() + t;
    evenPass(line, k.smooth, b.smoothX.data() + at, n);
    evenPass(line, k.second, b.secondX.data() + at, n);
    if (mixed)
        oddPass(line, k.first, b.firstX.data() + at, n);
}

AFFLIB_WIDE_VECTOR_CLONES
void combine(const float* __restrict xx, const float* __restrict yy, const float* __restrict xy,
             float* __restrict det, float* __restrict trace, int n)
{
    for (int x = 0; x < n; ++x) {
        det[x] = static_cast<float>(static_cast<double>(xx[x]) * yy[x] - static_cast<double>(xy[x]) * xy[x]);
        trace[x] = xx[x] + yy[x];
    }
}

AFFLIB_WIDE_VECTOR_CLONES
void addUp(const float* __restrict xx, const float* __restrict yy, float* __restrict trace, int n)
{
    for (int x = 0; x < n; ++x)
        trace[x] = xx[x] + yy[x];
}

// det null: the trace alone.
void stripe(const DERY& in, const Kernels1D& k, int begin, int end, DERY* det, DERY& trace)
{
    const int n = in.cols;
    const int low = std::max(0, begin - R);
    const int high = std::min(in.rows, end + R);
    thread_local StripeBuffers b;
    b.padded.resize(static_cast<std::size_t>(n) + 2 * R);
    const std::size_t size = static_cast<std::size_t>(high - low) * n;
    for (std::vector<float>* v : {&b.smoothX, &b.secondX, &b.firstX})
        v->resize(size);
    for (std::vector<float>* v : {&b.xx, &b.yy, &b.xy})
        v->resize(n);
    for (int r = low; r < high; ++r)
        horizontalPasses(in, k, r, det != nullptr, b, static_cast<std::size_t>(r - low) * n);
    const auto rowsAround = [&](const std::vector<float>& passed, int y, const float* (&line)[kKernelTaps]) {
        for (int t = -R; t <= R; ++t) {
            const int r = std::clamp(y + t, 0, in.rows - 1);
            line[t + R] = passed.data() + static_cast<std::size_t>(r - low) * n;
        }
    };
    for (int y = begin; y < end; ++y) {
        const float* line[kKernelTaps];
        rowsAround(b.secondX, y, line);
        evenPass(line, k.smooth, b.xx.data(), n);
        rowsAround(b.smoothX, y, line);
        evenPass(line, k.second, b.yy.data(), n);
        if (!det) {
            addUp(b.xx.data(), b.yy.data(), trace.pixels[y], n);
            continue;
        }
        rowsAround(b.firstX, y, line);
        oddPass(line, k.first, b.xy.data(), n);
        combine(b.xx.data(), b.yy.data(), b.xy.data(), det->pixels[y], trace.pixels[y], n);
    }
}

// The sum of term(p[i]) over n pixels, in independent partial sums so that
// the additions overlap.
template <typename Term>
double sumOf(const float* p, int n, Term term)
{
    constexpr int kLanes = 8;
    double partial[kLanes] = {};
    int i = 0;
    for (; i + kLanes <= n; i += kLanes)
        for (int k = 0; k < kLanes; ++k)
            partial[k] += term(p[i + k]);
    for (; i < n; ++i)
        partial[0] += term(p[i]);
    double sum = 0;
    for (double s : partial)
        sum += s;
    return sum;
}

}  // namespace

const ResponseKernels& responseKernels()
{
    static const ResponseKernels kernels = makeKernels();
    return kernels;
}

void hessianResponses(DERY* level, DERY* det, DERY* trace, WorkerPool& pool)
{
    static const Kernels1D kernels;
    if (level->rows <= 0 || level->cols <= 0)
        return;
    const int stripeRows = std::max(kMinStripeRows, kPixelsPerStripe / level->cols);
    const int stripes = (level->rows + stripeRows - 1) / stripeRows;
    pool.forEach(static_cast<std::size_t>(stripes), [&](std::size_t s) {
        const int begin = static_cast<int>(s) * stripeRows;
        stripe(*level, kernels, begin, std::min(level->rows, begin + stripeRows), det, *trace);
    });
}

float traceAtPixel(const DERY& level, int col, int row)
{
    static const Kernels1D kernels;
    const HalfKernel& g = kernels.smooth;
    const HalfKernel& w = kernels.second;
    const auto evenSum = [](const HalfKernel& h, const auto& at) {
        float s = h.c[0] * at(0);
        for (int k = 1; k <= R; ++k)
            s += h.c[k] * (at(k) + at(-k));
        return s;
    };
    float smoothX[kKernelTaps];
    float secondX[kKernelTaps];
    for (int t = -R; t <= R; ++t) {
        const float* src = level.pixels[std::clamp(row + t, 0, level.rows - 1)];
        const auto at = [&](int k) { return src[std::clamp(col + k, 0, level.cols - 1)]; };
        smoothX[t + R] = evenSum(g, at);
        secondX[t + R] = evenSum(w, at);
    }
    const float xx = evenSum(g, [&](int t) { return secondX[t + R]; });
    const float yy = evenSum(w, [&](int t) { return smoothX[t + R]; });
    return xx + yy;
}

void normaliseContrast(DERY& image)
{
    const float* p = image.pixels[0];
    const double mean = sumOf(p, image.size, [](double v) { return v; }) / image.size;
    const double sd = std::sqrt(sumOf(p, image.size, [mean](double v) { return (v - mean) * (v - mean); }) / image.size);
    // Below this the image is flat: scaling would only magnify rounding.
    const double flat = 1e-3;
    if (!(sd > flat))
        return;
    const float gain = static_cast<float>(60.0 / sd);
    float* q = image.pixels[0];
    for (int i = 0; i < image.size; ++i)
        q[i] *= gain;
}

}  // namespace refined
}  // namespace tolvane
