// Elements put back together from byte planes: plane j holds byte j of every
// element, `count` bytes per plane. Shared by the lane decoder and the byte
// unshuffle.
#pragma once

#include <cstddef>

#include "frame/elem.h"
#include "frame/vec.h"

namespace varda {

#if VARDA_X86
// Sixteen elements from their planes: each level of unpacking doubles the
// run of bytes that belong to one element.
template <Element T>
inline void join_planes16(unsigned char *out, const unsigned char *plane0, size_t count) {
    constexpr size_t n = sizeof(T);
    __m128i v[n];
    for (size_t j = 0; j < n; ++j) v[j] = vec::load16(plane0 + j * count);
    if constexpr (n >= 2) {
        __m128i w[n];
        for (size_t j = 0; j < n; j += 2) {
            w[j] = _mm_unpacklo_epi8(v[j], v[j + 1]);
            w[j + 1] = _mm_unpackhi_epi8(v[j], v[j + 1]);
        }
        if constexpr (n == 2) {
            for (size_t j = 0; j < n; ++j) v[j] = w[j];
        } else {
            // w holds, per plane pair, elements 0-7 then 8-15 as 16-bit pieces.
            __m128i q[n];
            for (size_t j = 0; j < n; j += 4) {
                q[j] = _mm_unpacklo_epi16(w[j], w[j + 2]);
                q[j + 1] = _mm_unpackhi_epi16(w[j], w[j + 2]);
                q[j + 2] = _mm_unpacklo_epi16(w[j + 1], w[j + 3]);
                q[j + 3] = _mm_unpackhi_epi16(w[j + 1], w[j + 3]);
            }
            if constexpr (n == 4) {
                for (size_t j = 0; j < n; ++j) v[j] = q[j];
            } else {
                for (size_t j = 0; j < 4; ++j) {
                    v[2 * j] = _mm_unpacklo_epi32(q[j], q[j + 4]);
                    v[2 * j + 1] = _mm_unpackhi_epi32(q[j], q[j + 4]);
                }
            }
        }
    }
    for (size_t j = 0; j < n; ++j) vec::store16(out + 16 * j, v[j]);
}
#endif

// Elements first .. end - 1 from planes of `count` bytes into dst.
template <Element T>
void join_planes(void *dst, const unsigned char *planes, size_t count, size_t first, size_t end) {
    size_t i = first;
#if VARDA_X86
    for (; i + 16 <= end; i += 16) join_planes16<T>(at<T>(dst, i), planes + i, count);
#endif
    for (; i < end; ++i) {
        T value = 0;
        for (size_t j = 0; j < sizeof(T); ++j) value |= T(T(planes[j * count + i]) << (8 * j));
        store<T>(dst, i, value);
    }
}

} // namespace varda
