#include "afflib.h"

#include <gtest/gtest.h>

#include <cmath>
#include <iostream>
#include <memory>
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

TEST(Set, CopiesStorageOrderBetweenImagesOfEqualSize)
{
    auto src = numbered(10, 20);
    DERY dst(20, 10);
    set(src.get(), &dst);
    for (int i = 0; i < 200; ++i)
        EXPECT_EQ(dst.pixels[0][i], src->pixels[0][i]);
}

TEST(SetDeathTest, DifferentSizesPrintMessageAndExitZero)
{
    DERY small(3, 5);
    DERY large(4, 4);
    // The message goes to standard output; route it where the check can see it.
    EXPECT_EXIT(
        {
            std::cout.rdbuf(std::cerr.rdbuf());
            set(&small, &large);
        },
        ::testing::ExitedWithCode(0), "^wrong set size \n$");
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
