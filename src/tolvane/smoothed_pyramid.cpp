#include "smoothed_pyramid.h"

#include "vector_clones.h"

#include <algorithm>
#include <cmath>

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
Plane blurred(const Plane& in, const std::vector<float>& kernel)
{
    const int radius = static_cast<int>(kernel.size() / 2);
    Plane out{(in.width + kStep - 1) / kStep, (in.height + kStep - 1) / kStep, {}};
    out.pixels.resize(static_cast<std::size_t>(out.width) * out.height);
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
    return out;
}

Plane planeOf(const ImageView& image)
{
    Plane plane{image.width, image.height, std::vector<float>(static_cast<std::size_t>(image.width) * image.height)};
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

// Bilinear samples of `plane` on the grid (in its pixels), border values outside.
AFFLIB_VECTOR_CLONES void sampleBilinear(const Plane& plane, const SampleGrid& grid, float* __restrict out)
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
        float* o = out + static_cast<std::size_t>(r) * cols;
        for (int c = 0; c < cols; ++c) {
            const float fc = static_cast<float>(c);
            const float x = std::min(std::max(rowX + fc * xc, 0.0f), maxX);
            const float y = std::min(std::max(rowY + fc * yc, 0.0f), maxY);
            const int ix = std::min(static_cast<int>(x), lastColumn);
            const int iy = std::min(static_cast<int>(y), lastRow);
            const float fx = x - static_cast<float>(ix);
            const float fy = y - static_cast<float>(iy);
            const int at = iy * width + ix;
            const float top = pixels[at] + fx * (pixels[at + nextColumn] - pixels[at]);
            const float bottom = pixels[at + nextRow] + fx * (pixels[at + nextRow + nextColumn] - pixels[at + nextRow]);
            o[c] = top + fy * (bottom - top);
        }
    }
}

// Every factor-th value of each row of `in` (cols wide) under the plan's
// kernel, into `side` values per row of `out`. kFactor is the plan's factor
// when known at compile time (the common small ones vectorise far better
// with a fixed stride), else 0.
template <int kFactor>
AFFLIB_VECTOR_CLONES void narrowRowsBy(const float* __restrict in, int cols, int rows, const AxisPlan& plan, int side,
                                       float* __restrict out)
{
    const int factor = kFactor ? kFactor : plan.factor;
    const float* kernel = plan.kernel.data();
    const int taps = static_cast<int>(plan.kernel.size());
    for (int r = 0; r < rows; ++r) {
        const float* row = in + static_cast<std::size_t>(r) * cols;
        float* o = out + static_cast<std::size_t>(r) * side;
        std::fill(o, o + side, 0.0f);
        for (int t = 0; t < taps; ++t) {
            const float w = kernel[t];
            for (int j = 0; j < side; ++j)
                o[j] += w * row[j * factor + t];
        }
    }
}

void narrowRows(const float* in, int cols, int rows, const AxisPlan& plan, int side, float* out)
{
    switch (plan.factor) {
    case 1:
        return narrowRowsBy<1>(in, cols, rows, plan, side, out);
    case 2:
        return narrowRowsBy<2>(in, cols, rows, plan, side, out);
    case 3:
        return narrowRowsBy<3>(in, cols, rows, plan, side, out);
    case 4:
        return narrowRowsBy<4>(in, cols, rows, plan, side, out);
    default:
        return narrowRowsBy<0>(in, cols, rows, plan, side, out);
    }
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
    scratch.resize(static_cast<std::size_t>(cols) * rows + static_cast<std::size_t>(side) * rows);
    float* sampled = scratch.data();
    float* narrowed = sampled + static_cast<std::size_t>(cols) * rows;
    sample(level, grid, sampled);
    narrowRows(sampled, cols, rows, across, side, narrowed);
    for (int i = 0; i < side; ++i) {
        float* o = out + static_cast<std::size_t>(i) * side;
        std::fill(o, o + side, 0.0f);
        for (std::size_t t = 0; t < down.kernel.size(); ++t) {
            const float w = down.kernel[t];
            const float* in = narrowed + (i * down.factor + t) * side;
            for (int j = 0; j < side; ++j)
                o[j] += w * in[j];
        }
    }
}

int SmoothedPyramid::levelFor(float blur) const
{
    if (!(blur > kBaseBlur))
        return 0;
    const int nearest = static_cast<int>(std::lround(2.0 * std::log2(static_cast<double>(blur) / kBaseBlur)));
    return std::min(nearest, levels() - 1);
}

void SmoothedPyramid::sample(int level, const SampleGrid& grid, float* out) const
{
    const Level& l = levels_[level];
    const float inverse = 1.0f / l.scale;
    const SampleGrid inLevel{grid.x0 * inverse, grid.y0 * inverse, grid.xc * inverse, grid.yc * inverse,
                             grid.xr * inverse, grid.yr * inverse, grid.cols, grid.rows};
    sampleBilinear(l.plane, inLevel, out);
}

}  // namespace detail
}  // namespace tolvane
