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

// Signed lane comparison a > b, for the widths that SSE2 has.
template <Element T> inline __m128i cmpgt(__m128i a, __m128i b) {
    static_assert(sizeof(T) <= 4);
    if constexpr (sizeof(T) == 1)
        return _mm_cmpgt_epi8(a, b);
    else if constexpr (sizeof(T) == 2)
        return _mm_cmpgt_epi16(a, b);
    else
        return _mm_cmpgt_epi32(a, b);
}

// Lanes of `mask` set take `when_set`, the others `otherwise`.
inline __m128i select(__m128i mask, __m128i when_set, __m128i otherwise) {
    return _mm_or_si128(_mm_and_si128(mask, when_set), _mm_andnot_si128(mask, otherwise));
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

// Byte shuffle index that copies lane `lane` (counted in elements of T) of
// each 128-bit half over the half; a negative `from_qword` leaves the low
// qword zero and copies the last lane of the low qword over the high one.
template <Element T> VARDA_AVX2 inline __m256i spread_index(bool low_qword_only) {
    alignas(16) signed char index[16];
    constexpr int s = sizeof(T);
    for (int i = 0; i < 16; ++i) {
        if (low_qword_only)
            index[i] = i < 8 ? -1 : static_cast<signed char>(8 - s + i % s);
        else
            index[i] = static_cast<signed char>(16 - s + i % s);
    }
    return _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i *>(index)));
}

// Inclusive prefix sum over all 32 bytes of lanes, and the block total in
// every lane. Inside each 64-bit word the log steps are bit shifts, which
// leave the shuffle units free; two byte shuffles and one cross-half
// permute finish the block.
template <Element T> struct PrefixAvx2 {
    __m256i qword_step, half_last;

    VARDA_AVX2 PrefixAvx2()
        : qword_step(spread_index<T>(true)), half_last(spread_index<T>(false)) {}

    VARDA_AVX2 __m256i operator()(__m256i x, __m256i &total) const {
        if constexpr (sizeof(T) == 1) x = add<T>(x, _mm256_slli_epi64(x, 8));
        if constexpr (sizeof(T) <= 2) x = add<T>(x, _mm256_slli_epi64(x, 16));
        if constexpr (sizeof(T) <= 4) x = add<T>(x, _mm256_slli_epi64(x, 32));
        x = add<T>(x, _mm256_shuffle_epi8(x, qword_step));
        const __m256i last = _mm256_shuffle_epi8(x, half_last); // [low total | high total]
        const __m256i swapped = _mm256_permute2x128_si256(last, last, 0x01);
        total = add<T>(last, swapped);
        return add<T>(x, _mm256_blend_epi32(swapped, _mm256_setzero_si256(), 0x0F));
    }
};

} // namespace varda::vec

#endif
