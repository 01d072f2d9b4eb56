#include "smoothed_pyramid.h"

#include "vector_path.h"
#include "wide_intrinsics.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace tolvane {
namespace detail {
namespace {

// Blur added to go from kBaseBlur to the next level's sqrt(2) kBaseBlur, and
// from there to 2 kBaseBlur, in pixels of the level (whose own blur is kBaseBlur).
const float kFirstStepBlur = SmoothedPyramid::kBaseBlur;
const float kSecondStepBlur = SmoothedPyramid::kBaseBlur * std::sqrt(2.0f);
constexpr int kMinSide = 4;

constexpr int kMaxFactor = 16;
// The blur added on the sampling grid, in output steps, is at most this much.
constexpr float kMaxBlurSteps = 4.0f;
// Blurs below this many pixels are left out.
constexpr float kNegligibleBlur = 0.05f;

std::vector<float> gaussianKernel(float sigma)
{
    if (sigma < kNegligibleBlur)
        return {1.0f};
    const int radius = std::max(1, static_cast<int>(std::ceil(3.0f * sigma)));
    std::vector<float> kernel(2 * radius + 1);
    float sum = 0;
    for (int k = -radius; k <= radius; ++k) {
        kernel[k + radius] = std::exp(-0.5f * static_cast<float>(k * k) / (sigma * sigma));
        sum += kernel[k + radius];
    }
    for (float& w : kernel)
        w /= sum;
    return kernel;
}

// `in` blurred by `kernel` along its columns, then along its rows (the
// border pixels repeated outwards), at every kStep-th pixel of every
// kStep-th row, starting with the first. One row at a time: no intermediate
// plane.
template <int kStep>
TOLVANE_ALWAYS_INLINE void blurInto(const Plane& in, const std::vector<float>& kernel, Plane& out)
{
    const int radius = static_cast<int>(kernel.size() / 2);
    // One row blurred along the columns, with `radius` copies of its end values on either side.
    std::vector<float> padded(in.width + 2 * radius);
    float* row = padded.data() + radius;
    for (int y = 0; y < out.height; ++y) {
        std::fill(row, row + in.width, 0.0f);
        for (int k = -radius; k <= radius; ++k) {
            const int source = std::clamp(kStep * y + k, 0, in.height - 1);
            const float* p = &in.pixels[static_cast<std::size_t>(source) * in.width];
            const float w = kernel[k + radius];
            for (int x = 0; x < in.width; ++x)
                row[x] += w * p[x];
        }
        std::fill(padded.begin(), padded.begin() + radius, row[0]);
        std::fill(padded.end() - radius, padded.end(), row[in.width - 1]);
        float* o = &out.pixels[static_cast<std::size_t>(y) * out.width];
        std::fill(o, o + out.width, 0.0f);
        for (std::size_t k = 0; k < kernel.size(); ++k) {
            const float w = kernel[k];
            const float* p = padded.data() + k;
            for (int x = 0; x < out.width; ++x)
                o[x] += w * p[kStep * x];
        }
    }
}

TOLVANE_VECTOR_VARIANTS(blurOnePixelApart, blurInto<1>)
TOLVANE_VECTOR_VARIANTS(blurTwoPixelsApart, blurInto<2>)

template <int kStep>
Plane blurred(const Plane& in, const std::vector<float>& kernel)
{
    Plane out{(in.width + kStep - 1) / kStep, (in.height + kStep - 1) / kStep, {}};
    out.pixels.resize(static_cast<std::size_t>(out.width) * out.height);
    if (kStep == 1)
        blurOnePixelApart(in, kernel, out);
    else
        blurTwoPixelsApart(in, kernel, out);
    return out;
}

Plane planeOf(const ImageView& image)
{
    Plane plane{image.width, image.height, Plane::Pixels(static_cast<std::size_t>(image.width) * image.height)};
    for (int y = 0; y < image.height; ++y) {
        const auto* row = static_cast<const unsigned char*>(image.pixels) + static_cast<std::ptrdiff_t>(y) * image.stride;
        float* out = &plane.pixels[static_cast<std::size_t>(y) * image.width];
        if (image.type == PixelType::UInt8)
            std::copy(row, row + image.width, out);
        else
            std::copy_n(reinterpret_cast<const float*>(row), image.width, out);
    }
    return plane;
}

float blurOfLevel(int level)
{
    return SmoothedPyramid::kBaseBlur * std::pow(2.0f, 0.5f * static_cast<float>(level));
}

// How one axis of an isotropic sampling grid is made: `factor` samples per
// output step, blurred by `kernel` (in those samples) before keeping every
// factor-th, starting `margin` samples in.
struct AxisPlan {
    int factor;
    int margin;
    std::vector<float> kernel;
    int samples(int side) const { return (side - 1) * factor + 2 * margin + 1; }
};

// `length`: input pixels per unit of the axis; `levelBlur`: the level's blur
// in input pixels, `sampledBlur` that with the interpolation's; `step` and
// `blur` in units of the axis.
AxisPlan planAxis(float length, float levelBlur, float sampledBlur, float step, float blur)
{
    // Samples no further apart than twice the level's blur do not alias.
    // Only a region far larger than the image (whose coarsest level is then
    // too sharp for it) needs more than kMaxFactor; it samples a near-constant
    // image, and the bound keeps its cost bounded.
    const float wanted = std::ceil(step * length / (2.0f * levelBlur));
    const int factor = wanted < kMaxFactor ? std::max(1, static_cast<int>(wanted)) : kMaxFactor;
    const float levelBlurHere = sampledBlur / length;
    const float rest = std::sqrt(std::max(0.0f, blur * blur - levelBlurHere * levelBlurHere));
    std::vector<float> kernel =
        gaussianKernel(std::min(rest / step, kMaxBlurSteps) * static_cast<float>(factor));
    const int margin = static_cast<int>(kernel.size() / 2);
    return {factor, margin, std::move(kernel)};
}

// Columns of a sampling grid stored by phase: each row holds the columns p,
// p + phases, p + 2 phases, ... for p = 0 to phases - 1, each phase
// `length` values long, so that keeping every phases-th column after a blur
// reads contiguous values.
struct PhaseLayout {
    int phases;
    int length;
    PhaseLayout(int cols, int phases) : phases(phases), length((cols + phases - 1) / phases) {}
    int rowLength() const { return phases * length; }
};

// Bilinear samples of `plane` on the grid (in its pixels), border values
// outside, each row in the order of `layout`.
TOLVANE_ALWAYS_INLINE void sampleBilinearBody(const Plane& plane, const SampleGrid& grid, const PhaseLayout& layout,
                                              float* __restrict out)
{
    const float maxX = static_cast<float>(plane.width - 1);
    const float maxY = static_cast<float>(plane.height - 1);
    const int lastColumn = std::max(0, plane.width - 2);
    const int lastRow = std::max(0, plane.height - 2);
    const int nextColumn = plane.width > 1 ? 1 : 0;
    const int nextRow = plane.height > 1 ? plane.width : 0;
    const float* pixels = plane.pixels.data();
    const int width = plane.width;
    const int cols = grid.cols;
    const float xc = grid.xc;
    const float yc = grid.yc;
    for (int r = 0; r < grid.rows; ++r) {
        const float fr = static_cast<float>(r);
        const float rowX = grid.x0 + fr * grid.xr;
        const float rowY = grid.y0 + fr * grid.yr;
        for (int p = 0; p < layout.phases; ++p) {
            float* o = out + static_cast<std::size_t>(r) * layout.rowLength() + static_cast<std::size_t>(p) * layout.length;
            for (int k = 0, c = p; c < cols; ++k, c += layout.phases) {
                const float fc = static_cast<float>(c);
                const float x = std::min(std::max(rowX + fc * xc, 0.0f), maxX);
                const float y = std::min(std::max(rowY + fc * yc, 0.0f), maxY);
                const int ix = std::min(static_cast<int>(x), lastColumn);
                const int iy = std::min(static_cast<int>(y), lastRow);
                const float fx = x - static_cast<float>(ix);
                const float fy = y - static_cast<float>(iy);
                const int at = iy * width + ix;
                const float top = pixels[at] + fx * (pixels[at + nextColumn] - pixels[at]);
                const float bottom =
                    pixels[at + nextRow] + fx * (pixels[at + nextRow + nextColumn] - pixels[at + nextRow]);
                o[k] = top + fy * (bottom - top);
            }
        }
    }
}

TOLVANE_VECTOR_VARIANTS(sampleBilinearVariant, sampleBilinearBody)

#if TOLVANE_VECTOR_INTRINSICS
// Sixteen pixel pairs stored one after the other: the first pixels in
// `left`, the others in `right`.
TOLVANE_TARGET_AVX512 inline void splitPairs(const std::uint64_t* pairs, __m512& left, __m512& right)
{
    const __m512 low = _mm512_load_ps(pairs);
    const __m512 high = _mm512_load_ps(pairs + 8);
    const __m512i evens = _mm512_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 22, 24, 26, 28, 30);
    left = _mm512_permutex2var_ps(low, evens, high);
    right = _mm512_permutex2var_ps(low, _mm512_add_epi32(evens, _mm512_set1_epi32(1)), high);
}

// The pixel pair at `from` copied by one 64-bit vector load and store, which
// the compiler leaves as they are rather than assembling vectors from them
// lane by lane.
TOLVANE_TARGET_AVX512 inline void copyPair(const float* from, std::uint64_t* to)
{
    _mm_storel_epi64(reinterpret_cast<__m128i*>(to), _mm_loadl_epi64(reinterpret_cast<const __m128i*>(from)));
}

// Samples on their way through sampleBilinearWide: where each falls (the
// first of its four pixels and its fractions), then its pixel pairs, and
// the runs of output values they make.
struct SampleBatch {
    static constexpr int kLanes = 16;
    static constexpr int kCapacity = 32 * kLanes;
    // A run of samples of one row and phase, stored from `out`, at `first` in the batch.
    struct Run {
        float* out;
        int count;
        int first;
    };
    alignas(64) std::int32_t at[kCapacity];
    alignas(64) float fx[kCapacity];
    alignas(64) float fy[kCapacity];
    alignas(64) std::uint64_t topPairs[kCapacity];
    alignas(64) std::uint64_t bottomPairs[kCapacity];
    Run runs[kCapacity / kLanes];
    int filled = 0;
    int runCount = 0;
};

// The batch's samples interpolated into their runs; empties the batch. The
// pixel pairs are first copied into arrays by plain loads and stores, which
// is cheaper than assembling vectors lane by lane.
TOLVANE_TARGET_AVX512 void interpolateBatch(const Plane& plane, SampleBatch& batch)
{
    constexpr int kLanes = SampleBatch::kLanes;
    const float* top = plane.pixels.data();
    const float* bottom = top + plane.width;
    // Counted in locals: the 64-bit moves may alias anything.
    const int filled = batch.filled;
    const int runCount = batch.runCount;
    for (int k = 0; k < filled; ++k) {
        copyPair(top + batch.at[k], batch.topPairs + k);
        copyPair(bottom + batch.at[k], batch.bottomPairs + k);
    }
    for (int i = 0; i < runCount; ++i) {
        const SampleBatch::Run& run = batch.runs[i];
        for (int k = 0; k < run.count; k += kLanes) {
            const int j = run.first + k;
            __m512 topLeft, topRight, bottomLeft, bottomRight;
            splitPairs(batch.topPairs + j, topLeft, topRight);
            splitPairs(batch.bottomPairs + j, bottomLeft, bottomRight);
            const __m512 fx = _mm512_load_ps(batch.fx + j);
            const __m512 fy = _mm512_load_ps(batch.fy + j);
            const __m512 upper = _mm512_add_ps(topLeft, _mm512_mul_ps(fx, _mm512_sub_ps(topRight, topLeft)));
            const __m512 lower = _mm512_add_ps(bottomLeft, _mm512_mul_ps(fx, _mm512_sub_ps(bottomRight, bottomLeft)));
            const __m512 value = _mm512_add_ps(upper, _mm512_mul_ps(fy, _mm512_sub_ps(lower, upper)));
            const int stored = std::min(kLanes, run.count - k);
            _mm512_mask_storeu_ps(run.out + k, static_cast<__mmask16>((1u << stored) - 1), value);
        }
    }
    batch.filled = 0;
    batch.runCount = 0;
}

// sampleBilinearBody sixteen samples at a time, with the same operations on
// each. Needs a plane of at least 2 x 2 pixels. The positions of a batch of
// samples are all found before any is interpolated: the copying of pixel
// pairs then reads them from the cache rather than waiting for their stores.
TOLVANE_TARGET_AVX512 void sampleBilinearWide(const Plane& plane, const SampleGrid& grid, const PhaseLayout& layout,
                                              float* __restrict out)
{
    constexpr int kLanes = SampleBatch::kLanes;
    SampleBatch batch;
    const __m512 zero = _mm512_setzero_ps();
    const __m512 maxX = _mm512_set1_ps(static_cast<float>(plane.width - 1));
    const __m512 maxY = _mm512_set1_ps(static_cast<float>(plane.height - 1));
    const __m512i lastColumn = _mm512_set1_epi32(plane.width - 2);
    const __m512i lastRow = _mm512_set1_epi32(plane.height - 2);
    const __m512i width = _mm512_set1_epi32(plane.width);
    const __m512i laneColumns = _mm512_mullo_epi32(
        _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15), _mm512_set1_epi32(layout.phases));
    const __m512 xc = _mm512_set1_ps(grid.xc);
    const __m512 yc = _mm512_set1_ps(grid.yc);
    for (int r = 0; r < grid.rows; ++r) {
        const float fr = static_cast<float>(r);
        const __m512 rowX = _mm512_set1_ps(grid.x0 + fr * grid.xr);
        const __m512 rowY = _mm512_set1_ps(grid.y0 + fr * grid.yr);
        for (int p = 0; p < layout.phases; ++p) {
            float* o = out + static_cast<std::size_t>(r) * layout.rowLength() + static_cast<std::size_t>(p) * layout.length;
            const int count = (grid.cols - p + layout.phases - 1) / layout.phases;
            for (int begin = 0; begin < count; begin += SampleBatch::kCapacity) {
                const int n = std::min(SampleBatch::kCapacity, count - begin);
                // Whole vectors: the lanes past the end fall inside the plane too.
                const int lanes = (n + kLanes - 1) / kLanes * kLanes;
                if (batch.filled + lanes > SampleBatch::kCapacity)
                    interpolateBatch(plane, batch);
                batch.runs[batch.runCount++] = {o + begin, n, batch.filled};
                for (int k = 0; k < lanes; k += kLanes) {
                    const __m512 fc = _mm512_cvtepi32_ps(
                        _mm512_add_epi32(_mm512_set1_epi32(p + (begin + k) * layout.phases), laneColumns));
                    // max(0, v) and min(limit, v) return v, as std::max(v, 0) and std::min(v, limit) do, unless
                    // it is beyond the limit.
                    const __m512 x =
                        _mm512_min_ps(maxX, _mm512_max_ps(zero, _mm512_add_ps(rowX, _mm512_mul_ps(fc, xc))));
                    const __m512 y =
                        _mm512_min_ps(maxY, _mm512_max_ps(zero, _mm512_add_ps(rowY, _mm512_mul_ps(fc, yc))));
                    const __m512i ix = _mm512_min_epi32(_mm512_cvttps_epi32(x), lastColumn);
                    const __m512i iy = _mm512_min_epi32(_mm512_cvttps_epi32(y), lastRow);
                    _mm512_store_ps(batch.fx + batch.filled, _mm512_sub_ps(x, _mm512_cvtepi32_ps(ix)));
                    _mm512_store_ps(batch.fy + batch.filled, _mm512_sub_ps(y, _mm512_cvtepi32_ps(iy)));
                    _mm512_store_si512(batch.at + batch.filled, _mm512_add_epi32(_mm512_mullo_epi32(iy, width), ix));
                    batch.filled += kLanes;
                }
            }
        }
    }
    interpolateBatch(plane, batch);
}
#endif

