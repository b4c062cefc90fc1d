// Planar residuals of one row piece: x - W - N + NW, with the first row of
// a plane predicted from W alone, the first column from N alone and the
// first sample from nothing. The encoders of the planar family (plain,
// zigzag, fused with PFOR, byte lanes) all compute their codes here.
#pragma once

#include "frame/elem.h"
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

// Writes the codes of columns first .. end - 1 of `row` to out[0 ..]. `north`
// is the row above, or null on a plane's first row. Columns go from right to
// left so that `out` may be `row` itself (with rows taken bottom-up).
template <Element T, bool Zig>
inline void planar_codes(void *out, const void *row, const void *north, size_t first, size_t end) {
    size_t c = end;
#if VARDA_X86
    const size_t body = first == 0 ? 1 : first; // column 0 has its own rule
    constexpr size_t lanes = 16 / sizeof(T);
    const size_t blocks = end > body ? (end - body) / lanes : 0;
    for (const size_t stop = body + blocks * lanes; c > stop; --c)
        store<T>(out, c - 1 - first, planar_code<T, Zig>(row, north, c - 1));
    for (; c > body; c -= lanes) {
        const size_t at_col = c - lanes;
        __m128i residual =
            vec::sub<T>(vec::load16(at<T>(row, at_col)), vec::load16(at<T>(row, at_col - 1)));
        if (north)
            residual = vec::sub<T>(residual, vec::sub<T>(vec::load16(at<T>(north, at_col)),
                                                         vec::load16(at<T>(north, at_col - 1))));
        if constexpr (Zig) residual = vec::zigzag<T>(residual);
        vec::store16(at<T>(out, at_col - first), residual);
    }
#endif
    for (; c > first; --c) store<T>(out, c - 1 - first, planar_code<T, Zig>(row, north, c - 1));
}

// Where the codes of a whole tile go: by default into an element array;
// the byte-lane encoder scatters them instead. A sink takes one code, or
// (on x86) one 16-byte block of codes, at an element index.
template <Element T> struct ElementSink {
    void *dst;
    void put(size_t index, T code) const { store<T>(dst, index, code); }
#if VARDA_X86
    void put(size_t index, __m128i codes) const { vec::store16(at<T>(dst, index), codes); }
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

// Rows first .. first + Rows - 1. The planar residual is the vertical
// difference of west deltas, so a band of rows shares each row's deltas
// with the row below it: Rows + 1 rows of loads give Rows rows of codes.
// Columns go right to left and, in the scalar tail, rows bottom-up, so
// that every sample is read before its code overwrites it.
template <Element T, bool Zig, int Rows, class Sink>
inline void planar_codes_band(const Sink &sink, const void *src, size_t width, size_t first) {
    constexpr size_t lanes = 16 / sizeof(T);
    const size_t vector_end = width / lanes * lanes;
    for (size_t c = width; c > vector_end; --c) {
        for (int k = Rows - 1; k >= 0; --k) {
            const size_t row = (first + size_t(k)) * width;
            const void *north = row ? at<T>(src, row - width) : nullptr;
            sink.put(row + c - 1, planar_code<T, Zig>(at<T>(src, row), north, c - 1));
        }
    }
    for (size_t c = vector_end; c > 0; c -= lanes) {
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
}
#endif

// A whole tile, rows bottom-up and columns right to left, so that with an
// element sink `dst` may be `src`.
template <Element T, bool Zig, class Sink>
inline void planar_codes_tile(const Sink &sink, const void *src, size_t width, size_t count) {
    size_t rows = count / width;
#if VARDA_X86
    constexpr int band = 4;
    for (; rows >= band; rows -= band)
        planar_codes_band<T, Zig, band>(sink, src, width, rows - band);
    for (; rows > 0; --rows) planar_codes_band<T, Zig, 1>(sink, src, width, rows - 1);
#else
    for (; rows > 0; --rows) {
        const size_t row = (rows - 1) * width;
        const void *north = row ? at<T>(src, row - width) : nullptr;
        for (size_t c = width; c > 0; --c)
            sink.put(row + c - 1, planar_code<T, Zig>(at<T>(src, row), north, c - 1));
    }
#endif
}

template <Element T, bool Zig>
inline void planar_codes_tile(void *dst, const void *src, size_t width, size_t count) {
    planar_codes_tile<T, Zig>(ElementSink<T>{dst}, src, width, count);
}

} // namespace varda
