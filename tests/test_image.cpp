#include "afflib.h"
#include "stages.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <memory>
#include <random>
#include <stdexcept>
#include <vector>

namespace {

// An image whose pixels all differ: value = 1 + row * 100 + col.
std::unique_ptr<DERY> numbered(int rows, int cols)
{
    auto image = std::make_unique<DERY>(rows, cols);
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < cols; ++c)
            image->pixels[r][c] = static_cast<float>(1 + r * 100 + c);
    return image;
}

void fill(DERY& image, float value)
{
    for (int i = 0; i < image.size; ++i)
        image.pixels[0][i] = value;
}

void interpolateIdentity(DERY* src, DERY* patch, float cx, float cy)
{
    interpolate(src, patch, cx, cy, 1.0f, 0.0f, 0.0f, 1.0f);
}

// Random values of both signs with some zeros of either sign among them.
std::unique_ptr<DERY> randomImage(int rows, int cols, std::mt19937& random)
{
    auto image = std::make_unique<DERY>(rows, cols);
    std::uniform_real_distribution<float> value(-300.0f, 300.0f);
    for (int i = 0; i < image->size; ++i)
        image->pixels[0][i] = i % 7 == 0 ? (i % 2 ? 0.0f : -0.0f) : value(random);
    return image;
}

bool sameBits(const DERY& a, const DERY& b)
{
    return a.size == b.size && std::memcmp(a.pixels[0], b.pixels[0], sizeof(float) * a.size) == 0;
}

// The sampling rules written out position by position, as the reference for
// the row-wise and vectorised implementations.
struct PlainSampling {
    const DERY& image;

    double bilinear(int ix, int iy, double fx, double fy) const
    {
        float** p = image.pixels;
        return (1 - fy) * ((1 - fx) * p[iy][ix] + fx * p[iy][ix + 1])
             + fy * ((1 - fx) * p[iy + 1][ix] + fx * p[iy + 1][ix + 1]);
    }

    // The rule of scaling and getValue; false outside [0, W) x [0, H).
    bool withEdgeFallback(double x, double y, float& value) const
    {
        const int w = image.cols;
        const int h = image.rows;
        if (!(x >= 0 && x < w && y >= 0 && y < h))
            return false;
        const int ix = static_cast<int>(std::floor(x));
        const int iy = static_cast<int>(std::floor(y));
        const double fx = x - std::floor(x);
        const double fy = y - std::floor(y);
        float** p = image.pixels;
        double v = p[h - 1][w - 1];
        if (ix < w - 1 && iy < h - 1)
            v = bilinear(ix, iy, fx, fy);
        else if (iy < h - 1)
            v = (1 - fy) * p[iy][w - 1] + fy * p[iy + 1][w - 1];
        else if (ix < w - 1)
            v = (1 - fx) * p[h - 1][ix] + fx * p[h - 1][ix + 1];
        value = static_cast<float>(v);
        return true;
    }

    // The rule of interpolate: 0 unless the whole block lies inside.
    float blockOnly(double x, double y) const
    {
        if (!(x >= 0 && x < image.cols - 1 && y >= 0 && y < image.rows - 1))
            return 0.0f;
        return static_cast<float>(bilinear(static_cast<int>(std::floor(x)), static_cast<int>(std::floor(y)),
                                           x - std::floor(x), y - std::floor(y)));
    }
};

}  // namespace

TEST(Dery, RowTablePointsIntoOneRowMajorBlock)
{
    DERY image(3, 5);
    EXPECT_EQ(image.rows, 3);
    EXPECT_EQ(image.cols, 5);
    EXPECT_EQ(image.size, 15);
    for (int r = 0; r < 3; ++r)
        EXPECT_EQ(image.pixels[r], image.pixels[0] + r * 5);
    image.pixels[2][1] = 7.5f;
    EXPECT_EQ(image.pixels[0][11], 7.5f);
}

TEST(Dery, ImagesOfEverySizeStartZeroedAndHoldTheirPixels)
{
    // Around the sizes where large pixel blocks are allocated differently.
    for (int cols : {0, 1, 262143, 262144, 262145, 524289, 1048576}) {
        for (int rows : {1, 3}) {
            DERY image(rows, cols);
            ASSERT_EQ(image.size, rows * cols);
            for (int i = 0; i < image.size; ++i)
                ASSERT_EQ(image.pixels[0][i], 0.0f) << cols;
            for (int i = 0; i < image.size; ++i)
                image.pixels[0][i] = static_cast<float>(i);
            EXPECT_EQ(image.pixels[rows - 1][cols > 0 ? cols - 1 : 0], cols > 0 ? image.size - 1.0f : 0.0f);
        }
    }
}

