// Lane-wise integer operations on 16-byte (SSE2) and 32-byte (AVX2)
// registers, chosen by element type, so that a vector loop is written once
// for every width.
#pragma once

#include "frame/elem.h"
#include "frame/simd.h"

#if VARDA_X86

namespace varda::vec {

// ---- 16 bytes: SSE2, the x86-64 baseline --------------------------------

inline __m128i load16(const void *p) { return _mm_loadu_si128(static_cast<const __m128i *>(p)); }
inline void store16(void *p, __m128i v) { _mm_storeu_si128(static_cast<__m128i *>(p), v); }

template <Element T> inline __m128i add(__m128i a, __m128i b) {
    if constexpr (sizeof(T) == 1)
        return _mm_add_epi8(a, b);
    else if constexpr (sizeof(T) == 2)
        return _mm_add_epi16(a, b);
    else if constexpr (sizeof(T) == 4)
        return _mm_add_epi32(a, b);
    else
        return _mm_add_epi64(a, b);
}

template <Element T> inline __m128i sub(__m128i a, __m128i b) {
    if constexpr (sizeof(T) == 1)
        return _mm_sub_epi8(a, b);
    else if constexpr (sizeof(T) == 2)
        return _mm_sub_epi16(a, b);
    else if constexpr (sizeof(T) == 4)
        return _mm_sub_epi32(a, b);
    else
        return _mm_sub_epi64(a, b);
}

template <Element T> inline __m128i splat(T v) {
    if constexpr (sizeof(T) == 1)
        return _mm_set1_epi8(static_cast<char>(v));
    else if constexpr (sizeof(T) == 2)
        return _mm_set1_epi16(static_cast<short>(v));
    else if constexpr (sizeof(T) == 4)
        return _mm_set1_epi32(static_cast<int>(v));
    else
        return _mm_set1_epi64x(static_cast<long long>(v));
}

// All ones in the lanes whose top bit is set.
template <Element T> inline __m128i sign_mask(__m128i v) {
    if constexpr (sizeof(T) == 1)
        return _mm_cmpgt_epi8(_mm_setzero_si128(), v);
    else if constexpr (sizeof(T) == 2)
        return _mm_srai_epi16(v, 15);
    else if constexpr (sizeof(T) == 4)
        return _mm_srai_epi32(v, 31);
    else
        return _mm_shuffle_epi32(_mm_srai_epi32(v, 31), 0xF5);
}

// Logical shift right by one in every lane.
template <Element T> inline __m128i shr1(__m128i v) {
    if constexpr (sizeof(T) == 1)
        return _mm_and_si128(_mm_srli_epi16(v, 1), _mm_set1_epi8(0x7F));
    else if constexpr (sizeof(T) == 2)
        return _mm_srli_epi16(v, 1);
    else if constexpr (sizeof(T) == 4)
        return _mm_srli_epi32(v, 1);
    else
        return _mm_srli_epi64(v, 1);
}

// Inclusive prefix sum of the lanes of one register.
template <Element T> inline __m128i prefix(__m128i x) {
    x = add<T>(x, _mm_slli_si128(x, sizeof(T)));
    if constexpr (sizeof(T) <= 4) x = add<T>(x, _mm_slli_si128(x, 2 * sizeof(T)));
    if constexpr (sizeof(T) <= 2) x = add<T>(x, _mm_slli_si128(x, 4 * sizeof(T)));
    if constexpr (sizeof(T) == 1) x = add<T>(x, _mm_slli_si128(x, 8));
    return x;
}

// The last lane copied to every lane.
template <Element T> inline __m128i broadcast_last(__m128i x) {
    if constexpr (sizeof(T) == 1) {
        const __m128i pairs = _mm_unpackhi_epi8(x, x);
        return _mm_shuffle_epi32(_mm_shufflehi_epi16(pairs, 0xFF), 0xFF);
    } else if constexpr (sizeof(T) == 2) {
        return _mm_shuffle_epi32(_mm_shufflehi_epi16(x, 0xFF), 0xFF);
    } else if constexpr (sizeof(T) == 4) {
        return _mm_shuffle_epi32(x, 0xFF);
    } else {
        return _mm_shuffle_epi32(x, 0xEE);
    }
}

// ---- 32 bytes: AVX2, only inside functions marked VARDA_AVX2 -------------

VARDA_AVX2 inline __m256i load32(const void *p) {
    return _mm256_loadu_si256(static_cast<const __m256i *>(p));
}
VARDA_AVX2 inline void store32(void *p, __m256i v) {
    _mm256_storeu_si256(static_cast<__m256i *>(p), v);
}

template <Element T> VARDA_AVX2 inline __m256i add(__m256i a, __m256i b) {
    if constexpr (sizeof(T) == 1)
        return _mm256_add_epi8(a, b);
    else if constexpr (sizeof(T) == 2)
        return _mm256_add_epi16(a, b);
    else if constexpr (sizeof(T) == 4)
        return _mm256_add_epi32(a, b);
    else
        return _mm256_add_epi64(a, b);
}

template <Element T> VARDA_AVX2 inline __m256i sub(__m256i a, __m256i b) {
    if constexpr (sizeof(T) == 1)
        return _mm256_sub_epi8(a, b);
    else if constexpr (sizeof(T) == 2)
        return _mm256_sub_epi16(a, b);
    else if constexpr (sizeof(T) == 4)
        return _mm256_sub_epi32(a, b);
    else
        return _mm256_sub_epi64(a, b);
}

template <Element T> VARDA_AVX2 inline __m256i splat256(T v) {
    if constexpr (sizeof(T) == 1)
        return _mm256_set1_epi8(static_cast<char>(v));
    else if constexpr (sizeof(T) == 2)
        return _mm256_set1_epi16(static_cast<short>(v));
    else if constexpr (sizeof(T) == 4)
        return _mm256_set1_epi32(static_cast<int>(v));
    else
        return _mm256_set1_epi64x(static_cast<long long>(v));
}

template <Element T> VARDA_AVX2 inline __m256i shr1(__m256i v) {
    if constexpr (sizeof(T) == 1)
        return _mm256_and_si256(_mm256_srli_epi16(v, 1), _mm256_set1_epi8(0x7F));
    else if constexpr (sizeof(T) == 2)
        return _mm256_srli_epi16(v, 1);
    else if constexpr (sizeof(T) == 4)
        return _mm256_srli_epi32(v, 1);
    else
        return _mm256_srli_epi64(v, 1);
}

// Byte shuffle that copies the last lane of each 128-bit half over its half.
template <Element T> VARDA_AVX2 inline __m256i last_of_halves(__m256i x) {
    constexpr int s = sizeof(T);
    const __m128i index =
        _mm_setr_epi8(16 - s + 0 % s, 16 - s + 1 % s, 16 - s + 2 % s, 16 - s + 3 % s,
                      16 - s + 4 % s, 16 - s + 5 % s, 16 - s + 6 % s, 16 - s + 7 % s,
                      16 - s + 8 % s, 16 - s + 9 % s, 16 - s + 10 % s, 16 - s + 11 % s,
                      16 - s + 12 % s, 16 - s + 13 % s, 16 - s + 14 % s, 16 - s + 15 % s);
    return _mm256_shuffle_epi8(x, _mm256_broadcastsi128_si256(index));
}

// Inclusive prefix sum over all lanes: log-step shifts inside each half,
// then the low half's total carried into the high half.
template <Element T> VARDA_AVX2 inline __m256i prefix(__m256i x) {
    x = add<T>(x, _mm256_slli_si256(x, sizeof(T)));
    if constexpr (sizeof(T) <= 4) x = add<T>(x, _mm256_slli_si256(x, 2 * sizeof(T)));
    if constexpr (sizeof(T) <= 2) x = add<T>(x, _mm256_slli_si256(x, 4 * sizeof(T)));
    if constexpr (sizeof(T) == 1) x = add<T>(x, _mm256_slli_si256(x, 8));
    const __m256i low_total = last_of_halves<T>(x);
    return add<T>(x, _mm256_permute2x128_si256(low_total, low_total, 0x08));
}

template <Element T> VARDA_AVX2 inline __m256i broadcast_last(__m256i x) {
    const __m256i halves = last_of_halves<T>(x);
    return _mm256_permute2x128_si256(halves, halves, 0x11);
}

} // namespace varda::vec

#endif
