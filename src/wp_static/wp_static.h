// The correction term of the static weighted predictor: a fixed-point
// combination of N, NW, NE and NN that, added to W, predicts a sample. The
// encoder, the decoder and the trainer all compute it here, so the trainer
// measures exactly the residuals the encoder will write.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "frame/elem.h"
#include "frame/simd.h"
#include "frame/vec.h"

namespace varda {

// Four weights (N, NW, NE, NN) sign-extended to 64 bits, the rounding bias
// 2^(shift - 1) (0 for shift 0) and the shift, at most 63.
struct WpCoeffs {
    uint64_t w[4];
    uint64_t bias;
    unsigned shift;
};

inline WpCoeffs wp_coeffs(const int16_t weights[4], unsigned shift) {
    WpCoeffs k{};
    for (int i = 0; i < 4; ++i) k.w[i] = uint64_t(int64_t(weights[i]));
    k.bias = shift ? uint64_t(1) << (shift - 1) : 0;
    k.shift = shift;
    return k;
}

// Neighbour values zero-extended to 64 bits; 0 where outside the tile.
struct WpNeighbours {
    uint64_t n, nw, ne, nn;
};

// Neighbours of column c of a row, given the row above (`north`, null on
// the first row) and the one above that (`north2`, null on the first two).
template <Element T>
inline WpNeighbours wp_neighbours(const void *north, const void *north2, size_t width, size_t c) {
    WpNeighbours nb{0, 0, 0, 0};
    if (north == nullptr) return nb;
    nb.n = load<T>(north, c);
    if (c > 0) nb.nw = load<T>(north, c - 1);
    if (c + 1 < width) nb.ne = load<T>(north, c + 1);
    if (north2 != nullptr) nb.nn = load<T>(north2, c);
    return nb;
}

// The 64-bit sum wraps; the shift is arithmetic on the wrapped value; the
// result is truncated to the element width.
template <Element T> inline T wp_term(const WpCoeffs &k, const WpNeighbours &nb) {
    const uint64_t sum = k.bias + k.w[0] * nb.n + k.w[1] * nb.nw + k.w[2] * nb.ne + k.w[3] * nb.nn;
    return static_cast<T>(uint64_t(int64_t(sum) >> k.shift));
}

// The residual of sample x with west neighbour `west` (0 in column 0).
template <Element T> inline T wp_residual(T x, T west, T term) { return sub(sub(x, west), term); }

#if VARDA_X86

// ---- The same term for a 16-byte block of columns, in SSE2 ----------------
// Bit for bit the scalar term above; the decoder and the trainer run it
// over the columns whose neighbours all lie inside the tile.

namespace wp_vec {

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
        left = _mm_cvtsi32_si128(k.shift <= 16 ? int(16 - k.shift) : 0); // used up to 16 only
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
    template <bool HighHalves> __m128i term(__m128i n, __m128i nw, __m128i ne, __m128i nn) const {
        __m128i sum = _mm_add_epi64(bias, product<HighHalves>(n, 0));
        sum = _mm_add_epi64(sum, product<HighHalves>(nw, 1));
        sum = _mm_add_epi64(sum, product<HighHalves>(ne, 2));
        sum = _mm_add_epi64(sum, product<HighHalves>(nn, 3));
        const __m128i sign = _mm_shuffle_epi32(_mm_srai_epi32(sum, 31), 0xF5);
        return _mm_or_si128(_mm_srl_epi64(sum, right), _mm_sll_epi64(sign, left));
    }
};

template <Element T> struct Wider;
template <> struct Wider<uint8_t> { using type = uint16_t; };
template <> struct Wider<uint16_t> { using type = uint32_t; };
template <> struct Wider<uint32_t> { using type = uint64_t; };

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
            const __m128i lo = form.term(_mm_unpacklo_epi8(n, zero), _mm_unpacklo_epi8(nw, zero),
                                         _mm_unpacklo_epi8(ne, zero), _mm_unpacklo_epi8(nn, zero));
            const __m128i hi = form.term(_mm_unpackhi_epi8(n, zero), _mm_unpackhi_epi8(nw, zero),
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

} // namespace wp_vec

// Both vector forms of one set of coefficients, and which one applies.
struct WpVector {
    bool narrow;
    wp_vec::Narrow narrow_form;
    wp_vec::Wide wide_form;

    WpVector(const WpCoeffs &k, size_t elem_size)
        : narrow(elem_size <= 2 && k.shift <= 16), narrow_form(k), wide_form(k) {}
};

// Terms of the columns from `c` on, in 16-byte blocks, of a row below the
// first (`north2` null on the second row), while a block ends before `end`
// and its NE stays inside the row above; c must be at least 1. Hands each
// block to emit(column, terms) and returns the first column left over.
template <Element T, class Emit>
inline size_t wp_term_blocks(const WpVector &v, const void *north, const void *north2, size_t width,
                             size_t c, size_t end, Emit &&emit) {
    constexpr size_t lanes = 16 / sizeof(T);
    const size_t stop = end < width ? end : width - 1; // NE of the last column is missing
    const auto run = [&](const auto &form) {
        for (; c + lanes <= stop; c += lanes) {
            const __m128i n = vec::load16(at<T>(north, c));
            const __m128i nw = vec::load16(at<T>(north, c - 1));
            const __m128i ne = vec::load16(at<T>(north, c + 1));
            const __m128i nn = north2 ? vec::load16(at<T>(north2, c)) : _mm_setzero_si128();
            emit(c, wp_vec::block_term<T>(form, n, nw, ne, nn));
        }
    };
    if (v.narrow)
        run(v.narrow_form);
    else
        run(v.wide_form);
    return c;
}

#else

struct WpVector {
    WpVector(const WpCoeffs &, size_t) {}
};

#endif

} // namespace varda
