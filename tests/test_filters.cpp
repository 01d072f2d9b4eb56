// The fixed filter passes and the two-dimensional operators built from them.
#include "afflib.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

using Pass = void (*)(DERY*, DERY*);

struct PassInfo {
    std::string name;
    Pass pass;
    bool horizontal;
    std::vector<double> weights;  // offsets -k .. +k
    double weightSum;
    bool smoothing;
};

const std::vector<double> kSqrt2 = {0.03, 0.105, 0.222, 0.286, 0.222, 0.105, 0.03};
const std::vector<double> kSmooth9 = {0.0276, 0.0663, 0.1238, 0.1802, 0.2042, 0.1802, 0.1238, 0.0663, 0.0276};
const std::vector<double> kDer9 = {0.128, 0.216, 0.216, 0, -0.317, -0.485, -0.317, 0, 0.216, 0.216, 0.128};
const std::vector<double> kDer6 = {-0.0133, -0.108, -0.242, 0, 0.242, 0.108, 0.0133};
const std::vector<double> kDer7 = {0.056, 0.1051, -0.0471, -0.2281, -0.0471, 0.1051, 0.056};
const std::vector<double> kSmooth5 = {0.0856, 0.2427, 0.3434, 0.2427, 0.0856};

std::vector<PassInfo> allPasses()
{
    return {
        {"HorConvSqrt2", HorConvSqrt2, true, kSqrt2, 1, true},
        {"VerConvSqrt2", VerConvSqrt2, false, kSqrt2, 1, true},
        {"smoothXXH9", smoothXXH9, true, kSmooth9, 1, true},
        {"smoothYYV9", smoothYYV9, false, kSmooth9, 1, true},
        {"DerXXH9", DerXXH9, true, kDer9, 0.001, false},
        {"DerYYV9", DerYYV9, false, kDer9, 0.001, false},
        {"DerHConv6", DerHConv6, true, kDer6, 0, false},
        {"DerVConv6", DerVConv6, false, kDer6, 0, false},
        {"DerXXH7", DerXXH7, true, kDer7, -0.0001, false},
        {"DerYYV7", DerYYV7, false, kDer7, -0.0001, false},
        {"HorConv5", HorConv5, true, kSmooth5, 1, true},
        {"VerConv5", VerConv5, false, kSmooth5, 1, true},
    };
}

std::unique_ptr<DERY> makeImage(int rows, int cols, const std::function<float(int, int)>& value)
{
    auto image = std::make_unique<DERY>(rows, cols);
    for (int r = 0; r < rows; ++r)
        for (int c = 0; c < cols; ++c)
            image->pixels[r][c] = value(r, c);
    return image;
}

std::unique_ptr<DERY> randomImage(int rows, int cols, unsigned seed)
{
    std::mt19937 gen(seed);
    std::uniform_real_distribution<float> dist(0.0f, 255.0f);
    return makeImage(rows, cols, [&](int, int) { return dist(gen); });
}

std::unique_ptr<DERY> run(Pass pass, DERY* in)
{
    auto out = std::make_unique<DERY>(in->rows, in->cols);
    pass(in, out.get());
    return out;
}

// Plain correlation with every tap clamped into the line and summed in
// increasing offset: what a pass computes wherever no edge weights merge.
float clampedCorrelation(const PassInfo& info, const DERY* in, int r, int c)
{
    const int k = static_cast<int>(info.weights.size() / 2);
    const int n = info.horizontal ? in->cols : in->rows;
    const int p = info.horizontal ? c : r;
    double sum = 0;
    bool first = true;
    for (int t = -k; t <= k; ++t) {
        const double w = info.weights[t + k];
        if (w == 0)
            continue;
        const int q = std::min(std::max(p + t, 0), n - 1);
        const double v = info.horizontal ? in->pixels[r][q] : in->pixels[q][c];
        sum = first ? w * v : sum + w * v;
        first = false;
    }
    return static_cast<float>(sum);
}

