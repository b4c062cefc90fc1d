// LINEAR quantiser, decoder: index times step, saturated into the sample
// type. The 8- and 16-bit integer and the binary16 streams run 16 or 8
// elements at a time in 128-bit registers; the element-by-element loops
// below are the definition and finish every tail.
#include <cmath>
#include <limits>

#include "frame/simd.h"
#include "frame/vec.h"
#include "lossy/lossy_common.h"
#include "lossy/lossy_values.h"
#include "lossy/quant_linear.h"
#include "varda_kernels.h"

using namespace varda;

namespace {

// i x h saturated into the type; negative results become 0 under `clamp`.
template <class S> S integer_value(S index, uint64_t h, bool clamp) {
    constexpr uint64_t largest = uint64_t(std::numeric_limits<S>::max());
    uint64_t product;
    if (__builtin_mul_overflow(uint64_t(magnitude(index)), h, &product)) product = UINT64_MAX;
    if (index >= 0) return S(product > largest ? largest : product);
    if (clamp) return S(0);
    using U = std::make_unsigned_t<S>;
    return product > largest ? std::numeric_limits<S>::min() : S(U(U(0) - U(product)));
}

#if VARDA_X86
// A step at or above the largest magnitude of the type saturates every
// nonzero index, so the step is capped there and the products fit 16 bits
// (8-bit types) or 32 bits (16-bit types).
template <class S>
size_t integer_values_sse2(void *dst, const void *src, size_t count, uint64_t h, bool clamp) {
    size_t i = 0;
    const __m128i zero = _mm_setzero_si128();
    if constexpr (std::is_same_v<S, uint8_t>) {
        const __m128i step = _mm_set1_epi16(short(h < 255 ? h : 255));
        const __m128i top = _mm_set1_epi16(255);
        for (; i + 16 <= count; i += 16) {
            const __m128i v = vec::load16(at<uint8_t>(src, i));
            __m128i lo = _mm_mullo_epi16(_mm_unpacklo_epi8(v, zero), step);
            __m128i hi = _mm_mullo_epi16(_mm_unpackhi_epi8(v, zero), step);
            lo = _mm_sub_epi16(lo, _mm_subs_epu16(lo, top)); // min(p, 255), unsigned
            hi = _mm_sub_epi16(hi, _mm_subs_epu16(hi, top));
            vec::store16(at<uint8_t>(dst, i), _mm_packus_epi16(lo, hi));
        }
    } else if constexpr (std::is_same_v<S, int8_t>) {
        const __m128i step = _mm_set1_epi16(short(h < 128 ? h : 128));
        const __m128i floor = clamp ? zero : _mm_set1_epi16(-32768);
        for (; i + 16 <= count; i += 16) {
            const __m128i v = vec::load16(at<uint8_t>(src, i));
            const __m128i lo = _mm_srai_epi16(_mm_unpacklo_epi8(v, v), 8);
            const __m128i hi = _mm_srai_epi16(_mm_unpackhi_epi8(v, v), 8);
            const __m128i plo = _mm_max_epi16(_mm_mullo_epi16(lo, step), floor);
            const __m128i phi = _mm_max_epi16(_mm_mullo_epi16(hi, step), floor);
            vec::store16(at<uint8_t>(dst, i), _mm_packs_epi16(plo, phi));
        }
    } else if constexpr (std::is_same_v<S, uint16_t>) {
        const __m128i step = _mm_set1_epi16(short(h < 65535 ? h : 65535));
        for (; i + 8 <= count; i += 8) {
            const __m128i v = vec::load16(at<uint16_t>(src, i));
            const __m128i lo = _mm_mullo_epi16(v, step);
            const __m128i overflow = _mm_cmpeq_epi16(_mm_mulhi_epu16(v, step), zero);
            vec::store16(at<uint16_t>(dst, i),
                         _mm_or_si128(lo, _mm_xor_si128(overflow, _mm_set1_epi16(-1))));
        }
    } else if constexpr (std::is_same_v<S, int16_t>) {
        // |i| x h as 32-bit magnitudes, the sign put back, then a
        // saturating pack.
        const __m128i step = _mm_set1_epi16(short(uint16_t(h < 32768 ? h : 32768)));
        const __m128i floor = clamp ? zero : _mm_set1_epi16(-32768);
        for (; i + 8 <= count; i += 8) {
            const __m128i v = vec::load16(at<uint16_t>(src, i));
            const __m128i sign = _mm_srai_epi16(v, 15);
            const __m128i a = _mm_sub_epi16(_mm_xor_si128(v, sign), sign);
            const __m128i lo = _mm_mullo_epi16(a, step), hi = _mm_mulhi_epu16(a, step);
            const __m128i sign_lo = _mm_unpacklo_epi16(sign, sign);
            const __m128i sign_hi = _mm_unpackhi_epi16(sign, sign);
            const __m128i p0 =
                _mm_sub_epi32(_mm_xor_si128(_mm_unpacklo_epi16(lo, hi), sign_lo), sign_lo);
            const __m128i p1 =
                _mm_sub_epi32(_mm_xor_si128(_mm_unpackhi_epi16(lo, hi), sign_hi), sign_hi);
            vec::store16(at<uint16_t>(dst, i), _mm_max_epi16(_mm_packs_epi32(p0, p1), floor));
        }
    }
    return i;
}

// binary16 from 16-bit indices: i x step in double, clamped, rounded to
// binary32 and then to binary16, eight at a time.
size_t half_values_sse2(void *dst, const void *src, size_t count, double step, double low) {
    const __m128d scale = _mm_set1_pd(step), lower = _mm_set1_pd(low), upper = _mm_set1_pd(65504.0);
    const auto to_float4 = [&](__m128i index32) {
        const __m128d a = _mm_cvtepi32_pd(index32);
        const __m128d b = _mm_cvtepi32_pd(_mm_shuffle_epi32(index32, 0xEE));
        const __m128d va = _mm_min_pd(_mm_max_pd(_mm_mul_pd(a, scale), lower), upper);
        const __m128d vb = _mm_min_pd(_mm_max_pd(_mm_mul_pd(b, scale), lower), upper);
        return _mm_movelh_ps(_mm_cvtpd_ps(va), _mm_cvtpd_ps(vb));
    };
    size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        const __m128i v = vec::load16(at<uint16_t>(src, i));
        const __m128i lo = half_from_float4(to_float4(widen_lo16(v)));
        const __m128i hi = half_from_float4(to_float4(widen_hi16(v)));
        vec::store16(at<uint16_t>(dst, i), pack_low16(lo, hi));
    }
    return i;
}
#endif

