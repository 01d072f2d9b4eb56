// The float image type, whole-image copy, and reading images at non-integer
// positions (resampling, single values, warped patches).
#include "afflib.h"
#include "pixel_blocks.h"
#include "parallel.h"
#include "stages.h"
#include "vector_clones.h"
#include "wide_intrinsics.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace {

const std::size_t kHugePage = std::size_t(2) << 20;

std::size_t blockBytes(std::size_t floats) { return (floats > 0 ? floats : 1) * sizeof(float); }

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define AFFLIB_ADDRESS_SANITIZER 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(AFFLIB_ADDRESS_SANITIZER)
// Under AddressSanitizer every block comes from the checked heap, so that a
// read just past an image is caught even in the slack of a huge page.
bool isMapped(std::size_t) { return false; }
#else
// Pixel blocks of 1 MB and more are mapped directly from the system, in whole
// huge pages where that wastes little: the system hands them out zeroed, and
// one page fault per 2 MB instead of one per 4 KB matters when the pyramid of
// a large image is allocated afresh.
bool isMapped(std::size_t bytes) { return bytes >= std::size_t(1) << 20; }
#endif

const std::size_t kPage = std::size_t(4) << 10;

std::size_t roundedUp(std::size_t bytes, std::size_t unit) { return (bytes + unit - 1) / unit * unit; }

// Whole huge pages when that wastes at most an eighth of the block; else
// normal pages, so that the huge pages of a pyramid's many mid-size maps do
// not add most of a huge page each to the memory taken.
std::size_t mappedLength(std::size_t bytes)
{
    const std::size_t whole = roundedUp(bytes, kHugePage);
    return whole - bytes <= bytes / 8 ? whole : roundedUp(bytes, kPage);
}

// A zeroed block starting on a huge-page boundary, so that the system can
// back it with huge pages; the slack around it is given back at once.
float* mapBlock(std::size_t bytes)
{
    const std::size_t length = mappedLength(bytes);
    void* base = mmap(nullptr, length + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED)
        return nullptr;
    const auto address = reinterpret_cast<std::uintptr_t>(base);
    const std::uintptr_t aligned = (address + kHugePage - 1) / kHugePage * kHugePage;
    if (aligned > address)
        munmap(base, aligned - address);
    if (address + kHugePage > aligned)
        munmap(reinterpret_cast<void*>(aligned + length), address + kHugePage - aligned);
    madvise(reinterpret_cast<void*>(aligned), length, MADV_HUGEPAGE);
    return reinterpret_cast<float*>(aligned);
}

}  // namespace

float* allocatePixelBlock(std::size_t floats)
{
    const std::size_t bytes = blockBytes(floats);
    if (isMapped(bytes))
        return mapBlock(bytes);
    return static_cast<float*>(std::calloc(bytes, 1));
}

void releasePixelBlock(float* block, std::size_t floats)
{
    const std::size_t bytes = blockBytes(floats);
    if (isMapped(bytes))
        munmap(block, mappedLength(bytes));
    else
        std::free(block);
}

namespace {

int pixelCount(int rows, int cols)
{
    if (rows < 0 || cols < 0)
        throw std::invalid_argument("image sides must not be negative");
    const long long count = static_cast<long long>(rows) * cols;
    if (count > std::numeric_limits<int>::max())
        throw std::invalid_argument("image of " + std::to_string(rows) + " x " + std::to_string(cols) +
                                    " pixels is too large");
    return static_cast<int>(count);
}

}  // namespace

DERY::DERY(int rows, int cols) : DERY(rows, cols, nullptr)
{
    float* block = allocatePixelBlock(static_cast<std::size_t>(size));
    if (!block)
        throw std::bad_alloc();  // the delegated-to constructor has run: the destructor frees the row table
    setRows(block);
    ownsBlock_ = true;
}

DERY::DERY(int rows, int cols, float* block)
    : pixels(nullptr), cols(cols), rows(rows), size(pixelCount(rows, cols)), ownsBlock_(false)
{
    // The row table always has at least one entry so that an image of 0 rows
    // still records where its (empty) pixel block starts.
    pixels = new float*[rows > 0 ? rows : 1]();
    setRows(block);
}

void DERY::setRows(float* block)
{
    if (!block)
        return;  // the owning constructor sets the rows once it has its block
    pixels[0] = block;
    for (int r = 1; r < rows; ++r)
        pixels[r] = block + static_cast<long>(r) * cols;
}

