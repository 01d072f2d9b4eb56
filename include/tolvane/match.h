// Nearest-neighbour matching of byte descriptors by Euclidean distance.
#ifndef TOLVANE_MATCH_H
#define TOLVANE_MATCH_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tolvane {

// Descriptors the caller owns: `count` of `length` bytes each, one after the
// other. The bytes must outlive every call the set is passed to.
struct DescriptorSet {
    DescriptorSet() = default;
    DescriptorSet(const std::uint8_t* bytes, std::size_t count, std::size_t length = 128)
        : bytes(bytes), count(count), length(length)
    {
    }
    // All of `bytes`, `length` bytes a descriptor; throws Error when the
    // size is not a multiple of `length`.
    static DescriptorSet of(const std::vector<std::uint8_t>& bytes, std::size_t length = 128);

    const std::uint8_t* bytes = nullptr;
    std::size_t count = 0;
    std::size_t length = 128;
};

// Settings of match(). A plain value.
struct MatchOptions {
    // Keep a descriptor's nearest neighbour only when it is nearer than
    // `ratio` times the second nearest; 1 keeps every nearest neighbour.
    // Above 0, at most 1.
    float ratio = 0.8f;
    // Keep only pairs that are each other's nearest neighbour.
    bool mutual = false;
    // Threads; 0 uses every core. The matches are the same whatever the
    // count. 0 to 1024.
    int threads = 0;

    // Throws Error naming the first setting out of range.
    void validate() const;
};

struct Match {
    std::size_t a = 0;       // index in the first set
    std::size_t b = 0;       // index of its nearest neighbour in the second set
    float distance = 0;      // Euclidean distance of the two
    float second = 0;        // distance to the second nearest; infinite when there is none
};

// For each descriptor of `a` (in order), its nearest neighbour in `b` when
// it passes the tests the options ask for. Exact brute force in integer
// arithmetic; of equally near neighbours the first is taken. Throws Error
// when the sets differ in length or the options are invalid.
std::vector<Match> match(const DescriptorSet& a, const DescriptorSet& b, const MatchOptions& options = {});

}  // namespace tolvane

#endif
