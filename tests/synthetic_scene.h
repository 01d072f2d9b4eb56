// Synthetic grey scenes drawn exactly under an affine map, and the regions
// that correspond to each other in two drawings: ground truth for the tests
// of orientations, descriptors and matching.
#ifndef TOLVANE_TESTS_SYNTHETIC_SCENE_H
#define TOLVANE_TESTS_SYNTHETIC_SCENE_H

#include <tolvane/tolvane.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

struct Blob {
    float x, y;       // centre, scene units
    float sigma;      // size, scene units
    float contrast;   // grey levels, signed
};

// p_image = centre + T (p_scene - scene_centre).
struct AffineView {
    float t11 = 1, t12 = 0, t21 = 0, t22 = 1;

    static AffineView rotationTiltShear(float degrees, float tilt, float shear = 0)
    {
        const float a = degrees * 3.14159265f / 180.0f;
        const float c = std::cos(a), s = std::sin(a);
        // rotation, then squash x by `tilt`, then shear x by y
        const float r11 = c, r12 = -s, r21 = s, r22 = c;
        const float s11 = 1 / tilt, s12 = shear / tilt;
        return {s11 * r11 + s12 * r21, s11 * r12 + s12 * r22, r21, r22};
    }
    float det() const { return t11 * t22 - t12 * t21; }
};

// A width x height image of the blobs on grey 128, scene centre at the image
// centre, seen through `view`.
inline tolvane::Image drawScene(const std::vector<Blob>& blobs, int width, int height,
                                const AffineView& view = {})
{
    tolvane::Image image{width, height, std::vector<std::uint8_t>(static_cast<std::size_t>(width) * height)};
    const float cx = 0.5f * (width - 1), cy = 0.5f * (height - 1);
    const float d = view.det();
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const float dx = x - cx, dy = y - cy;
            const float sx = (view.t22 * dx - view.t12 * dy) / d;
            const float sy = (-view.t21 * dx + view.t11 * dy) / d;
            float v = 128;
            for (const Blob& b : blobs) {
                const float ex = sx - b.x, ey = sy - b.y;
                v += b.contrast * std::exp(-(ex * ex + ey * ey) / (2 * b.sigma * b.sigma));
            }
            image.pixels[static_cast<std::size_t>(y) * width + x] =
                static_cast<std::uint8_t>(std::clamp(std::lround(v), 0L, 255L));
        }
    return image;
}

// The region of the scene disc of `radius` around scene point (sx, sy), as
// drawn by drawScene through `view`.
inline tolvane::Region sceneRegion(float sx, float sy, float radius, int width, int height,
                                   const AffineView& view = {})
{
    tolvane::Region r;
    r.x = 0.5f * (width - 1) + view.t11 * sx + view.t12 * sy;
    r.y = 0.5f * (height - 1) + view.t21 * sx + view.t22 * sy;
    // E = (T T^T)^-1 / radius^2
    const double m11 = view.t11 * view.t11 + view.t12 * view.t12;
    const double m12 = view.t11 * view.t21 + view.t12 * view.t22;
    const double m22 = view.t21 * view.t21 + view.t22 * view.t22;
    const double det = (m11 * m22 - m12 * m12) * radius * radius;
    r.a = m22 / det;
    r.b = -m12 / det;
    r.c = m11 / det;
    return r;
}

// Blobs scattered by a fixed pseudo-random sequence over [-extent, extent]^2.
inline std::vector<Blob> scatteredBlobs(int count, float extent, unsigned seed)
{
    std::vector<Blob> blobs;
    unsigned state = seed;
    auto next = [&state] {
        state = state * 1664525u + 1013904223u;
        return static_cast<float>(state >> 8) / static_cast<float>(1u << 24);
    };
    for (int i = 0; i < count; ++i) {
        const float x = (2 * next() - 1) * extent;
        const float y = (2 * next() - 1) * extent;
        const float sigma = 2.5f + 6 * next();
        const float contrast = (next() < 0.5f ? -1 : 1) * (30 + 50 * next());
        blobs.push_back({x, y, sigma, contrast});
    }
    return blobs;
}

#endif
