// Per-pixel response maps of one pyramid level: Laplacian, Harris cornerness
// with its smoothed gradient products, Hessian determinant and trace.
#include "afflib.h"
#include "parallel.h"

#include <memory>

namespace {

std::unique_ptr<DERY> imageLike(const DERY* in) { return std::make_unique<DERY>(in->rows, in->cols); }

// Runs body(begin, end) over blocks of the pixel index range of `image`.
void forEachPixelBlock(const DERY* image, WorkerPool& pool, const std::function<void(int, int)>& body)
{
    forEachBlock(pool, image->size, kPixelsPerTask, body);
}

}  // namespace

void laplacian(DERY* in, DERY* out, WorkerPool& pool)
{
    auto xx = imageLike(in);
    auto yy = imageLike(in);
    dXX7(in, xx.get(), pool);
    dYY7(in, yy.get(), pool);
    const float* a = xx->pixels[0];
    const float* b = yy->pixels[0];
    float* o = out->pixels[0];
    forEachPixelBlock(in, pool, [&](int begin, int end) {
        for (int i = begin; i < end; ++i)
            o[i] = b[i] + a[i];
    });
}

void harris(DERY* in, DERY* cornerness, DERY* sxx, DERY* sxy, DERY* syy, WorkerPool& pool)
{
    auto gx = imageLike(in);
    dX6(in, gx.get(), pool);
    auto gy = imageLike(in);
    dY6(in, gy.get(), pool);
    auto gxy = imageLike(in);
    // The gradient images are squared in place to keep at most three
    // full-size temporaries alive.
    float* a = gx->pixels[0];
    float* b = gy->pixels[0];
    float* c = gxy->pixels[0];
    forEachPixelBlock(in, pool, [&](int begin, int end) {
        for (int i = begin; i < end; ++i) {
            const float ix = a[i];
            const float iy = b[i];
            a[i] = ix * ix;
            b[i] = iy * iy;
            c[i] = ix * iy;
        }
    });
    smoothSqrt(gx.get(), sxx, pool);
    gx.reset();
    smoothSqrt(gy.get(), syy, pool);
    gy.reset();
    smoothSqrt(gxy.get(), sxy, pool);
    gxy.reset();

    const double k = 0.05;
    const float* mxx = sxx->pixels[0];
    const float* myy = syy->pixels[0];
    const float* mxy = sxy->pixels[0];
    float* r = cornerness->pixels[0];
    forEachPixelBlock(in, pool, [&](int begin, int end) {
        for (int i = begin; i < end; ++i) {
            const double trace = static_cast<double>(mxx[i]) + myy[i];
            const double det = static_cast<double>(mxx[i]) * myy[i] - static_cast<double>(mxy[i]) * mxy[i];
            r[i] = static_cast<float>(det - k * (trace * trace));
        }
    });
}

void hessian(DERY* in, DERY* det, DERY* trace, WorkerPool& pool)
{
    // The two second derivatives are computed straight into the output maps
    // (unless an output is the input itself), which saves two full-size
    // temporaries per level while the whole pyramid is held in memory.
    std::unique_ptr<DERY> ownXX, ownYY;
    DERY* xx = det;
    DERY* yy = trace;
    if (xx == in) {
        ownXX = imageLike(in);
        xx = ownXX.get();
    }
    if (yy == in) {
        ownYY = imageLike(in);
        yy = ownYY.get();
    }
    dXX9(in, xx, pool);
    dYY9(in, yy, pool);
    const float* p = xx->pixels[0];
    const float* q = yy->pixels[0];
    float* d = det->pixels[0];
    float* t = trace->pixels[0];
    forEachPixelBlock(in, pool, [&](int begin, int end) {
        for (int i = begin; i < end; ++i) {
            const double hxx = p[i];
            const double hyy = q[i];
            t[i] = static_cast<float>(hxx + hyy);
            // No mixed derivative is computed: the determinant is the product
            // of the two second derivatives.
            d[i] = static_cast<float>(hxx * hyy - 0.0);
        }
    });
}

void laplacian(DERY* in, DERY* out) { laplacian(in, out, WorkerPool::serial()); }

void harris(DERY* in, DERY* cornerness, DERY* sxx, DERY* sxy, DERY* syy)
{
    harris(in, cornerness, sxx, sxy, syy, WorkerPool::serial());
}

void hessian(DERY* in, DERY* det, DERY* trace) { hessian(in, det, trace, WorkerPool::serial()); }
