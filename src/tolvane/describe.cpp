// Orientation, gradient-histogram descriptor and normalised patch of each
// region, sampled from a smoothed pyramid at the scale the sampling step asks for.
#include "tolvane/describe.h"

#include "tolvane/error.h"

#include "smoothed_pyramid.h"
#include "threads.h"
#include "vector_path.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <string>
#include <vector>

namespace tolvane {
namespace {

using detail::AxisFrame;
using detail::SampleGrid;
using detail::SmoothedPyramid;

constexpr float kPi = 3.14159265358979f;
constexpr float kTwoPi = 2.0f * kPi;

// The descriptor square [-mr, mr]^2 holds kCells x kCells cells of
// kSamplesPerCell x kSamplesPerCell gradient samples.
constexpr int kCells = 4;
constexpr int kOrientations = 8;
constexpr int kSamplesPerCell = 4;
constexpr float kSamplesPerMr = 0.5f * kCells * kSamplesPerCell;  // 8
// Gradient samples per side: the square at any rotation fits inside.
constexpr int kGrid = 24;
constexpr float kGridCentre = 0.5f * (kGrid - 1);
// Values sampled per side: the gradient samples and one more on each side.
constexpr int kSampled = kGrid + 2;

// Gaussian weights, in gradient samples: the descriptor's has half the
// square's width; the orientation window's half of mr (1.5 times the region
// at the default mr of 3), which finds the same orientation in more views
// than a window of the region's own size, cut to the circle inside the
// sample grid so that it turns with the region.
constexpr float kDescriptorSigma = kSamplesPerMr;
constexpr float kOrientationSigma = 0.5f * kSamplesPerMr;
constexpr float kOrientationRadius = std::min(3.0f * kOrientationSigma, kGridCentre);

constexpr int kOrientationBins = 36;
constexpr float kSecondaryPeak = 0.8f;
constexpr int kOrientationSmoothingPasses = 2;
constexpr float kClip = 0.2f;
constexpr float kByteScale = 512.0f;

// Blur of the descriptor's samples, in sampling steps of the normalised
// patch. The patches returned come from the nearest pyramid level: blurred
// one step of the geometric mean of the two axes, and at least half the step
// along the longer axis so that an elongated region does not alias.
constexpr float kBlurPerStep = 1.0f;
constexpr float kBlurPerLongStep = 0.5f;

constexpr float kMaxMrSize = 100.0f;
constexpr int kMinPatchSize = 4;
constexpr int kMaxPatchSize = 1024;
constexpr int kMaxThreads = 1024;

struct Matrix {
    float a11, a12, a21, a22;
};

Matrix rotated(const Matrix& m, float angle)
{
    const float c = std::cos(angle);
    const float s = std::sin(angle);
    return {m.a11 * c + m.a12 * s, -m.a11 * s + m.a12 * c, m.a21 * c + m.a22 * s, -m.a21 * s + m.a22 * c};
}

// A region's shape along its axes: the symmetric square root S of its
// ellipse, the matrix of the unrotated frame, is Q diag(lx, ly) Q^T with Q
// the rotation by q and lx >= ly.
struct Shape {
    AxisFrame axes;
    float q;
};

Shape shapeOf(const Region& region, const Matrix& root)
{
    const float q = 0.5f * std::atan2(2 * root.a12, root.a11 - root.a22);
    const float mean = 0.5f * (root.a11 + root.a22);
    const float half = std::sqrt(0.25f * (root.a11 - root.a22) * (root.a11 - root.a22) + root.a12 * root.a21);
    return {{region.x, region.y, std::cos(q), std::sin(q), mean + half, mean - half}, q};
}

// The frame of orientation `angle` measured in the axis-aligned patch: Q diag(lx, ly) R(angle).
Matrix axisFrameTurned(const AxisFrame& a, float angle)
{
    return rotated({a.cos_q * a.lx, -a.sin_q * a.ly, a.sin_q * a.lx, a.cos_q * a.ly}, angle);
}

// Pyramid blur for a grid of normalised step `step` through the shape.
float patchBlur(const Shape& shape, float step)
{
    return step * std::max(kBlurPerStep * std::sqrt(shape.axes.lx * shape.axes.ly), kBlurPerLongStep * shape.axes.lx);
}

// Pyramid blur the descriptor's samples start from.
float descriptorLevelBlur(const Shape& shape, float step)
{
    return kBlurPerStep * step * shape.axes.ly;
}

// atan2(y, x) in [0, 2 pi) to within 3e-4 radians, in plain arithmetic.
TOLVANE_ALWAYS_INLINE float angleOf(float y, float x)
{
    const float ax = std::fabs(x);
    const float ay = std::fabs(y);
    const float ratio = std::min(ax, ay) / std::max(std::max(ax, ay), 1e-30f);
    const float s = ratio * ratio;
    float a = ((-0.0464964749f * s + 0.15931422f) * s - 0.327622764f) * s * ratio + ratio;
    if (ay > ax)
        a = 0.5f * kPi - a;
    if (x < 0)
        a = kPi - a;
    if (y < 0)
        a = kTwoPi - a;
    return a >= kTwoPi ? 0.0f : a;
}

// Offsets of the gradient samples from the centre and their weights.
struct Grid {
    Grid()
    {
        for (int i = 0; i < kGrid * kGrid; ++i) {
            const float dx = static_cast<float>(i % kGrid) - kGridCentre;
            const float dy = static_cast<float>(i / kGrid) - kGridCentre;
            const float r2 = dx * dx + dy * dy;
            ux[i] = dx;
            uy[i] = dy;
            descriptorWeight[i] = std::exp(-r2 / (2 * kDescriptorSigma * kDescriptorSigma));
            orientationWeight[i] = 0;
            if (r2 <= kOrientationRadius * kOrientationRadius) {
                orientationSamples.push_back(i);
                orientationWeight[i] = std::exp(-r2 / (2 * kOrientationSigma * kOrientationSigma));
            }
        }
    }
    std::array<float, kGrid * kGrid> ux, uy, descriptorWeight;
    // The samples of the orientation window; the weights are 0 outside it.
    std::vector<int> orientationSamples;
    std::array<float, kGrid * kGrid> orientationWeight;
};

const Grid& gradientGrid()
{
    static const Grid grid;
    return grid;
}

// Gradient magnitude and angle at each grid sample of one region, and the
// sample's orientation bin with its shares of that bin and the next.
struct Gradients {
    std::array<float, kSampled * kSampled> values;
    std::array<float, kGrid * kGrid> magnitude;
    std::array<float, kGrid * kGrid> angle;
    std::array<int, kGrid * kGrid> orientationBin;
    std::array<float, kGrid * kGrid> binShare, nextBinShare;
};

// A grid of `side` points, `step` apart in the normalised patch, centred on
// the region and mapped through `frame` into input pixels.
SampleGrid gridOf(float x, float y, const Matrix& frame, float step, int side)
{
    const float start = -0.5f * static_cast<float>(side - 1) * step;
    return {x + (frame.a11 + frame.a12) * start,
            y + (frame.a21 + frame.a22) * start,
            frame.a11 * step,
            frame.a21 * step,
            frame.a12 * step,
            frame.a22 * step,
            side,
            side};
}

TOLVANE_ALWAYS_INLINE void measureGradientsBody(Gradients& g)
{
    const Grid& grid = gradientGrid();
    for (int r = 0; r < kGrid; ++r) {
        const float* above = &g.values[r * kSampled + 1];
        const float* row = above + kSampled;
        const float* below = row + kSampled;
        for (int c = 0; c < kGrid; ++c) {
            const float gx = row[c + 1] - row[c - 1];
            const float gy = below[c] - above[c];
            const int i = r * kGrid + c;
            const float magnitude = std::sqrt(gx * gx + gy * gy);
            const float angle = angleOf(gy, gx);
            g.magnitude[i] = magnitude;
            g.angle[i] = angle;
            const float w = grid.orientationWeight[i] * magnitude;
            const float position = angle * (kOrientationBins / kTwoPi);
            const int bin = std::min(static_cast<int>(position), kOrientationBins - 1);
            const float f = position - static_cast<float>(bin);
            g.orientationBin[i] = bin;
            g.binShare[i] = (1 - f) * w;
            g.nextBinShare[i] = f * w;
        }
    }
}

TOLVANE_VECTOR_VARIANTS(measureGradients, measureGradientsBody)

// Two passes of a circular [1 2 1] / 4 filter: a peak made by a handful of
// samples does not split into several.
void smoothCircular(std::array<float, kOrientationBins>& histogram)
{
    for (int pass = 0; pass < kOrientationSmoothingPasses; ++pass) {
        const std::array<float, kOrientationBins> h = histogram;
        for (int b = 0; b < kOrientationBins; ++b)
            histogram[b] = 0.25f * (h[(b + kOrientationBins - 1) % kOrientationBins] + 2 * h[b] +
                                    h[(b + 1) % kOrientationBins]);
    }
}

// Peaks of the orientation histogram at or above kSecondaryPeak of the
// highest, strongest first, into `angles`; the first highest bin when there
// is no strict peak (a flat histogram), 0 when there is no gradient.
void findDominantOrientations(const Gradients& g, std::vector<float>& angles)
{
    const Grid& grid = gradientGrid();
    // One bin more than kOrientationBins: the first one again.
    std::array<float, kOrientationBins + 1> wrapped{};
    for (const int i : grid.orientationSamples) {
        wrapped[g.orientationBin[i]] += g.binShare[i];
        wrapped[g.orientationBin[i] + 1] += g.nextBinShare[i];
    }
    std::array<float, kOrientationBins> histogram;
    std::copy_n(wrapped.begin(), kOrientationBins, histogram.begin());
    histogram[0] += wrapped[kOrientationBins];
    smoothCircular(histogram);
    angles.clear();
    const float highest = *std::max_element(histogram.begin(), histogram.end());
    if (!(highest > 0)) {
        angles.push_back(0.0f);
        return;
    }
    std::array<std::pair<float, float>, kOrientationBins> peaks;  // height, angle
    int found = 0;
    for (int b = 0; b < kOrientationBins; ++b) {
        const float left = histogram[(b + kOrientationBins - 1) % kOrientationBins];
        const float right = histogram[(b + 1) % kOrientationBins];
        const float centre = histogram[b];
        if (centre > left && centre > right && centre >= kSecondaryPeak * highest) {
            const float offset = 0.5f * (left - right) / (left - 2 * centre + right);
            float angle = (static_cast<float>(b) + offset) * (kTwoPi / kOrientationBins);
            angle = angle < 0 ? angle + kTwoPi : (angle >= kTwoPi ? angle - kTwoPi : angle);
            peaks[found++] = {centre, angle};
        }
    }
    if (found == 0) {
        const auto first = std::max_element(histogram.begin(), histogram.end()) - histogram.begin();
        angles.push_back(static_cast<float>(first) * (kTwoPi / kOrientationBins));
        return;
    }
    std::stable_sort(peaks.begin(), peaks.begin() + found,
                     [](const auto& p, const auto& q) { return p.first > q.first; });
    for (int k = 0; k < found; ++k)
        angles.push_back(peaks[k].second);
}

// Where each gradient sample falls in the descriptor of one orientation: the
// first of its 2 x 2 x 2 histogram entries and its share of each of them
// (orientation fastest, then x, then y). Samples outside have weight 0.
constexpr int kShares = 8;
struct Binning {
    std::array<int, kGrid * kGrid> first;
    std::array<float, kGrid * kGrid> weight;
    std::array<std::array<float, kGrid * kGrid>, kShares> share;
};

// Cells of the histogram with a border of one cell around the 4 x 4, each
// with one orientation more than kOrientations (the first one again).
constexpr int kPadded = kCells + 2;
constexpr int kWrappedOrientations = kOrientations + 1;

TOLVANE_ALWAYS_INLINE void binBody(const Gradients& g, float orientation, Binning& b)
{
    const Grid& grid = gradientGrid();
    const float c = std::cos(orientation);
    const float s = std::sin(orientation);
    const float cellsPerSample = 1.0f / kSamplesPerCell;
    const float binsPerRadian = kOrientations / kTwoPi;
    const float firstCentre = 0.5f * kCells - 0.5f;
    for (int i = 0; i < kGrid * kGrid; ++i) {
        const float cx = (c * grid.ux[i] + s * grid.uy[i]) * cellsPerSample + firstCentre;
        const float cy = (-s * grid.ux[i] + c * grid.uy[i]) * cellsPerSample + firstCentre;
        const bool inside = (cx > -1) & (cy > -1) & (cx < kCells) & (cy < kCells);
        // Upright frames turn by -q, so the difference may pass a full turn either way.
        const float turned = (g.angle[i] - orientation) * binsPerRadian;
        const float below = turned < 0 ? kOrientations : 0.0f;
        const float above = turned >= kOrientations ? kOrientations : 0.0f;
        const float o = turned + below - above;
        // cx + 1 rounds up to kCells + 1 when cx is a rounding step short of kCells.
        const int x0 = inside ? std::min(static_cast<int>(cx + 1) - 1, kCells - 1) : 0;
        const int y0 = inside ? std::min(static_cast<int>(cy + 1) - 1, kCells - 1) : 0;
        const int o0 = std::min(static_cast<int>(o), kOrientations - 1);
        const float fx = cx - static_cast<float>(x0);
        const float fy = cy - static_cast<float>(y0);
        const float fo = o - static_cast<float>(o0);
        const float w = inside ? grid.descriptorWeight[i] * g.magnitude[i] : 0.0f;
        b.first[i] = ((y0 + 1) * kPadded + x0 + 1) * kWrappedOrientations + o0;
        b.weight[i] = w;
        for (int dy = 0; dy < 2; ++dy) {
            const float wy = w * (dy ? fy : 1 - fy);
            for (int dx = 0; dx < 2; ++dx) {
                const float wxy = wy * (dx ? fx : 1 - fx);
                b.share[(dy * 2 + dx) * 2][i] = wxy * (1 - fo);
                b.share[(dy * 2 + dx) * 2 + 1][i] = wxy * fo;
            }
        }
    }
}

TOLVANE_VECTOR_VARIANTS(bin, binBody)

// The binned samples summed into the cells, row by row (top first), within a
// cell the orientations from the frame's x axis towards its y axis.
TOLVANE_ALWAYS_INLINE void accumulateBody(const Binning& b, std::array<float, kDescriptorLength>& d)
{
    std::array<float, kPadded * kPadded * kWrappedOrientations> h{};
    constexpr int kNextRow = kPadded * kWrappedOrientations;
    constexpr std::array<int, kShares> kOffsets{0, 1, kWrappedOrientations, kWrappedOrientations + 1,
                                                kNextRow, kNextRow + 1, kNextRow + kWrappedOrientations,
                                                kNextRow + kWrappedOrientations + 1};
    for (int i = 0; i < kGrid * kGrid; ++i) {
        if (b.weight[i] == 0)
            continue;
        float* entry = &h[b.first[i]];
        for (int k = 0; k < kShares; ++k)
            entry[kOffsets[k]] += b.share[k][i];
    }
    for (int y = 0; y < kCells; ++y)
        for (int x = 0; x < kCells; ++x) {
            const float* cell = &h[((y + 1) * kPadded + x + 1) * kWrappedOrientations];
            float* out = &d[(y * kCells + x) * kOrientations];
            std::copy_n(cell, kOrientations, out);
            out[0] += cell[kOrientations];
        }
}

TOLVANE_VECTOR_VARIANTS(accumulate, accumulateBody)

// Trilinear gradient histogram of the frame turned by `orientation`.
std::array<float, kDescriptorLength> gradientHistogram(const Gradients& g, float orientation, Binning& b)
{
    bin(g, orientation, b);
    std::array<float, kDescriptorLength> d;
    accumulate(b, d);
    return d;
}

TOLVANE_ALWAYS_INLINE void scaleToUnitLength(std::array<float, kDescriptorLength>& d)
{
    float sum = 0;
    for (float v : d)
        sum += v * v;
    if (sum > 0) {
        const float inverse = 1.0f / std::sqrt(sum);
        for (float& v : d)
            v *= inverse;
    }
}

TOLVANE_ALWAYS_INLINE void normaliseAndClip(std::array<float, kDescriptorLength>& d)
{
    scaleToUnitLength(d);
    for (float& v : d)
        v = std::min(v, kClip);
    scaleToUnitLength(d);
}

TOLVANE_ALWAYS_INLINE void rootOfL1Normalised(std::array<float, kDescriptorLength>& d)
{
    float sum = 0;
    for (float v : d)
        sum += v;
    if (sum > 0)
        for (float& v : d)
            v = std::sqrt(v / sum);
}

// The histogram normalised (RootSIFT: then its root) and quantised into `out`.
TOLVANE_ALWAYS_INLINE void descriptorBytesBody(std::array<float, kDescriptorLength>& d, DescriptorKind kind,
                                               std::uint8_t* out)
{
    normaliseAndClip(d);
    if (kind == DescriptorKind::RootSift)
        rootOfL1Normalised(d);
    for (std::size_t k = 0; k < kDescriptorLength; ++k)
        out[k] = static_cast<std::uint8_t>(std::min(255.0f, std::floor(d[k] * kByteScale + 0.5f)));
}

TOLVANE_VECTOR_VARIANTS(descriptorBytes, descriptorBytesBody)

Matrix shapeRoot(const Region& region, std::size_t index)
{
    const double det = region.a * region.c - region.b * region.b;
    if (!(det > 0) || !(region.a > 0) || !std::isfinite(det) || !std::isfinite(region.x) || !std::isfinite(region.y))
        throw Error(ErrorCode::InvalidArgument, "region " + std::to_string(index) + " has no valid ellipse");
    // The symmetric square root of S = E^-1: (S + sqrt(det S) I) / sqrt(tr S + 2 sqrt(det S)).
    const double s11 = region.c / det;
    const double s12 = -region.b / det;
    const double s22 = region.a / det;
    const double root = std::sqrt(1.0 / det);
    const double norm = std::sqrt(s11 + s22 + 2 * root);
    return {static_cast<float>((s11 + root) / norm), static_cast<float>(s12 / norm), static_cast<float>(s12 / norm),
            static_cast<float>((s22 + root) / norm)};
}

Frame frameOf(const Region& region, const Matrix& m)
{
    return {region.x, region.y, m.a11, m.a12, m.a21, m.a22};
}

float descriptorStep(const DescribeOptions& options)
{
    return options.mr_size / kSamplesPerMr;
}

float patchStep(const DescribeOptions& options)
{
    return 2.0f * options.mr_size / static_cast<float>(options.patch_size);
}

// What one worker makes of a run of regions.
class RegionDescriber {
public:
    RegionDescriber(const SmoothedPyramid& pyramid, const DescribeOptions& options)
        : pyramid_(pyramid), options_(options)
    {
    }

