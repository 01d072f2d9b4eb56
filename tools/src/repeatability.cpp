// Region-overlap repeatability of two region sets related by a homography.
#include "repeatability.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <istream>
#include <tuple>

namespace tolvane {
namespace {

// Rows of the integration of the chord overlap.
constexpr int kIntegrationRows = 1024;

double determinantOf(const Ellipse& e)
{
    return e.a * e.c - e.b * e.b;
}

// Half the ellipse's extent along x and along y.
double halfWidth(const Ellipse& e)
{
    return std::sqrt(e.c / determinantOf(e));
}

double halfHeight(const Ellipse& e)
{
    return std::sqrt(e.a / determinantOf(e));
}

// The chord [left, right] of the ellipse on the row y; false when the row
// misses it.
bool chordAt(const Ellipse& e, double y, double& left, double& right)
{
    const double dy = y - e.y;
    const double discriminant = e.a - determinantOf(e) * dy * dy;
    if (discriminant <= 0.0)
        return false;
    const double middle = e.x - e.b * dy / e.a;
    const double half = std::sqrt(discriminant) / e.a;
    left = middle - half;
    right = middle + half;
    return true;
}

double chordOverlap(const Ellipse& p, const Ellipse& q, double y)
{
    double pl, pr, ql, qr;
    if (!chordAt(p, y, pl, pr) || !chordAt(q, y, ql, qr))
        return 0.0;
    return std::max(0.0, std::min(pr, qr) - std::max(pl, ql));
}

bool boxesOverlap(const Ellipse& p, const Ellipse& q)
{
    return std::abs(p.x - q.x) < halfWidth(p) + halfWidth(q) &&
           std::abs(p.y - q.y) < halfHeight(p) + halfHeight(q);
}

struct Candidate {
    double error;
    std::size_t a;
    std::size_t b;
};

// Pairs with an error below `limit`, by increasing error (then index).
std::vector<Candidate> candidatePairs(const std::vector<Ellipse>& projectedA, const std::vector<Ellipse>& b,
                                      double limit)
{
    std::vector<Candidate> pairs;
    for (std::size_t i = 0; i < projectedA.size(); ++i) {
        const double factor = kNormalisedRadius / std::sqrt(ellipseArea(projectedA[i]) / M_PI);
        const Ellipse reference = scaledAboutCentre(projectedA[i], factor);
        const double referenceArea = ellipseArea(reference);
        for (std::size_t j = 0; j < b.size(); ++j) {
            const Ellipse other = scaledAboutCentre(b[j], factor);
            const double otherArea = ellipseArea(other);
            // Intersection <= the smaller area and union >= the larger one.
            const double leastError = 1.0 - std::min(referenceArea, otherArea) / std::max(referenceArea, otherArea);
            if (leastError >= limit || !boxesOverlap(reference, other))
                continue;
            const double error = overlapError(reference, other);
            if (error < limit)
                pairs.push_back(Candidate{error, i, j});
        }
    }
    std::sort(pairs.begin(), pairs.end(), [](const Candidate& l, const Candidate& r) {
        return std::tie(l.error, l.a, l.b) < std::tie(r.error, r.a, r.b);
    });
    return pairs;
}

std::size_t countOneToOne(const std::vector<Candidate>& sortedPairs, double threshold, std::size_t countA,
                          std::size_t countB)
{
    std::vector<bool> usedA(countA, false);
    std::vector<bool> usedB(countB, false);
    std::size_t matches = 0;
    for (const Candidate& pair : sortedPairs) {
        if (pair.error >= threshold)
            break;
        if (usedA[pair.a] || usedB[pair.b])
            continue;
        usedA[pair.a] = usedB[pair.b] = true;
        ++matches;
    }
    return matches;
}

// A homography and its multiples are one mapping; points map only where the
// third homogeneous coordinate is positive, so the sign is chosen that makes
// it positive at the centre of image A.
Homography facingForward(const Homography& h, const ImageSize& sizeA)
{
    const auto& m = h.m;
    const double w = m[2][0] * (sizeA.width - 1) / 2.0 + m[2][1] * (sizeA.height - 1) / 2.0 + m[2][2];
    if (!(w < 0.0))
        return h;
    Homography negated{};
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            negated.m[r][c] = -m[r][c];
    return negated;
}

}  // namespace

bool readHomography(std::istream& in, Homography& h, std::string& error)
{
    std::string token;
    int count = 0;
    while (in >> token) {
        double value = 0.0;
        const auto result = std::from_chars(token.data(), token.data() + token.size(), value);
        if (result.ec != std::errc() || result.ptr != token.data() + token.size() || !std::isfinite(value)) {
            error = "'" + token + "' is not a number";
            return false;
        }
        if (count == 9) {
            error = "more than 9 numbers";
            return false;
        }
        h.m[count / 3][count % 3] = value;
        ++count;
    }
    if (count < 9) {
        error = "expected 9 numbers, found " + std::to_string(count);
        return false;
    }
    return true;
}

bool invert(const Homography& h, Homography& inverse)
{
    const auto& m = h.m;
    double adj[3][3];
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) {
            // Cofactor of entry (c, r): the adjugate is the transposed cofactor matrix.
            const int r1 = (c + 1) % 3, r2 = (c + 2) % 3, c1 = (r + 1) % 3, c2 = (r + 2) % 3;
            adj[r][c] = m[r1][c1] * m[r2][c2] - m[r1][c2] * m[r2][c1];
        }
    const double det = m[0][0] * adj[0][0] + m[0][1] * adj[1][0] + m[0][2] * adj[2][0];
    if (det == 0.0 || !std::isfinite(det))
        return false;
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            inverse.m[r][c] = adj[r][c] / det;
    return true;
}

