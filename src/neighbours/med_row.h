// The median edge predictor, shared by its plain and zigzag forms: the
// prediction, the encoders' rows and the decoders' row engines. `Zig` picks
// the residual mapping (plain wrap-around differences, or zigzag codes).
//
// The prediction from W, N and NW picks lo = min(W, N) when NW >= max(W, N),
// hi = max(W, N) when NW <= lo, and the plane value W + N - NW otherwise,
// all compared unsigned at the element width.
#pragma once

#include <algorithm>
#include <type_traits>

#include "frame/alias.h"
#include "frame/elem.h"
#include "frame/planar_row.h"
#include "frame/row_scan.h"
#include "frame/vec.h"
#include "frame/zigzag.h"

namespace varda {

// Samples as signed numbers wide enough that W + N - NW cannot wrap.
template <Element T> using MedLane = std::conditional_t<sizeof(T) <= 4, int64_t, __int128>;

// Taken without wrapping, the plane value is at most lo when NW >= hi and
// at least hi when NW <= lo, so clamping it to [lo, hi] is the rule. The
// decoders' chains run through here, and noisy samples defeat any branch:
// in this form (plain selects, 64-bit lanes) GCC and Clang emit
// conditional moves only, which std::max on narrower lanes did not get.
template <Element T>
constexpr MedLane<T> med_prediction(MedLane<T> west, MedLane<T> north, MedLane<T> north_west) {
    const MedLane<T> hi = west > north ? west : north, lo = west > north ? north : west;
    return std::min(std::max(west + north - north_west, lo), hi);
}

template <Element T> constexpr T med_prediction(T west, T north, T north_west) {
    return static_cast<T>(
        med_prediction<T>(MedLane<T>(west), MedLane<T>(north), MedLane<T>(north_west)));
}

#if VARDA_X86
namespace vec {

// Unsigned a > b in every lane: flipping the top bits turns it into the
// signed compare that SSE2 has.
template <Element T> inline __m128i above(__m128i a, __m128i b) {
    const __m128i top = splat<T>(static_cast<T>(T(1) << (bits_of<T> - 1)));
    return cmpgt<T>(_mm_xor_si128(a, top), _mm_xor_si128(b, top));
}

// 1-, 2- and 4-byte lanes.
template <Element T>
inline __m128i med_prediction(__m128i west, __m128i north, __m128i north_west) {
    const __m128i west_above = above<T>(west, north);
    const __m128i hi = select(west_above, west, north);
    const __m128i lo = select(west_above, north, west);
    const __m128i plane = sub<T>(add<T>(west, north), north_west);
    const __m128i prediction = select(above<T>(hi, north_west), plane, lo);
    return select(above<T>(north_west, lo), prediction, hi);
}

} // namespace vec
#endif

// ---- Encoding ------------------------------------------------------------

template <Element T, bool Zig>
inline T med_code(const void *src, size_t i, size_t column, size_t width, bool north) {
    const T x = load<T>(src, i);
    T residual;
    if (column == 0)
        residual = north ? sub(x, load<T>(src, i - width)) : x;
    else if (!north)
        residual = sub(x, load<T>(src, i - 1));
    else
        residual = sub(x, med_prediction(load<T>(src, i - 1), load<T>(src, i - width),
                                         load<T>(src, i - width - 1)));
    return code_of<T, Zig>(residual);
}

// Raster order. Overlapping buffers see codes where samples were, so they
// keep to that element order and skip the blocks. 8-byte lanes have no
// unsigned compare in SSE2; below the first row they go one at a time.
template <Element T, bool Zig>
inline void med_codes_tile(void *dst, const void *src, size_t width, size_t count) {
    [[maybe_unused]] const bool blocks = !overlaps(dst, count * sizeof(T), src, count * sizeof(T));
    for (size_t row = 0; row < count; row += width) {
        const bool north = row != 0;
        store<T>(dst, row, med_code<T, Zig>(src, row, 0, width, north));
        size_t c = 1;
#if VARDA_X86
        constexpr size_t lanes = 16 / sizeof(T);
        const bool median_blocks = north && sizeof(T) < 8;
        for (; blocks && (!north || median_blocks) && c + lanes <= width; c += lanes) {
            const size_t i = row + c;
            const __m128i west = vec::load16(at<T>(src, i - 1));
            __m128i prediction = west;
            if constexpr (sizeof(T) < 8)
                if (north)
                    prediction = vec::med_prediction<T>(west, vec::load16(at<T>(src, i - width)),
                                                        vec::load16(at<T>(src, i - width - 1)));
            __m128i residual = vec::sub<T>(vec::load16(at<T>(src, i)), prediction);
            if constexpr (Zig) residual = vec::zigzag<T>(residual);
            vec::store16(at<T>(dst, i), residual);
        }
#endif
        for (; c < width; ++c)
            store<T>(dst, row + c, med_code<T, Zig>(src, row + c, c, width, north));
    }
}

// ---- Decoding ------------------------------------------------------------
// Each sample needs its rebuilt west neighbour, so a row is one dependency
// chain; the chain's value stays in a register and only N comes from memory.

template <Element T, bool Zig>
inline MedLane<T> med_sample(MedLane<T> prediction, const void *codes, size_t i) {
    return MedLane<T>(add(static_cast<T>(prediction), residual_of<T, Zig>(load<T>(codes, i))));
}

template <Element T, bool Zig>
inline void med_decode_row(void *out, const void *codes, const void *north, size_t width) {
    using Lane = MedLane<T>;
    Lane up = load<T>(north, 0);
    Lane west = med_sample<T, Zig>(up, codes, 0);
    store<T>(out, 0, T(west));
    for (size_t c = 1; c < width; ++c) {
        const Lane north_west = up;
        up = load<T>(north, c);
        west = med_sample<T, Zig>(med_prediction<T>(west, up, north_west), codes, c);
        store<T>(out, c, T(west));
    }
}

// Rows first .. first + 3 at once, each one column behind the row above it,
// so that four independent chains share the processor. Within a step the
// lowest row goes first: row k then still finds its north neighbour in
// west[k - 1], and its north-west one in the north it used the step before.
// Needs width >= 4.
template <Element T, bool Zig>
inline void med_decode_group(void *dst, const void *codes, size_t width, size_t first) {
    using Lane = MedLane<T>;
    unsigned char *out = at<T>(dst, first * width);
    const unsigned char *in = at<T>(codes, first * width);
    const unsigned char *north = at<T>(dst, (first - 1) * width);
    Lane west[4], up[4];
    auto begin = [&](size_t k) {
        up[k] = k ? west[k - 1] : Lane(load<T>(north, 0));
        west[k] = med_sample<T, Zig>(up[k], in, k * width);
        store<T>(out, k * width, T(west[k]));
    };
    auto step = [&](size_t k, size_t c) {
        const Lane n = k ? west[k - 1] : Lane(load<T>(north, c));
        const Lane prediction = med_prediction<T>(west[k], n, up[k]);
        up[k] = n;
        west[k] = med_sample<T, Zig>(prediction, in, k * width + c);
        store<T>(out, k * width + c, T(west[k]));
    };
    begin(0);
    begin(1), step(0, 1);
    begin(2), step(1, 1), step(0, 2);
    begin(3), step(2, 1), step(1, 2), step(0, 3);
    for (size_t c = 4; c < width; ++c) step(3, c - 3), step(2, c - 2), step(1, c - 1), step(0, c);
    step(3, width - 3), step(2, width - 2), step(1, width - 1);
    step(3, width - 2), step(2, width - 1);
    step(3, width - 1);
}

template <Element T, bool Zig>
inline void med_decode_tile(void *dst, const void *codes, size_t width, size_t count) {
    T west = residual_of<T, Zig>(load<T>(codes, 0));
    store<T>(dst, 0, west);
    for (size_t c = 1; c < width; ++c) {
        west = add(west, residual_of<T, Zig>(load<T>(codes, c)));
        store<T>(dst, c, west);
    }
    const size_t rows = count / width;
    size_t row = 1;
    if (width >= 8 && rows >= 5)
        for (; row + 4 <= rows; row += 4) med_decode_group<T, Zig>(dst, codes, width, row);
    for (; row < rows; ++row)
        med_decode_row<T, Zig>(at<T>(dst, row * width), at<T>(codes, row * width),
                               at<T>(dst, (row - 1) * width), width);
}

} // namespace varda
