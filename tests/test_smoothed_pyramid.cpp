// The smoothed pyramid: Gaussian blur of the stated width, and samples
// through elongated frames blurred by the same amount along both axes.
#include "smoothed_pyramid.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace {

using tolvane::detail::AxisFrame;
using tolvane::detail::Plane;
using tolvane::detail::SmoothedPyramid;

TEST(SmoothedPyramid, BlurSpreadsAPointByItsSigmaAndKeepsRampsAndMass)
{
    for (float sigma : {0.5f, 0.71f, 1.0f, 2.5f}) {
        SCOPED_TRACE("sigma " + std::to_string(sigma));
        Plane point{41, 41, Plane::Pixels(41 * 41, 0.0f)};
        point.pixels[20 * 41 + 20] = 1;
        const Plane blurred = tolvane::detail::gaussianBlur(point, sigma);
        double mass = 0, spread = 0;
        for (int y = 0; y < 41; ++y)
            for (int x = 0; x < 41; ++x) {
                mass += blurred.at(x, y);
                spread += blurred.at(x, y) * (x - 20) * (x - 20);
            }
        EXPECT_NEAR(mass, 1.0, 1e-5);
        EXPECT_NEAR(std::sqrt(spread / mass), sigma, 0.08 * sigma);

        Plane ramp{41, 9, Plane::Pixels(41 * 9)};
        for (int i = 0; i < 41 * 9; ++i)
            ramp.pixels[i] = 3.0f * (i % 41);
        const Plane smoothRamp = tolvane::detail::gaussianBlur(ramp, sigma);
        for (int x = 10; x < 31; ++x)
            EXPECT_NEAR(smoothRamp.at(x, 4), 3.0f * x, 1e-3);
    }
}

// The spread, in units of the frame's u axis, of the sampled profile across
// a step edge through the frame's centre, vertical or horizontal in the image.
double edgeSpread(const AxisFrame& frame, bool vertical, float step, float blur)
{
    constexpr int kWidth = 600, kHeight = 400, kSide = 26;
    std::vector<std::uint8_t> pixels(kWidth * kHeight);
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x)
            pixels[y * kWidth + x] = (vertical ? x >= frame.x : y >= frame.y) ? 200 : 40;
    const SmoothedPyramid pyramid(tolvane::ImageView(pixels.data(), kWidth, kHeight), 100.0f);
    std::vector<float> values(kSide * kSide), scratch;
    pyramid.sampleIsotropic(frame, step, blur, kSide, scratch, values.data());
    // Along the row through the centre: the derivative's spread about the edge.
    double mass = 0, spread = 0;
    for (int c = 1; c < kSide; ++c) {
        const float* row = &values[(kSide / 2) * kSide];
        const double d = row[c] - row[c - 1];
        const double u = (c - 0.5 - 0.5 * (kSide - 1)) * step;
        mass += d;
        spread += d * u * u;
    }
    return std::sqrt(spread / mass);
}

TEST(SmoothedPyramid, SamplesAreEquallyBlurredAcrossAndAlongAnElongatedFrame)
{
    struct Case {
        float lx, ly;
    };
    // Beyond the blur asked for, the sampling adds a little of its own.
    const float step = 0.4f, blur = 0.4f;
    const double isotropic = edgeSpread({300.5f, 200.5f, 1, 0, 10, 10}, true, step, blur);
    EXPECT_NEAR(isotropic, blur, 0.4 * blur);
    for (const Case& c : {Case{20, 5}, Case{5, 20}, Case{36, 9}, Case{9, 36}, Case{14, 3}}) {
        SCOPED_TRACE(std::to_string(c.lx) + " x " + std::to_string(c.ly));
        // u along the image's x axis, then along its y axis.
        EXPECT_NEAR(edgeSpread({300.5f, 200.5f, 1, 0, c.lx, c.ly}, true, step, blur), isotropic, 0.15 * isotropic);
        EXPECT_NEAR(edgeSpread({300.5f, 200.5f, 0, 1, c.lx, c.ly}, false, step, blur), isotropic, 0.15 * isotropic);
    }
}

}  // namespace
