// Streams that carry rebuilt values rather than grid indices decode the
// same way in every family: integer samples are copied (negatives raised to
// 0 on a grid resolved without negatives), float samples are converted from
// signed integers of their width. The vector loops use the x86-64 baseline
// only and give exactly the element-by-element results.
#pragma once

#include <cstddef>
#include <cstring>

#include "frame/half.h"
#include "frame/simd.h"
#include "frame/vec.h"
#include "lossy/lossy_common.h"

namespace varda {

#if VARDA_X86
// binary16 patterns, in the low half of each 32-bit lane, of four binary32
// lanes: the rule of float_to_half, lane by lane.
inline __m128i half_from_float4(__m128 value) {
    const __m128i bits = _mm_castps_si128(value);
    const __m128i sign = _mm_and_si128(_mm_srli_epi32(bits, 16), _mm_set1_epi32(0x8000));
    const __m128i a = _mm_and_si128(bits, _mm_set1_epi32(0x7FFFFFFF));
    const __m128i normal =
        _mm_add_epi32(_mm_srli_epi32(_mm_sub_epi32(a, _mm_set1_epi32(0x38000000)), 13),
                      _mm_and_si128(_mm_srli_epi32(a, 12), _mm_set1_epi32(1)));
    // Below 2^-14: units of 2^-24, rounded half up. Lanes of the other cases
    // compute garbage here that the blend drops.
    const __m128 units = _mm_mul_ps(_mm_castsi128_ps(a), _mm_set1_ps(0x1p24f));
    const __m128i whole = _mm_cvttps_epi32(units);
    const __m128 rest = _mm_sub_ps(units, _mm_cvtepi32_ps(whole));
    const __m128i round_up = _mm_castps_si128(_mm_cmpge_ps(rest, _mm_set1_ps(0.5f)));
    const __m128i subnormal = _mm_sub_epi32(whole, round_up);
    const __m128i is_normal = _mm_cmpgt_epi32(a, _mm_set1_epi32(0x387FFFFF));
    __m128i magnitude =
        _mm_or_si128(_mm_and_si128(is_normal, normal), _mm_andnot_si128(is_normal, subnormal));
    // 2^16 and beyond: infinity, or 0x7E00 for a NaN.
    const __m128i is_big = _mm_cmpgt_epi32(a, _mm_set1_epi32(0x477FFFFF));
    const __m128i is_nan = _mm_cmpgt_epi32(a, _mm_set1_epi32(0x7F800000));
    const __m128i big =
        _mm_or_si128(_mm_set1_epi32(0x7C00), _mm_and_si128(is_nan, _mm_set1_epi32(0x0200)));
    magnitude = _mm_or_si128(_mm_and_si128(is_big, big), _mm_andnot_si128(is_big, magnitude));
    return _mm_or_si128(magnitude, sign);
}

// Eight 16-bit patterns from the low halves of two registers of 32-bit lanes.
inline __m128i pack_low16(__m128i lo, __m128i hi) {
    lo = _mm_srai_epi32(_mm_slli_epi32(lo, 16), 16);
    hi = _mm_srai_epi32(_mm_slli_epi32(hi, 16), 16);
    return _mm_packs_epi32(lo, hi);
}

// Sign-extended 32-bit lanes of the low and the high four 16-bit lanes.
inline __m128i widen_lo16(__m128i v) { return _mm_srai_epi32(_mm_unpacklo_epi16(v, v), 16); }
inline __m128i widen_hi16(__m128i v) { return _mm_srai_epi32(_mm_unpackhi_epi16(v, v), 16); }
#endif

// Integer samples from a value stream.
template <Sample S>
void copy_values(void *dst, const void *src, size_t count, bool clamp_negative, bool vector) {
    if (!std::is_signed_v<S> || !clamp_negative) {
        if (count) std::memmove(dst, src, count * sizeof(S));
        return;
    }
    size_t i = 0;
#if VARDA_X86
    if (vector) {
        using U = std::make_unsigned_t<S>;
        for (; i + 16 / sizeof(S) <= count; i += 16 / sizeof(S)) {
            const __m128i v = vec::load16(at<U>(src, i));
            vec::store16(at<U>(dst, i), _mm_andnot_si128(vec::sign_mask<U>(v), v));
        }
    }
#else
    (void)vector;
#endif
    for (; i < count; ++i) {
        const S x = load_sample<S>(src, i);
        store_sample<S>(dst, i, x < 0 ? S(0) : x);
    }
}

// Float samples from a value stream of signed integers of their width.
template <Sample S>
void widen_values(void *dst, const void *src, size_t count, bool clamp_negative, bool vector) {
    using I = StreamInt<S>;
    size_t i = 0;
#if VARDA_X86
    if constexpr (std::is_same_v<S, Half>) {
        if (vector) {
            const __m128i floor = clamp_negative ? _mm_setzero_si128() : _mm_set1_epi16(-32768);
            for (; i + 8 <= count; i += 8) {
                const __m128i v = _mm_max_epi16(vec::load16(at<uint16_t>(src, i)), floor);
                const __m128i lo = half_from_float4(_mm_cvtepi32_ps(widen_lo16(v)));
                const __m128i hi = half_from_float4(_mm_cvtepi32_ps(widen_hi16(v)));
                vec::store16(at<uint16_t>(dst, i), pack_low16(lo, hi));
            }
        }
    }
#endif
    (void)vector;
    for (; i < count; ++i) {
        I x = load_sample<I>(src, i);
        if (clamp_negative && x < 0) x = 0;
        if constexpr (std::is_same_v<S, Half>)
            store_sample<Half>(dst, i, Half{float_to_half(float(x))});
        else
            store_sample<S>(dst, i, S(x));
    }
}

} // namespace varda