bool mapPoint(const Homography& h, double x, double y, double& mappedX, double& mappedY)
{
    const auto& m = h.m;
    const double w = m[2][0] * x + m[2][1] * y + m[2][2];
    if (!(w > 0.0))
        return false;
    mappedX = (m[0][0] * x + m[0][1] * y + m[0][2]) / w;
    mappedY = (m[1][0] * x + m[1][1] * y + m[1][2]) / w;
    return std::isfinite(mappedX) && std::isfinite(mappedY);
}

bool projectEllipse(const Ellipse& e, const Homography& h, Ellipse& projected)
{
    double px, py;
    if (!mapPoint(h, e.x, e.y, px, py))
        return false;
    const auto& m = h.m;
    const double w = m[2][0] * e.x + m[2][1] * e.y + m[2][2];
    // Jacobian of (u / w, v / w) at the centre, where (px, py) = (u / w, v / w).
    const double j11 = (m[0][0] - px * m[2][0]) / w;
    const double j12 = (m[0][1] - px * m[2][1]) / w;
    const double j21 = (m[1][0] - py * m[2][0]) / w;
    const double j22 = (m[1][1] - py * m[2][1]) / w;
    const double det = j11 * j22 - j12 * j21;
    if (det == 0.0 || !std::isfinite(det))
        return false;
    // K = J^-1; the new matrix is K^T S K.
    const double k11 = j22 / det, k12 = -j12 / det, k21 = -j21 / det, k22 = j11 / det;
    const double s11k11 = e.a * k11 + e.b * k21, s11k12 = e.a * k12 + e.b * k22;
    const double s21k11 = e.b * k11 + e.c * k21, s21k12 = e.b * k12 + e.c * k22;
    projected = Ellipse{static_cast<float>(px), static_cast<float>(py), k11 * s11k11 + k21 * s21k11,
                        k11 * s11k12 + k21 * s21k12, k12 * s11k12 + k22 * s21k12};
    return true;
}

double ellipseArea(const Ellipse& e)
{
    return M_PI / std::sqrt(determinantOf(e));
}

Ellipse scaledAboutCentre(const Ellipse& e, double factor)
{
    const double shrink = 1.0 / (factor * factor);
    return Ellipse{e.x, e.y, e.a * shrink, e.b * shrink, e.c * shrink};
}

