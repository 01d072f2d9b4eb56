// The stages of refined-mode detection, for the library and its tests; not
// installed. Refined mode runs beside the exact detectors and reuses their
// building blocks (pyramid resampling, point extraction, patch measurement).
#ifndef TOLVANE_REFINED_H
#define TOLVANE_REFINED_H

#include "tolvane/detect.h"

#include "afflib.h"
#include "stages.h"

#include <array>
#include <cstddef>
#include <functional>
#include <vector>

class WorkerPool;

namespace tolvane {
namespace refined {

// Half-width of the response kernels: taps -6 .. 6, sigma 2 level pixels.
constexpr int kKernelReach = 6;
constexpr int kKernelTaps = 2 * kKernelReach + 1;

// Gain of the second derivatives: half of sum t^2 w(t) of the exact mode's
// 11-weight second-derivative pass, so that responses and thresholds keep
// the exact mode's scale.
constexpr double kDerivativeGain = 8.283;

// The three kernels, weight at offset t in element t + kKernelReach.
struct ResponseKernels {
    std::array<double, kKernelTaps> smooth;  // Gaussian, sum 1
    std::array<double, kKernelTaps> second;  // sum 0, sum t^2 w(t) = 2 gain
    std::array<double, kKernelTaps> first;   // sum t d(t) = sqrt(gain)
};
const ResponseKernels& responseKernels();

// Hessian determinant Lxx Lyy - Lxy^2 and trace Lxx + Lyy of one level,
// edges replicated; only the trace when det is null. The results do not
// depend on the pool's size.
void hessianResponses(DERY* level, DERY* det, DERY* trace, WorkerPool& pool);

// The trace of hessianResponses at one pixel of a level, the same value.
float traceAtPixel(const DERY& level, int col, int row);

// Scales the pixels to a standard deviation of 60 (nothing for a flat image).
void normaliseContrast(DERY& image);

// Side lengths and scale factors of a pyramid reduced by `factor` per level,
// by the rule of the exact mode's pyramid.
std::vector<PyramidLevel> pyramidLevels(int rows, int cols, float factor);

// Where the pixels of a pyramid level lie in the input image. Every level's
// grid is centred on the image: level pixel c lies at input
// x = (W - 1) / 2 + (c - (cols - 1) / 2) scale, rows alike (the pixel-centre
// convention of image resizers), so that the grids turn and mirror with the
// image.
class LevelGrid {
public:
    LevelGrid(const PyramidLevel& input, const PyramidLevel& level)
        : inputCentreX_(0.5 * (input.cols - 1)), inputCentreY_(0.5 * (input.rows - 1)),
          levelCentreX_(0.5 * (level.cols - 1)), levelCentreY_(0.5 * (level.rows - 1)), scale_(level.scale)
    {
    }
    double inputX(double col) const { return inputCentreX_ + (col - levelCentreX_) * scale_; }
    double inputY(double row) const { return inputCentreY_ + (row - levelCentreY_) * scale_; }
    double levelX(double x) const { return (x - inputCentreX_) / scale_ + levelCentreX_; }
    double levelY(double y) const { return (y - inputCentreY_) / scale_ + levelCentreY_; }

private:
    double inputCentreX_;
    double inputCentreY_;
    double levelCentreX_;
    double levelCentreY_;
    double scale_;
};
std::vector<LevelGrid> levelGrids(const std::vector<PyramidLevel>& levels);

// Bilinear resampling of src onto the grid of dst, both centred on the same
// point: dst pixel c samples src at (src cols - 1) / 2 + (c - (dst cols - 1) / 2)
// step, rows alike; positions past the source's outer pixels take the edge.
void resampleCentred(const DERY& src, DERY& dst, double step, WorkerPool& pool);

// Fills the patch with the level seen through the shape around (cx, cy):
// patch offset (column j, row i) from the patch centre samples the level at
// (cx + u11 j + u12 i, cy + u21 j + u22 i), bilinear, positions past the
// level's outer pixels taking the edge, so that the patch turns and mirrors
// with the level.
void samplePatch(const DERY& level, DERY& patch, float cx, float cy, const ShapeMatrix& u);

// The points of the determinant maxima above the threshold on levels
// 1 .. n-2 (any pixel with a 3 x 3 neighbourhood), at their pixels' input
// positions, with the level of the first trace extremum across levels (from
// one below up to eight above, while the point lies between the level's
// outer pixels) as their characteristic scale; identity start shapes. Points
// are not thinned here: those near each other often adapt to different
// regions, and the regions are thinned after adaptation.
// Level 0's trace is computed only where it is read, from `finest` (trace[0]
// is unread).
void extractPoints(const std::vector<DERY*>& det, const std::vector<DERY*>& trace, const DERY& finest,
                   const std::vector<LevelGrid>& grids, const std::vector<float>& scales, float threshold,
                   WorkerPool& pool, std::vector<AffRegion*>& records);

// Offset of the maximum of the quadratic through a 3 x 3 neighbourhood
// (values[row][column], centre [1][1]), each component clamped to [-1, 1];
// (0, 0) where that quadratic has no maximum.
struct Offset {
    float dx = 0;
    float dy = 0;
};
Offset subPixelOffset(const float (&values)[3][3]);

// Affine shape adaptation with the correction applied in patch coordinates,
// U <- U M', all four entries kept. Returns the number of iterations run, or
// 0 when the shape is rejected (a measurement not positive definite, U's
// singular values more than 6 apart, or no convergence within the
// iteration limit); `shape` is then unspecified.
int adaptShape(ShapeMatrix& shape, int maxIterations, const ShapeMeasurement& measure);

// A region's place for duplicate removal: centre in input pixels and scale.
struct Placement {
    float x;
    float y;
    float scale;
    float response;
};

// Whether each region is kept: taken strongest first (ties in list order),
// a region goes when a kept one lies within 0.5 max(s1, s2) pixels with
// |ln(s1 / s2)| < ln 1.25. Linear time.
std::vector<bool> distinctRegions(const std::vector<Placement>& places);

// What shape adaptation and duplicate removal make of a point.
enum class Outcome : char { Kept, Duplicate, Rejected };

// Adapts points through `adapt` (run on the pool, at most once per point;
// false when the shape is rejected) and removes duplicates among those whose
// shapes are accepted. Duplicate removal reads only places and strengths, so
// it runs first, and only the points it keeps are adapted, in rounds until
// every kept point has been: the outcome is that of adapting every point and
// then removing duplicates (a point that is not kept suppresses nothing), with
// fewer adaptations.
std::vector<Outcome> adaptDistinct(const std::vector<Placement>& places, const std::function<bool(std::size_t)>& adapt,
                                   WorkerPool& pool);

// The ellipse (49 s^2 U U^T)^-1 of a region's shape; false when it is not a
// finite, positive definite matrix.
bool refinedEllipse(float scale, const std::array<float, 4>& shape, double& a, double& b, double& c);

// Refined-mode detection of an image already copied into `image` (which is
// changed); the options are valid and the pyramid has a second level.
std::vector<Region> detect(DERY& image, const DetectorOptions& options, int threads, DetectionStats& stats);

}  // namespace refined
}  // namespace tolvane

#endif
