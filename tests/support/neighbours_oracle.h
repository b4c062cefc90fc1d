// The neighbour predictors and the interleave split, straight from their
// definitions. Each works element by element in the order that defines the
// kernel, reading and writing through views, so that the same code also
// says what overlapping buffers must give.
#pragma once

#include <cstdint>
#include <cstring>

#include "support/oracle.h"
#include "support/support.h"

namespace vt {

// Elements of `es` bytes at `base`; values are the low bytes of a word.
struct View {
    unsigned char *base;
    uint64_t es;

    uint64_t get(size_t i) const {
        uint64_t v = 0;
        std::memcpy(&v, base + i * es, es);
        return v;
    }
    void set(size_t i, uint64_t v) const { std::memcpy(base + i * es, &v, es); }
};

inline View view(Elems &e) { return {e.bytes.data(), e.elem_size}; }
inline View view(const Elems &e) {
    return {const_cast<unsigned char *>(e.bytes.data()), e.elem_size};
}

// Rows bottom-up, then the first row.
inline void ref_delta_n_encode(View dst, View src, size_t width, size_t count) {
    for (size_t row = count - width; row > 0; row -= width)
        for (size_t i = row; i < row + width; ++i) dst.set(i, src.get(i) - src.get(i - width));
    for (size_t i = 0; i < width; ++i) dst.set(i, src.get(i));
}

inline void ref_delta_n_decode(View dst, View src, size_t width, size_t count) {
    for (size_t i = 0; i < count; ++i)
        dst.set(i, src.get(i) + (i >= width ? dst.get(i - width) : 0));
}

// Each row right to left.
inline void ref_delta_w_encode(View dst, View src, size_t width, size_t count) {
    for (size_t row = 0; row < count; row += width) {
        for (size_t i = row + width - 1; i > row; --i) dst.set(i, src.get(i) - src.get(i - 1));
        dst.set(row, src.get(row));
    }
}

// Raster order; the mean is taken in 128 bits.
inline void ref_average_encode(View dst, View src, size_t width, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        const unsigned __int128 west = i % width ? src.get(i - 1) : 0;
        const unsigned __int128 north = i >= width ? src.get(i - width) : 0;
        dst.set(i, src.get(i) - uint64_t((west + north) / 2));
    }
}

// The median of W, N and W + N - NW, the sum taken without wrapping.
inline uint64_t ref_med_prediction(uint64_t west, uint64_t north, uint64_t north_west) {
    __int128 v[3] = {__int128(west), __int128(north),
                     __int128(west) + __int128(north) - __int128(north_west)};
    if (v[0] > v[1]) std::swap(v[0], v[1]);
    if (v[1] > v[2]) std::swap(v[1], v[2]);
    if (v[0] > v[1]) std::swap(v[0], v[1]);
    return uint64_t(v[1]);
}

// Raster order; `zig` codes every residual, the first sample's included.
inline void ref_med_encode(View dst, View src, size_t width, size_t count, bool zig) {
    const uint64_t m = mask_of(src.es);
    for (size_t i = 0; i < count; ++i) {
        const size_t r = i / width, c = i % width;
        uint64_t prediction = 0;
        if (r == 0 && c > 0) prediction = src.get(i - 1);
        if (r > 0 && c == 0) prediction = src.get(i - width);
        if (r > 0 && c > 0)
            prediction =
                ref_med_prediction(src.get(i - 1), src.get(i - width), src.get(i - width - 1));
        const uint64_t residual = (src.get(i) - prediction) & m;
        dst.set(i, zig ? ref_zigzag(residual, src.es) : residual);
    }
}

// Run index ascending, one whole element at a time.
inline void ref_split(unsigned char *even, unsigned char *odd, const unsigned char *src,
                      size_t count, size_t es) {
    for (size_t i = 0; i < count; ++i)
        std::memmove((i & 1 ? odd : even) + i / 2 * es, src + i * es, es);
}

inline void ref_join(unsigned char *dst, const unsigned char *even, const unsigned char *odd,
                     size_t count, size_t es) {
    for (size_t i = 0; i < count; ++i)
        std::memmove(dst + i * es, (i & 1 ? odd : even) + i / 2 * es, es);
}

} // namespace vt