TEST(Dery, ImageOverACallersBlockUsesItAsItIsAndLeavesItToTheCaller)
{
    std::vector<float> block(2 * 3, 4.0f);
    {
        DERY view(2, 3, block.data());
        EXPECT_EQ(view.pixels[1], block.data() + 3);
        EXPECT_EQ(view.pixels[1][2], 4.0f);
        view.pixels[0][0] = 1.0f;
    }
    EXPECT_EQ(block[0], 1.0f);  // freeing it would be caught by the sanitizer build
}

TEST(PixelBlock, GivingBackTheTailKeepsTheFirstPixels)
{
    // From the heap, and mapped from the system in whole pages.
    for (const std::size_t floats : {std::size_t(1000), std::size_t(3) << 20}) {
        PixelBlock block(floats);
        ASSERT_EQ(*std::max_element(block.data(), block.data() + floats), 0.0f);
        std::fill(block.data(), block.data() + floats, 2.0f);
        const std::size_t kept = floats / 3 + 1;
        block.releaseBeyond(kept);
        EXPECT_EQ(std::count(block.data(), block.data() + kept, 2.0f), static_cast<long>(kept)) << floats;
        std::fill(block.data(), block.data() + floats, 3.0f);  // the whole block stays usable
        EXPECT_EQ(block.data()[floats - 1], 3.0f);
    }
}

TEST(Dery, NegativeOrOverflowingSidesAreRefused)
{
    const std::pair<int, int> sides[] = {{-1, 5}, {5, -1}, {-2147483647 - 1, 0}, {50000, 50000},
                                         {2147483647, 2}, {65536, 32768}};
    for (const auto& [rows, cols] : sides)
        EXPECT_THROW(DERY(rows, cols), std::invalid_argument) << rows << " x " << cols;
}

TEST(Set, CopiesStorageOrderBetweenImagesOfEqualSize)
{
    auto src = numbered(10, 20);
    DERY dst(20, 10);
    set(src.get(), &dst);
    for (int i = 0; i < 200; ++i)
        EXPECT_EQ(dst.pixels[0][i], src->pixels[0][i]);
}

TEST(SetDeathTest, DifferentSizesPrintMessageAndFail)
{
    DERY small(3, 5);
    DERY large(4, 4);
    // The message goes to standard output; route it where the check can see it.
    EXPECT_EXIT(
        {
            std::cout.rdbuf(std::cerr.rdbuf());
            set(&small, &large);
        },
        ::testing::ExitedWithCode(1), "^wrong set size \n$");
}

TEST(Scaling, FactorOneCopiesEveryPixel)
{
    auto src = numbered(7, 9);
    DERY dst(7, 9);
    scaling(src.get(), &dst, 1.0f);
    for (int i = 0; i < src->size; ++i)
        EXPECT_EQ(dst.pixels[0][i], src->pixels[0][i]);
}

TEST(Scaling, ThirteenToElevenUsesTheLastColumnAndRowRules)
{
    auto src = numbered(13, 13);
    // Column 0 follows column 12 of the previous row in storage; huge values
    // there expose any bilinear read past the last column.
    for (int r = 0; r < 13; ++r)
        src->pixels[r][0] = 1.0e6f;
    DERY dst(11, 11);
    scaling(src.get(), &dst, 1.2f);
    for (int i = 0; i < 10; ++i) {
        const double y = i * static_cast<double>(1.2f);
        const int iy = static_cast<int>(y);
        const double fy = y - iy;
        const float alongY =
            static_cast<float>((1 - fy) * src->pixels[iy][12] + fy * src->pixels[iy + 1][12]);
        EXPECT_EQ(dst.pixels[i][10], alongY) << "row " << i;
    }
    EXPECT_EQ(dst.pixels[10][10], src->pixels[12][12]);
    // Last row, column 5 (source x = 6.0000002): interpolated along x only.
    const double x = 5 * static_cast<double>(1.2f);
    const double fx = x - 6;
    EXPECT_EQ(dst.pixels[10][5],
              static_cast<float>((1 - fx) * src->pixels[12][6] + fx * src->pixels[12][7]));
}

TEST(Scaling, PositionsPastTheSourceAreLeftUntouched)
{
    auto src = numbered(8, 8);
    DERY dst(5, 5);
    fill(dst, -7.0f);
    scaling(src.get(), &dst, 2.0f);
    for (int i = 0; i < 5; ++i)
        for (int j = 0; j < 5; ++j) {
            const float expected = (i == 4 || j == 4) ? -7.0f : src->pixels[2 * i][2 * j];
            EXPECT_EQ(dst.pixels[i][j], expected) << i << "," << j;
        }
}

