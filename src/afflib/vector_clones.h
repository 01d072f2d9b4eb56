// Vector instruction sets the library's hot loops are compiled for, chosen at
// run time. Every variant computes each value with the same operations in the
// same order (contraction into fused multiply-add is off for the whole
// library), so results do not depend on the processor. clang cannot clone
// function templates: with it, only the baseline variant is built.
#ifndef AFFLIB_VECTOR_CLONES_H
#define AFFLIB_VECTOR_CLONES_H

#if defined(__clang__)
#define AFFLIB_VECTOR_CLONES
#define AFFLIB_WIDE_VECTOR_CLONES
#else
#define AFFLIB_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#define AFFLIB_WIDE_VECTOR_CLONES __attribute__((target_clones("avx512f", "avx2", "default")))
#endif

#endif