void sampleBilinear(const Plane& plane, const SampleGrid& grid, const PhaseLayout& layout, float* out)
{
#if TOLVANE_VECTOR_INTRINSICS
    if (vectorPath() == VectorPath::Avx512 && plane.width > 1 && plane.height > 1)
        return sampleBilinearWide(plane, grid, layout, out);
#endif
    sampleBilinearVariant(plane, grid, layout, out);
}

// Filtering a block of rows with a kernel that reads each input row at given
// offsets: output row r, value j is the sum over the taps t, in order, of
// weights[t] * in[r * inStride + offsets[t] + j].
struct Taps {
    std::vector<int> offsets;
    const std::vector<float>& weights;
};

TOLVANE_ALWAYS_INLINE void filterRowsBody(const float* __restrict in, std::size_t inStride, const Taps& taps,
                                          int rows, int count, float* __restrict out)
{
    const std::size_t n = taps.weights.size();
    for (int r = 0; r < rows; ++r) {
        const float* row = in + r * inStride;
        float* o = out + static_cast<std::size_t>(r) * count;
        std::fill(o, o + count, 0.0f);
        for (std::size_t t = 0; t < n; ++t) {
            const float w = taps.weights[t];
            const float* source = row + taps.offsets[t];
            for (int j = 0; j < count; ++j)
                o[j] += w * source[j];
        }
    }
}