TEST(Scaling, EveryPixelFollowsThePlainRule)
{
    std::mt19937 random(3);
    struct Case {
        int rows, cols;
        float factor;
        int dstRows, dstCols;
    };
    // Pyramid steps, odd factors, destinations reaching past the source,
    // and a negative factor (only row and column 0 lie inside).
    const Case cases[] = {{100, 81, 1.2f, 83, 68}, {13, 13, 1.2f, 11, 11}, {37, 53, 0.75f, 50, 71},
                          {40, 30, 1.7f, 30, 25},  {9, 64, 3.3f, 4, 30},   {20, 20, 1.0f, 25, 22},
                          {12, 12, -1.0f, 5, 5},   {1, 7, 1.2f, 1, 6}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.rows) + "x" + std::to_string(c.cols) + " by " + std::to_string(c.factor));
        auto src = randomImage(c.rows, c.cols, random);
        DERY dst(c.dstRows, c.dstCols);
        DERY expected(c.dstRows, c.dstCols);
        fill(dst, -7.0f);
        fill(expected, -7.0f);
        const PlainSampling plain{*src};
        for (int i = 0; i < c.dstRows; ++i)
            for (int j = 0; j < c.dstCols; ++j)
                plain.withEdgeFallback(j * static_cast<double>(c.factor), i * static_cast<double>(c.factor),
                                       expected.pixels[i][j]);
        scaling(src.get(), &dst, c.factor);
        EXPECT_TRUE(sameBits(dst, expected));
    }
}

TEST(GetValue, BilinearInsideAndOneDimensionalOnTheLastRowAndColumn)
{
    DERY image(5, 4);  // W = 4, H = 5; value 2x + 3y is reproduced exactly
    for (int r = 0; r < 5; ++r)
        for (int c = 0; c < 4; ++c)
            image.pixels[r][c] = static_cast<float>(2 * c + 3 * r);
    EXPECT_EQ(getValue(&image, 2.0f, 1.0f), 7.0f);
    EXPECT_EQ(getValue(&image, 1.5f, 2.25f), 9.75f);
    EXPECT_EQ(getValue(&image, 3.5f, 2.25f), getValue(&image, 3.0f, 2.25f));
    EXPECT_EQ(getValue(&image, 3.0f, 2.25f), 12.75f);
    EXPECT_EQ(getValue(&image, 1.5f, 4.5f), getValue(&image, 1.5f, 4.0f));
    EXPECT_EQ(getValue(&image, 3.0f, 4.0f), 18.0f);
    EXPECT_EQ(getValue(&image, 3.0f, 4.5f), 18.0f);
    EXPECT_EQ(getValue(&image, 3.999f, 4.999f), 18.0f);
}

TEST(GetValue, ZeroOutsideTheHalfOpenImageSquare)
{
    auto image = numbered(5, 4);
    EXPECT_EQ(getValue(image.get(), -0.25f, 1.0f), 0.0f);
    EXPECT_EQ(getValue(image.get(), 1.0f, -0.25f), 0.0f);
    EXPECT_EQ(getValue(image.get(), 4.0f, 1.0f), 0.0f);
    EXPECT_EQ(getValue(image.get(), 1.0f, 5.0f), 0.0f);
    EXPECT_EQ(getValue(image.get(), 1.0e30f, 1.0f), 0.0f);
    EXPECT_EQ(getValue(image.get(), NAN, 1.0f), 0.0f);
    EXPECT_EQ(getValue(image.get(), 0.0f, 0.0f), 1.0f);
}

TEST(Interpolate, IdentityCopiesTheBlockAroundTheCentre)
{
    auto src = numbered(40, 40);
    DERY patch(15, 15);
    interpolateIdentity(src.get(), &patch, 10.0f, 10.0f);
    for (int r = 0; r < 15; ++r)
        for (int c = 0; c < 15; ++c)
            EXPECT_EQ(patch.pixels[r][c], src->pixels[3 + r][3 + c]) << r << "," << c;
}

TEST(Interpolate, ZeroWhereTheBlockLeavesTheSourceOrTouchesItsLastColumn)
{
    auto src = numbered(40, 40);
    DERY patch(15, 15);
    fill(patch, -1.0f);
    interpolateIdentity(src.get(), &patch, 2.0f, 2.0f);
    for (int r = 0; r < 15; ++r)
        for (int c = 0; c < 15; ++c) {
            const float expected = (r < 5 || c < 5) ? 0.0f : src->pixels[r - 5][c - 5];
            EXPECT_EQ(patch.pixels[r][c], expected) << r << "," << c;
        }

    interpolateIdentity(src.get(), &patch, 32.0f, 20.0f);  // column 14 samples x = 39
    EXPECT_EQ(patch.pixels[7][14], 0.0f);
    EXPECT_NE(getValue(src.get(), 39.0f, 20.0f), 0.0f);
    EXPECT_EQ(patch.pixels[7][13], src->pixels[20][38]);

    interpolateIdentity(src.get(), &patch, 6.5f, 20.0f);  // column 0 samples x = -0.5
    EXPECT_EQ(patch.pixels[7][0], 0.0f);
    EXPECT_EQ(patch.pixels[7][1], getValue(src.get(), 0.5f, 20.0f));
}

