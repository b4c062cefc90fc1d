// Quotient and remainder back to integers: value = quot * mult + rem,
// wrapping at the element width.
#include <cstdint>

#include "frame/alias.h"
#include "frame/elem.h"
#include "frame/vec.h"
#include "varda_kernels.h"

using namespace varda;

namespace {

#if VARDA_X86
// Low half of the lane-wise product a * m.
template <Element T> inline __m128i mul_lo(__m128i a, __m128i m) {
    if constexpr (sizeof(T) == 1) {
        // m holds the multiplier in every 16-bit lane.
        const __m128i even = _mm_mullo_epi16(a, m);
        const __m128i odd = _mm_mullo_epi16(_mm_srli_epi16(a, 8), m);
        return _mm_or_si128(_mm_and_si128(even, _mm_set1_epi16(0xFF)), _mm_slli_epi16(odd, 8));
    } else if constexpr (sizeof(T) == 2) {
        return _mm_mullo_epi16(a, m);
    } else if constexpr (sizeof(T) == 4) {
        const __m128i even = _mm_mul_epu32(a, m);
        const __m128i odd = _mm_mul_epu32(_mm_srli_epi64(a, 32), m);
        return _mm_unpacklo_epi32(_mm_shuffle_epi32(even, 0x08), _mm_shuffle_epi32(odd, 0x08));
    } else {
        const __m128i low = _mm_mul_epu32(a, m);
        const __m128i cross = _mm_add_epi64(_mm_mul_epu32(_mm_srli_epi64(a, 32), m),
                                            _mm_mul_epu32(a, _mm_srli_epi64(m, 32)));
        return _mm_add_epi64(low, _mm_slli_epi64(cross, 32));
    }
}

// Non-zero in the lanes where rem >= m, unsigned. `flip` is the sign bit of
// every 32-bit lane.
template <Element T> inline __m128i at_or_above(__m128i rem, __m128i m, __m128i flip) {
    if constexpr (sizeof(T) == 1) {
        return _mm_cmpeq_epi8(_mm_subs_epu8(m, rem), _mm_setzero_si128());
    } else if constexpr (sizeof(T) == 2) {
        return _mm_cmpeq_epi16(_mm_subs_epu16(m, rem), _mm_setzero_si128());
    } else {
        const __m128i r = _mm_xor_si128(rem, flip), mm = _mm_xor_si128(m, flip);
        const __m128i below = _mm_cmpgt_epi32(mm, r);
        if constexpr (sizeof(T) == 4) {
            return _mm_andnot_si128(below, _mm_set1_epi32(-1));
        } else {
            // rem < m: the high words say so, or they tie and the low words say so.
            const __m128i tie = _mm_cmpeq_epi32(r, mm);
            const __m128i low_below = _mm_shuffle_epi32(below, 0xA0);
            const __m128i lt = _mm_or_si128(below, _mm_and_si128(tie, low_below));
            return _mm_andnot_si128(_mm_shuffle_epi32(lt, 0xF5), _mm_set1_epi32(-1));
        }
    }
}

template <Element T>
size_t join_blocks(void *dst, const void *quot, const void *rem, size_t count, T m, bool &bad) {
    constexpr size_t lanes = 16 / sizeof(T);
    const __m128i mult = sizeof(T) == 1 ? _mm_set1_epi16(int16_t(m)) : vec::splat<T>(m);
    const __m128i limit = vec::splat<T>(m), flip = _mm_set1_epi32(INT32_MIN);
    __m128i above = _mm_setzero_si128();
    size_t i = 0;
    for (; i + lanes <= count; i += lanes) {
        const __m128i q = vec::load16(at<T>(quot, i)), r = vec::load16(at<T>(rem, i));
        vec::store16(at<T>(dst, i), vec::add<T>(mul_lo<T>(q, mult), r));
        above = _mm_or_si128(above, at_or_above<T>(r, limit, flip));
    }
    bad |= _mm_movemask_epi8(above) != 0;
    return i;
}
#endif

template <Element T>
int join(void *dst, const void *quot, const void *rem, size_t count, uint64_t mult) {
    const T m = T(mult);
    bool bad = false;
    size_t i = 0;
#if VARDA_X86
    if (block_safe(dst, quot, 16) && block_safe(dst, rem, 16))
        i = join_blocks<T>(dst, quot, rem, count, m, bad);
#endif
    for (; i < count; ++i) {
        const T r = load<T>(rem, i);
        // Widened first: 16-bit operands would multiply as signed int.
        store<T>(dst, i, add(T(uint64_t(load<T>(quot, i)) * m), r));
        bad |= r >= m;
    }
    return bad;
}

} // namespace

extern "C" VARDA_API int intmult_join(void *dst, const void *quot, const void *rem, uint64_t count,
                                      uint64_t elem_size, uint64_t mult) {
    if (mult < 2) return 1;
    return with_width(elem_size, 1,
                      [&]<Element T>() { return join<T>(dst, quot, rem, count, mult); });
}