TOLVANE_VECTOR_VARIANTS(filterRowsVariant, filterRowsBody)

#if TOLVANE_VECTOR_INTRINSICS
// filterRowsBody with the sums of two rows of 32 values in four registers.
TOLVANE_TARGET_AVX512 void filterRowsWide(const float* __restrict in, std::size_t inStride, const Taps& taps,
                                          int rows, int count, float* __restrict out)
{
    constexpr int kLanes = 16;
    const std::size_t n = taps.weights.size();
    const float* weights = taps.weights.data();
    const int* offsets = taps.offsets.data();
    const auto lanesBelow = [](int left) {
        return static_cast<__mmask16>(left >= kLanes ? 0xffff : left > 0 ? (1u << left) - 1 : 0);
    };
    for (int j = 0; j < count; j += 2 * kLanes) {
        const __mmask16 first = lanesBelow(count - j);
        const __mmask16 second = lanesBelow(count - j - kLanes);
        for (int r = 0; r < rows; r += 2) {
            const float* row0 = in + r * inStride + j;
            const float* row1 = r + 1 < rows ? row0 + inStride : row0;
            __m512 sum00 = _mm512_setzero_ps(), sum01 = _mm512_setzero_ps();
            __m512 sum10 = _mm512_setzero_ps(), sum11 = _mm512_setzero_ps();
            for (std::size_t t = 0; t < n; ++t) {
                const __m512 w = _mm512_set1_ps(weights[t]);
                const float* a = row0 + offsets[t];
                const float* b = row1 + offsets[t];
                sum00 = _mm512_add_ps(sum00, _mm512_mul_ps(w, _mm512_maskz_loadu_ps(first, a)));
                sum01 = _mm512_add_ps(sum01, _mm512_mul_ps(w, _mm512_maskz_loadu_ps(second, a + kLanes)));
                sum10 = _mm512_add_ps(sum10, _mm512_mul_ps(w, _mm512_maskz_loadu_ps(first, b)));
                sum11 = _mm512_add_ps(sum11, _mm512_mul_ps(w, _mm512_maskz_loadu_ps(second, b + kLanes)));
            }
            float* o = out + static_cast<std::size_t>(r) * count + j;
            _mm512_mask_storeu_ps(o, first, sum00);
            _mm512_mask_storeu_ps(o + kLanes, second, sum01);
            if (r + 1 < rows) {
                _mm512_mask_storeu_ps(o + count, first, sum10);
                _mm512_mask_storeu_ps(o + count + kLanes, second, sum11);
            }
        }
    }
}
#endif

