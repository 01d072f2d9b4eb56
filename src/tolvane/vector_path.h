// The instruction set the descriptor's kernels run with: the widest the
// processor has, or a narrower one a test asks for. Every variant computes
// each value with the same operations in the same order (no contraction into
// fused multiply-add), so the bytes do not depend on the path.
#ifndef TOLVANE_VECTOR_PATH_H
#define TOLVANE_VECTOR_PATH_H

#include <utility>

namespace tolvane {
namespace detail {

enum class VectorPath { Baseline, Avx2, Avx512 };

VectorPath widestVectorPath();
VectorPath vectorPath();

// Makes the kernels use `path` (at most widestVectorPath()) from now on, in
// every thread; for tests of the narrower paths.
void useVectorPath(VectorPath path);

}  // namespace detail
}  // namespace tolvane

#define TOLVANE_ALWAYS_INLINE inline __attribute__((always_inline))

// Defines `name(args...)`, which runs the always-inline function `body` on
// the same arguments compiled for vectorPath(): the compiler vectorises its
// loops for each instruction set.
#if defined(__x86_64__) && defined(__GNUC__)
#define TOLVANE_VECTOR_INTRINSICS 1
#define TOLVANE_TARGET_AVX512 __attribute__((target("avx512f,avx512vl,avx512dq,avx512bw")))
#define TOLVANE_TARGET_AVX2 __attribute__((target("avx2")))
#define TOLVANE_VECTOR_VARIANTS(name, body)                                                     \
    template <class... Args>                                                                    \
    TOLVANE_TARGET_AVX512 decltype(auto) name##Avx512(Args&&... args)                         \
    {                                                                                           \
        return body(std::forward<Args>(args)...);                                               \
    }                                                                                           \
    template <class... Args>                                                                    \
    TOLVANE_TARGET_AVX2 decltype(auto) name##Avx2(Args&&... args)                             \
    {                                                                                           \
        return body(std::forward<Args>(args)...);                                               \
    }                                                                                           \
    template <class... Args>                                                                    \
    decltype(auto) name(Args&&... args)                                                         \
    {                                                                                           \
        switch (::tolvane::detail::vectorPath()) {                                              \
        case ::tolvane::detail::VectorPath::Avx512:                                             \
            return name##Avx512(std::forward<Args>(args)...);                                   \
        case ::tolvane::detail::VectorPath::Avx2:                                               \
            return name##Avx2(std::forward<Args>(args)...);                                     \
        default:                                                                                \
            return body(std::forward<Args>(args)...);                                           \
        }                                                                                       \
    }
#else
#define TOLVANE_VECTOR_VARIANTS(name, body)                                                     \
    template <class... Args>                                                                    \
    decltype(auto) name(Args&&... args)                                                         \
    {                                                                                           \
        return body(std::forward<Args>(args)...);                                               \
    }
#endif

#endif
