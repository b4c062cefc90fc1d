// The PFOR block layout shared by the encoder and the decoder. A block holds
// 256 values. Its packed area is 2 x b groups of 16 bytes over L = 16 /
// sizeof(T) interleaved lanes: value i is value i / L of lane i mod L, and
// each lane is a little-endian bit stream of w-bit words, so 16-byte group g
// of the input lands at bits g x b of every lane at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "frame/elem.h"
#include "frame/simd.h"

namespace varda::pfor {

inline constexpr size_t block_values = 256;
inline constexpr size_t bitmap_bytes = 32;
inline constexpr unsigned list_form = 0x80;
inline constexpr unsigned width_bits = 0x7F;
// The encoder writes positions as a list below this many exceptions.
inline constexpr unsigned bitmap_from = 32;

template <Element T> constexpr size_t lanes = 16 / sizeof(T);
// 16-byte groups of values in one block: the packed area at b = w.
template <Element T> constexpr size_t value_groups = block_values * sizeof(T) / 16;

constexpr size_t area_bytes(unsigned b) { return 32 * size_t(b); }
constexpr size_t high_bytes(unsigned n, unsigned x) { return (size_t(n) * x + 7) / 8; }

template <Element T> constexpr T low_mask(unsigned b) {
    return b >= bits_of<T> ? T(~T(0)) : T((T(1) << b) - 1);
}

// One block decoded and checked as pfor_decode_block does, but each value
// unzigzagged: the residuals of the planar zigzag codes in the block.
// Returns the block length, or 0 for a refusal, which writes nothing (a
// list of positions out of order included).
uint64_t decode_residual_block(void *dst, uint64_t elem_size, const void *src, uint64_t src_len);

// Where value group g starts in every lane at base width b: word index and
// bit offset within that word.
template <Element T> constexpr size_t word_of(size_t g, unsigned b) { return g * b / bits_of<T>; }
template <Element T> constexpr unsigned shift_of(size_t g, unsigned b) {
    return unsigned(g * b % bits_of<T>);
}

// The packed area of the low b bits of 256 values, value by value: the
// definition of the layout. Called for 0 < b < w.
template <Element T>
inline void pack_portable(unsigned char *area, const unsigned char *values, unsigned b) {
    constexpr unsigned w = bits_of<T>;
    constexpr size_t L = lanes<T>;
    std::memset(area, 0, area_bytes(b));
    const T mask = low_mask<T>(b);
    for (size_t i = 0; i < block_values; ++i) {
        const T v = T(load<T>(values, i) & mask);
        const size_t g = i / L, lane = i % L, k = word_of<T>(g, b);
        const unsigned s = shift_of<T>(g, b);
        store<T>(area, k * L + lane, T(load<T>(area, k * L + lane) | T(v << s)));
        if (s + b > w) {
            const size_t next = (k + 1) * L + lane;
            store<T>(area, next, T(load<T>(area, next) | T(v >> (w - s))));
        }
    }
}

// Its inverse, each value masked to b bits.
template <Element T> inline void unpack_portable(void *dst, const unsigned char *area, unsigned b) {
    constexpr unsigned w = bits_of<T>;
    constexpr size_t L = lanes<T>;
    const T mask = low_mask<T>(b);
    for (size_t i = 0; i < block_values; ++i) {
        const size_t g = i / L, lane = i % L, k = word_of<T>(g, b);
        const unsigned s = shift_of<T>(g, b);
        T v = T(load<T>(area, k * L + lane) >> s);
        if (s + b > w) v = T(v | T(load<T>(area, (k + 1) * L + lane) << (w - s)));
        store<T>(dst, i, T(v & mask));
    }
}

#if VARDA_X86

// Logical shifts of every lane by a count below the lane width. SSE2 has no
// byte shifts: bytes are widened to 16-bit lanes, shifted, masked and
// narrowed back with unsigned saturation.
template <Element T> inline __m128i shift_left(__m128i v, unsigned n) {
    if constexpr (sizeof(T) == 1) {
        const __m128i zero = _mm_setzero_si128(), byte = _mm_set1_epi16(0xFF);
        const __m128i lo = _mm_and_si128(_mm_slli_epi16(_mm_unpacklo_epi8(v, zero), int(n)), byte);
        const __m128i hi = _mm_and_si128(_mm_slli_epi16(_mm_unpackhi_epi8(v, zero), int(n)), byte);
        return _mm_packus_epi16(lo, hi);
    } else if constexpr (sizeof(T) == 2) {
        return _mm_slli_epi16(v, int(n));
    } else if constexpr (sizeof(T) == 4) {
        return _mm_slli_epi32(v, int(n));
    } else {
        return _mm_slli_epi64(v, int(n));
    }
}

template <Element T> inline __m128i shift_right(__m128i v, unsigned n) {
    if constexpr (sizeof(T) == 1) {
        const __m128i zero = _mm_setzero_si128();
        const __m128i lo = _mm_srli_epi16(_mm_unpacklo_epi8(v, zero), int(n));
        const __m128i hi = _mm_srli_epi16(_mm_unpackhi_epi8(v, zero), int(n));
        return _mm_packus_epi16(lo, hi);
    } else if constexpr (sizeof(T) == 2) {
        return _mm_srli_epi16(v, int(n));
    } else if constexpr (sizeof(T) == 4) {
        return _mm_srli_epi32(v, int(n));
    } else {
        return _mm_srli_epi64(v, int(n));
    }
}

#endif

} // namespace varda::pfor
