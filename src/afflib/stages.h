// The detectors' stages and hooks, for the library itself, its tests and its
// benchmarks; not installed.
#ifndef AFFLIB_STAGES_H
#define AFFLIB_STAGES_H

#include "afflib.h"

#include <cstddef>
#include <functional>
#include <vector>

class WorkerPool;

// A maximum of a level's response map at (row, col).
struct ResponseMaximum {
    int row;
    int col;
    float response;
};

// Level sizes of the resolution pyramid of an image of rows x cols: each
// side divided by 1.2 (single precision) and rounded while both exceed 12.
struct PyramidLevel {
    int cols;
    int rows;
    float scale;
};
std::vector<PyramidLevel> pyramidLevels(int rows, int cols);

// A zeroed block of pixels for several images (DERY views of its parts): one
// mapping, in whole huge pages where large, in place of many page-sized faults.
class PixelBlock {
public:
    explicit PixelBlock(std::size_t floats);
    ~PixelBlock();
    PixelBlock(const PixelBlock&) = delete;
    PixelBlock& operator=(const PixelBlock&) = delete;
    float* data() const { return data_; }
    // Gives the whole pages past the first `floats` of a mapped block back to
    // the system: what lies past them is unspecified afterwards.
    void releaseBeyond(std::size_t floats);

private:
    float* data_;
    std::size_t floats_;
};

// The stages of the detectors, for callers that drive or time them one by
// one. Each object owns the images it holds.

// The resolution pyramid: level 0 the input itself (borrowed: it must
// outlive the pyramid), each further level the previous one resampled by 1.2.
struct ScaleSpace {
    explicit ScaleSpace(DERY* image, int threads = 1);
    ~ScaleSpace();
    ScaleSpace(const ScaleSpace&) = delete;
    ScaleSpace& operator=(const ScaleSpace&) = delete;
    // Points are searched on levels 1 .. n-2 only.
    bool canHoldPoints() const { return images.size() >= 3; }

    std::vector<PyramidLevel> levels;
    std::vector<float> scales;
    PixelBlock storage;  // the pixels of levels 1 and up
    std::vector<DERY*> images;
};

// Hessian trace of every level and determinant of the levels searched for
// points (1 .. n-2; null elsewhere), computed only when the pyramid can hold
// points.
struct HessianMaps {
    explicit HessianMaps(const ScaleSpace& space, int threads = 1);
    ~HessianMaps();
    HessianMaps(const HessianMaps&) = delete;
    HessianMaps& operator=(const HessianMaps&) = delete;

    std::vector<DERY*> det;
    PixelBlock traceStorage;
    std::vector<DERY*> trace;
};

// The same trace maps and, in place of the determinants, each searched
// level's determinant maxima above `threshold` (see responseMaxima), taken
// from each determinant as soon as it is made and dropped with it: only one
// determinant map exists at a time.
struct HessianScan {
    HessianScan(const ScaleSpace& space, float threshold, int threads = 1);
    ~HessianScan();
    HessianScan(const HessianScan&) = delete;
    HessianScan& operator=(const HessianScan&) = delete;

    std::vector<std::vector<ResponseMaximum>> maxima;
    PixelBlock traceStorage;
    std::vector<DERY*> trace;
};

// Laplacian of every level; Harris cornerness and smoothed gradient products
// of levels 1 and up (null for level 0, which is never searched).
struct HarrisMaps {
    explicit HarrisMaps(const ScaleSpace& space, int threads = 1);
    ~HarrisMaps();
    HarrisMaps(const HarrisMaps&) = delete;
    HarrisMaps& operator=(const HarrisMaps&) = delete;

    std::vector<DERY*> lap;
    std::vector<DERY*> response;
    std::vector<DERY*> m11;
    std::vector<DERY*> m12;
    std::vector<DERY*> m22;
};

// ---------------------------------------------------------------------------
// Point extraction
// ---------------------------------------------------------------------------

// The strict maxima of a response map above the threshold (greater than the
// threshold and than each of the 8 neighbours), away from the map's border,
// in scan order, the rows spread over the pool.
std::vector<ResponseMaximum> responseMaxima(const DERY* response, float threshold, WorkerPool& pool);
// The same with the maxima `border` (at least 1) pixels or more from the
// map's edges.
std::vector<ResponseMaximum> responseMaxima(const DERY* response, float threshold, int border, WorkerPool& pool);

// Work that runs beside the near-duplicate thinning: called with the pool
// and the thinning's next step each time a thinned bucket has joined the
// list, it runs that step, e.g. as one task on the pool among its own.
using ThinningCompanion = std::function<void(WorkerPool& pool, const std::function<void()>& thinNext)>;

