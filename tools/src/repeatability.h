// Region-overlap repeatability of two region sets related by a homography.
#ifndef TOLVANE_REPEATABILITY_H
#define TOLVANE_REPEATABILITY_H

#include "region_formats.h"

#include <iosfwd>
#include <string>
#include <vector>

namespace tolvane {

// A 3x3 homography acting on (x, y, 1), row-major.
struct Homography {
    double m[3][3];
};

// Nine numbers, row after row; false with a reason.
bool readHomography(std::istream& in, Homography& h, std::string& error);

// False when the matrix is singular.
bool invert(const Homography& h, Homography& inverse);

// The image of a point; false when the point maps to infinity or beyond it
// (third homogeneous coordinate not positive).
bool mapPoint(const Homography& h, double x, double y, double& mappedX, double& mappedY);

// The ellipse seen through the affine approximation of h at its centre: the
// centre is mapped by h and the shape by the Jacobian J of h there, so
// [[a, b], [b, c]] becomes J^-T [[a, b], [b, c]] J^-1. False when h cannot
// map the centre or J is singular.
bool projectEllipse(const Ellipse& e, const Homography& h, Ellipse& projected);

double ellipseArea(const Ellipse& e);

// The ellipse grown by `factor` in every direction about its centre.
Ellipse scaledAboutCentre(const Ellipse& e, double factor);

// Area of the intersection of two ellipses. The chord of each ellipse on a
// horizontal line is exact; the chord overlap is integrated over the common
// rows with the substitution y = m + h sin(t) and the midpoint rule, which
// is exact for two concentric circles and accurate to about 1e-6 of the
// smaller area otherwise (see the tests).
double intersectionArea(const Ellipse& p, const Ellipse& q);

// 1 - intersection / union.
double overlapError(const Ellipse& p, const Ellipse& q);

// Radius of the circle whose area the projected region of the first image is
// normalised to before two regions are compared.
constexpr double kNormalisedRadius = 30.0;

// Overlap error of two ellipses of one frame after both have been scaled
// about their centres by the one factor that gives `reference` the area of
// a circle of radius kNormalisedRadius.
double normalisedOverlapError(const Ellipse& reference, const Ellipse& other);

struct ImageSize {
    int width = 0;
    int height = 0;
};

// Whether (x, y) lies on the image: 0 <= x <= width - 1, 0 <= y <= height - 1.
bool insideImage(double x, double y, const ImageSize& size);

struct RepeatabilityResult {
    std::size_t regionsA = 0;
    std::size_t regionsB = 0;
    std::size_t commonA = 0;  // regions of A whose centre maps into B
    std::size_t commonB = 0;  // regions of B whose centre maps back into A
    std::vector<double> thresholds;
    std::vector<std::size_t> correspondences;  // one per threshold

    // Correspondences over the smaller common count, 0 when that is 0.
    double repeatability(std::size_t thresholdIndex) const;
};

// Projects A's regions into B's frame with h (A to B) and counts, for each
// overlap-error threshold, the one-to-one correspondences whose normalised
// overlap error is below it: pairs are taken in order of increasing error
// and each region is used at most once. Every non-zero multiple of h, the same mapping,
// gives the same result.
RepeatabilityResult measureRepeatability(const std::vector<Ellipse>& a, const std::vector<Ellipse>& b,
                                         const Homography& h, const ImageSize& sizeA, const ImageSize& sizeB,
                                         const std::vector<double>& thresholds);

// Of the pairs (index in a, index in b), typically nearest neighbours by
// descriptor, those that are also correspondences: both regions in the
// common part and their normalised overlap error below `threshold`.
std::size_t countCorrectMatches(const std::vector<Ellipse>& a, const std::vector<Ellipse>& b,
                                const std::vector<std::pair<std::size_t, std::size_t>>& pairs, const Homography& h,
                                const ImageSize& sizeA, const ImageSize& sizeB, double threshold);

}  // namespace tolvane

#endif