TEST(Interpolate, MatrixRowsGiveColumnAndRowDisplacements)
{
    auto src = numbered(40, 40);
    DERY patch(5, 5);
    // Swapped axes: patch column offset j moves down the source rows.
    interpolate(src.get(), &patch, 20.0f, 10.0f, 0.0f, 1.0f, 1.0f, 0.0f);
    for (int r = 0; r < 5; ++r)
        for (int c = 0; c < 5; ++c)
            EXPECT_EQ(patch.pixels[r][c], src->pixels[10 + c - 2][20 + r - 2]);
    // Half steps sample between pixels: 1 + 100 y + x stays exact.
    interpolate(src.get(), &patch, 20.0f, 10.0f, 0.5f, 0.0f, 0.0f, 0.5f);
    EXPECT_EQ(patch.pixels[0][0], 1 + 100 * 9.0f + 19.0f);
    EXPECT_EQ(patch.pixels[1][4], 1 + 100 * 9.5f + 21.0f);
}

TEST(Interpolate, EvenSizedPatchIsWrittenWithinItsBounds)
{
    auto src = numbered(40, 40);
    DERY patch(4, 6);
    // Re-point the patch into a block with a guard band after its last pixel
    // and a row table with a spare entry, so a stray write is seen even
    // without a memory checker.
    const float guard = -123.0f;
    std::vector<float> block(4 * 6 + 7, guard);
    std::vector<float*> rowTable(5);
    for (int r = 0; r < 5; ++r)
        rowTable[r] = block.data() + r * 6;
    float** own = patch.pixels;
    patch.pixels = rowTable.data();
    interpolateIdentity(src.get(), &patch, 20.0f, 10.0f);
    patch.pixels = own;

    for (std::size_t i = 4 * 6; i < block.size(); ++i)
        EXPECT_EQ(block[i], guard) << "guard " << i;
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 6; ++c)
            EXPECT_EQ(block[r * 6 + c], src->pixels[10 + r - 2][20 + c - 3]) << r << "," << c;
}

TEST(Interpolate, EveryPixelFollowsThePlainRule)
{
    std::mt19937 random(5);
    auto src = randomImage(60, 50, random);
    const PlainSampling plain{*src};
    std::uniform_real_distribution<float> entry(-1.5f, 1.5f);
    std::uniform_real_distribution<float> centre(-10.0f, 70.0f);
    // Patches wider than the groups of columns sampled together, and even
    // sides; centres near and past the borders.
    const int sizes[][2] = {{15, 15}, {23, 40}, {4, 6}, {1, 33}, {17, 16}};
    for (const auto& size : sizes) {
        DERY patch(size[0], size[1]);
        DERY expected(size[0], size[1]);
        for (int n = 0; n < 50; ++n) {
            const float cx = centre(random), cy = centre(random);
            const float m11 = entry(random), m12 = entry(random), m21 = entry(random), m22 = entry(random);
            for (int r = 0; r < size[0]; ++r)
                for (int c = 0; c < size[1]; ++c) {
                    const int i = r - size[0] / 2;
                    const int j = c - size[1] / 2;
                    expected.pixels[r][c] = plain.blockOnly((static_cast<double>(m11) * j + cx) + static_cast<double>(m12) * i,
                                                            (static_cast<double>(m21) * j + cy) + static_cast<double>(m22) * i);
                }
            interpolate(src.get(), &patch, cx, cy, m11, m12, m21, m22);
            ASSERT_TRUE(sameBits(patch, expected)) << size[0] << "x" << size[1] << " patch, case " << n;
        }
    }
}

TEST(Interpolate, NegativeZeroPositionSamplesLikeZero)
{
    // The pixel at the origin holds -0: the fractions at the position
    // (-0, -0) are +0, as at (0, 0), which gives the sum +0 (fractions of -0
    // would give -0).
    DERY src(4, 4);
    fill(src, 2.0f);
    src.pixels[0][0] = -0.0f;
    DERY patch(1, 1);
    const PlainSampling plain{src};
    interpolate(&src, &patch, -0.0f, -0.0f, -1.0f, -1.0f, -1.0f, -1.0f);
    const float expected = plain.blockOnly(-0.0, -0.0);
    EXPECT_EQ(std::signbit(patch.pixels[0][0]), std::signbit(expected));
    EXPECT_EQ(patch.pixels[0][0], expected);
}
