// A Gaussian scale space of an image for sampling patches without aliasing:
// levels two to an octave, each octave half the resolution of the one before.
#ifndef TOLVANE_SMOOTHED_PYRAMID_H
#define TOLVANE_SMOOTHED_PYRAMID_H

#include "tolvane/image.h"

#include "pixel_blocks.h"

#include <new>
#include <vector>

namespace tolvane {
namespace detail {

// Memory for the pixels of planes, taken as images take theirs (a large
// block in huge pages: a few page faults rather than one per 4 KB when a
// pyramid is built afresh). Values it makes without an initial value are
// left as the block has them, zero: every plane is written whole after.
template <class T>
struct PixelAllocator {
    using value_type = T;
    PixelAllocator() = default;
    template <class U>
    PixelAllocator(const PixelAllocator<U>&)
    {
    }
    T* allocate(std::size_t n)
    {
        T* block = allocatePixelBlock(n);
        if (!block)
            throw std::bad_alloc();
        return block;
    }
    void deallocate(T* block, std::size_t n) { releasePixelBlock(block, n); }
    template <class U>
    void construct(U* p)
    {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args)
    {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
    template <class U>
    bool operator==(const PixelAllocator<U>&) const
    {
        return true;
    }
    template <class U>
    bool operator!=(const PixelAllocator<U>&) const
    {
        return false;
    }
};

struct Plane {
    using Pixels = std::vector<float, PixelAllocator<float>>;
    int width = 0;
    int height = 0;
    Pixels pixels;  // row after row

    float at(int x, int y) const { return pixels[static_cast<std::size_t>(y) * width + x]; }
};

// Separable Gaussian blur of standard deviation `sigma` pixels; the border
// pixels repeat outwards.
Plane gaussianBlur(const Plane& in, float sigma);

// gaussianBlur(in, sigma) at every second pixel of every second row,
// starting with the first.
Plane blurredHalf(const Plane& in, float sigma);

// Where one row of a sampling grid starts and how it advances, in input pixels.
struct SampleGrid {
    float x0, y0;  // the first sample
    float xc, yc;  // from one column to the next
    float xr, yr;  // from one row to the next
    int cols, rows;
};

// A region's shape root along its axes: the point (u, v) of the normalised
// patch is (x, y) + u lx (cos_q, sin_q) + v ly (-sin_q, cos_q) in input pixels.
struct AxisFrame {
    float x, y;
    float cos_q, sin_q;
    float lx, ly;
};

class SmoothedPyramid {
public:
    // Level i holds the image blurred to a standard deviation of
    // kBaseBlur * 2^(i/2) input pixels (the input counted as kBaseBlur);
    // levels are built until that reaches `maxBlur` or the image is a few
    // pixels wide.
    SmoothedPyramid(const ImageView& image, float maxBlur);

    static constexpr float kBaseBlur = 0.5f;

    // The level whose blur is nearest `blur` on a log scale, within the levels built.
    int levelFor(float blur) const;
    int levels() const { return static_cast<int>(levels_.size()); }

    // The values at side x side points `step` apart in (u, v), centred on
    // the frame's centre, row after row into `out`: the image under a
    // Gaussian of standard deviation `blur` in (u, v), isotropic there
    // whatever the frame's elongation. They come from the finest level not
    // blurred more than that along either axis; the rest of the blur is
    // added along each axis on a grid fine enough not to alias. `scratch`
    // is working memory.
    void sampleIsotropic(const AxisFrame& frame, float step, float blur, int side, std::vector<float>& scratch,
                         float* out) const;

    // The coarsest level blurred at most `blur` input pixels (the finest if none).
    int levelAtMost(float blur) const;

    // Bilinear samples of `level` at the grid's points, row after row into
    // `out`; points outside take the nearest border value.
    void sample(int level, const SampleGrid& grid, float* out) const;

private:
    // The grid in pixels of the level.
    SampleGrid inLevel(int level, const SampleGrid& grid) const;

    // Blur of the level's bilinear samples, in input pixels.
    float sampledBlur(int level) const;

    struct Level {
        Plane plane;
        float scale;  // input pixels per pixel of the level
    };
    std::vector<Level> levels_;
};

}  // namespace detail
}  // namespace tolvane

#endif
