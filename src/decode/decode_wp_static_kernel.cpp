// Static weighted predictor, decoder. W enters every prediction with weight
// one, so a row's correction terms depend only on the rows above: each row
// is first turned into residual + correction, element-wise, and then into
// its running sum.
#include <cstdint>

#include "frame/elem.h"
#include "frame/row_scan.h"
#include "frame/simd.h"
#include "frame/tile.h"
#include "frame/wp_static.h"
#include "varda_kernels.h"

using namespace varda;

namespace {

#if VARDA_X86

// ---- 32-bit form: 1- and 2-byte samples, shift <= 16 ---------------------
// The element-width bits of S >> shift then lie within the low 32 bits of
// S, so S may wrap at 32 bits. Samples are taken as signed 16-bit values
// (x - 32768, by flipping the top bit) so that pmaddwd can multiply them;
// the bias absorbs 32768 x (sum of the weights).
struct Narrow {
    __m128i flip, w01, w23, bias, left;

    explicit Narrow(const WpCoeffs &k) {
        const auto pair = [](uint64_t lo, uint64_t hi) {
            return _mm_set1_epi32(int32_t(uint32_t(uint16_t(lo)) | uint32_t(uint16_t(hi)) << 16));
        };
        const uint32_t weight_sum = uint32_t(k.w[0] + k.w[1] + k.w[2] + k.w[3]);
        flip = _mm_set1_epi16(int16_t(0x8000));
        w01 = pair(k.w[0], k.w[1]);
        w23 = pair(k.w[2], k.w[3]);
        bias = _mm_set1_epi32(int32_t(uint32_t(k.bias) + 32768u * weight_sum));
        left = _mm_cvtsi32_si128(int(16 - k.shift));
    }

    // Bits shift .. shift + 15 of S, sign-extended, which packssdw keeps
    // exactly.
    __m128i bits16(__m128i sum) const { return _mm_srai_epi32(_mm_sll_epi32(sum, left), 16); }

    // Eight 16-bit lanes of neighbours in, the low 16 bits of P out.
    __m128i term(__m128i n, __m128i nw, __m128i ne, __m128i nn) const {
        n = _mm_xor_si128(n, flip);
        nw = _mm_xor_si128(nw, flip);
        ne = _mm_xor_si128(ne, flip);
        nn = _mm_xor_si128(nn, flip);
        const __m128i lo = _mm_add_epi32(_mm_madd_epi16(_mm_unpacklo_epi16(n, nw), w01),
                                         _mm_madd_epi16(_mm_unpacklo_epi16(ne, nn), w23));
        const __m128i hi = _mm_add_epi32(_mm_madd_epi16(_mm_unpackhi_epi16(n, nw), w01),
                                         _mm_madd_epi16(_mm_unpackhi_epi16(ne, nn), w23));
        return _mm_packs_epi32(bits16(_mm_add_epi32(lo, bias)), bits16(_mm_add_epi32(hi, bias)));
    }
};

// Low bytes of two vectors of 16-bit lanes, packed.
inline __m128i pack_low_bytes(__m128i a, __m128i b) {
    const __m128i low = _mm_set1_epi16(0xFF);
    return _mm_packus_epi16(_mm_and_si128(a, low), _mm_and_si128(b, low));
}

// Low halves of two vectors of 32-bit lanes, packed.
inline __m128i pack_low_halves(__m128i a, __m128i b) {
    return _mm_packs_epi32(_mm_srai_epi32(_mm_slli_epi32(a, 16), 16),
                           _mm_srai_epi32(_mm_slli_epi32(b, 16), 16));
}

// ---- 64-bit form: every other case ----------------------------------------
// A weight w is its low 16 bits wu, less 65536 when negative, so v x w =
// v x wu - (v << 16) for negative w, and v x wu needs one pmuludq per
// 32-bit half of v.
struct Wide {
    __m128i w[4], negative[4], bias, right, left;

    explicit Wide(const WpCoeffs &k) {
        for (int i = 0; i < 4; ++i) {
            w[i] = _mm_set1_epi64x(int64_t(k.w[i] & 0xFFFF));
            negative[i] = _mm_set1_epi64x(int64_t(k.w[i]) < 0 ? -1 : 0);
        }
        bias = _mm_set1_epi64x(int64_t(k.bias));
        right = _mm_cvtsi32_si128(int(k.shift));
        left = _mm_cvtsi32_si128(int(64 - k.shift)); // a count of 64 shifts out everything
    }

