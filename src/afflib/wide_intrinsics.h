// The x86 vector intrinsics, for the hand-vectorised kernels.
#ifndef AFFLIB_WIDE_INTRINSICS_H
#define AFFLIB_WIDE_INTRINSICS_H

#if defined(__x86_64__) && defined(__GNUC__)
// The wide intrinsics start from a deliberately undefined vector, which gcc
// reports as maybe uninitialized where they are inlined.
#pragma GCC diagnostic push
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>
#pragma GCC diagnostic pop
#endif

#endif