double intersectionArea(const Ellipse& p, const Ellipse& q)
{
    const double top = std::max(p.y - halfHeight(p), q.y - halfHeight(q));
    const double bottom = std::min(p.y + halfHeight(p), q.y + halfHeight(q));
    if (!(top < bottom))
        return 0.0;
    // y = middle + half sin(t): the chord overlap vanishes like a square root
    // at the ends of the common rows, and the cos(t) factor smooths it out.
    const double middle = 0.5 * (top + bottom);
    const double half = 0.5 * (bottom - top);
    const double step = M_PI / kIntegrationRows;
    double sum = 0.0;
    for (int k = 0; k < kIntegrationRows; ++k) {
        const double t = -0.5 * M_PI + (k + 0.5) * step;
        sum += chordOverlap(p, q, middle + half * std::sin(t)) * std::cos(t);
    }
    return sum * half * step;
}

double overlapError(const Ellipse& p, const Ellipse& q)
{
    const double intersection = intersectionArea(p, q);
    return 1.0 - intersection / (ellipseArea(p) + ellipseArea(q) - intersection);
}

double normalisedOverlapError(const Ellipse& reference, const Ellipse& other)
{
    const double factor = kNormalisedRadius / std::sqrt(ellipseArea(reference) / M_PI);
    return overlapError(scaledAboutCentre(reference, factor), scaledAboutCentre(other, factor));
}

bool insideImage(double x, double y, const ImageSize& size)
{
    return x >= 0.0 && y >= 0.0 && x <= size.width - 1.0 && y <= size.height - 1.0;
}

double RepeatabilityResult::repeatability(std::size_t thresholdIndex) const
{
    const std::size_t common = std::min(commonA, commonB);
    return common == 0 ? 0.0 : static_cast<double>(correspondences[thresholdIndex]) / common;
}

RepeatabilityResult measureRepeatability(const std::vector<Ellipse>& a, const std::vector<Ellipse>& b,
                                         const Homography& given, const ImageSize& sizeA, const ImageSize& sizeB,
                                         const std::vector<double>& thresholds)
{
    const Homography h = facingForward(given, sizeA);
    RepeatabilityResult result;
    result.regionsA = a.size();
    result.regionsB = b.size();
    result.thresholds = thresholds;

    std::vector<Ellipse> projectedA;
    for (const Ellipse& e : a) {
        Ellipse projected{};
        if (projectEllipse(e, h, projected) && insideImage(projected.x, projected.y, sizeB))
            projectedA.push_back(projected);
    }
    std::vector<Ellipse> commonB;
    Homography inverse{};
    if (invert(h, inverse)) {
        for (const Ellipse& e : b) {
            double x, y;
            if (mapPoint(inverse, e.x, e.y, x, y) && insideImage(x, y, sizeA))
                commonB.push_back(e);
        }
    }
    result.commonA = projectedA.size();
    result.commonB = commonB.size();

    const double limit = thresholds.empty() ? 0.0 : *std::max_element(thresholds.begin(), thresholds.end());
    const std::vector<Candidate> pairs = candidatePairs(projectedA, commonB, limit);
    for (const double threshold : thresholds)
        result.correspondences.push_back(countOneToOne(pairs, threshold, projectedA.size(), commonB.size()));
    return result;
}

std::size_t countCorrectMatches(const std::vector<Ellipse>& a, const std::vector<Ellipse>& b,
                                const std::vector<std::pair<std::size_t, std::size_t>>& pairs, const Homography& h,
                                const ImageSize& sizeA, const ImageSize& sizeB, double threshold)
{
    Homography inverse{};
    if (!invert(h, inverse))
        return 0;
    std::size_t correct = 0;
    for (const auto& [i, j] : pairs) {
        Ellipse projected{};
        double x, y;
        if (projectEllipse(a[i], h, projected) && insideImage(projected.x, projected.y, sizeB) &&
            mapPoint(inverse, b[j].x, b[j].y, x, y) && insideImage(x, y, sizeA) &&
            normalisedOverlapError(projected, b[j]) < threshold)
            ++correct;
    }
    return correct;
}

}  // namespace tolvane
