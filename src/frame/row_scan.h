// Running sums along a row, the heart of every decoder whose prediction
// includes the west neighbour.
//
// A row piece is rebuilt as
//     y[i] = seed + r[0] + ... + r[i]  (+ north[i] on rows below the first)
// where r is the residual (the code itself, or its unzigzag). Along a later
// row of the planar predictor the north and north-west terms telescope, so
// y[c] = N[c] + (W - NW) + sum of residuals; the caller folds W - NW (or 0
// at column 0) into the seed. Each residual is read before the sample at its
// position is written, so the codes may be the destination itself.
#pragma once

#include "frame/elem.h"
#include "frame/simd.h"
#include "frame/vec.h"
#include "frame/zigzag.h"

namespace varda {

template <Element T, bool Zig> constexpr T residual_of(T code) {
    if constexpr (Zig)
        return unzigzag(code);
    else
        return code;
}

// The definition, one element at a time. Returns the running sum after the
// piece (without the north term).
template <Element T, bool Zig>
inline T scan_portable(void *dst, const void *codes, const void *north, size_t n, T carry) {
    for (size_t i = 0; i < n; ++i) {
        carry = add(carry, residual_of<T, Zig>(load<T>(codes, i)));
        store<T>(dst, i, north ? add(carry, load<T>(north, i)) : carry);
    }
    return carry;
}

#if VARDA_X86

// 16-byte blocks; the block's own prefix sum and its total do not wait for
// the carry, so consecutive blocks overlap and only one add is serial.
template <Element T, bool Zig, bool North>
inline T scan_sse2(void *dst, const void *codes, const void *north, size_t n, T carry) {
    constexpr size_t lanes = 16 / sizeof(T);
    const size_t blocks = n / lanes;
    __m128i running = vec::splat<T>(carry);
    for (size_t b = 0; b < blocks; ++b) {
        __m128i r = vec::load16(at<T>(codes, b * lanes));
        if constexpr (Zig) r = vec::unzigzag<T>(r);
        const __m128i sums = vec::prefix<T>(r);
        __m128i out = vec::add<T>(sums, running);
        running = vec::add<T>(running, vec::broadcast_last<T>(sums));
        if constexpr (North) out = vec::add<T>(out, vec::load16(at<T>(north, b * lanes)));
        vec::store16(at<T>(dst, b * lanes), out);
    }
    const size_t done = blocks * lanes;
    carry = static_cast<T>(_mm_cvtsi128_si64(running));
    return scan_portable<T, Zig>(at<T>(dst, done), at<T>(codes, done),
                                 North ? at<T>(north, done) : nullptr, n - done, carry);
}

template <Element T, bool Zig, bool North>
VARDA_AVX2 inline T scan_avx2(void *dst, const void *codes, const void *north, size_t n, T carry) {
    constexpr size_t lanes = 32 / sizeof(T);
    const size_t blocks = n / lanes;
    const vec::PrefixAvx2<T> prefix;
    __m256i running = vec::splat256<T>(carry);
    for (size_t b = 0; b < blocks; ++b) {
        __m256i r = vec::load32(at<T>(codes, b * lanes));
        if constexpr (Zig) r = vec::unzigzag<T>(r);
        __m256i total;
        const __m256i sums = prefix(r, total);
        __m256i out = vec::add<T>(sums, running);
        running = vec::add<T>(running, total);
        if constexpr (North) out = vec::add<T>(out, vec::load32(at<T>(north, b * lanes)));
        vec::store32(at<T>(dst, b * lanes), out);
    }
    const size_t done = blocks * lanes;
    carry = static_cast<T>(_mm_cvtsi128_si64(_mm256_castsi256_si128(running)));
    return scan_portable<T, Zig>(at<T>(dst, done), at<T>(codes, done),
                                 North ? at<T>(north, done) : nullptr, n - done, carry);
}

// The row functions by name: first rows (seeded with W) and later rows.
VARDA_AVX2 inline uint8_t varda_scan8_avx2(void *d, const void *s, size_t n, uint8_t seed) {
    return scan_avx2<uint8_t, false, false>(d, s, nullptr, n, seed);
}
VARDA_AVX2 inline uint16_t varda_scan16_avx2(void *d, const void *s, size_t n, uint16_t seed) {
    return scan_avx2<uint16_t, false, false>(d, s, nullptr, n, seed);
}
VARDA_AVX2 inline uint32_t varda_scan32_avx2(void *d, const void *s, size_t n, uint32_t seed) {
    return scan_avx2<uint32_t, false, false>(d, s, nullptr, n, seed);
}
VARDA_AVX2 inline uint8_t frow8_avx2(void *d, const void *s, const void *north, size_t n,
                                     uint8_t seed) {
    return scan_avx2<uint8_t, false, true>(d, s, north, n, seed);
}
VARDA_AVX2 inline uint16_t frow16_avx2(void *d, const void *s, const void *north, size_t n,
                                       uint16_t seed) {
    return scan_avx2<uint16_t, false, true>(d, s, north, n, seed);
}
VARDA_AVX2 inline uint32_t frow32_avx2(void *d, const void *s, const void *north, size_t n,
                                       uint32_t seed) {
    return scan_avx2<uint32_t, false, true>(d, s, north, n, seed);
}
VARDA_AVX2 inline uint8_t zscan8_avx2(void *d, const void *s, size_t n, uint8_t seed) {
    return scan_avx2<uint8_t, true, false>(d, s, nullptr, n, seed);
}
VARDA_AVX2 inline uint16_t zscan16_avx2(void *d, const void *s, size_t n, uint16_t seed) {
    return scan_avx2<uint16_t, true, false>(d, s, nullptr, n, seed);
}
VARDA_AVX2 inline uint32_t zscan32_avx2(void *d, const void *s, size_t n, uint32_t seed) {
    return scan_avx2<uint32_t, true, false>(d, s, nullptr, n, seed);
}
VARDA_AVX2 inline uint8_t zfrow8_avx2(void *d, const void *s, const void *north, size_t n,
                                      uint8_t seed) {
    return scan_avx2<uint8_t, true, true>(d, s, north, n, seed);
}
VARDA_AVX2 inline uint16_t zfrow16_avx2(void *d, const void *s, const void *north, size_t n,
                                        uint16_t seed) {
    return scan_avx2<uint16_t, true, true>(d, s, north, n, seed);
}
VARDA_AVX2 inline uint32_t zfrow32_avx2(void *d, const void *s, const void *north, size_t n,
                                        uint32_t seed) {
    return scan_avx2<uint32_t, true, true>(d, s, north, n, seed);
}

template <Element T, bool Zig>
inline T scan_row_avx2(void *dst, const void *codes, const void *north, size_t n, T seed) {
    if constexpr (sizeof(T) == 1) {
        if constexpr (Zig)
            return north ? zfrow8_avx2(dst, codes, north, n, seed)
                         : zscan8_avx2(dst, codes, n, seed);
        else
            return north ? frow8_avx2(dst, codes, north, n, seed)
                         : varda_scan8_avx2(dst, codes, n, seed);
    } else if constexpr (sizeof(T) == 2) {
        if constexpr (Zig)
            return north ? zfrow16_avx2(dst, codes, north, n, seed)
                         : zscan16_avx2(dst, codes, n, seed);
        else
            return north ? frow16_avx2(dst, codes, north, n, seed)
                         : varda_scan16_avx2(dst, codes, n, seed);
    } else {
        if constexpr (Zig)
            return north ? zfrow32_avx2(dst, codes, north, n, seed)
                         : zscan32_avx2(dst, codes, n, seed);
        else
            return north ? frow32_avx2(dst, codes, north, n, seed)
                         : varda_scan32_avx2(dst, codes, n, seed);
    }
}

#endif

// One row piece on the given path. `north` is null on a plane's first row.
// 8-byte elements are scalar on every path.
template <Element T, bool Zig>
inline T scan_row(void *dst, const void *codes, const void *north, size_t n, T seed, bool avx2) {
#if VARDA_X86
    if constexpr (sizeof(T) < 8) {
        if (avx2) return scan_row_avx2<T, Zig>(dst, codes, north, n, seed);
        return north ? scan_sse2<T, Zig, true>(dst, codes, north, n, seed)
                     : scan_sse2<T, Zig, false>(dst, codes, nullptr, n, seed);
    }
#endif
    (void)avx2;
    return scan_portable<T, Zig>(dst, codes, north, n, seed);
}

} // namespace varda