    void describe(const Region& region, const Shape& shape, std::size_t index, Description& out)
    {
        const bool needGradients = !options_.upright || options_.descriptor != DescriptorKind::None;
        if (needGradients) {
            const float step = descriptorStep(options_);
            pyramid_.sampleIsotropic(shape.axes, step, kBlurPerStep * step, kSampled, scratch_,
                                     gradients_.values.data());
            measureGradients(gradients_);
        }
        // Orientations are found in the axis-aligned patch; upright frames
        // turn it back onto the symmetric root.
        if (options_.upright)
            orientations_.assign(1, -shape.q);
        else
            findDominantOrientations(gradients_, orientations_);
        for (float orientation : orientations_) {
            const Matrix frame = axisFrameTurned(shape.axes, orientation);
            out.frames.push_back(frameOf(region, frame));
            out.region_of_frame.push_back(index);
            if (options_.descriptor != DescriptorKind::None)
                appendDescriptor(orientation, out.descriptors);
            if (options_.patches)
                appendPatch(region, shape, frame, out.patches);
        }
    }

private:
    void appendDescriptor(float orientation, std::vector<std::uint8_t>& out)
    {
        std::array<float, kDescriptorLength> d = gradientHistogram(gradients_, orientation, binning_);
        const std::size_t start = out.size();
        out.resize(start + kDescriptorLength);
        descriptorBytes(d, options_.descriptor, out.data() + start);
    }