// What harris_lap does with the Hessian determinants (mode 2: identity start
// shapes), from each level's maxima found beforehand: maxima[l] for the
// levels 1 .. n-2 searched, the Laplacian maps of all n levels. The
// companion, if any, runs beside the thinning.
void addHessianRegions(const std::vector<std::vector<ResponseMaximum>>& maxima, const std::vector<DERY*>& lapMaps,
                       const std::vector<float>& scales, std::vector<AffRegion*>& regions, int threads,
                       const ThinningCompanion& companion = {});

// The near-duplicate thinning of harris_lap on regions grouped by
// characteristic-scale index (buckets[i] in scan order): bucket i, with the
// bound scales[i], is thinned against itself and then against bucket i + 1,
// candidate by candidate in list order. Two regions are near duplicates when
// their centres differ by less than the bound on both axes; of such a pair
// the candidate goes when its response is not greater, the other otherwise.
// The regions dropped leave their buckets, which keep their order.
void suppressNearDuplicates(std::vector<std::vector<AffRegion>>& buckets, const std::vector<float>& scales);

// The same thinning a bucket at a time: thin(i), called for i = 0, 1, ... in
// turn, finishes bucket i (its dropped regions gone), which the thinning of
// later buckets no longer touches.
class NearDuplicateThinning {
public:
    NearDuplicateThinning(std::vector<std::vector<AffRegion>>& buckets, const std::vector<float>& scales);
    void thin(std::size_t i);

private:
    std::vector<std::vector<AffRegion>>& buckets_;
    const std::vector<float>& scales_;
    std::vector<std::vector<char>> kept_;
};

// ---------------------------------------------------------------------------
// Affine adaptation with a replaceable measurement step
// ---------------------------------------------------------------------------

// A region's shape matrix during adaptation, row by row.
struct ShapeMatrix {
    float u11;
    float u12;
    float u21;
    float u22;
};

// Gives the second moment matrix [[m11, m12], [m12, m22]] of the region's
// neighbourhood seen through the shape.
using ShapeMeasurement =
    std::function<void(const ShapeMatrix& shape, float& m11, float& m12, float& m22)>;

// The iteration of fastfindAffineRegion with measure in place of the patch
// measurement (which fastfindAffineRegion passes in); same result, and the
// same rule for writing the shape back.
int adaptRegionShape(AffRegion* region, int maxIterations, const ShapeMeasurement& measure);

// findAffineRegion in steps, for a list that grows while it is adapted:
// each adaptNew adapts the regions appended since the last one (at first,
// all) on the pool, with `alongside` (if any) run as one more task of it;
// dropRejected then drops the regions that kept no shape, as
// findAffineRegion does.
class ShapeAdaptationRun {
public:
    ShapeAdaptationRun(const std::vector<DERY*>& levelImages, const std::vector<float>& scales,
                       std::vector<AffRegion*>& regions, int maxIterations);
    void adaptNew(WorkerPool& pool, const std::function<void()>& alongside);
    void dropRejected();

private:
    const std::vector<DERY*>& levelImages_;
    const std::vector<float>& scales_;
    std::vector<AffRegion*>& regions_;
    int maxIterations_;
    std::size_t adapted_ = 0;
    std::vector<int> iterations_;  // per region of the list, 0 for a rejected one
};

// ---------------------------------------------------------------------------
// Measurement of the affine adaptation patch
// ---------------------------------------------------------------------------

// Side of the square patch that affine adaptation resamples and measures.
constexpr int kAdaptationPatchSide = 15;

// getMi(patch, m11, m12, m22, 7, 7), bit for bit. For a patch of
// kAdaptationPatchSide rows and columns it computes the gradients only where
// the Gaussian window reads them, allocates nothing and weights with its own
// copy of the window, whatever the Gaussian window cache holds.
void getPatchMi(DERY* patch, float& m11, float& m12, float& m22);

// How many points the detectors found and how many of them kept a shape.
struct DetectionCounts {
    size_t extracted = 0;
    size_t adapted = 0;
};

// multi_scale_hes and multi_scale_har, also counting.
void multi_scale_hes(DERY* image, std::vector<AffRegion*>& regions, float threshold, int maxIterations,
                     int threads, DetectionCounts& counts);
void multi_scale_har(DERY* image, std::vector<AffRegion*>& regions, float threshold, int maxIterations,
                     int threads, DetectionCounts& counts);

#endif
