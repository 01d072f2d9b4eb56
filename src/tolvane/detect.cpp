// The namespaced detection entry point over the exact detectors.
#include "tolvane/detect.h"

#include "tolvane/error.h"

#include "afflib.h"
#include "diagnostics.h"
#include "parallel.h"
#include "refined.h"
#include "region_records.h"
#include "stages.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <numeric>
#include <string>
#include <thread>

namespace tolvane {
namespace {

constexpr int kMaxIterations = 1000;
constexpr int kMaxThreads = 1024;
// Both sides must exceed this for the pyramid to have a second level.
constexpr int kSingleLevelSide = 12;
constexpr float kExactThreshold = 1000.0f;
constexpr float kRefinedThreshold = 500.0f;
constexpr float kExactPyramidFactor = 1.2f;
constexpr float kMinPyramidFactor = 1.05f;
constexpr float kMaxPyramidFactor = 2.0f;

void copyRows(const ImageView& view, DERY& image, int begin, int end)
{
    for (int y = begin; y < end; ++y) {
        float* row = image.pixels[y];
        if (view.type == PixelType::UInt8) {
            const auto* in = static_cast<const std::uint8_t*>(view.pixels) + y * view.stride;
            std::copy(in, in + view.width, row);
        } else {
            const auto* in = reinterpret_cast<const float*>(static_cast<const unsigned char*>(view.pixels) +
                                                            y * view.stride);
            std::copy(in, in + view.width, row);
        }
    }
}

// The float copy of the view; its rows, in blocks of about a huge page, are
// converted (and their pages first touched) on the detection's threads.
std::unique_ptr<DERY> imageOf(const ImageView& view, int threads)
{
    std::unique_ptr<DERY> image;
    try {
        image = std::make_unique<DERY>(view.height, view.width);
    } catch (const std::exception&) {
        throw Error(ErrorCode::OutOfMemory, "no memory for a " + std::to_string(view.width) + " x " + std::to_string(view.height) +
                    " image");
    }
    const int pixelsPerBlock = 1 << 19;
    WorkerPool pool(threads);
    forEachBlock(pool, view.height, std::max(1, pixelsPerBlock / std::max(1, view.width)),
                 [&](int begin, int end) { copyRows(view, *image, begin, end); });
    return image;
}

// The image enlarged twice on the centred pixel grid: enlarged pixel C lies
// at input x = (C - 0.5) / 2, so each input pixel becomes four, weighing it
// 3/4 and its neighbour towards them 1/4 along each axis, edges replicated.
std::unique_ptr<DERY> enlargedTwice(const DERY& image, int threads)
{
    const int cols = image.cols;
    const int rows = image.rows;
    std::unique_ptr<DERY> wide;
    std::unique_ptr<DERY> enlarged;
    try {
        wide = std::make_unique<DERY>(rows, 2 * cols);
        enlarged = std::make_unique<DERY>(2 * rows, 2 * cols);
    } catch (const std::exception&) {
        throw Error(ErrorCode::OutOfMemory, "cannot allocate the " + std::to_string(2 * cols) + " x " +
                    std::to_string(2 * rows) + " enlarged image");
    }
    const auto blend = [](float own, float next) { return 0.75f * own + 0.25f * next; };
    WorkerPool pool(threads);
    const int rowsPerBlock = std::max(1, (1 << 18) / std::max(1, cols));
    forEachBlock(pool, rows, rowsPerBlock, [&](int begin, int end) {
        for (int r = begin; r < end; ++r) {
            const float* in = image.pixels[r];
            float* out = wide->pixels[r];
            for (int c = 0; c < cols; ++c) {
                out[2 * c] = blend(in[c], in[std::max(c - 1, 0)]);
                out[2 * c + 1] = blend(in[c], in[std::min(c + 1, cols - 1)]);
            }
        }
    });
    forEachBlock(pool, rows, rowsPerBlock, [&](int begin, int end) {
        for (int r = begin; r < end; ++r) {
            const float* own = wide->pixels[r];
            const float* above = wide->pixels[std::max(r - 1, 0)];
            const float* below = wide->pixels[std::min(r + 1, rows - 1)];
            for (int c = 0; c < 2 * cols; ++c) {
                enlarged->pixels[2 * r][c] = blend(own[c], above[c]);
                enlarged->pixels[2 * r + 1][c] = blend(own[c], below[c]);
            }
        }
    });
    return enlarged;
}

// Regions found on the image enlarged twice, moved into input pixels.
void shrinkFromEnlarged(std::vector<Region>& regions)
{
    for (Region& r : regions) {
        r.x = (r.x - 0.5f) * 0.5f;
        r.y = (r.y - 0.5f) * 0.5f;
        r.scale *= 0.5f;
        r.lap_scale *= 0.5f;
        r.a *= 4;
        r.b *= 4;
        r.c *= 4;
    }
}

int threadCount(int requested)
{
    if (requested > 0)
        return requested;
    return std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
}

bool regionOf(const AffRegion& record, Region& region)
{
    Ellipse ellipse;
    if (!regionEllipse(record, ellipse))
        return false;
    region = regionFields(record);
    region.a = ellipse.a;
    region.b = ellipse.b;
    region.c = ellipse.c;
    return true;
}

// The `count` strongest regions by |response|, ties in list order, kept in
// list order.
void keepStrongest(std::vector<Region>& regions, std::size_t count)
{
    if (count == 0 || regions.size() <= count)
        return;
    std::vector<std::size_t> order(regions.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](std::size_t i, std::size_t j) {
        return std::fabs(regions[i].response) > std::fabs(regions[j].response);
    });
    order.resize(count);
    std::sort(order.begin(), order.end());
    std::vector<Region> kept;
    kept.reserve(count);
    for (std::size_t i : order)
        kept.push_back(regions[i]);
    regions.swap(kept);
}

std::vector<Region> detectExact(DERY& image, const DetectorOptions& options, int threads, DetectionStats& stats)
{
    RegionRecords records;
    DetectionCounts counts;
    const float threshold = options.responseThreshold();
    if (options.detector == Detector::Hessian)
        multi_scale_hes(&image, records.list, threshold, options.iterations, threads, counts);
    else
        multi_scale_har(&image, records.list, threshold, options.iterations, threads, counts);
    // Each record is converted into its own slot on the threads; those
    // without an ellipse then leave, in list order.
    const std::vector<AffRegion*>& list = records.list;
    std::vector<Region> regions(list.size());
    std::vector<char> converted(list.size());
    const int regionsPerTask = 4096;
    WorkerPool pool(threads);
    forEachBlock(pool, static_cast<int>(list.size()), regionsPerTask, [&](int begin, int end) {
        for (int k = begin; k < end; ++k)
            converted[k] = regionOf(*list[k], regions[k]);
    });
    std::size_t kept = 0;
    for (std::size_t k = 0; k < list.size(); ++k)
        if (converted[k])
            regions[kept++] = regions[k];
    regions.resize(kept);
    stats.extracted = counts.extracted;
    stats.rejected = counts.extracted - counts.adapted;
    stats.singular = records.list.size() - regions.size();
    return regions;
}

}  // namespace

