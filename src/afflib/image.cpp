// The float image type, whole-image copy, and reading images at non-integer
// positions (resampling, single values, warped patches).
#include "afflib.h"

#include <cmath>
#include <cstdlib>
#include <iostream>
#include <new>

DERY::DERY(int rows, int cols) : pixels(nullptr), cols(cols), rows(rows), size(rows * cols)
{
    // The row table always has at least one entry so that an image of 0 rows
    // still records where its (empty) pixel block starts.
    pixels = new float*[rows > 0 ? rows : 1];
    // calloc: zeroed pixels without touching large blocks page by page.
    float* block = static_cast<float*>(std::calloc(size > 0 ? size : 1, sizeof(float)));
    if (!block) {
        delete[] pixels;
        throw std::bad_alloc();
    }
    pixels[0] = block;
    for (int r = 1; r < rows; ++r)
        pixels[r] = block + static_cast<long>(r) * cols;
}

DERY::~DERY()
{
    std::free(pixels[0]);
    delete[] pixels;
}

void set(DERY* src, DERY* dst)
{
    if (src->size != dst->size) {
        std::cout << "wrong set size " << std::endl;
        std::exit(0);
    }
    const float* from = src->pixels[0];
    float* to = dst->pixels[0];
    for (int i = 0; i < src->size; ++i)
        to[i] = from[i];
}

namespace {

// A position split into the integer parts (rounded toward minus infinity) and
// the fractions in [0, 1).
struct Cell {
    int ix;
    int iy;
    double fx;
    double fy;
};

Cell cellOf(double x, double y)
{
    const double flooredX = std::floor(x);
    const double flooredY = std::floor(y);
    return {static_cast<int>(flooredX), static_cast<int>(flooredY), x - flooredX, y - flooredY};
}

// The bilinear kernel on the 2x2 block whose top-left pixel is (ix, iy): the
// top pair, then the bottom pair, then the two rows, all in double.
double bilinear(const DERY* image, const Cell& c)
{
    const float* top = image->pixels[c.iy];
    const float* bottom = image->pixels[c.iy + 1];
    const double upper = (1.0 - c.fx) * top[c.ix] + c.fx * top[c.ix + 1];
    const double lower = (1.0 - c.fx) * bottom[c.ix] + c.fx * bottom[c.ix + 1];
    return (1.0 - c.fy) * upper + c.fy * lower;
}

// True when 0 <= x < W and 0 <= y < H; false for NaN. Comparing the positions
// themselves (not their integer parts) keeps huge values from overflowing int.
bool insideHalfOpen(const DERY* image, double x, double y)
{
    return x >= 0.0 && x < image->cols && y >= 0.0 && y < image->rows;
}

// Value at a position inside [0, W) x [0, H): bilinear where the whole 2x2
// block exists, interpolated along the last column or row alone, and the
// corner pixel itself when both integer parts are the last ones.
double sampleWithEdgeFallback(const DERY* image, double x, double y)
{
    const Cell c = cellOf(x, y);
    const int lastCol = image->cols - 1;
    const int lastRow = image->rows - 1;
    float** p = image->pixels;
    if (c.ix < lastCol && c.iy < lastRow)
        return bilinear(image, c);
    if (c.iy < lastRow)
        return (1.0 - c.fy) * p[c.iy][lastCol] + c.fy * p[c.iy + 1][lastCol];
    if (c.ix < lastCol)
        return (1.0 - c.fx) * p[lastRow][c.ix] + c.fx * p[lastRow][c.ix + 1];
    return p[lastRow][lastCol];
}

}  // namespace

void scaling(DERY* src, DERY* dst, float factor)
{
    for (int i = 0; i < dst->rows; ++i) {
        const double y = i * static_cast<double>(factor);
        for (int j = 0; j < dst->cols; ++j) {
            const double x = j * static_cast<double>(factor);
            if (insideHalfOpen(src, x, y))
                dst->pixels[i][j] = static_cast<float>(sampleWithEdgeFallback(src, x, y));
        }
    }
}

float getValue(DERY* image, float x, float y)
{
    if (!insideHalfOpen(image, x, y))
        return 0.0f;
    return static_cast<float>(sampleWithEdgeFallback(image, x, y));
}

void interpolate(DERY* src, DERY* patch, float cx, float cy,
                 float m11, float m12, float m21, float m22)
{
    const int halfWidth = patch->cols / 2;
    const int halfHeight = patch->rows / 2;
    // The whole 2x2 block must lie inside: unlike getValue there is no
    // fallback on the last row or column.
    const double xLimit = src->cols - 1;
    const double yLimit = src->rows - 1;
    // An even side has no pixel for its last offset; that offset is skipped.
    for (int i = -halfHeight; i <= halfHeight && halfHeight + i < patch->rows; ++i) {
        float* out = patch->pixels[halfHeight + i];
        for (int j = -halfWidth; j <= halfWidth && halfWidth + j < patch->cols; ++j) {
            const double x = (static_cast<double>(m11) * j + cx) + static_cast<double>(m12) * i;
            const double y = (static_cast<double>(m21) * j + cy) + static_cast<double>(m22) * i;
            const bool blockInside = x >= 0.0 && x < xLimit && y >= 0.0 && y < yLimit;
            out[halfWidth + j] = blockInside ? static_cast<float>(bilinear(src, cellOf(x, y))) : 0.0f;
        }
    }
}
