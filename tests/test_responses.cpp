// Laplacian, Harris and Hessian response maps.
#include "afflib.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>

namespace {

std::unique_ptr<DERY> constantImage(int rows, int cols, float v)
{
    auto image = std::make_unique<DERY>(rows, cols);
    for (int i = 0; i < image->size; ++i)
        image->pixels[0][i] = v;
    return image;
}

std::unique_ptr<DERY> randomImage(int rows, int cols, unsigned seed)
{
    std::mt19937 gen(seed);
    std::uniform_real_distribution<float> dist(0.0f, 255.0f);
    auto image = std::make_unique<DERY>(rows, cols);
    for (int i = 0; i < image->size; ++i)
        image->pixels[0][i] = dist(gen);
    return image;
}

std::unique_ptr<DERY> like(const DERY* image) { return std::make_unique<DERY>(image->rows, image->cols); }

TEST(Responses, ConstantImage)
{
    const float v = 50.0f;
    auto in = constantImage(14, 16, v);
    auto lap = like(in.get());
    laplacian(in.get(), lap.get());
    auto corner = like(in.get()), sxx = like(in.get()), sxy = like(in.get()), syy = like(in.get());
    harris(in.get(), corner.get(), sxx.get(), sxy.get(), syy.get());
    auto det = like(in.get()), trace = like(in.get());
    hessian(in.get(), det.get(), trace.get());
    for (int r = 0; r < in->rows; ++r) {
        for (int c = 0; c < in->cols; ++c) {
            EXPECT_NEAR(lap->pixels[r][c], -0.0002 * v, 1e-5);
            EXPECT_NEAR(corner->pixels[r][c], 0.0, 1e-6);
            EXPECT_NEAR(sxx->pixels[r][c], 0.0, 1e-6);
            EXPECT_NEAR(sxy->pixels[r][c], 0.0, 1e-6);
            EXPECT_NEAR(syy->pixels[r][c], 0.0, 1e-6);
            // On the first and last row and column the wide second derivative
            // across that edge vanishes.
            const bool rowEdge = r == 0 || r == in->rows - 1;
            const bool colEdge = c == 0 || c == in->cols - 1;
            const double hxx = colEdge ? 0.0 : 0.001 * v;
            const double hyy = rowEdge ? 0.0 : 0.001 * v;
            EXPECT_NEAR(trace->pixels[r][c], hxx + hyy, 1e-5) << r << "," << c;
            EXPECT_NEAR(det->pixels[r][c], hxx * hyy, 1e-5) << r << "," << c;
        }
    }
}

TEST(Responses, HarrisOnAnEdgeIsNegative)
{
    auto in = std::make_unique<DERY>(16, 20);
    for (int r = 0; r < 16; ++r)
        for (int c = 0; c < 20; ++c)
            in->pixels[r][c] = static_cast<float>(c);
    auto corner = like(in.get()), sxx = like(in.get()), sxy = like(in.get()), syy = like(in.get());
    harris(in.get(), corner.get(), sxx.get(), sxy.get(), syy.get());
    for (int r = 0; r < 16; ++r) {
        for (int c = 6; c <= 20 - 7; ++c) {
            EXPECT_NEAR(sxx->pixels[r][c], 0.9958 * 0.9958, 1e-5);
            EXPECT_NEAR(sxy->pixels[r][c], 0.0, 1e-6);
            EXPECT_NEAR(syy->pixels[r][c], 0.0, 1e-6);
            EXPECT_NEAR(corner->pixels[r][c], -0.05 * 0.9916 * 0.9916, 1e-4);
        }
    }
}

TEST(Responses, AreBuiltFromTheDerivativeOperators)
{
    auto in = randomImage(17, 19, 11);
    auto hxx = like(in.get()), hyy = like(in.get()), lxx = like(in.get()), lyy = like(in.get());
    dXX9(in.get(), hxx.get());
    dYY9(in.get(), hyy.get());
    dXX7(in.get(), lxx.get());
    dYY7(in.get(), lyy.get());
    auto gx = like(in.get()), gy = like(in.get());
    dX6(in.get(), gx.get());
    dY6(in.get(), gy.get());
    auto products = like(in.get());
    for (int i = 0; i < in->size; ++i)
        products->pixels[0][i] = gx->pixels[0][i] * gy->pixels[0][i];
    auto smoothedProduct = like(in.get());
    smoothSqrt(products.get(), smoothedProduct.get());

    auto lap = like(in.get()), det = like(in.get()), trace = like(in.get());
    auto corner = like(in.get()), sxx = like(in.get()), sxy = like(in.get()), syy = like(in.get());
    laplacian(in.get(), lap.get());
    hessian(in.get(), det.get(), trace.get());
    harris(in.get(), corner.get(), sxx.get(), sxy.get(), syy.get());
    for (int i = 0; i < in->size; ++i) {
        const double p = hxx->pixels[0][i], q = hyy->pixels[0][i];
        ASSERT_EQ(det->pixels[0][i], static_cast<float>(p * q));
        ASSERT_EQ(trace->pixels[0][i], static_cast<float>(p + q));
        ASSERT_EQ(lap->pixels[0][i], lyy->pixels[0][i] + lxx->pixels[0][i]);
        ASSERT_EQ(sxy->pixels[0][i], smoothedProduct->pixels[0][i]);
        const double a = sxx->pixels[0][i], b = syy->pixels[0][i], c = sxy->pixels[0][i];
        ASSERT_EQ(corner->pixels[0][i], static_cast<float>((a * b - c * c) - 0.05 * ((a + b) * (a + b))));
    }
}

TEST(Responses, OutputsMayBeTheInput)
{
    auto in = randomImage(12, 13, 5);
    auto det = like(in.get()), trace = like(in.get()), lap = like(in.get());
    hessian(in.get(), det.get(), trace.get());
    laplacian(in.get(), lap.get());

    auto a = randomImage(12, 13, 5);
    auto otherTrace = like(a.get());
    hessian(a.get(), a.get(), otherTrace.get());
    auto b = randomImage(12, 13, 5);
    auto otherDet = like(b.get());
    hessian(b.get(), otherDet.get(), b.get());
    auto c = randomImage(12, 13, 5);
    laplacian(c.get(), c.get());
    for (int i = 0; i < in->size; ++i) {
        ASSERT_EQ(a->pixels[0][i], det->pixels[0][i]);
        ASSERT_EQ(otherTrace->pixels[0][i], trace->pixels[0][i]);
        ASSERT_EQ(b->pixels[0][i], trace->pixels[0][i]);
        ASSERT_EQ(otherDet->pixels[0][i], det->pixels[0][i]);
        ASSERT_EQ(c->pixels[0][i], lap->pixels[0][i]);
    }
}

}  // namespace