void filterRows(const float* in, std::size_t inStride, const Taps& taps, int rows, int count, float* out)
{
#if TOLVANE_VECTOR_INTRINSICS
    if (vectorPath() == VectorPath::Avx512)
        return filterRowsWide(in, inStride, taps, rows, count, out);
#endif
    filterRowsVariant(in, inStride, taps, rows, count, out);
}

// Every factor-th value of each row of `in` (stored by phase of the factor)
// under the plan's kernel, into `side` values per row of `out`.
void narrowRows(const float* in, const PhaseLayout& layout, int rows, const AxisPlan& plan, int side, float* out)
{
    Taps taps{std::vector<int>(plan.kernel.size()), plan.kernel};
    for (std::size_t t = 0; t < plan.kernel.size(); ++t)
        taps.offsets[t] = static_cast<int>(t) % plan.factor * layout.length + static_cast<int>(t) / plan.factor;
    filterRows(in, layout.rowLength(), taps, rows, side, out);
}

// Every factor-th row of `in` (side values wide) under the plan's kernel,
// into the side rows of `out`.
void narrowColumns(const float* in, const AxisPlan& plan, int side, float* out)
{
    Taps taps{std::vector<int>(plan.kernel.size()), plan.kernel};
    for (std::size_t t = 0; t < plan.kernel.size(); ++t)
        taps.offsets[t] = static_cast<int>(t) * side;
    filterRows(in, static_cast<std::size_t>(plan.factor) * side, taps, side, side, out);
}

}  // namespace