DERY::~DERY()
{
    if (ownsBlock_)
        releasePixelBlock(pixels[0], static_cast<std::size_t>(size));
    delete[] pixels;
}

void adviseHugePages(void* data, std::size_t bytes)
{
    const auto first = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t begin = roundedUp(first, kHugePage);
    const std::uintptr_t end = (first + bytes) / kHugePage * kHugePage;
    if (end > begin)
        madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

PixelBlock::PixelBlock(std::size_t floats) : data_(allocatePixelBlock(floats)), floats_(floats)
{
    if (!data_)
        throw std::bad_alloc();
}

PixelBlock::~PixelBlock() { releasePixelBlock(data_, floats_); }

void PixelBlock::releaseBeyond(std::size_t floats)
{
    const std::size_t bytes = blockBytes(floats_);
    if (!isMapped(bytes))
        return;
    const std::size_t from = roundedUp(floats * sizeof(float), kPage);
    const std::size_t length = mappedLength(bytes);
    if (from < length)
        madvise(reinterpret_cast<char*>(data_) + from, length - from, MADV_DONTNEED);
}

void set(DERY* src, DERY* dst)
{
    if (src->size != dst->size) {
        std::cout << "wrong set size " << std::endl;
        std::exit(1);
    }
    const float* from = src->pixels[0];
    float* to = dst->pixels[0];
    for (int i = 0; i < src->size; ++i)
        to[i] = from[i];
}

namespace {

// A coordinate split into its integer part (rounded toward minus infinity)
// and its fraction in [0, 1).
struct Split {
    int whole;
    double fraction;
};

Split split(double v)
{
    const double floored = std::floor(v);
    return {static_cast<int>(floored), v - floored};
}

// A position split in both coordinates.
struct Cell {
    int ix;
    int iy;
    double fx;
    double fy;
};

Cell cellOf(double x, double y)
{
    const Split sx = split(x);
    const Split sy = split(y);
    return {sx.whole, sy.whole, sx.fraction, sy.fraction};
}

// The bilinear kernel on the 2x2 block whose top-left pixel is column ix of
// row `top` (`bottom` is the row below): the top pair, then the bottom pair,
// then the two rows, all in double.
inline double bilinearAt(const float* top, const float* bottom, int ix, double fx, double fy)
{
    const double upper = (1.0 - fx) * top[ix] + fx * top[ix + 1];
    const double lower = (1.0 - fx) * bottom[ix] + fx * bottom[ix + 1];
    return (1.0 - fy) * upper + fy * lower;
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
        return bilinearAt(p[c.iy], p[c.iy + 1], c.ix, c.fx, c.fy);
    if (c.iy < lastRow)
        return (1.0 - c.fy) * p[c.iy][lastCol] + c.fy * p[c.iy + 1][lastCol];
    if (c.ix < lastCol)
        return (1.0 - c.fx) * p[lastRow][c.ix] + c.fx * p[lastRow][c.ix + 1];
    return p[lastRow][lastCol];
}

// True when the 2x2 block of a position along a line of last + 1 pixels lies
// inside the line: 0 <= position < last (false for NaN). Both comparisons
// are evaluated, without a branch, so that loops over positions vectorise.
bool blockInsideLine(double position, double last)
{
    return (position >= 0.0) & (position < last);
}

// The leading destination columns of a resampling grid (positions k * step,
// k = 0, 1, ...) whose 2x2 blocks lie inside the source, up to the first one
// that does not: the left source column of each and the weights of its left
// and right pixel.
class BlockColumns {
public:
    BlockColumns(int count, double step, int last)
    {
        for (int k = 0; k < count && blockInsideLine(k * step, last); ++k) {
            const Split position = split(k * step);
            left_.push_back(position.whole);
            leftWeight_.push_back(1.0 - position.fraction);
            rightWeight_.push_back(position.fraction);
        }
    }

    int count() const { return static_cast<int>(left_.size()); }

    // The top (or bottom) pair of the bilinear kernel at every column, from
    // one source row.
    void blend(const float* row, double* out) const
    {
        const int* left = left_.data();
        const double* leftWeight = leftWeight_.data();
        const double* rightWeight = rightWeight_.data();
        for (int k = 0; k < count(); ++k)
            out[k] = leftWeight[k] * row[left[k]] + rightWeight[k] * row[left[k] + 1];
    }

private:
    std::vector<int> left_;
    std::vector<double> leftWeight_;
    std::vector<double> rightWeight_;
};

// The columns of a patch row sampled together: their positions are computed
// first, then their values, each in loops that vectorise.
constexpr int kPatchColumnChunk = 16;

// A source row blended at every block column, with the index of that row.
struct BlendedRow {
    int source = -1;
    std::vector<double> values;
};

}  // namespace

namespace {

// Destination rows [rowBegin, rowEnd) of scaling().
AFFLIB_WIDE_VECTOR_CLONES void scaleRows(const DERY* src, DERY* dst, float factor, int rowBegin, int rowEnd)
{
    const double step = factor;
    // Where the whole block lies inside, the plain kernel applies: the leading
    // columns of every row whose block rows exist take that path, the rest
    // (last row and column, positions past the source) the general one. The
    // pairs along a source row do not depend on the destination row, so each
    // source row is blended once and serves the (at most two) destination
    // rows whose blocks contain it.
    const BlockColumns columns(dst->cols, step, src->cols - 1);
    const int blockCount = columns.count();
    BlendedRow upper{-1, std::vector<double>(blockCount)};
    BlendedRow lower{-1, std::vector<double>(blockCount)};
    const auto fetch = [&](BlendedRow& row, int source) {
        if (row.source != source) {
            columns.blend(src->pixels[source], row.values.data());
            row.source = source;
        }
    };
    for (int i = rowBegin; i < rowEnd; ++i) {
        const double y = i * step;
        float* out = dst->pixels[i];
        int j = 0;
        if (blockInsideLine(y, src->rows - 1)) {
            const Split row = split(y);
            if (lower.source == row.whole)
                std::swap(upper, lower);
            fetch(upper, row.whole);
            fetch(lower, row.whole + 1);
            const double* top = upper.values.data();
            const double* bottom = lower.values.data();
            const double topWeight = 1.0 - row.fraction;
            const double bottomWeight = row.fraction;
            for (; j < blockCount; ++j)
                out[j] = static_cast<float>(topWeight * top[j] + bottomWeight * bottom[j]);
        }
        for (; j < dst->cols; ++j) {
            const double x = j * step;
            if (insideHalfOpen(src, x, y))
                out[j] = static_cast<float>(sampleWithEdgeFallback(src, x, y));
        }
    }
}

}  // namespace

void scaling(DERY* src, DERY* dst, float factor) { scaleRows(src, dst, factor, 0, dst->rows); }

void scaling(DERY* src, DERY* dst, float factor, WorkerPool& pool)
{
    const int rowsPerTask = dst->cols > 0 ? kPixelsPerTask / dst->cols + 1 : dst->rows;
    forEachBlock(pool, dst->rows, rowsPerTask,
                 [&](int begin, int end) { scaleRows(src, dst, factor, begin, end); });
}

float getValue(DERY* image, float x, float y)
{
    if (!insideHalfOpen(image, x, y))
        return 0.0f;
    return static_cast<float>(sampleWithEdgeFallback(image, x, y));
}

namespace {

// The positions of a group of patch columns, and whether the 2x2 block of
// each lies inside the source.
struct PatchGroup {
    double x[kPatchColumnChunk];
    double y[kPatchColumnChunk];
    int inside[kPatchColumnChunk];  // int, not bool: keeps the wide vector variant
};

// v where keep is 1, +0 where it is 0: a select by bit mask, which (unlike
// ?:) leaves no branch for the conversions after it, so that they vectorise.
template <typename Value, typename Bits>
Value keptOrZero(Value v, int keep)
{
    static_assert(sizeof(Value) == sizeof(Bits), "one mask bit per value bit");
    Bits bits;
    std::memcpy(&bits, &v, sizeof v);
    bits &= static_cast<Bits>(-static_cast<std::int64_t>(keep));
    std::memcpy(&v, &bits, sizeof v);
    return v;
}
double keptOrZero(double v, int keep) { return keptOrZero<double, std::uint64_t>(v, keep); }
float keptOrZero(float v, int keep) { return keptOrZero<float, std::uint32_t>(v, keep); }

// The values of a patch group: the 2x2 blocks' pixels are fetched first
// (plain loads, no arithmetic), then every lane runs the kernel of bilinearAt
// with the same operations in the same order, so that the loops around the
// fetch vectorise. Lanes whose block is not inside read the block at (0, 0)
// and give 0. Inlined into each vector variant of interpolate.
inline void sampleGroup(const float* pixels, int cols, const PatchGroup& g, float* out)
{
    int offset[kPatchColumnChunk];
    double fx[kPatchColumnChunk];
    double fy[kPatchColumnChunk];
    for (int k = 0; k < kPatchColumnChunk; ++k) {
        // split() of the position, of 0 where the block is not inside: the
        // position is >= 0 (-0 included), so truncation is the floor, and
        // adding 0.0 turns the fraction -0 of -0 into the +0 of split().
        const double x = keptOrZero(g.x[k], g.inside[k]);
        const double y = keptOrZero(g.y[k], g.inside[k]);
        const int ix = static_cast<int>(x);
        const int iy = static_cast<int>(y);
        fx[k] = (x - ix) + 0.0;
        fy[k] = (y - iy) + 0.0;
        offset[k] = iy * cols + ix;
    }
    float topLeft[kPatchColumnChunk];
    float topRight[kPatchColumnChunk];
    float bottomLeft[kPatchColumnChunk];
    float bottomRight[kPatchColumnChunk];
    for (int k = 0; k < kPatchColumnChunk; ++k) {
        const float* block = pixels + offset[k];
        topLeft[k] = block[0];
        topRight[k] = block[1];
        bottomLeft[k] = block[cols];
        bottomRight[k] = block[cols + 1];
    }
    for (int k = 0; k < kPatchColumnChunk; ++k) {
        const double upper = (1.0 - fx[k]) * topLeft[k] + fx[k] * topRight[k];
        const double lower = (1.0 - fx[k]) * bottomLeft[k] + fx[k] * bottomRight[k];
        const float value = static_cast<float>((1.0 - fy[k]) * upper + fy[k] * lower);
        out[k] = keptOrZero(value, g.inside[k]);
    }
}

// interpolate() for the processors without the wide vector path below.
AFFLIB_VECTOR_CLONES void interpolateByGroups(DERY* src, DERY* patch, float cx, float cy,
                                              float m11, float m12, float m21, float m22)
{
    const int halfWidth = patch->cols / 2;
    const int halfHeight = patch->rows / 2;
    // The whole 2x2 block must lie inside: unlike getValue there is no
    // fallback on the last row or column.
    const double lastCol = src->cols - 1;
    const double lastRow = src->rows - 1;
    const int width = patch->cols;
    // Offsets run from -half to +half; an even side has no pixel for +half.
    for (int r = 0; r < patch->rows; ++r) {
        const int i = r - halfHeight;
        const double rowX = static_cast<double>(m12) * i;
        const double rowY = static_cast<double>(m22) * i;
        float* out = patch->pixels[r];
        for (int first = 0; first < width; first += kPatchColumnChunk) {
            PatchGroup g;
            // Positions for the whole group, past the row end too: a fixed
            // count vectorises without a remainder loop.
            for (int k = 0; k < kPatchColumnChunk; ++k) {
                const int j = first + k - halfWidth;
                g.x[k] = (static_cast<double>(m11) * j + cx) + rowX;
                g.y[k] = (static_cast<double>(m21) * j + cy) + rowY;
                g.inside[k] = static_cast<int>(blockInsideLine(g.x[k], lastCol)) &
                              static_cast<int>(blockInsideLine(g.y[k], lastRow));
            }
            float values[kPatchColumnChunk];
            sampleGroup(src->pixels[0], src->cols, g, values);
            std::copy(values, values + std::min(kPatchColumnChunk, width - first), out + first);
        }
    }
}

#if defined(__x86_64__) && defined(__GNUC__)
// The left and the right pixel of eight gathered pixel pairs, in double.
__attribute__((target("avx512f"))) inline __m512d leftOf(__m512i pairs)
{
    return _mm512_cvtps_pd(_mm256_castsi256_ps(_mm512_cvtepi64_epi32(pairs)));
}

__attribute__((target("avx512f"))) inline __m512d rightOf(__m512i pairs)
{
    return leftOf(_mm512_srli_epi64(pairs, 32));
}

// The pixel pairs starting at eight offsets from pixels, each read as one
// 64-bit word: plain loads through memory beat a gather instruction on
// processors whose gathers are microcoded.
__attribute__((target("avx512f"))) inline __m512i pairsAt(const float* pixels, __m256i offsets)
{
    alignas(32) std::int32_t offset[8];
    alignas(64) std::uint64_t pairs[8];
    _mm256_store_si256(reinterpret_cast<__m256i*>(offset), offsets);
    for (int k = 0; k < 8; ++k)
        std::memcpy(&pairs[k], pixels + offset[k], sizeof pairs[k]);
    return _mm512_load_si512(pairs);
}

// The smaller and the larger of step * first + offset and step * last +
// offset, rounded as the resampling rounds them.
struct Range {
    double low;
    double high;
};

Range rangeOf(float step, int first, int last, double offset)
{
    const double a = static_cast<double>(step) * first + offset;
    const double b = static_cast<double>(step) * last + offset;
    return {std::min(a, b), std::max(a, b)};
}

// True when every position of a patch grid, columns -halfWidth .. lastColumn
// and rows -halfHeight .. lastRow (x = (m11 * j + cx) + m12 * i, y likewise),
// has its whole 2x2 block inside the source. Each coordinate rounds
// monotonically in i and in j, so its extremes over the grid are those of the
// corners.
bool gridInside(const DERY* src, int halfWidth, int lastColumn, int halfHeight, int lastRow, float cx, float cy,
                float m11, float m12, float m21, float m22)
{
    const Range columnX = rangeOf(m11, -halfWidth, lastColumn, cx);
    const Range columnY = rangeOf(m21, -halfWidth, lastColumn, cy);
    const Range rowX = rangeOf(m12, -halfHeight, lastRow, 0.0);
    const Range rowY = rangeOf(m22, -halfHeight, lastRow, 0.0);
    const double lastX = src->cols - 1;
    const double lastY = src->rows - 1;
    return blockInsideLine(columnX.low + rowX.low, lastX) && blockInsideLine(columnX.high + rowX.high, lastX)
        && blockInsideLine(columnY.low + rowY.low, lastY) && blockInsideLine(columnY.high + rowY.high, lastY);
}

// interpolate() with AVX-512, eight patch columns per vector: the kernel of
// sampleGroup on the same doubles in the same order, with each 2x2 block's
// top and bottom pixel pairs gathered as one 64-bit word each. When the whole
// grid lies inside (AllInside), the tests and the replacement of positions
// outside, which change nothing there, are left out.
template <bool AllInside>
__attribute__((target("avx512f"))) void interpolateWide(DERY* src, DERY* patch, float cx, float cy,
                                                      float m11, float m12, float m21, float m22)
{
    const int halfWidth = patch->cols / 2;
    const int halfHeight = patch->rows / 2;
    const int width = patch->cols;
    const __m512d lastCol = _mm512_set1_pd(src->cols - 1);
    const __m512d lastRow = _mm512_set1_pd(src->rows - 1);
    const __m512d zero = _mm512_setzero_pd();
    const __m512d one = _mm512_set1_pd(1.0);
    const __m512d columnStep = _mm512_set1_pd(m11);
    const __m512d rowStep = _mm512_set1_pd(m21);
    const __m512d centreX = _mm512_set1_pd(cx);
    const __m512d centreY = _mm512_set1_pd(cy);
    const __m512d laneOffsets = _mm512_setr_pd(0, 1, 2, 3, 4, 5, 6, 7);
    const __m256i cols = _mm256_set1_epi32(src->cols);
    const float* top = src->pixels[0];
    const float* bottom = top + src->cols;
    // Columns outer: the column part of the positions is shared by all rows.
    for (int first = 0; first < width; first += 8) {
        const __m512d j = _mm512_add_pd(_mm512_set1_pd(first - halfWidth), laneOffsets);
        const __m512d columnX = _mm512_add_pd(_mm512_mul_pd(columnStep, j), centreX);
        const __m512d columnY = _mm512_add_pd(_mm512_mul_pd(rowStep, j), centreY);
        const int count = std::min(8, width - first);
        const auto stored = static_cast<__mmask16>((1u << count) - 1);
        for (int r = 0; r < patch->rows; ++r) {
            const int i = r - halfHeight;
            const __m512d x = _mm512_add_pd(columnX, _mm512_set1_pd(static_cast<double>(m12) * i));
            const __m512d y = _mm512_add_pd(columnY, _mm512_set1_pd(static_cast<double>(m22) * i));
            __mmask8 inside = 0xff;
            if (!AllInside) {
                inside = _mm512_cmp_pd_mask(x, zero, _CMP_GE_OQ);
                inside = _mm512_mask_cmp_pd_mask(inside, x, lastCol, _CMP_LT_OQ);
                inside = _mm512_mask_cmp_pd_mask(inside, y, zero, _CMP_GE_OQ);
                inside = _mm512_mask_cmp_pd_mask(inside, y, lastRow, _CMP_LT_OQ);
            }
            // Positions outside are replaced by (0, 0), as in sampleGroup.
            const __m512d keptX = AllInside ? x : _mm512_maskz_mov_pd(inside, x);
            const __m512d keptY = AllInside ? y : _mm512_maskz_mov_pd(inside, y);
            const __m256i ix = _mm512_cvttpd_epi32(keptX);
            const __m256i iy = _mm512_cvttpd_epi32(keptY);
            const __m512d fx = _mm512_add_pd(_mm512_sub_pd(keptX, _mm512_cvtepi32_pd(ix)), zero);
            const __m512d fy = _mm512_add_pd(_mm512_sub_pd(keptY, _mm512_cvtepi32_pd(iy)), zero);
            const __m256i offset = _mm256_add_epi32(_mm256_mullo_epi32(iy, cols), ix);
            const __m512i topPairs = pairsAt(top, offset);
            const __m512i bottomPairs = pairsAt(bottom, offset);
            const __m512d leftWeight = _mm512_sub_pd(one, fx);
            const __m512d upper = _mm512_add_pd(_mm512_mul_pd(leftWeight, leftOf(topPairs)),
                                                _mm512_mul_pd(fx, rightOf(topPairs)));
            const __m512d lower = _mm512_add_pd(_mm512_mul_pd(leftWeight, leftOf(bottomPairs)),
                                                _mm512_mul_pd(fx, rightOf(bottomPairs)));
            const __m512d value = _mm512_add_pd(_mm512_mul_pd(_mm512_sub_pd(one, fy), upper),
                                                _mm512_mul_pd(fy, lower));
            // Zeroed in double: +0 converts to the +0 float of sampleGroup.
            const __m256 values = _mm512_cvtpd_ps(AllInside ? value : _mm512_maskz_mov_pd(inside, value));
            _mm512_mask_storeu_ps(patch->pixels[r] + first, stored, _mm512_castps256_ps512(values));
        }
    }
}

void interpolateWide(DERY* src, DERY* patch, float cx, float cy, float m11, float m12, float m21, float m22)
{
    const int halfWidth = patch->cols / 2;
    const int halfHeight = patch->rows / 2;
    // The lanes past the last column of the last group are sampled (not stored) too.
    const int lastColumn = (patch->cols + 7) / 8 * 8 - 1 - halfWidth;
    const int lastRow = patch->rows - 1 - halfHeight;
    if (gridInside(src, halfWidth, lastColumn, halfHeight, lastRow, cx, cy, m11, m12, m21, m22))
        interpolateWide<true>(src, patch, cx, cy, m11, m12, m21, m22);
    else
        interpolateWide<false>(src, patch, cx, cy, m11, m12, m21, m22);
}

bool hasWideVectors() { return __builtin_cpu_supports("avx512f"); }
#else
void interpolateWide(DERY* src, DERY* patch, float cx, float cy, float m11, float m12, float m21, float m22)
{
    interpolateByGroups(src, patch, cx, cy, m11, m12, m21, m22);
}

bool hasWideVectors() { return false; }
#endif

}  // namespace

void interpolate(DERY* src, DERY* patch, float cx, float cy, float m11, float m12, float m21, float m22)
{
    if (src->cols < 2 || src->rows < 2) {  // no block inside, and none to read in its place
        std::fill(patch->pixels[0], patch->pixels[0] + patch->size, 0.0f);
        return;
    }
    static const bool wide = hasWideVectors();
    if (wide)
        interpolateWide(src, patch, cx, cy, m11, m12, m21, m22);
    else
        interpolateByGroups(src, patch, cx, cy, m11, m12, m21, m22);
}