TEST(FilterPasses, InteriorIsTheExactCorrelationAndBordersTheClampedOne)
{
    for (const PassInfo& info : allPasses()) {
        SCOPED_TRACE(info.name);
        const int k = static_cast<int>(info.weights.size() / 2);
        const bool wide = info.weights.size() == 11;
        auto in = randomImage(23, 29, 7);
        auto out = run(info.pass, in.get());
        for (int r = 0; r < in->rows; ++r) {
            for (int c = 0; c < in->cols; ++c) {
                const int p = info.horizontal ? c : r;
                const int n = info.horizontal ? in->cols : in->rows;
                const float expected = clampedCorrelation(info, in.get(), r, c);
                const bool border = p < k || p >= n - k;
                if (!border) {
                    ASSERT_EQ(out->pixels[r][c], expected) << "at row " << r << " col " << c;
                } else if (!(wide && (p == 0 || p == n - 1))) {  // the -0.243 edge weight
                    ASSERT_NEAR(out->pixels[r][c], expected, 1e-3) << "at row " << r << " col " << c;
                }
            }
        }
    }
}

TEST(FilterPasses, ConstantImagesGiveTheWeightSumTimesTheValue)
{
    const float v = 37.5f;
    for (const PassInfo& info : allPasses()) {
        SCOPED_TRACE(info.name);
        auto in = makeImage(14, 17, [v](int, int) { return v; });
        auto out = run(info.pass, in.get());
        const bool wide = info.weights.size() == 11;
        for (int r = 0; r < in->rows; ++r) {
            for (int c = 0; c < in->cols; ++c) {
                const int p = info.horizontal ? c : r;
                const int n = info.horizontal ? in->cols : in->rows;
                // The wide second derivative's -0.243 edge weight gives 0 at both ends.
                const double expected = (wide && (p == 0 || p == n - 1)) ? 0.0 : info.weightSum * v;
                EXPECT_NEAR(out->pixels[r][c], expected, 1e-4) << r << "," << c;
            }
        }
    }
}

TEST(FilterPasses, ImpulseShowsTheWeightsAsCorrelation)
{
    auto in = makeImage(3, 21, [](int, int c) { return c == 10 ? 1.0f : 0.0f; });
    auto smooth = run(HorConvSqrt2, in.get());
    auto derivative = run(DerHConv6, in.get());
    for (int c = 0; c < 21; ++c) {
        const int t = c - 10;
        const double w = std::abs(t) <= 3 ? kSqrt2[3 + t] : 0.0;
        const double d = std::abs(t) <= 3 ? kDer6[3 - t] : 0.0;  // mirrored
        EXPECT_FLOAT_EQ(smooth->pixels[1][c], static_cast<float>(w)) << c;
        EXPECT_FLOAT_EQ(derivative->pixels[1][c], static_cast<float>(d)) << c;
    }
    EXPECT_FLOAT_EQ(derivative->pixels[1][9], 0.242f);  // value rises towards x = 10
}

TEST(FilterPasses, RampThroughTheFirstDerivative)
{
    auto in = makeImage(4, 20, [](int, int c) { return static_cast<float>(c); });
    auto out = run(DerHConv6, in.get());
    for (int c = 3; c <= 20 - 4; ++c)
        EXPECT_NEAR(out->pixels[2][c], 0.9958, 1e-6) << c;
}

TEST(FilterPasses, WideSecondDerivativeEdgeWeights)
{
    for (int n : {10, 11, 16}) {  // 10: every position is a border position
        SCOPED_TRACE(n);
        auto in = randomImage(2, n, n);
        auto out = run(DerXXH9, in.get());
        const float* x = in->pixels[1];
        const double first = -0.243 * x[0] - 0.317 * x[1] + 0.0 + 0.216 * x[3] + 0.216 * x[4] + 0.128 * x[5];
        const double last = 0.128 * x[n - 6] + 0.216 * x[n - 5] + 0.216 * x[n - 4] - 0.317 * x[n - 2] -
                            0.243 * x[n - 1];
        EXPECT_EQ(out->pixels[1][0], static_cast<float>(first));
        EXPECT_EQ(out->pixels[1][n - 1], static_cast<float>(last));
        // Border distance 4 merges the two outermost taps into 0.344.
        const double fourth = 0.344 * x[0] + 0.216 * x[1] - 0.317 * x[3] - 0.485 * x[4] - 0.317 * x[5] +
                              0.216 * x[7] + 0.216 * x[8] + 0.128 * x[9];
        EXPECT_EQ(out->pixels[1][4], static_cast<float>(fourth));
    }
    auto tall = randomImage(10, 3, 5);
    auto vertical = run(DerYYV9, tall.get());
    float* const* y = tall->pixels;
    const double top = -0.243 * y[0][2] - 0.317 * y[1][2] + 0.216 * y[3][2] + 0.216 * y[4][2] + 0.128 * y[5][2];
    EXPECT_EQ(vertical->pixels[0][2], static_cast<float>(top));
}

