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
    const size_t body = first == 0 ? 1 : first; // column 0 has its own rule
    size_t c = end;
#if VARDA_X86
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

// A whole tile of `count / width` rows, bottom row first (in-place safe).
template <Element T, bool Zig>
inline void planar_codes_tile(void *dst, const void *src, size_t width, size_t count) {
    for (size_t row_start = count; row_start > 0;) {
        row_start -= width;
        const void *north = row_start ? at<T>(src, row_start - width) : nullptr;
        planar_codes<T, Zig>(at<T>(dst, row_start), at<T>(src, row_start), north, 0, width);
    }
}

} // namespace varda
