// The process-wide SIMD path, as the vector decoders consult it.
#pragma once

#include "varda_kernels.h"

namespace varda {

enum SimdPath : int { path_scalar = 0, path_sse2 = 1, path_avx2 = 2, path_neon = 3 };

// The current path, resolving it on first use. A plain relaxed load once
// resolved: the decoders call this once per row or block.
inline int simd_path() {
    int path = __atomic_load_n(&varda_simd_path, __ATOMIC_RELAXED);
    return path >= 0 ? path : varda_simd_resolve();
}

inline bool use_avx2() { return simd_path() == path_avx2; }

} // namespace varda

#if defined(__x86_64__)
#define VARDA_X86 1
#include <immintrin.h>
#define VARDA_AVX2 __attribute__((target("avx2")))
#else
#define VARDA_X86 0
#endif