    void appendPatch(const Region& region, const Shape& shape, const Matrix& frame, std::vector<std::uint8_t>& out)
    {
        const int side = options_.patch_size;
        const float step = patchStep(options_);
        scratch_.resize(static_cast<std::size_t>(side) * side);
        pyramid_.sample(pyramid_.levelFor(patchBlur(shape, step)), gridOf(region.x, region.y, frame, step, side),
                        scratch_.data());
        for (int i = 0; i < side * side; ++i)
            out.push_back(static_cast<std::uint8_t>(std::clamp(std::floor(scratch_[i] + 0.5f), 0.0f, 255.0f)));
    }

    const SmoothedPyramid& pyramid_;
    const DescribeOptions& options_;
    Gradients gradients_;
    Binning binning_;
    std::vector<float> orientations_;
    std::vector<float> scratch_;
};


void append(Description& whole, const Description& part)
{
    whole.frames.insert(whole.frames.end(), part.frames.begin(), part.frames.end());
    whole.region_of_frame.insert(whole.region_of_frame.end(), part.region_of_frame.begin(),
                                 part.region_of_frame.end());
    whole.descriptors.insert(whole.descriptors.end(), part.descriptors.begin(), part.descriptors.end());
    whole.patches.insert(whole.patches.end(), part.patches.begin(), part.patches.end());
}

float largestBlur(const std::vector<Shape>& shapes, const DescribeOptions& options)
{
    float blur = 0;
    for (const Shape& shape : shapes) {
        blur = std::max(blur, descriptorLevelBlur(shape, descriptorStep(options)));
        if (options.patches)
            blur = std::max(blur, patchBlur(shape, patchStep(options)));
    }
    return blur;
}

void requireFinitePixels(const ImageView& image)
{
    if (image.type != PixelType::Float32)
        return;
    for (int y = 0; y < image.height; ++y) {
        const float* row = reinterpret_cast<const float*>(static_cast<const unsigned char*>(image.pixels) +
                                                          static_cast<std::ptrdiff_t>(y) * image.stride);
        const float* bad = std::find_if(row, row + image.width, [](float v) { return !std::isfinite(v); });
        if (bad != row + image.width)
            throw Error(ErrorCode::InvalidArgument, "pixel (" + std::to_string(bad - row) + ", " + std::to_string(y) +
                                                        ") of the image is not a finite number");
    }
}

}  // namespace

void DescribeOptions::validate() const
{
    if (descriptor != DescriptorKind::Sift && descriptor != DescriptorKind::RootSift &&
        descriptor != DescriptorKind::None)
        throw Error(ErrorCode::InvalidArgument, "unknown descriptor");
    if (!(mr_size > 0 && mr_size <= kMaxMrSize))
        throw Error(ErrorCode::InvalidArgument, "measurement region size must be above 0 and at most " + std::to_string(kMaxMrSize));
    if (patch_size < kMinPatchSize || patch_size > kMaxPatchSize)
        throw Error(ErrorCode::InvalidArgument, "patch size must be between " + std::to_string(kMinPatchSize) + " and " +
                    std::to_string(kMaxPatchSize) + ", got " + std::to_string(patch_size));
    if (threads < 0 || threads > kMaxThreads)
        throw Error(ErrorCode::InvalidArgument, "threads must be between 0 and " + std::to_string(kMaxThreads) + ", got " +
                    std::to_string(threads));
}

Frame uprightFrame(const Region& region)
{
    return frameOf(region, shapeRoot(region, 0));
}

Description describe(const ImageView& image, const std::vector<Region>& regions, const DescribeOptions& options)
{
    image.validate();
    options.validate();
    Description description;
    if (regions.empty())
        return description;
    if (image.width == 0 || image.height == 0)
        throw Error(ErrorCode::InvalidArgument, "cannot describe regions of an empty image");
    requireFinitePixels(image);
    std::vector<Shape> shapes;
    shapes.reserve(regions.size());
    for (std::size_t i = 0; i < regions.size(); ++i)
        shapes.push_back(shapeOf(regions[i], shapeRoot(regions[i], i)));
    const SmoothedPyramid pyramid(image, largestBlur(shapes, options));

    const int threads = detail::threadsFor(options.threads, regions.size());
    std::vector<Description> parts(threads);
    detail::runParts(threads, [&](int t) {
        RegionDescriber describer(pyramid, options);
        const std::size_t begin = regions.size() * t / threads;
        const std::size_t end = regions.size() * (t + 1) / threads;
        for (std::size_t i = begin; i < end; ++i)
            describer.describe(regions[i], shapes[i], i, parts[t]);
    });
    for (const Description& part : parts)
        append(description, part);
    return description;
}

}  // namespace tolvane