Plane gaussianBlur(const Plane& in, float sigma)
{
    return blurred<1>(in, gaussianKernel(sigma));
}

Plane blurredHalf(const Plane& in, float sigma)
{
    return blurred<2>(in, gaussianKernel(sigma));
}

SmoothedPyramid::SmoothedPyramid(const ImageView& image, float maxBlur)
{
    levels_.push_back({planeOf(image), 1.0f});
    while (blurOfLevel(levels() - 1) < maxBlur) {
        const Level& last = levels_.back();
        if (levels() % 2 == 1) {
            levels_.push_back({gaussianBlur(last.plane, kFirstStepBlur), last.scale});
        } else {
            if (std::min(last.plane.width, last.plane.height) < 2 * kMinSide)
                break;
            levels_.push_back({blurredHalf(last.plane, kSecondStepBlur), 2.0f * last.scale});
        }
    }
}

float SmoothedPyramid::sampledBlur(int level) const
{
    // Linear interpolation spreads by a variance of 1/6 pixel^2 of the level.
    const float blur = blurOfLevel(level);
    const float scale = levels_[level].scale;
    return std::sqrt(blur * blur + scale * scale / 6.0f);
}

int SmoothedPyramid::levelAtMost(float blur) const
{
    if (!(blur > kBaseBlur))
        return 0;
    const int below = static_cast<int>(std::floor(2.0 * std::log2(static_cast<double>(blur) / kBaseBlur)));
    return std::min(below, levels() - 1);
}

