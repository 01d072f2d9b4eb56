// Affine shape adaptation: the 2x2 matrix helpers, the second moment matrix
// of a patch and the iteration that makes a region's neighbourhood isotropic.
#include "afflib.h"

#include <cmath>
#include <iostream>

void invSqrRoot(float& m11, float& m12, float& m22, float& l1, float& l2)
{
    const float t = m11 - m22;
    const double u = 2.0 * m12;
    const double d = std::sqrt(static_cast<double>(t) * t + u * u);
    if (d == 0)
        return;  // a multiple of the identity: no principal axis

    // Unit eigenvector (c, s) of the larger eigenvalue, c >= 0.
    const double c = std::sqrt((t / d + 1.0f) * 0.5f);
    double s = std::sqrt(1.0f - c * c);
    if (static_cast<float>(u / d) < 0)
        s = -s;

    const double larger = m11 * c * c + 2 * m12 * c * s + m22 * s * s;
    const double smaller = m11 * s * s - 2 * m12 * c * s + m22 * c * c;
    if (!(larger >= 0) || !(smaller >= 0)) {  // also catches not-a-number
        std::cout << "errors" << std::endl;
        return;
    }

    float along = static_cast<float>(1 / std::sqrt(larger));
    float across = static_cast<float>(1 / std::sqrt(smaller));
    const double k = std::sqrt(static_cast<double>(along) * across);
    along = static_cast<float>(along / k);
    across = static_cast<float>(across / k);

    m11 = static_cast<float>(along * c * c + across * s * s);
    m12 = static_cast<float>((static_cast<double>(along) - across) * c * s);
    m22 = static_cast<float>(along * s * s + across * c * c);
    l1 = along;
    l2 = across;
}

void getEigen(float a, float b, float c, float d, float& l1, float& l2)
{
    const double tr = static_cast<double>(a) + d;
    const double disc = tr * tr - 4.0f * (static_cast<double>(a) * d - static_cast<double>(c) * b);
    if (disc < 0) {  // complex pair: a fixed value far beyond any elongation bound
        l1 = 1;
        l2 = 100;
        return;
    }
    l1 = static_cast<float>((tr + std::sqrt(disc)) * 0.5);
    l2 = static_cast<float>((tr - std::sqrt(disc)) * 0.5);
}

void getMi(DERY* image, float& m11, float& m12, float& m22, float x, float y)
{
    DERY gxx(image->rows, image->cols);
    DERY gyy(image->rows, image->cols);
    DERY gxy(image->rows, image->cols);
    dX6(image, &gxx);
    dY6(image, &gyy);
    for (int k = 0; k < image->size; ++k) {
        const float gx = gxx.pixels[0][k];
        const float gy = gyy.pixels[0][k];
        gxx.pixels[0][k] = gx * gx;
        gyy.pixels[0][k] = gy * gy;
        gxy.pixels[0][k] = gx * gy;
    }
    const int ix = static_cast<int>(x);
    const int iy = static_cast<int>(y);
    const float sigma = 1.8f;  // integration scale, in pixels of the image measured
    m11 = smoothf(ix, iy, &gxx, sigma);
    m22 = smoothf(ix, iy, &gyy, sigma);
    m12 = smoothf(ix, iy, &gxy, sigma);
}

// 0 for an isotropic shape, approaching 1 for a strongly oriented one.
static float anisotropy(float l1, float l2)
{
    return static_cast<float>(1 - static_cast<double>(l2) / l1);
}

static bool tooElongated(float l1, float l2)
{
    const float bound = 6.0f;
    return static_cast<double>(l1) / l2 > bound || static_cast<double>(l2) / l1 > bound;
}

static bool isFinite(const ShapeMatrix& u)
{
    return std::isfinite(u.u11) && std::isfinite(u.u12) && std::isfinite(u.u21)
        && std::isfinite(u.u22);
}

// [[m11, m12], [m12, m22]] * u.
static ShapeMatrix leftMultiply(float m11, float m12, float m22, const ShapeMatrix& u)
{
    const auto dot = [](float a, float b, float c, float d) {
        return static_cast<float>(static_cast<double>(a) * b + static_cast<double>(c) * d);
    };
    return {dot(m11, u.u11, m12, u.u21), dot(m11, u.u12, m12, u.u22),
            dot(m12, u.u11, m22, u.u21), dot(m12, u.u12, m22, u.u22)};
}

static void eigenvalues(const ShapeMatrix& u, float& l1, float& l2)
{
    getEigen(u.u11, u.u12, u.u21, u.u22, l1, l2);
}

int adaptRegionShape(AffRegion* region, int maxIterations, const ShapeMeasurement& measure)
{
    ShapeMatrix shape{region->mi11, region->mi12, region->mi12, region->mi22};
    // l1, l2 also receive the eigenvalues of each correction; when a
    // measurement is left unchanged by invSqrRoot they keep the shape's.
    float l1;
    float l2;
    eigenvalues(shape, l1, l2);
    float q = anisotropy(l1, l2);
    // A shape that is not a finite matrix cannot be resampled through, and
    // would pass every strict test below: such a region is rejected.
    if (maxIterations <= 0 || !isFinite(shape))
        return 0;

    const float isotropyBound = 0.08f;
    const int lastIterationIndex = 15;
    int i = 0;
    bool converged = false;
    do {
        float m11;
        float m12;
        float m22;
        measure(shape, m11, m12, m22);
        invSqrRoot(m11, m12, m22, l2, l1);  // l1 gets the factor >= 1
        const float previousQ = q;
        q = anisotropy(l1, l2);
        shape = leftMultiply(m11, m12, m22, shape);
        eigenvalues(shape, l1, l2);
        if (i > lastIterationIndex || !isFinite(shape) || tooElongated(l1, l2))
            return 0;
        converged = q < isotropyBound && previousQ < isotropyBound;
        ++i;
    } while (i < maxIterations && !converged);

    region->mi11 = shape.u11;
    region->mi12 = shape.u12;
    region->mi22 = shape.u22;
    return i;
}

int fastfindAffineRegion(const std::vector<DERY*>& levelImages,
                         const std::vector<DERY*>& /* auxMaps: not read */,
                         const std::vector<float>& scales,
                         AffRegion* region, int maxIterations)
{
    DERY* levelImage = levelImages[region->level];
    const float xl = region->x / scales[region->level];
    const float yl = region->y / scales[region->level];
    DERY patch(15, 15);
    const auto measurePatch = [&](const ShapeMatrix& u, float& m11, float& m12, float& m22) {
        interpolate(levelImage, &patch, xl, yl, u.u11, u.u12, u.u21, u.u22);
        getMi(&patch, m11, m12, m22, 7, 7);
    };
    return adaptRegionShape(region, maxIterations, measurePatch);
}

void findAffineRegion(const std::vector<DERY*>& levelImages,
                      const std::vector<DERY*>& auxMaps,
                      const std::vector<float>& scales,
                      std::vector<AffRegion*>& regions, int maxIterations)
{
    for (std::size_t k = 0; k < regions.size();) {
        if (fastfindAffineRegion(levelImages, auxMaps, scales, regions[k], maxIterations) == 0) {
            delete regions[k];
            regions.erase(regions.begin() + k);
        } else {
            ++k;
        }
    }
}
