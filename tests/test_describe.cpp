// Oriented frames, descriptors and patches: geometry of the frames,
// orientation of rotated structure, descriptor invariance under rotation and
// affine reshaping, upright descriptors of a ramp, determinism across
// threads and vector paths, and rejected input.
#include "region_lists.h"
#include "synthetic_scene.h"
#include "vector_path.h"

#include <tolvane/tolvane.h>

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace {

constexpr int kSide = 240;
constexpr float kPi = 3.14159265f;

double descriptorDistance(const tolvane::Description& a, std::size_t i, const tolvane::Description& b, std::size_t j)
{
    double sum = 0;
    for (std::size_t k = 0; k < tolvane::kDescriptorLength; ++k) {
        const double d = double(a.descriptors[i * tolvane::kDescriptorLength + k]) -
                         b.descriptors[j * tolvane::kDescriptorLength + k];
        sum += d * d;
    }
    return std::sqrt(sum);
}

// F F^T must be the inverse of the region's ellipse matrix.
void expectFrameCoversEllipse(const tolvane::Frame& f, const tolvane::Region& r)
{
    const double s11 = double(f.a11) * f.a11 + double(f.a12) * f.a12;
    const double s12 = double(f.a11) * f.a21 + double(f.a12) * f.a22;
    const double s22 = double(f.a21) * f.a21 + double(f.a22) * f.a22;
    const double det = r.a * r.c - r.b * r.b;
    EXPECT_NEAR(s11, r.c / det, 1e-4 * (r.c / det));
    EXPECT_NEAR(s12, -r.b / det, 1e-4 * (r.c / det + r.a / det));
    EXPECT_NEAR(s22, r.a / det, 1e-4 * (r.a / det));
    EXPECT_EQ(f.x, r.x);
    EXPECT_EQ(f.y, r.y);
}

TEST(Describe, OrientationFollowsTheDominantGradientOfARotatedPatch)
{
    // A bright blob beside a dark one: the gradient at the centre points from
    // the dark blob to the bright one, along the scene's +x before rotation.
    const std::vector<Blob> dipole = {{6, 0, 6, 70}, {-6, 0, 6, -70}};
    for (float degrees : {0.0f, 30.0f, 100.0f, 200.0f, 290.0f}) {
        SCOPED_TRACE(std::to_string(degrees) + " degrees");
        const AffineView view = AffineView::rotationTiltShear(degrees, 1);
        const tolvane::Image image = drawScene(dipole, kSide, kSide, view);
        const tolvane::Region region = sceneRegion(0, 0, 8, kSide, kSide, view);
        const tolvane::Description d = tolvane::describe(image.view(), {region});
        ASSERT_EQ(d.frames.size(), 1u);
        const tolvane::Frame& f = d.frames[0];
        expectFrameCoversEllipse(f, region);
        float found = std::atan2(f.a21, f.a11) * 180 / kPi;
        found = std::fmod(found - degrees + 540.0f, 360.0f) - 180.0f;
        EXPECT_NEAR(found, 0.0f, 1.5f);
    }
}

TEST(Describe, ASymmetricBarGivesTwoOppositeFrames)
{
    // A blob squashed into a vertical bar: its gradients point inwards from
    // both sides, equally strong.
    const AffineView squash = AffineView::rotationTiltShear(0, 4);
    const tolvane::Image image = drawScene({{0, 0, 8, 90}}, kSide, kSide, squash);
    const tolvane::Region region = sceneRegion(0, 0, 8, kSide, kSide);
    const tolvane::Description d = tolvane::describe(image.view(), {region});
    ASSERT_EQ(d.frames.size(), 2u);
    EXPECT_EQ(d.region_of_frame, (std::vector<std::size_t>{0, 0}));
    EXPECT_EQ(d.descriptors.size(), 2 * tolvane::kDescriptorLength);
    for (const tolvane::Frame& f : d.frames) {
        expectFrameCoversEllipse(f, region);
        EXPECT_NEAR(std::fabs(f.a11), 8.0f, 0.1f);
    }
    EXPECT_NEAR(d.frames[0].a11, -d.frames[1].a11, 0.1f);
}

TEST(Describe, DescriptorIsInvariantToRotatingAndReshapingThePatch)
{
    const std::vector<Blob> scene = scatteredBlobs(14, 30, 7);
    const tolvane::Image reference = drawScene(scene, kSide, kSide);
    const tolvane::Description expected =
        tolvane::describe(reference.view(), {sceneRegion(0, 0, 12, kSide, kSide)});
    const tolvane::Image other = drawScene(scatteredBlobs(14, 30, 99), kSide, kSide);
    const tolvane::Description unrelated = tolvane::describe(other.view(), {sceneRegion(0, 0, 12, kSide, kSide)});
    const double apart = descriptorDistance(expected, 0, unrelated, 0);
    struct Case {
        float degrees, tilt, shear;
    };
    for (const Case& c : {Case{0, 1, 0}, Case{45, 1, 0}, Case{130, 1, 0}, Case{0, 2, 0}, Case{70, 2.5f, 0},
                          Case{200, 3, 0}, Case{20, 1.5f, 0.8f}, Case{-60, 1, -0.5f}}) {
        SCOPED_TRACE(std::to_string(c.degrees) + " degrees, tilt " + std::to_string(c.tilt) + ", shear " +
                     std::to_string(c.shear));
        const AffineView view = AffineView::rotationTiltShear(c.degrees, c.tilt, c.shear);
        const tolvane::Image image = drawScene(scene, kSide, kSide, view);
        for (tolvane::DescriptorKind kind : {tolvane::DescriptorKind::Sift, tolvane::DescriptorKind::RootSift}) {
            tolvane::DescribeOptions options;
            options.descriptor = kind;
            const tolvane::Description got =
                tolvane::describe(image.view(), {sceneRegion(0, 0, 12, kSide, kSide, view)}, options);
            const tolvane::Description want =
                tolvane::describe(reference.view(), {sceneRegion(0, 0, 12, kSide, kSide)}, options);
            double nearest = INFINITY;
            for (std::size_t i = 0; i < got.frames.size(); ++i)
                nearest = std::min(nearest, descriptorDistance(got, i, want, 0));
            EXPECT_LT(nearest, 0.25 * apart);
        }
    }
}

TEST(Describe, UprightFramesAreTheShapeRootAndPatchesFollowTheFrame)
{
    // A horizontal ramp: the patch of a frame samples the ramp at the frame's points.
    tolvane::Image ramp{kSide, kSide, std::vector<std::uint8_t>(kSide * kSide)};
    for (int y = 0; y < kSide; ++y)
        for (int x = 0; x < kSide; ++x)
            ramp.pixels[y * kSide + x] = static_cast<std::uint8_t>(x);
    const AffineView view = AffineView::rotationTiltShear(35, 2);
    const tolvane::Region region = sceneRegion(0, 0, 10, kSide, kSide, view);
    tolvane::DescribeOptions options;
    options.upright = true;
    options.patches = true;
    options.patch_size = 8;
    options.mr_size = 2;
    const tolvane::Description d = tolvane::describe(ramp.view(), {region}, options);
    ASSERT_EQ(d.frames.size(), 1u);
    const tolvane::Frame f = d.frames[0];
    const tolvane::Frame upright = tolvane::uprightFrame(region);
    EXPECT_EQ(f.a11, upright.a11);
    EXPECT_EQ(f.a22, upright.a22);
    EXPECT_NEAR(f.a12, f.a21, 1e-6);
    EXPECT_GT(f.a11, 0);
    EXPECT_GT(f.a22, 0);
    expectFrameCoversEllipse(f, region);
    ASSERT_EQ(d.patches.size(), 64u);
    for (int i = 0; i < 8; ++i)
        for (int j = 0; j < 8; ++j) {
            const float u = -2 + (j + 0.5f) * 0.5f, v = -2 + (i + 0.5f) * 0.5f;
            EXPECT_NEAR(d.patches[i * 8 + j], f.x + f.a11 * u + f.a12 * v, 1.0) << i << ", " << j;
        }
}

TEST(Describe, UprightDescriptorsOfARampHoldOnlyItsOrientation)
{
    // Every cell's gradients point the ramp's way in the frame: into two
    // neighbouring orientation bins, for any turn of the region's shape.
    for (float rampDegrees = 0; rampDegrees < 360; rampDegrees += 30) {
        for (float shapeDegrees = -75; shapeDegrees < 90; shapeDegrees += 30) {
            SCOPED_TRACE(std::to_string(rampDegrees) + " degrees ramp, " + std::to_string(shapeDegrees) +
                         " degrees shape");
            const float gx = std::cos(rampDegrees * kPi / 180), gy = std::sin(rampDegrees * kPi / 180);
            std::vector<float> ramp(kSide * kSide);
            for (int y = 0; y < kSide; ++y)
                for (int x = 0; x < kSide; ++x)
                    ramp[y * kSide + x] = 128 + 0.4f * (gx * (x - kSide / 2) + gy * (y - kSide / 2));
            const AffineView view = AffineView::rotationTiltShear(shapeDegrees, 2);
            tolvane::DescribeOptions options;
            options.upright = true;
            const tolvane::Description d = tolvane::describe(tolvane::ImageView(ramp.data(), kSide, kSide),
                                                             {sceneRegion(0, 0, 8, kSide, kSide, view)}, options);
            ASSERT_EQ(d.frames.size(), 1u);
            const tolvane::Frame& f = d.frames[0];
            // The ramp's gradient in the frame's coordinates: F^T g.
            const float angle = std::atan2(f.a12 * gx + f.a22 * gy, f.a11 * gx + f.a21 * gy);
            const int first = static_cast<int>(std::floor(angle / (2 * kPi) * 8 + 8)) % 8;
            for (std::size_t k = 0; k < tolvane::kDescriptorLength; ++k) {
                const int orientation = static_cast<int>(k % 8);
                if (orientation != first && orientation != (first + 1) % 8) {
                    EXPECT_EQ(d.descriptors[k], 0) << "cell " << k / 8 << ", orientation " << orientation;
                }
            }
        }
    }
}

// A photograph of tests/golden as bytes, with its regions.
struct DetectedPhotograph {
    explicit DetectedPhotograph(const std::string& name)
    {
        const std::unique_ptr<DERY> photo = goldenPhotograph(name);
        for (int r = 0; r < photo->rows; ++r)
            for (int c = 0; c < photo->cols; ++c)
                pixels.push_back(static_cast<std::uint8_t>(photo->pixels[r][c]));
        view = tolvane::ImageView(pixels.data(), photo->cols, photo->rows);
        regions = tolvane::detect(view);
    }
    std::vector<std::uint8_t> pixels;
    tolvane::ImageView view;
    std::vector<tolvane::Region> regions;
};

void expectSameDescription(const tolvane::Description& a, const tolvane::Description& b)
{
    EXPECT_EQ(a.descriptors, b.descriptors);
    EXPECT_EQ(a.patches, b.patches);
    EXPECT_EQ(a.region_of_frame, b.region_of_frame);
    ASSERT_EQ(a.frames.size(), b.frames.size());
    for (std::size_t i = 0; i < a.frames.size(); ++i)
        for (float tolvane::Frame::*field : {&tolvane::Frame::a11, &tolvane::Frame::a12, &tolvane::Frame::a21,
                                             &tolvane::Frame::a22})
            EXPECT_EQ(floatBits(a.frames[i].*field), floatBits(b.frames[i].*field));
}

TEST(Describe, ThreadsGiveTheSameBytes)
{
    const DetectedPhotograph photo("coffee");
    const tolvane::ImageView& view = photo.view;
    const std::vector<tolvane::Region>& regions = photo.regions;
    ASSERT_GT(regions.size(), 100u);
    tolvane::DescribeOptions options;
    options.patches = true;
    options.threads = 1;
    const tolvane::Description one = tolvane::describe(view, regions, options);
    EXPECT_GT(one.frames.size(), regions.size());
    for (int threads : {2, 5}) {
        options.threads = threads;
        expectSameDescription(tolvane::describe(view, regions, options), one);
    }
}

// The kernels' narrower instruction sets give the bytes of the widest one.
TEST(Describe, EveryVectorPathGivesTheSameBytes)
{
    using tolvane::detail::VectorPath;
    const VectorPath widest = tolvane::detail::widestVectorPath();
    struct Restore {
        ~Restore() { tolvane::detail::useVectorPath(tolvane::detail::widestVectorPath()); }
    } restore;
    const DetectedPhotograph photo("rocket");
    struct Case {
        tolvane::DescriptorKind kind;
        bool upright;
        float mr_size;
        int patch_size;
        std::size_t regions;
    };
    const std::size_t all = photo.regions.size();
    // The last case's patch rows are longer than the batches the wide sampler works in.
    for (const Case& c : {Case{tolvane::DescriptorKind::Sift, false, 3.0f, 32, all},
                          Case{tolvane::DescriptorKind::RootSift, true, 1.5f, 41, all},
                          Case{tolvane::DescriptorKind::Sift, false, 12.0f, 16, all},
                          Case{tolvane::DescriptorKind::None, true, 3.0f, 1000, 3}}) {
        const std::vector<tolvane::Region> regions(photo.regions.begin(), photo.regions.begin() + c.regions);
        tolvane::DescribeOptions options;
        options.descriptor = c.kind;
        options.upright = c.upright;
        options.mr_size = c.mr_size;
        options.patch_size = c.patch_size;
        options.patches = true;
        tolvane::detail::useVectorPath(widest);
        const tolvane::Description reference = tolvane::describe(photo.view, regions, options);
        for (VectorPath path : {VectorPath::Baseline, VectorPath::Avx2}) {
            if (path >= widest)
                continue;
            SCOPED_TRACE("path " + std::to_string(static_cast<int>(path)) + ", mr size " + std::to_string(c.mr_size));
            tolvane::detail::useVectorPath(path);
            expectSameDescription(tolvane::describe(photo.view, regions, options), reference);
        }
    }
}

TEST(Describe, RegionsFarLargerOrSmallerThanTheImageAreStillDescribed)
{
    const tolvane::Image image = drawScene(scatteredBlobs(6, 20, 3), 64, 48);
    struct Case {
        float radiusX, radiusY;
    };
    for (const Case& c : {Case{1e6f, 1e6f}, Case{1e5f, 2.0f}, Case{1e-3f, 1e-3f}, Case{1e-2f, 300.0f}}) {
        SCOPED_TRACE(std::to_string(c.radiusX) + " x " + std::to_string(c.radiusY));
        tolvane::Region r = sceneRegion(0, 0, 1, 64, 48);
        r.a = 1.0 / (double(c.radiusX) * c.radiusX);
        r.c = 1.0 / (double(c.radiusY) * c.radiusY);
        tolvane::DescribeOptions options;
        options.patches = true;
        const tolvane::Description d = tolvane::describe(image.view(), {r}, options);
        ASSERT_GE(d.frames.size(), 1u);
        EXPECT_TRUE(std::isfinite(d.frames[0].a11) && std::isfinite(d.frames[0].a22));
        EXPECT_EQ(d.descriptors.size(), d.frames.size() * tolvane::kDescriptorLength);
    }
}

TEST(Describe, InvalidOptionsAndRegionsThrowTheLibraryError)
{
    const tolvane::Image image = drawScene({}, 32, 32);
    const tolvane::Region good = sceneRegion(0, 0, 4, 32, 32);
    tolvane::Region flat = good;
    flat.a = 0;
    tolvane::Region lost = good;
    lost.x = NAN;
    struct Case {
        const char* what;
        tolvane::Region region;
        void (*change)(tolvane::DescribeOptions&);
    };
    const Case cases[] = {
        {"zero mr_size", good, [](tolvane::DescribeOptions& o) { o.mr_size = 0; }},
        {"NaN mr_size", good, [](tolvane::DescribeOptions& o) { o.mr_size = NAN; }},
        {"tiny patch", good, [](tolvane::DescribeOptions& o) { o.patch_size = 3; }},
        {"negative threads", good, [](tolvane::DescribeOptions& o) { o.threads = -1; }},
        {"degenerate ellipse", flat, [](tolvane::DescribeOptions&) {}},
        {"NaN centre", lost, [](tolvane::DescribeOptions&) {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        tolvane::DescribeOptions options;
        c.change(options);
        EXPECT_THROW(tolvane::describe(image.view(), {c.region}, options), tolvane::Error);
    }
    EXPECT_TRUE(tolvane::describe(image.view(), {}).frames.empty());
    std::vector<float> unknownPixel(32 * 32, 0.0f);
    unknownPixel[17 * 32 + 16] = NAN;
    EXPECT_THROW(tolvane::describe(tolvane::ImageView(unknownPixel.data(), 32, 32), {good}), tolvane::Error);
    // A flat image has no gradient: one frame, not rotated.
    const tolvane::Description flatImage = tolvane::describe(image.view(), {good});
    ASSERT_EQ(flatImage.frames.size(), 1u);
    EXPECT_EQ(flatImage.frames[0].a21, 0.0f);
}

}  // namespace