void SmoothedPyramid::sampleIsotropic(const AxisFrame& frame, float step, float blur, int side,
                                      std::vector<float>& scratch, float* out) const
{
    const float finest = blur * std::min(frame.lx, frame.ly);
    int level = levelAtMost(finest);
    while (level > 0 && sampledBlur(level) > finest)
        --level;
    const float levelBlur = blurOfLevel(level);
    const AxisPlan across = planAxis(frame.lx, levelBlur, sampledBlur(level), step, blur);
    const AxisPlan down = planAxis(frame.ly, levelBlur, sampledBlur(level), step, blur);
    const int cols = across.samples(side);
    const int rows = down.samples(side);
    const float start = -0.5f * static_cast<float>(side - 1) * step;
    const float u0 = (start - static_cast<float>(across.margin) * step / static_cast<float>(across.factor)) * frame.lx;
    const float v0 = (start - static_cast<float>(down.margin) * step / static_cast<float>(down.factor)) * frame.ly;
    const float du = step / static_cast<float>(across.factor) * frame.lx;
    const float dv = step / static_cast<float>(down.factor) * frame.ly;
    const SampleGrid grid{frame.x + frame.cos_q * u0 - frame.sin_q * v0,
                          frame.y + frame.sin_q * u0 + frame.cos_q * v0,
                          frame.cos_q * du,
                          frame.sin_q * du,
                          -frame.sin_q * dv,
                          frame.cos_q * dv,
                          cols,
                          rows};
    const PhaseLayout layout(cols, across.factor);
    scratch.resize(static_cast<std::size_t>(layout.rowLength()) * rows + static_cast<std::size_t>(side) * rows);
    float* sampled = scratch.data();
    float* narrowed = sampled + static_cast<std::size_t>(layout.rowLength()) * rows;
    sampleBilinear(levels_[level].plane, inLevel(level, grid), layout, sampled);
    narrowRows(sampled, layout, rows, across, side, narrowed);
    narrowColumns(narrowed, down, side, out);
}

int SmoothedPyramid::levelFor(float blur) const
{
    if (!(blur > kBaseBlur))
        return 0;
    const int nearest = static_cast<int>(std::lround(2.0 * std::log2(static_cast<double>(blur) / kBaseBlur)));
    return std::min(nearest, levels() - 1);
}

SampleGrid SmoothedPyramid::inLevel(int level, const SampleGrid& grid) const
{
    const float inverse = 1.0f / levels_[level].scale;
    return {grid.x0 * inverse, grid.y0 * inverse, grid.xc * inverse, grid.yc * inverse,
            grid.xr * inverse, grid.yr * inverse, grid.cols, grid.rows};
}

void SmoothedPyramid::sample(int level, const SampleGrid& grid, float* out) const
{
    sampleBilinear(levels_[level].plane, inLevel(level, grid), PhaseLayout(grid.cols, 1), out);
}

}  // namespace detail
}  // namespace tolvane
