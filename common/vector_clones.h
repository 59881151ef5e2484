// Hot loops built twice, for AVX2 and for any x86-64, the one chosen at load
// time: the same operations in wider vectors.
// ThreadSanitizer's runtime starts after load-time choices are made, and its
// instrumented chooser would crash, so under it there is one plain build.
#pragma once

#ifdef __SANITIZE_THREAD__
#define ORLIX_VECTOR_CLONES
#else
#define ORLIX_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#endif
