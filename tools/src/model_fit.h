// Robust fitting of a homography or fundamental matrix to point pairs, with
// OpenCV's USAC/MAGSAC estimators.
#ifndef TOLVANE_MODEL_FIT_H
#define TOLVANE_MODEL_FIT_H

#include <string>
#include <vector>

namespace tolvane {

enum class ModelKind { Homography, Fundamental, None };

// "homography", "fundamental" or "none"; false for any other name.
bool parseModelKind(const std::string& name, ModelKind& kind);
const char* nameOf(ModelKind kind);

struct PointPair {
    double xa, ya, xb, yb;
};

struct ModelFit {
    bool found = false;
    double m[3][3] = {};            // row-major; maps A to B (homography) or x_b^T F x_a = 0
    std::vector<bool> inlier;       // one per pair
};

// The model that the most pairs agree with to within `maxError` pixels
// (reprojection error in B for a homography, distance to the epipolar line
// for a fundamental matrix). Not found with fewer pairs than the model needs
// (4 or 8) or when the estimator gives up; then no pair is an inlier.
ModelFit fitModel(ModelKind kind, const std::vector<PointPair>& pairs, double maxError);

}  // namespace tolvane

#endif
