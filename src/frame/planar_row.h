// Planar residuals of one row piece: x - W - N + NW, with the first row of
// a plane predicted from W alone, the first column from N alone and the
// first sample from nothing. The encoders of the planar family (plain,
// zigzag, fused with PFOR, byte lanes) all compute their codes here, and
// the streaming decoders rebuild runs of samples here.
#pragma once

#include "frame/elem.h"
#include "frame/row_scan.h"
#include "frame/simd.h"
#include "frame/vec.h"
#include "frame/zigzag.h"

namespace varda {

template <Element T, bool Zig> constexpr T code_of(T residual) {
    if constexpr (Zig)
        return zigzag(residual);
    else
        return residual;
}

template <Element T, bool Zig> inline T planar_code(const void *row, const void *north, size_t c) {
    const T x = load<T>(row, c);
    T residual;
    if (c == 0)
        residual = north ? sub(x, load<T>(north, 0)) : x;
    else if (!north)
        residual = sub(x, load<T>(row, c - 1));
    else
        residual = sub(sub(x, load<T>(row, c - 1)), sub(load<T>(north, c), load<T>(north, c - 1)));
    return code_of<T, Zig>(residual);
}

// Where codes go: by default into an element array at the code's own
// element index; the byte-lane encoder scatters them instead, and a run of
// one row piece lands at the front of a block (`base` is the index of its
// first code). A sink takes one code, or (on x86) one 16-byte block of
// codes, at an element index.
template <Element T> struct ElementSink {
    void *dst;
    size_t base = 0;
    void put(size_t index, T code) const { store<T>(dst, index - base, code); }
#if VARDA_X86
    void put(size_t index, __m128i codes) const { vec::store16(at<T>(dst, index - base), codes); }
#endif
};

#if VARDA_X86
// x - W of one 16-byte block of a row, with W = 0 left of column 0.
template <Element T> inline __m128i west_delta(const void *src, size_t row_start, size_t col) {
    const __m128i x = vec::load16(at<T>(src, row_start + col));
    const __m128i west =
        col ? vec::load16(at<T>(src, row_start + col - 1)) : _mm_slli_si128(x, sizeof(T));
    return vec::sub<T>(x, west);
}
#endif

// The codes of columns begin .. end - 1 of rows first .. first + Rows - 1
// of the plane at `src`, put at element index row * width + column. On x86
// the planar residual is taken as the vertical difference of west deltas,
// so a band of rows shares each row's deltas with the row below it: Rows + 1
// rows of loads give Rows rows of codes. Columns go right to left and, in
// the scalar part, rows bottom-up, so that every sample is read before its
// code overwrites it (an element sink may write over `src`).
template <Element T, bool Zig, int Rows, class Sink>
inline void planar_codes_band(const Sink &sink, const void *src, size_t width, size_t first,
                              size_t begin, size_t end) {
#if VARDA_X86
    constexpr size_t lanes = 16 / sizeof(T);
    const size_t vector_end = begin + (end - begin) / lanes * lanes;
#else
    const size_t vector_end = begin;
#endif
    for (size_t c = end; c > vector_end; --c) {
        for (int k = Rows - 1; k >= 0; --k) {
            const size_t row = (first + size_t(k)) * width;
            const void *north = row ? at<T>(src, row - width) : nullptr;
            sink.put(row + c - 1, planar_code<T, Zig>(at<T>(src, row), north, c - 1));
        }
    }
#if VARDA_X86
    for (size_t c = vector_end; c > begin; c -= lanes) {
        const size_t col = c - lanes;
        __m128i above = first ? west_delta<T>(src, (first - 1) * width, col) : _mm_setzero_si128();
        for (int k = 0; k < Rows; ++k) {
            const size_t row = (first + size_t(k)) * width;
            const __m128i delta = west_delta<T>(src, row, col);
            __m128i residual = vec::sub<T>(delta, above);
            if constexpr (Zig) residual = vec::zigzag<T>(residual);
            sink.put(row + col, residual);
            above = delta;
        }
    }
#endif
}

// A whole tile, bands bottom-up, so that with an element sink `dst` may be
// `src`.
template <Element T, bool Zig, class Sink>
inline void planar_codes_tile(const Sink &sink, const void *src, size_t width, size_t count) {
    size_t rows = count / width;
    constexpr int band = 4;
    for (; rows >= band; rows -= band)
        planar_codes_band<T, Zig, band>(sink, src, width, rows - band, 0, width);
    for (; rows > 0; --rows) planar_codes_band<T, Zig, 1>(sink, src, width, rows - 1, 0, width);
}

template <Element T, bool Zig>
inline void planar_codes_tile(void *dst, const void *src, size_t width, size_t count) {
    planar_codes_tile<T, Zig>(ElementSink<T>{dst}, src, width, count);
}

// Samples start .. start + n - 1 of a stack of planes of `plane` samples,
// from their codes (Zig) or their residuals, once the samples that their
// predictions read are rebuilt. Codes are consumed in row pieces, each one
// running sum; whole rows of one plane go through the row-pair loop. Every
// code is read before the sample at its place is written and predictions
// read only rebuilt samples, so `codes` may be `dst` + start.
template <Element T, bool Zig>
void decode_planar_run(void *dst, const void *codes, uint64_t start, uint64_t n, uint64_t width,
                       uint64_t plane) {
    for (uint64_t k = 0; k < n;) {
        const uint64_t s = start + k, d = s % plane, c = d % width;
        if (c == 0) {
            const uint64_t left = n - k < plane - d ? n - k : plane - d;
            if (const uint64_t rows = left / width; rows >= 2) {
                scan_rows<T, Zig>(at<T>(dst, s), at<T>(codes, k),
                                  d ? at<T>(dst, s - width) : nullptr, width, rows);
                k += rows * width;
                continue;
            }
        }
        const uint64_t m = width - c < n - k ? width - c : n - k;
        const T west = c ? load<T>(dst, s - 1) : T(0);
        const void *north = nullptr;
        T seed = west;
        if (d >= width) {
            north = at<T>(dst, s - width);
            // Along a later row N - NW telescopes; what is left of it is
            // W - NW at the piece's start.
            seed = c ? sub(west, load<T>(dst, s - width - 1)) : T(0);
        }
        scan_row<T, Zig>(at<T>(dst, s), at<T>(codes, k), north, m, seed, use_avx2());
        k += m;
    }
}

} // namespace varda
