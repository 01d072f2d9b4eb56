// Conversion of a region's shape to the ellipse its adaptation patch covers.
#include "afflib.h"

#include <cmath>

bool regionEllipse(const AffRegion& region, Ellipse& ellipse)
{
    // With the symmetric M = [[m11, m12], [m12, m22]] and A = s M,
    // (A A^T)^-1 = (M^-1)^2 / s^2, and M^-1 is the adjugate over det M.
    const double s = region.scale;
    const double m11 = region.mi11;
    const double m12 = region.mi12;
    const double m22 = region.mi22;
    const double det = m11 * m22 - m12 * m12;
    if (det == 0.0)
        return false;
    const double denominator = s * s * det * det * (kPatchRadius * kPatchRadius);
    const double a = (m22 * m22 + m12 * m12) / denominator;
    const double b = -m12 * (m11 + m22) / denominator + 0.0;  // + 0.0: no "-0" for a diagonal shape
    const double c = (m11 * m11 + m12 * m12) / denominator;
    if (!std::isfinite(a) || !std::isfinite(b) || !std::isfinite(c))
        return false;
    ellipse = Ellipse{region.x, region.y, a, b, c};
    return true;
}
