// Nodata masks meet their samples sixteen at a time: a step takes 16 mask
// bytes and the 16 samples beside them, whatever the element width. Lane
// results are narrowed to one byte per sample, and mask bytes are widened
// back to lanes. Shared by the marking and the restore kernels.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "frame/elem.h"
#include "frame/simd.h"
#include "frame/vec.h"

namespace varda {

// Visits `count` samples in steps of 16, then at most one step of 8, then
// singly; every sample singly when `vector` is false or there are fewer
// than 8. The steps get the index of their first sample.
template <class Step16, class Step8, class Single>
inline void mask_steps(size_t count, bool vector, Step16 &&step16, Step8 &&step8, Single &&single) {
    size_t i = 0;
    if (VARDA_X86 && vector && count >= 8) {
        for (; i + 16 <= count; i += 16) step16(i);
        if (i + 8 <= count) {
            step8(i);
            i += 8;
        }
    }
    for (; i < count; ++i) single(i);
}

// Whether the byte ranges [a, a + a_len) and [b, b + b_len) share a byte.
inline bool overlaps(const void *a, size_t a_len, const void *b, size_t b_len) {
    const auto x = reinterpret_cast<uintptr_t>(a), y = reinterpret_cast<uintptr_t>(b);
    return a_len && b_len && x < y + b_len && y < x + a_len;
}

} // namespace varda

#if VARDA_X86

namespace varda::vec {

template <Element T> inline __m128i cmpeq(__m128i a, __m128i b) {
    if constexpr (sizeof(T) == 1) {
        return _mm_cmpeq_epi8(a, b);
    } else if constexpr (sizeof(T) == 2) {
        return _mm_cmpeq_epi16(a, b);
    } else if constexpr (sizeof(T) == 4) {
        return _mm_cmpeq_epi32(a, b);
    } else {
        const __m128i halves = _mm_cmpeq_epi32(a, b);
        return _mm_and_si128(halves, _mm_shuffle_epi32(halves, 0xB1));
    }
}

// The low dwords of the qword lanes of a and b, as four dword lanes.
inline __m128i low_dwords(__m128i a, __m128i b) {
    return _mm_unpacklo_epi64(_mm_shuffle_epi32(a, 0x08), _mm_shuffle_epi32(b, 0x08));
}

// One byte per sample for the 16 samples of T at `p`. `lane` maps a register
// of samples to lane results that are either all ones / zero or small
// non-negative codes (8-byte lanes need only their low dword right), which
// the saturating packs carry through unchanged.
template <Element T, class Lane> inline __m128i bytes16(const unsigned char *p, Lane &&lane) {
    if constexpr (sizeof(T) == 1) {
        return lane(load16(p));
    } else if constexpr (sizeof(T) == 2) {
        const __m128i a = lane(load16(p)), b = lane(load16(p + 16));
        return _mm_packs_epi16(a, b);
    } else if constexpr (sizeof(T) == 4) {
        const __m128i a = lane(load16(p)), b = lane(load16(p + 16));
        const __m128i c = lane(load16(p + 32)), d = lane(load16(p + 48));
        return _mm_packs_epi16(_mm_packs_epi32(a, b), _mm_packs_epi32(c, d));
    } else {
        __m128i quads[4];
        for (int k = 0; k < 4; ++k) {
            const __m128i a = lane(load16(p + 32 * k)), b = lane(load16(p + 32 * k + 16));
            quads[k] = low_dwords(a, b);
        }
        return _mm_packs_epi16(_mm_packs_epi32(quads[0], quads[1]),
                               _mm_packs_epi32(quads[2], quads[3]));
    }
}

// The same for 8 samples, in the low 8 bytes; the high bytes are zero.
template <Element T, class Lane> inline __m128i bytes8(const unsigned char *p, Lane &&lane) {
    const __m128i zero = _mm_setzero_si128();
    if constexpr (sizeof(T) == 1) {
        return _mm_unpacklo_epi64(lane(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(p))),
                                  zero);
    } else if constexpr (sizeof(T) == 2) {
        return _mm_packs_epi16(lane(load16(p)), zero);
    } else if constexpr (sizeof(T) == 4) {
        const __m128i a = lane(load16(p)), b = lane(load16(p + 16));
        return _mm_packs_epi16(_mm_packs_epi32(a, b), zero);
    } else {
        const __m128i a = lane(load16(p)), b = lane(load16(p + 16));
        const __m128i c = lane(load16(p + 32)), d = lane(load16(p + 48));
        return _mm_packs_epi16(_mm_packs_epi32(low_dwords(a, b), low_dwords(c, d)), zero);
    }
}

inline __m128i load8(const void *p) { return _mm_loadl_epi64(static_cast<const __m128i *>(p)); }
inline void store8(void *p, __m128i v) { _mm_storel_epi64(static_cast<__m128i *>(p), v); }

template <Element T>
using half_width_t = std::conditional_t<sizeof(T) == 8, uint32_t,
                                        std::conditional_t<sizeof(T) == 4, uint16_t, uint8_t>>;

// Byte lanes widened to lanes of T: register k of the result covers samples
// k * 16 / sizeof(T) onwards. Bytes 0x00 and 0xFF widen to zero and all ones.
template <Element T> inline void widen(__m128i bytes, __m128i (&lanes)[sizeof(T)]) {
    if constexpr (sizeof(T) == 1) {
        lanes[0] = bytes;
    } else {
        __m128i half[sizeof(T) / 2];
        widen<half_width_t<T>>(bytes, half);
        for (size_t k = 0; k < sizeof(T) / 2; ++k) {
            if constexpr (sizeof(T) == 2) {
                lanes[2 * k] = _mm_unpacklo_epi8(half[k], half[k]);
                lanes[2 * k + 1] = _mm_unpackhi_epi8(half[k], half[k]);
            } else if constexpr (sizeof(T) == 4) {
                lanes[2 * k] = _mm_unpacklo_epi16(half[k], half[k]);
                lanes[2 * k + 1] = _mm_unpackhi_epi16(half[k], half[k]);
            } else {
                lanes[2 * k] = _mm_unpacklo_epi32(half[k], half[k]);
                lanes[2 * k + 1] = _mm_unpackhi_epi32(half[k], half[k]);
            }
        }
    }
}

} // namespace varda::vec

#endif