    template <bool HighHalves> __m128i product(__m128i v, int i) const {
        __m128i p = _mm_mul_epu32(v, w[i]);
        if constexpr (HighHalves)
            p = _mm_add_epi64(p, _mm_slli_epi64(_mm_mul_epu32(_mm_srli_epi64(v, 32), w[i]), 32));
        return _mm_sub_epi64(p, _mm_and_si128(_mm_slli_epi64(v, 16), negative[i]));
    }

    // Two 64-bit lanes of neighbours in, P (before truncation) out.
    template <bool HighHalves>
    __m128i term(__m128i n, __m128i nw, __m128i ne, __m128i nn) const {
        __m128i sum = _mm_add_epi64(bias, product<HighHalves>(n, 0));
        sum = _mm_add_epi64(sum, product<HighHalves>(nw, 1));
        sum = _mm_add_epi64(sum, product<HighHalves>(ne, 2));
        sum = _mm_add_epi64(sum, product<HighHalves>(nn, 3));
        const __m128i sign = _mm_shuffle_epi32(_mm_srai_epi32(sum, 31), 0xF5);
        return _mm_or_si128(_mm_srl_epi64(sum, right), _mm_sll_epi64(sign, left));
    }
};

template <Element T> struct Wider;
template <> struct Wider<uint8_t> {
    using type = uint16_t;
};
template <> struct Wider<uint16_t> {
    using type = uint32_t;
};
template <> struct Wider<uint32_t> {
    using type = uint64_t;
};

template <Element T> __m128i zero_extend_low(__m128i v) {
    const __m128i zero = _mm_setzero_si128();
    if constexpr (sizeof(T) == 1)
        return _mm_unpacklo_epi8(v, zero);
    else if constexpr (sizeof(T) == 2)
        return _mm_unpacklo_epi16(v, zero);
    else
        return _mm_unpacklo_epi32(v, zero);
}

template <Element T> __m128i zero_extend_high(__m128i v) {
    const __m128i zero = _mm_setzero_si128();
    if constexpr (sizeof(T) == 1)
        return _mm_unpackhi_epi8(v, zero);
    else if constexpr (sizeof(T) == 2)
        return _mm_unpackhi_epi16(v, zero);
    else
        return _mm_unpackhi_epi32(v, zero);
}

// 16 bytes of T lanes as 8 / sizeof(T) vectors of two 64-bit lanes, in order.
template <Element T> void widen64(__m128i v, __m128i *out) {
    if constexpr (sizeof(T) == 8) {
        out[0] = v;
    } else {
        using W = typename Wider<T>::type;
        widen64<W>(zero_extend_low<T>(v), out);
        widen64<W>(zero_extend_high<T>(v), out + 4 / sizeof(T));
    }
}

// The inverse, truncating each lane to T.
template <Element T> __m128i narrow64(const __m128i *in) {
    if constexpr (sizeof(T) == 8) {
        return in[0];
    } else if constexpr (sizeof(T) == 4) {
        return _mm_unpacklo_epi64(_mm_shuffle_epi32(in[0], 0x08), _mm_shuffle_epi32(in[1], 0x08));
    } else if constexpr (sizeof(T) == 2) {
        return pack_low_halves(narrow64<uint32_t>(in), narrow64<uint32_t>(in + 2));
    } else {
        return pack_low_bytes(narrow64<uint16_t>(in), narrow64<uint16_t>(in + 4));
    }
}

template <Element T, class Form>
__m128i block_term(const Form &form, __m128i n, __m128i nw, __m128i ne, __m128i nn) {
    if constexpr (std::is_same_v<Form, Narrow>) {
        if constexpr (sizeof(T) == 2) {
            return form.term(n, nw, ne, nn);
        } else {
            const __m128i zero = _mm_setzero_si128();
            const __m128i lo =
                form.term(_mm_unpacklo_epi8(n, zero), _mm_unpacklo_epi8(nw, zero),
                          _mm_unpacklo_epi8(ne, zero), _mm_unpacklo_epi8(nn, zero));
            const __m128i hi =
                form.term(_mm_unpackhi_epi8(n, zero), _mm_unpackhi_epi8(nw, zero),
                          _mm_unpackhi_epi8(ne, zero), _mm_unpackhi_epi8(nn, zero));
            return pack_low_bytes(lo, hi);
        }
    } else {
        constexpr size_t groups = 8 / sizeof(T);
        __m128i wn[groups], wnw[groups], wne[groups], wnn[groups], terms[groups];
        widen64<T>(n, wn);
        widen64<T>(nw, wnw);
        widen64<T>(ne, wne);
        widen64<T>(nn, wnn);
        for (size_t g = 0; g < groups; ++g)
            terms[g] = form.template term<sizeof(T) == 8>(wn[g], wnw[g], wne[g], wnn[g]);
        return narrow64<T>(terms);
    }
}

// Columns 1 .. in 16-byte blocks while the block's NE stays inside the row
// above; returns the first column left over. Each block's residuals are
// loaded before its corrected values are stored, so `row` may be `res`.
template <Element T, class Form>
size_t correct_blocks(void *row, const void *res, const void *north, const void *north2,
                      size_t width, const Form &form) {
    constexpr size_t lanes = 16 / sizeof(T);
    size_t c = 1;
    for (; c + lanes < width; c += lanes) {
        const __m128i n = vec::load16(at<T>(north, c));
        const __m128i nw = vec::load16(at<T>(north, c - 1));
        const __m128i ne = vec::load16(at<T>(north, c + 1));
        const __m128i nn = north2 ? vec::load16(at<T>(north2, c)) : _mm_setzero_si128();
        const __m128i term = block_term<T>(form, n, nw, ne, nn);
        vec::store16(at<T>(row, c), vec::add<T>(vec::load16(at<T>(res, c)), term));
    }
    return c;
}

#endif

// Both vector forms, built once per tile.
struct Forms {
    bool narrow;
#if VARDA_X86
    Narrow narrow_form;
    Wide wide_form;
#endif
};

template <Element T>
void correct_row(void *row, const void *res, const void *north, const void *north2, size_t width,
                 const WpCoeffs &k, const Forms &forms) {
    const auto one = [&](size_t c) {
        const T term = wp_term<T>(k, wp_neighbours<T>(north, north2, width, c));
        store<T>(row, c, add(load<T>(res, c), term));
    };
    one(0);
    size_t c = 1;
#if VARDA_X86
    // Partly overlapping rows take the element-by-element path; the same
    // row (decoding in place) and separate rows take the blocks.
    const auto dst_at = reinterpret_cast<uintptr_t>(row), src_at = reinterpret_cast<uintptr_t>(res);
    const size_t bytes = width * sizeof(T);
    if (dst_at == src_at || dst_at + bytes <= src_at || src_at + bytes <= dst_at) {
        c = forms.narrow ? correct_blocks<T>(row, res, north, north2, width, forms.narrow_form)
                         : correct_blocks<T>(row, res, north, north2, width, forms.wide_form);
    }
#else
    (void)forms;
#endif
    for (; c < width; ++c) one(c);
}

// The path is read before every scan; 8-byte rows are scanned portably on
// every path and never ask.
template <Element T> void scan(void *dst, const void *src, size_t width) {
    const bool avx2 = sizeof(T) < 8 && use_avx2();
    scan_row<T, false>(dst, src, nullptr, width, T(0), avx2);
}

template <Element T>
void decode_tile(void *dst, const void *src, size_t width, size_t count, const WpCoeffs &k) {
    const Forms forms{
        sizeof(T) <= 2 && k.shift <= 16,
#if VARDA_X86
        Narrow(k),
        Wide(k),
#endif
    };
    scan<T>(dst, src, width);
    for (size_t row = width; row < count; row += width) {
        void *out = at<T>(dst, row);
        const void *north = at<T>(dst, row - width);
        const void *north2 = row >= 2 * width ? at<T>(dst, row - 2 * width) : nullptr;
        correct_row<T>(out, at<T>(src, row), north, north2, width, k, forms);
        scan<T>(out, out, width);
    }
}

} // namespace

extern "C" VARDA_API int wp_static_decode(void *dst, const void *src, uint64_t width,
                                          uint64_t count, uint64_t elem_size,
                                          const int16_t *weights, uint8_t shift) {
    if (shift > 63 || count == 0 || !valid_tile(width, count)) return 1;
    return with_width(elem_size, 1, [&]<Element T>() {
        decode_tile<T>(dst, src, width, count, wp_coeffs(weights, shift));
        return 0;
    });
}