template <class S>
void integer_values(void *dst, const void *src, size_t count, uint64_t h, bool clamp, bool vector) {
    size_t i = 0;
#if VARDA_X86
    if constexpr (sizeof(S) <= 2)
        if (vector) i = integer_values_sse2<S>(dst, src, count, h, clamp);
#endif
    (void)vector;
    for (; i < count; ++i)
        store_sample<S>(dst, i, integer_value<S>(load_sample<S>(src, i), h, clamp));
}

template <Sample S>
void float_values(void *dst, const void *src, size_t count, double step, bool clamp, bool vector) {
    using I = StreamInt<S>;
    constexpr double high = float_max<S>();
    const double low = clamp ? 0.0 : -high;
    size_t i = 0;
#if VARDA_X86
    if constexpr (std::is_same_v<S, Half>)
        if (vector) i = half_values_sse2(dst, src, count, step, low);
#endif
    (void)vector;
    for (; i < count; ++i) {
        double v = double(load_sample<I>(src, i)) * step;
        if (v < low) v = low;
        if (v > high) v = high;
        store_sample<S>(dst, i, from_double<S>(v));
    }
}

} // namespace

namespace varda {

int quant_linear_decode_with(void *dst, const void *src, const quant_grid *grid, uint64_t dtype,
                             size_t count, bool vector) {
    if (!linear_grid_valid(grid, dtype)) return 1;
    const bool clamp = (grid->mode & 1) != 0, value_mode = (grid->mode & 2) != 0;
    return with_dtype(dtype, 1, [&]<Sample S>() {
        if constexpr (std::is_integral_v<S>) {
            if (value_mode)
                copy_values<S>(dst, src, count, clamp, vector);
            else
                integer_values<S>(dst, src, count, integer_step(grid->step), clamp, vector);
        } else {
            if (value_mode)
                widen_values<S>(dst, src, count, clamp, vector);
            else
                float_values<S>(dst, src, count, grid->step, clamp, vector);
        }
        return 0;
    });
}

} // namespace varda

extern "C" VARDA_API int quant_linear_decode(void *dst, const void *src, const quant_grid *grid,
                                             uint32_t dtype, size_t count) {
    return quant_linear_decode_with(dst, src, grid, dtype, count, VARDA_X86 != 0);
}
