// Nearest-neighbour matching: the same pairs as a plain search in every
// setting and thread count, correct pairs on a synthetic view pair, and
// rejected input.
#include "synthetic_scene.h"

#include <tolvane/tolvane.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace {

std::vector<std::uint8_t> randomDescriptors(std::size_t count, std::size_t length, unsigned seed)
{
    std::mt19937 random(seed);
    std::vector<std::uint8_t> bytes(count * length);
    for (std::uint8_t& v : bytes)
        v = static_cast<std::uint8_t>(random() % 256);
    return bytes;
}

long squaredDistance(const std::uint8_t* p, const std::uint8_t* q, std::size_t length)
{
    long sum = 0;
    for (std::size_t k = 0; k < length; ++k)
        sum += (long(p[k]) - q[k]) * (long(p[k]) - q[k]);
    return sum;
}

// Every pair by the definition: first nearest on ties.
std::vector<tolvane::Match> plainMatches(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b,
                                         std::size_t length, const tolvane::MatchOptions& options)
{
    const std::size_t na = a.size() / length, nb = b.size() / length;
    auto nearestIn = [&](const std::vector<std::uint8_t>& to, std::size_t count, const std::uint8_t* from,
                         long& best, long& second) {
        std::size_t index = 0;
        best = second = -1;
        for (std::size_t j = 0; j < count; ++j) {
            const long d = squaredDistance(from, &to[j * length], length);
            if (best < 0 || d < best) {
                second = best;
                best = d;
                index = j;
            } else if (second < 0 || d < second) {
                second = d;
            }
        }
        return index;
    };
    std::vector<tolvane::Match> matches;
    for (std::size_t i = 0; i < na; ++i) {
        long best, second, unused;
        const std::size_t j = nearestIn(b, nb, &a[i * length], best, second);
        const float d1 = std::sqrt(float(best));
        const float d2 = second < 0 ? INFINITY : std::sqrt(float(second));
        if (options.ratio < 1 && !(d1 < options.ratio * d2))
            continue;
        if (options.mutual && nearestIn(a, na, &b[j * length], unused, unused) != i)
            continue;
        matches.push_back({i, j, d1, d2});
    }
    return matches;
}

TEST(Match, EqualsThePlainSearchInEverySetting)
{
    struct Case {
        std::size_t na, nb, length;
    };
    for (const Case& c : {Case{1, 1, 128}, Case{3, 5, 128}, Case{37, 1050, 128}, Case{130, 7, 128},
                          Case{21, 40, 50}}) {
        std::vector<std::uint8_t> a = randomDescriptors(c.na, c.length, 1);
        std::vector<std::uint8_t> b = randomDescriptors(c.nb, c.length, 2);
        // near copies and an exact duplicate, so that ratio, mutual and ties matter
        for (std::size_t i = 0; i < std::min(c.na, c.nb); i += 2)
            for (std::size_t k = 0; k < c.length; ++k)
                b[i * c.length + k] = static_cast<std::uint8_t>(a[i * c.length + k] ^ (k % 7 == 0));
        if (c.nb > 2)
            std::copy_n(&b[0], c.length, &b[2 * c.length]);
        for (float ratio : {1.0f, 0.8f})
            for (bool mutual : {false, true})
                for (int threads : {1, 3}) {
                    SCOPED_TRACE(std::to_string(c.na) + " x " + std::to_string(c.nb) + " of " +
                                 std::to_string(c.length) + ", ratio " + std::to_string(ratio) +
                                 (mutual ? ", mutual" : "") + ", " + std::to_string(threads) + " threads");
                    tolvane::MatchOptions options;
                    options.ratio = ratio;
                    options.mutual = mutual;
                    options.threads = threads;
                    const std::vector<tolvane::Match> want = plainMatches(a, b, c.length, options);
                    const std::vector<tolvane::Match> got = tolvane::match(
                        tolvane::DescriptorSet::of(a, c.length), tolvane::DescriptorSet::of(b, c.length), options);
                    ASSERT_EQ(got.size(), want.size());
                    for (std::size_t m = 0; m < want.size(); ++m) {
                        EXPECT_EQ(got[m].a, want[m].a);
                        EXPECT_EQ(got[m].b, want[m].b);
                        EXPECT_EQ(got[m].distance, want[m].distance);
                        EXPECT_EQ(got[m].second, want[m].second);
                    }
                }
    }
}

TEST(Match, FindsTheCorrespondingRegionsOfASyntheticViewPair)
{
    constexpr int kSide = 320;
    const std::vector<Blob> scene = scatteredBlobs(90, 130, 5);
    const AffineView view = AffineView::rotationTiltShear(40, 2);
    const tolvane::Image first = drawScene(scene, kSide, kSide);
    const tolvane::Image second = drawScene(scene, kSide, kSide, view);
    std::vector<tolvane::Region> regionsA, regionsB;
    for (const Blob& blob : scene)
        if (std::fabs(blob.x) < 95 && std::fabs(blob.y) < 95) {
            regionsA.push_back(sceneRegion(blob.x, blob.y, 2 * blob.sigma, kSide, kSide));
            regionsB.push_back(sceneRegion(blob.x, blob.y, 2 * blob.sigma, kSide, kSide, view));
        }
    ASSERT_GT(regionsA.size(), 30u);
    const tolvane::Description a = tolvane::describe(first.view(), regionsA);
    const tolvane::Description b = tolvane::describe(second.view(), regionsB);
    tolvane::MatchOptions options;
    options.mutual = true;
    const std::vector<tolvane::Match> matches =
        tolvane::match(tolvane::DescriptorSet::of(a.descriptors), tolvane::DescriptorSet::of(b.descriptors), options);
    std::size_t correct = 0;
    for (const tolvane::Match& m : matches)
        correct += a.region_of_frame[m.a] == b.region_of_frame[m.b];
    EXPECT_GT(correct, regionsA.size() * 3 / 4);
    EXPECT_GT(correct, matches.size() * 9 / 10);
}

TEST(Match, InvalidInputThrowsTheLibraryError)
{
    const std::vector<std::uint8_t> bytes = randomDescriptors(4, 128, 3);
    const std::vector<std::uint8_t> shorter = randomDescriptors(4, 64, 3);
    struct Case {
        const char* what;
        tolvane::DescriptorSet b;
        void (*change)(tolvane::MatchOptions&);
    };
    const Case cases[] = {
        {"lengths differ", tolvane::DescriptorSet::of(shorter, 64), [](tolvane::MatchOptions&) {}},
        {"ratio 0", tolvane::DescriptorSet::of(bytes), [](tolvane::MatchOptions& o) { o.ratio = 0; }},
        {"ratio above 1", tolvane::DescriptorSet::of(bytes), [](tolvane::MatchOptions& o) { o.ratio = 1.5f; }},
        {"NaN ratio", tolvane::DescriptorSet::of(bytes), [](tolvane::MatchOptions& o) { o.ratio = NAN; }},
        {"negative threads", tolvane::DescriptorSet::of(bytes), [](tolvane::MatchOptions& o) { o.threads = -1; }},
        {"no bytes", tolvane::DescriptorSet(nullptr, 3), [](tolvane::MatchOptions&) {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        tolvane::MatchOptions options;
        c.change(options);
        EXPECT_THROW(tolvane::match(tolvane::DescriptorSet::of(bytes), c.b, options), tolvane::Error);
    }
    EXPECT_THROW(tolvane::DescriptorSet::of(bytes, 100), tolvane::Error);
    EXPECT_TRUE(tolvane::match(tolvane::DescriptorSet::of(bytes), tolvane::DescriptorSet()).empty());
}

}  // namespace
