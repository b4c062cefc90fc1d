#include "frame/simd.h"

#include <cstdlib>
#include <cstring>

#if VARDA_X86
#include <cpuid.h>
#endif

int varda_simd_path = -1;

namespace {

constexpr unsigned bit_scalar = 1, bit_sse2 = 2, bit_avx2 = 4, bit_neon = 8;

constexpr unsigned built_mask = VARDA_X86 ? (bit_scalar | bit_sse2 | bit_avx2) : bit_scalar;

const char *const path_names[] = {"scalar", "sse2", "avx2", "neon"};

unsigned probe_cpu() {
#if VARDA_X86
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    unsigned mask = bit_scalar | bit_sse2;
    if (__get_cpuid_max(0, nullptr) < 7) return mask;
    __cpuid(1, eax, ebx, ecx, edx);
    const bool osxsave = (ecx >> 27) & 1u;
    __cpuid_count(7, 0, eax, ebx, ecx, edx);
    const bool avx2 = (ebx >> 5) & 1u;
    if (avx2 && osxsave) {
        unsigned xcr0_lo = 0, xcr0_hi = 0;
        // xgetbv by opcode, so no file needs -mxsave.
        __asm__ volatile(".byte 0x0f, 0x01, 0xd0" : "=a"(xcr0_lo), "=d"(xcr0_hi) : "c"(0));
        if ((xcr0_lo & 6u) == 6u) mask |= bit_avx2;
    }
    return mask;
#else
    return bit_scalar;
#endif
}

// 0 until probed. The probe runs from a constructor ahead of ordinary
// initialisers, so that a host's own globals in a static link see the real
// mask; any caller that still finds 0 probes itself (same answer, so a race
// is harmless).
__attribute__((constructor(101))) void probe_at_load() { varda::probe_cpu_mask(); }

} // namespace

unsigned varda::probed_cpu_mask = 0;

unsigned varda::probe_cpu_mask() {
    const unsigned mask = probe_cpu();
    __atomic_store_n(&probed_cpu_mask, mask, __ATOMIC_RELAXED);
    return mask;
}

namespace {

int highest_path(unsigned mask) {
    if (mask & bit_neon) return varda::path_neon;
    if (mask & bit_avx2) return varda::path_avx2;
    if (mask & bit_sse2) return varda::path_sse2;
    return varda::path_scalar;
}

int choose_path() {
    unsigned candidates = built_mask & varda::cpu_mask();
    const char *wanted = std::getenv("VARDA_SIMD");
    if (wanted == nullptr || wanted[0] == '\0') return highest_path(candidates);
    if (std::strcmp(wanted, "scalar") == 0) return varda::path_scalar;
    if (std::strcmp(wanted, "sse2") == 0)
        return (candidates & bit_sse2) ? varda::path_sse2 : varda::path_scalar;
    if (std::strcmp(wanted, "avx2") == 0) candidates &= 7u;
    // "neon" keeps the mask as it is; unknown names are ignored.
    return highest_path(candidates);
}

} // namespace

extern "C" {

VARDA_API unsigned int varda_simd_built(void) { return built_mask; }

VARDA_API unsigned int varda_simd_cpu(void) { return varda::cpu_mask(); }

VARDA_API const char *varda_simd_name(int path) {
    if (path < 0 || path > 3) return "unknown";
    return path_names[path];
}

VARDA_API int varda_simd_resolve(void) {
    const int path = choose_path();
    __atomic_store_n(&varda_simd_path, path, __ATOMIC_RELAXED);
    return path;
}

VARDA_API int varda_simd_active(void) {
    const int path = __atomic_load_n(&varda_simd_path, __ATOMIC_RELAXED);
    return path >= 0 ? path : varda_simd_resolve();
}

} // extern "C"