void DetectorOptions::validate() const
{
    if (threshold && !std::isfinite(*threshold))
        throw Error(ErrorCode::InvalidArgument, "detector threshold must be a finite number");
    if (iterations < 0 || iterations > kMaxIterations)
        throw Error(ErrorCode::InvalidArgument, "adaptation iterations must be between 0 and " + std::to_string(kMaxIterations) + ", got " +
                    std::to_string(iterations));
    if (threads < 0 || threads > kMaxThreads)
        throw Error(ErrorCode::InvalidArgument, "threads must be between 0 and " + std::to_string(kMaxThreads) + ", got " +
                    std::to_string(threads));
    if (detector != Detector::Hessian && detector != Detector::Harris)
        throw Error(ErrorCode::InvalidArgument, "unknown detector");
    if (mode != Mode::Exact && mode != Mode::Refined)
        throw Error(ErrorCode::InvalidArgument, "unknown detection mode");
    if (mode == Mode::Refined && detector != Detector::Hessian)
        throw Error(ErrorCode::InvalidArgument, "refined mode has the Hessian detector only");
    if (!(pyramid_factor >= kMinPyramidFactor && pyramid_factor <= kMaxPyramidFactor))
        throw Error(ErrorCode::InvalidArgument, "pyramid factor must be between " + std::to_string(kMinPyramidFactor) + " and " +
                    std::to_string(kMaxPyramidFactor) + ", got " + std::to_string(pyramid_factor));
    if (mode == Mode::Exact && pyramid_factor != kExactPyramidFactor)
        throw Error(ErrorCode::InvalidArgument, "exact mode has the pyramid factor 1.2 only");
    if (mode == Mode::Exact && upsample)
        throw Error(ErrorCode::InvalidArgument, "only refined mode can detect on the image enlarged twice");
}

float DetectorOptions::responseThreshold() const
{
    if (threshold)
        return *threshold;
    return mode == Mode::Refined ? kRefinedThreshold : kExactThreshold;
}

std::vector<Region> detect(const ImageView& view, const DetectorOptions& options, DetectionStats* stats)
{
    view.validate();
    options.validate();
    DetectionStats counted;
    std::vector<Region> regions;
    if (view.width > kSingleLevelSide && view.height > kSingleLevelSide) {
        const int threads = threadCount(options.threads);
        std::unique_ptr<DERY> image = imageOf(view, threads);
        if (options.upsample)
            image = enlargedTwice(*image, threads);
        DiagnosticCounter warnings{0};
        {
            const ScopedDiagnosticCounter scope(&warnings);
            if (options.mode == Mode::Refined)
                regions = refined::detect(*image, options, threads, counted);
            else
                regions = detectExact(*image, options, threads, counted);
        }
        counted.shape_warnings = warnings.load();
        if (options.upsample)
            shrinkFromEnlarged(regions);
        const std::size_t found = regions.size();
        keepStrongest(regions, options.max_regions);
        counted.cut = found - regions.size();
    }
    if (stats)
        *stats = counted;
    return regions;
}

}  // namespace tolvane
