#include "afflib.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

namespace {

// The middle row of the cached kernel: the folded radial profile.
std::vector<float> profileRow()
{
    return std::vector<float>(table_exp[g_size] + g_size, table_exp[g_size] + 2 * g_size + 1);
}

void fill(DERY& image, float value)
{
    for (int k = 0; k < image.size; ++k)
        image.pixels[0][k] = value;
}

}  // namespace

// Must run before anything else in the process builds a kernel.
TEST(GaussianCache, StartsEmptyAndSigmaZeroBuildsNothing)
{
    if (g_scale != 0)
        GTEST_SKIP() << "the cache was filled by an earlier test";
    EXPECT_EQ(g_size, 0);
    EXPECT_EQ(total, 0.0f);
    initGauss(0.0f);
    EXPECT_EQ(table_exp, nullptr);
}

TEST(GaussianCache, SeparableKernelForSigma18)
{
    initGauss(1.8f);
    ASSERT_EQ(g_size, 5);
    EXPECT_EQ(g_scale, 1.8f);
    const std::vector<float> expected{1.0f, 0.8570f, 0.5395f, 0.2499f, 0.0885f, 0.0211f};
    const std::vector<float> profile = profileRow();
    for (int k = 0; k <= 5; ++k)
        EXPECT_NEAR(profile[k], expected[k], 5e-5) << "distance " << k;
    for (int p = -5; p <= 5; ++p)
        for (int q = -5; q <= 5; ++q)
            ASSERT_EQ(table_exp[5 + p][5 + q], profile[std::abs(p)] * profile[std::abs(q)])
                << "row offset " << p << ", column offset " << q;
    EXPECT_NEAR(total, 20.3575f, 5e-4);
}

TEST(GaussianCache, SameSigmaKeepsTheTableAndOtherSigmaRebuildsIt)
{
    initGauss(1.8f);
    float** cached = table_exp;
    initGauss(1.8f);
    EXPECT_EQ(table_exp, cached);

    initGauss(1.0f);
    EXPECT_EQ(g_scale, 1.0f);
    EXPECT_EQ(g_size, 3);
    EXPECT_NEAR(total, 6.2832f, 5e-4);
    initGauss(1.8f);
    EXPECT_EQ(g_size, 5);
    EXPECT_NEAR(total, 20.3575f, 5e-4);
}

// Sigma 0.15 has a tail (m = 1) longer than its window (s = 0).
TEST(GaussianCache, SmallSigmaWithLongTailStaysInsideItsProfile)
{
    initGauss(0.15f);
    ASSERT_EQ(g_size, 0);
    EXPECT_EQ(table_exp[0][0], 1.0f);
    EXPECT_EQ(total, 1.0f);
}

TEST(Convolution, WindowMustLieInsideTheImage)
{
    initGauss(1.8f);
    const int s = g_size;
    DERY image(16, 20);
    fill(image, 1.0f);
    const double full = convolution(s, s, &image, table_exp);
    EXPECT_NEAR(full, total, 1e-4);
    EXPECT_EQ(convolution(s - 1, s, &image, table_exp), 0.0);
    EXPECT_EQ(convolution(s, s - 1, &image, table_exp), 0.0);
    EXPECT_EQ(convolution(image.cols - s - 1, image.rows - s - 1, &image, table_exp), full);
    EXPECT_EQ(convolution(image.cols - s, s, &image, table_exp), 0.0);
    EXPECT_EQ(convolution(s, image.rows - s, &image, table_exp), 0.0);
}

// First kernel index goes with the row offset, no mirroring, and the sum is
// not rounded to float.
TEST(Convolution, KernelOrientationAndUnroundedSum)
{
    initGauss(1.0f);
    const int s = g_size;
    DERY kernelImage(2 * s + 1, 2 * s + 1);
    fill(kernelImage, 0.0f);
    kernelImage.pixels[s + 1][s + 2] = 1.0f;
    kernelImage.pixels[s][s] = 1.0f;

    DERY image(10, 10);
    fill(image, 0.0f);
    const int x = 4;
    const int y = 5;
    image.pixels[y][x] = 1.0f;
    image.pixels[y + 1][x + 2] = 1e-9f;
    image.pixels[y + 2][x + 1] = 7.0f;  // the transposed position must not count
    EXPECT_EQ(convolution(x, y, &image, kernelImage.pixels), 1.0 + static_cast<double>(1e-9f));
}

TEST(Smoothf, ConstantImageGivesItsValueWhereTheWindowFits)
{
    DERY image(15, 15);
    fill(image, 42.5f);
    EXPECT_NEAR(smoothf(7, 7, &image, 1.8f), 42.5f, 1e-4);
    EXPECT_NEAR(smoothf(3, 3, &image, 1.0f), 42.5f, 1e-4);
    EXPECT_EQ(g_scale, 1.0f);
    EXPECT_EQ(smoothf(2, 7, &image, 1.0f), 0.0f);
    EXPECT_EQ(smoothf(7, 12, &image, 1.0f), 0.0f);
}