TEST(FilterPasses, ShortLinesStayInsideTheImage)
{
    // Below the passes' minimum length every tap is clamped separately.
    for (const PassInfo& info : allPasses()) {
        SCOPED_TRACE(info.name);
        for (int n = 1; n < static_cast<int>(info.weights.size()) - 1; ++n) {
            auto in = info.horizontal ? randomImage(2, n, n) : randomImage(n, 2, n);
            auto out = run(info.pass, in.get());
            for (int r = 0; r < in->rows; ++r)
                for (int c = 0; c < in->cols; ++c)
                    ASSERT_EQ(out->pixels[r][c], clampedCorrelation(info, in.get(), r, c));
        }
    }
}

TEST(FilterOperators, ConstantAndRampImages)
{
    auto constant = makeImage(12, 12, [](int, int) { return 9.0f; });
    auto smoothed = run(smoothSqrt, constant.get());
    auto gx = run(dX6, constant.get());
    auto gy = run(dY6, constant.get());
    for (int i = 0; i < constant->size; ++i) {
        EXPECT_NEAR(smoothed->pixels[0][i], 9.0f, 1e-5);
        EXPECT_NEAR(gx->pixels[0][i], 0.0f, 1e-5);
        EXPECT_NEAR(gy->pixels[0][i], 0.0f, 1e-5);
    }
    auto ramp = makeImage(8, 16, [](int, int c) { return static_cast<float>(c); });
    auto rx = run(dX6, ramp.get());
    auto ry = run(dY6, ramp.get());
    for (int r = 0; r < 8; ++r) {
        for (int c = 3; c <= 16 - 4; ++c)
            EXPECT_NEAR(rx->pixels[r][c], 0.9958f, 1e-5);
        for (int c = 0; c < 16; ++c)
            EXPECT_NEAR(ry->pixels[r][c], 0.0f, 1e-5);
    }
}

TEST(FilterOperators, SecondDerivativeOfAParabola)
{
    auto in = makeImage(6, 24, [](int, int c) { return static_cast<float>(c * c); });
    auto out = run(dXX7, in.get());
    for (int r = 0; r < 6; ++r)
        for (int c = 3; c <= 24 - 4; ++c)
            EXPECT_NEAR(out->pixels[r][c], 1.7546 - 0.0001 * c * c, 1e-4) << r << "," << c;
}

TEST(FilterOperators, AreTwoRoundedPassesAndMayWorkInPlace)
{
    struct Op {
        const char* name;
        Pass op, first, second;
    };
    const Op ops[] = {{"smoothSqrt", smoothSqrt, HorConvSqrt2, VerConvSqrt2}, {"dX6", dX6, DerHConv6, VerConv5},
                      {"dY6", dY6, DerVConv6, HorConv5},   {"dXX7", dXX7, DerXXH7, VerConv5},
                      {"dYY7", dYY7, DerYYV7, HorConv5},   {"dXX9", dXX9, DerXXH9, smoothYYV9},
                      {"dYY9", dYY9, DerYYV9, smoothXXH9}};
    for (const Op& op : ops) {
        SCOPED_TRACE(op.name);
        // Exactly the minimum size of the widest operator.
        auto in = randomImage(10, 10, 3);
        auto expected = run(op.second, run(op.first, in.get()).get());
        auto separate = run(op.op, in.get());
        op.op(in.get(), in.get());
        for (int i = 0; i < in->size; ++i) {
            ASSERT_EQ(separate->pixels[0][i], expected->pixels[0][i]);
            ASSERT_EQ(in->pixels[0][i], expected->pixels[0][i]);
        }
    }
}

}  // namespace
