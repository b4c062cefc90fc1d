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

// Processor mask: bit 1 scalar, 2 SSE2, 4 AVX2; 0 until probed.
extern unsigned probed_cpu_mask;
unsigned probe_cpu_mask();

inline unsigned cpu_mask() {
    const unsigned mask = __atomic_load_n(&probed_cpu_mask, __ATOMIC_RELAXED);
    return mask ? mask : probe_cpu_mask();
}

// A host may store 2 into varda_simd_path itself; on a processor without
// AVX2 that must not reach an AVX2 loop.
inline bool use_avx2() { return simd_path() == path_avx2 && (cpu_mask() & 4u) != 0; }

} // namespace varda

#if defined(__x86_64__)
#define VARDA_X86 1
#include <immintrin.h>
#define VARDA_AVX2 __attribute__((target("avx2")))
#else
#define VARDA_X86 0
#endif
