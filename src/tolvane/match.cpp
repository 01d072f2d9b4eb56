// Exact nearest neighbours by brute force: squared distances
// |a|^2 + |b|^2 - 2 a.b in integers, the dot products four rows of the first
// set at a time against cache-sized tiles of the second.
#include "tolvane/match.h"

#include "tolvane/error.h"

#include "threads.h"
#include "vector_clones.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

namespace tolvane {
namespace {

constexpr std::size_t kRowsPerBlock = 4;
constexpr std::size_t kTileBytes = 256 * 1024;
constexpr std::size_t kWidthMultiple = 16;
constexpr std::int32_t kFar = std::numeric_limits<std::int32_t>::max();
constexpr int kMaxThreads = 1024;
constexpr std::size_t kMaxCount = std::numeric_limits<std::int32_t>::max();

// Descriptors as 16-bit values, each padded with zeros to `stride`, rows
// padded with zero descriptors to `rows`; squared norms of the real ones.
struct Widened {
    std::vector<std::int16_t> values;
    std::vector<std::int32_t> norms;
    std::size_t stride = 0;
};

Widened widen(const DescriptorSet& set, std::size_t stride, std::size_t rows)
{
    Widened w{std::vector<std::int16_t>(stride * rows, 0), std::vector<std::int32_t>(set.count, 0), stride};
    for (std::size_t i = 0; i < set.count; ++i) {
        const std::uint8_t* in = set.bytes + i * set.length;
        std::int32_t norm = 0;
        for (std::size_t k = 0; k < set.length; ++k) {
            w.values[i * stride + k] = in[k];
            norm += static_cast<std::int32_t>(in[k]) * in[k];
        }
        w.norms[i] = norm;
    }
    return w;
}

// out[r * count + j] = a_r . b_j for the four rows of `a`.
void dotProductsOfFourPlain(const std::int16_t* a, const std::int16_t* b, std::size_t count, std::size_t stride,
                            std::int32_t* out)
{
    for (std::size_t j = 0; j < count; ++j) {
        const std::int16_t* bj = b + j * stride;
        for (std::size_t r = 0; r < kRowsPerBlock; ++r) {
            const std::int16_t* ar = a + r * stride;
            std::int32_t sum = 0;
            for (std::size_t k = 0; k < stride; ++k)
                sum += ar[k] * bj[k];
            out[r * count + j] = sum;
        }
    }
}

#if defined(__x86_64__)
__attribute__((target("avx2"))) inline __m256i load16(const std::int16_t* p)
{
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

// The four sums of the lanes of s0 to s3.
__attribute__((target("avx2"))) inline __m128i laneSums(__m256i s0, __m256i s1, __m256i s2, __m256i s3)
{
    const __m256i pairs = _mm256_hadd_epi32(_mm256_hadd_epi32(s0, s1), _mm256_hadd_epi32(s2, s3));
    return _mm_add_epi32(_mm256_castsi256_si128(pairs), _mm256_extracti128_si256(pairs, 1));
}

// The same in 16-element multiply-adds, two columns of b at a time (b has a
// zero row after an odd count).
__attribute__((target("avx2"))) void dotProductsOfFourAvx2(const std::int16_t* a, const std::int16_t* b,
                                                           std::size_t count, std::size_t stride, std::int32_t* out)
{
    for (std::size_t j = 0; j < count; j += 2) {
        const std::int16_t* b0 = b + j * stride;
        const std::int16_t* b1 = b0 + stride;
        __m256i s[2][4];
        for (auto& column : s)
            for (__m256i& sum : column)
                sum = _mm256_setzero_si256();
        for (std::size_t k = 0; k < stride; k += kWidthMultiple) {
            const __m256i v0 = load16(b0 + k);
            const __m256i v1 = load16(b1 + k);
            for (std::size_t r = 0; r < kRowsPerBlock; ++r) {
                const __m256i ar = load16(a + r * stride + k);
                s[0][r] = _mm256_add_epi32(s[0][r], _mm256_madd_epi16(v0, ar));
                s[1][r] = _mm256_add_epi32(s[1][r], _mm256_madd_epi16(v1, ar));
            }
        }
        for (std::size_t c = 0; c < 2 && j + c < count; ++c) {
            alignas(16) std::int32_t sums[kRowsPerBlock];
            _mm_store_si128(reinterpret_cast<__m128i*>(sums), laneSums(s[c][0], s[c][1], s[c][2], s[c][3]));
            for (std::size_t r = 0; r < kRowsPerBlock; ++r)
                out[r * count + j + c] = sums[r];
        }
    }
}
#endif

using DotProducts = void (*)(const std::int16_t*, const std::int16_t*, std::size_t, std::size_t, std::int32_t*);

DotProducts dotProductsOfFour()
{
#if defined(__x86_64__)
    if (__builtin_cpu_supports("avx2"))
        return dotProductsOfFourAvx2;
#endif
    return dotProductsOfFourPlain;
}

// Squared distances from one row of a (squared norm `norm`) to a tile of b.
AFFLIB_VECTOR_CLONES void squaredDistances(std::int32_t norm, const std::int32_t* bNorms, const std::int32_t* dots,
                                           std::size_t count, std::int32_t* out)
{
    for (std::size_t j = 0; j < count; ++j)
        out[j] = norm + bNorms[j] - 2 * dots[j];
}

AFFLIB_VECTOR_CLONES std::int32_t smallest(const std::int32_t* values, std::size_t count)
{
    std::int32_t m = kFar;
    for (std::size_t j = 0; j < count; ++j)
        m = std::min(m, values[j]);
    return m;
}

// For each descriptor of b, the nearest row of a seen so far.
struct Reverse {
    std::vector<std::int32_t> best;
    std::vector<std::int32_t> index;
};

AFFLIB_VECTOR_CLONES void offerRow(const std::int32_t* distances, std::size_t count, std::int32_t row,
                                   std::int32_t* best, std::int32_t* index)
{
    for (std::size_t j = 0; j < count; ++j) {
        const bool nearer = distances[j] < best[j];
        best[j] = nearer ? distances[j] : best[j];
        index[j] = nearer ? row : index[j];
    }
}

struct Nearest {
    std::int32_t best = kFar;
    std::int32_t second = kFar;
    std::size_t index = 0;

    void offer(std::int32_t d, std::size_t j)
    {
        if (d < best) {
            second = best;
            best = d;
            index = j;
        } else if (d < second) {
            second = d;
        }
    }
};

// Nearest and second nearest in b of the rows [begin, end) of a, and the
// nearest of those rows for each descriptor of b when `reverse` is given.
void searchRows(const Widened& a, const Widened& b, std::size_t begin, std::size_t end, std::vector<Nearest>& nearest,
                Reverse* reverse)
{
    const DotProducts dotProducts = dotProductsOfFour();
    const std::size_t stride = a.stride;
    const std::size_t tile = std::max<std::size_t>(1, kTileBytes / (stride * sizeof(std::int16_t)));
    const std::size_t bCount = b.norms.size();
    std::vector<std::int32_t> dots(kRowsPerBlock * std::min(tile, bCount));
    std::vector<std::int32_t> distances(std::min(tile, bCount));
    for (std::size_t first = 0; first < bCount; first += tile) {
        const std::size_t count = std::min(tile, bCount - first);
        for (std::size_t i = begin; i < end; i += kRowsPerBlock) {
            dotProducts(&a.values[i * stride], &b.values[first * stride], count, stride, dots.data());
            for (std::size_t r = 0; r < kRowsPerBlock && i + r < end; ++r) {
                squaredDistances(a.norms[i + r], &b.norms[first], &dots[r * count], count, distances.data());
                Nearest& n = nearest[i + r];
                if (smallest(distances.data(), count) < n.second)
                    for (std::size_t j = 0; j < count; ++j)
                        n.offer(distances[j], first + j);
                if (reverse)
                    offerRow(distances.data(), count, static_cast<std::int32_t>(i + r), &reverse->best[first],
                             &reverse->index[first]);
            }
        }
    }
}


float distanceOf(std::int32_t squared)
{
    return squared == kFar ? INFINITY : std::sqrt(static_cast<float>(squared));
}

}  // namespace

DescriptorSet DescriptorSet::of(const std::vector<std::uint8_t>& bytes, std::size_t length)
{
    if (length == 0 || bytes.size() % length != 0)
        throw Error(ErrorCode::InvalidArgument, std::to_string(bytes.size()) + " bytes are no whole number of descriptors of " +
                    std::to_string(length));
    return DescriptorSet(bytes.data(), bytes.size() / length, length);
}

void MatchOptions::validate() const
{
    if (!(ratio > 0 && ratio <= 1))
        throw Error(ErrorCode::InvalidArgument, "ratio must be above 0 and at most 1");
    if (threads < 0 || threads > kMaxThreads)
        throw Error(ErrorCode::InvalidArgument, "threads must be between 0 and " + std::to_string(kMaxThreads) + ", got " +
                    std::to_string(threads));
}

std::vector<Match> match(const DescriptorSet& a, const DescriptorSet& b, const MatchOptions& options)
{
    options.validate();
    if (a.length != b.length)
        throw Error(ErrorCode::InvalidArgument, "descriptor lengths differ: " + std::to_string(a.length) + " and " + std::to_string(b.length));
    if (a.length == 0 || (a.count > 0 && !a.bytes) || (b.count > 0 && !b.bytes))
        throw Error(ErrorCode::InvalidArgument, "descriptor set without bytes");
    if (a.count == 0 || b.count == 0)
        return {};
    if (a.count > kMaxCount || b.count > kMaxCount)
        throw Error(ErrorCode::InvalidArgument, "at most " + std::to_string(kMaxCount) + " descriptors a set");
    const std::size_t stride = (a.length + kWidthMultiple - 1) / kWidthMultiple * kWidthMultiple;
    const std::size_t blocks = (a.count + kRowsPerBlock - 1) / kRowsPerBlock;
    const Widened wa = widen(a, stride, blocks * kRowsPerBlock);
    const Widened wb = widen(b, stride, b.count + 1);

    const int threads = detail::threadsFor(options.threads, blocks);
    std::vector<Nearest> nearest(a.count);
    const std::size_t reverseCount = options.mutual ? b.count : 0;
    std::vector<Reverse> reverse(threads, Reverse{std::vector<std::int32_t>(reverseCount, kFar),
                                                  std::vector<std::int32_t>(reverseCount, 0)});
    detail::runParts(threads, [&](int t) {
        const std::size_t begin = blocks * t / threads * kRowsPerBlock;
        const std::size_t end = std::min(a.count, blocks * (t + 1) / threads * kRowsPerBlock);
        searchRows(wa, wb, begin, end, nearest, options.mutual ? &reverse[t] : nullptr);
    });

    Reverse& nearestOfB = reverse[0];
    for (int t = 1; t < threads; ++t)
        for (std::size_t j = 0; j < reverseCount; ++j)
            if (reverse[t].best[j] < nearestOfB.best[j]) {
                nearestOfB.best[j] = reverse[t].best[j];
                nearestOfB.index[j] = reverse[t].index[j];
            }
    std::vector<Match> matches;
    for (std::size_t i = 0; i < a.count; ++i) {
        const Nearest& n = nearest[i];
        const Match m{i, n.index, distanceOf(n.best), distanceOf(n.second)};
        if (options.ratio < 1 && !(m.distance < options.ratio * m.second))
            continue;
        if (options.mutual && static_cast<std::size_t>(nearestOfB.index[n.index]) != i)
            continue;
        matches.push_back(m);
    }
    return matches;
}

}  // namespace tolvane
