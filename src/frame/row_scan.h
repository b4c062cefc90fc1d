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
//
// scan_row takes one piece; scan_rows takes whole rows and, on AVX2, sums
// two rows in one pass: chained rows as the planar predictors have them
// (each row the north row of the next), or independent rows as in the west
// delta.
#pragma once

#include <utility>

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

// ---- AVX2 -----------------------------------------------------------------
// Two ways to sum a 32-byte block. The block prefix (vec::PrefixAvx2) forms
// the block's own prefix sum and carries its total into the next block. The
// sliding window instead adds the register moved up by 1, 2, 4 ... lanes,
// the lanes that move in taken from the register at the same step one block
// earlier, until every lane holds the sum of the last L residuals up to its
// column; the running value is then the stride-L recurrence y(c) = y(c - L)
// + window(c), whose only serial link is one add. Inside 16-byte halves the
// window needs no shuffle across them, which suits two rows side by side;
// along one row it needs one per step.

namespace scan_detail {

// Window steps inside one 16-byte half: log2 of its lanes.
template <Element T> constexpr int half_steps = sizeof(T) == 1 ? 4 : sizeof(T) == 2 ? 3 : 2;

// Two rows of 512 2-byte samples ahead: far enough to arrive in time, near
// enough to stay in the first-level cache until used.
inline constexpr size_t prefetch_ahead = 2048;

// A hint only: the address may lie past the end of the buffer, so it is
// formed as an integer rather than by pointer arithmetic.
[[gnu::always_inline]] VARDA_AVX2 inline void prefetch(const void *base, size_t offset) {
    const uintptr_t address = reinterpret_cast<uintptr_t>(base) + offset;
    _mm_prefetch(reinterpret_cast<const char *>(address), // NOLINT(performance-no-int-to-ptr)
                 _MM_HINT_T0);
}

template <Element T> inline T last_lane(__m128i x) {
    return static_cast<T>(_mm_cvtsi128_si64(_mm_srli_si128(x, 16 - int(sizeof(T)))));
}

// x plus x moved up by `Shift` lanes inside each 16-byte half, the lanes
// that move in taken from the top of `before`'s half.
template <Element T, int Shift> VARDA_AVX2 inline __m256i slide_add(__m256i x, __m256i before) {
    return vec::add<T>(x, _mm256_alignr_epi8(x, before, 16 - Shift * int(sizeof(T))));
}

// The registers of one block at every step, kept for the next block. Loops
// alternate between two of these so that no register is copied.
template <int Steps> using Steps256 = __m256i[Steps];

// Two independent streams, one per 16-byte half: each lane ends up with the
// sum of the last 16 bytes' worth of residuals of its own stream.
template <Element T>
VARDA_AVX2 inline __m256i half_window(__m256i x, const Steps256<half_steps<T>> &before,
                                      Steps256<half_steps<T>> &mine) {
    [&]<int... K>(std::integer_sequence<int, K...>) VARDA_AVX2 {
        ((mine[K] = x, x = slide_add<T, (1 << K)>(x, before[K])), ...);
    }
    (std::make_integer_sequence<int, half_steps<T>>{});
    return x;
}

// One stream over the whole register: the low half continues the previous
// block's high half, and a last step adds the other half.
template <Element T>
VARDA_AVX2 inline __m256i row_window(__m256i x, const Steps256<half_steps<T> + 1> &before,
                                     Steps256<half_steps<T> + 1> &mine) {
    [&]<int... K>(std::integer_sequence<int, K...>) VARDA_AVX2 {
        ((mine[K] = x,
          x = slide_add<T, (1 << K)>(x, _mm256_permute2x128_si256(before[K], x, 0x21))),
         ...);
    }
    (std::make_integer_sequence<int, half_steps<T>>{});
    constexpr int last = half_steps<T>;
    mine[last] = x;
    return vec::add<T>(x, _mm256_permute2x128_si256(before[last], x, 0x21));
}

// step(i, before, mine) for i = 0 .. count - 1, unrolled by four, the two
// sets of step registers taking turns as the previous block's and this
// one's, so that none is copied. Every four blocks, the streams in `ahead`
// that are not null are fetched well before they are needed (16-byte
// blocks: the codes of the rows after a row pair).
template <class Steps, class Step>
[[gnu::always_inline]] VARDA_AVX2 inline void
alternate(size_t count, Steps &even, Steps &odd, const Step &step, const void *const (&ahead)[2]) {
    size_t i = 0;
    for (; i + 4 <= count; i += 4) {
        for (const void *stream : ahead)
            if (stream) prefetch(stream, 16 * i + prefetch_ahead);
        step(i, even, odd);
        step(i + 1, odd, even);
        step(i + 2, even, odd);
        step(i + 3, odd, even);
    }
    for (; i < count; i += 2) {
        step(i, even, odd);
        if (i + 1 < count) step(i + 1, odd, even);
    }
}

template <Element T, bool Zig> VARDA_AVX2 inline __m256i residuals(__m256i codes) {
    if constexpr (Zig)
        return vec::unzigzag<T>(codes);
    else
        return codes;
}

// 16 bytes of columns of rows r and r + 1: row r's residuals in the high
// half, the sum of both rows' residuals in the low half.
template <Element T, bool Zig>
VARDA_AVX2 inline __m256i pair_residuals(const unsigned char *row, const unsigned char *next) {
    if constexpr (Zig) {
        const __m256i both = vec::unzigzag<T>(_mm256_inserti128_si256(
            _mm256_castsi128_si256(vec::load16(next)), vec::load16(row), 1));
        return vec::add<T>(both, _mm256_permute2x128_si256(both, both, 0x81));
    } else {
        return vec::add<T>(_mm256_broadcastsi128_si256(vec::load16(row)),
                           _mm256_zextsi128_si256(vec::load16(next)));
    }
}

} // namespace scan_detail

// Each block's own prefix sum, with its total carried into the next: the
// block's work does not wait for the carry, so only one add is serial.
template <Element T, bool Zig, bool North>
VARDA_AVX2 inline T scan_prefix_avx2(void *dst, const void *codes, const void *north, size_t n,
                                     T carry) {
    constexpr size_t lanes = 32 / sizeof(T);
    const size_t blocks = n / lanes;
    const vec::PrefixAvx2<T> prefix;
    __m256i running = vec::splat256<T>(carry);
#pragma GCC unroll 2
    for (size_t b = 0; b < blocks; ++b) {
        const __m256i r = scan_detail::residuals<T, Zig>(vec::load32(at<T>(codes, b * lanes)));
        __m256i total;
        const __m256i sums = prefix(r, total);
        __m256i out = vec::add<T>(sums, running);
        running = vec::add<T>(running, total);
        if constexpr (North) out = vec::add<T>(out, vec::load32(at<T>(north, b * lanes)));
        vec::store32(at<T>(dst, b * lanes), out);
    }
    const size_t done = blocks * lanes;
    carry = scan_detail::last_lane<T>(_mm256_extracti128_si256(running, 1));
    return scan_portable<T, Zig>(at<T>(dst, done), at<T>(codes, done),
                                 North ? at<T>(north, done) : nullptr, n - done, carry);
}

// The window along one row.
template <Element T, bool Zig, bool North>
VARDA_AVX2 inline T scan_window_avx2(void *dst, const void *codes, const void *north, size_t n,
                                     T carry) {
    constexpr size_t lanes = 32 / sizeof(T);
    constexpr int steps = scan_detail::half_steps<T> + 1;
    const size_t blocks = n / lanes;
    __m256i running = vec::splat256<T>(carry);
    scan_detail::Steps256<steps> even{}, odd{};
    const auto block = [&](size_t b, const auto &before, auto &mine) VARDA_AVX2
        __attribute__((always_inline)) {
        const __m256i r = scan_detail::residuals<T, Zig>(vec::load32(at<T>(codes, b * lanes)));
        running = vec::add<T>(running, scan_detail::row_window<T>(r, before, mine));
        __m256i out = running;
        if constexpr (North) out = vec::add<T>(out, vec::load32(at<T>(north, b * lanes)));
        vec::store32(at<T>(dst, b * lanes), out);
    };
    const void *const ahead[2] = {nullptr, nullptr};
    scan_detail::alternate(blocks, even, odd, block, ahead);
    const size_t done = blocks * lanes;
    carry = scan_detail::last_lane<T>(_mm256_extracti128_si256(running, 1));
    return scan_portable<T, Zig>(at<T>(dst, done), at<T>(codes, done),
                                 North ? at<T>(north, done) : nullptr, n - done, carry);
}

// One row piece. With 8 lanes to a register the window takes fewer steps
// than the block prefix; with 16 or 32 it takes more, each with a shuffle
// across the halves, and the block prefix wins.
template <Element T, bool Zig, bool North>
VARDA_AVX2 inline T scan_avx2(void *dst, const void *codes, const void *north, size_t n, T carry) {
    if constexpr (sizeof(T) == 4)
        return scan_window_avx2<T, Zig, North>(dst, codes, north, n, carry);
    else
        return scan_prefix_avx2<T, Zig, North>(dst, codes, north, n, carry);
}

// Two rows r and r + 1 at once, each from column 0 with no seed, in the
// halves of one register: row r + 1 in the low half, row r in the high.
//
// Chained, as in the planar predictors: below the first row y(r, c) =
// y(r - 1, c) + prefix_c(r), so y(r + 1, c) = y(r - 1, c) + prefix_c(r +
// r + 1); the low half sums both rows' residuals, and the north row, added
// once, serves both. `north` is row r - 1, or null when r is a plane's
// first row. Not chained, as in the west delta: two independent prefix sums.
template <Element T, bool Zig, bool North, bool Chained>
VARDA_AVX2 inline void scan_pair_avx2(void *dst, const void *codes, const void *north,
                                      size_t width) {
    constexpr size_t lanes = 16 / sizeof(T);
    constexpr int steps = scan_detail::half_steps<T>;
    const size_t groups = width / lanes;
    unsigned char *const row = at<T>(dst, 0), *const next = at<T>(dst, width);
    const unsigned char *const in = at<T>(codes, 0), *const in_next = at<T>(codes, width);
    const auto *above = static_cast<const unsigned char *>(north);
    __m256i running = _mm256_setzero_si256();
    scan_detail::Steps256<steps> even{}, odd{};
    const auto group = [&](size_t g, const auto &before, auto &mine) VARDA_AVX2
        __attribute__((always_inline)) {
        const size_t off = 16 * g;
        __m256i r;
        if constexpr (Chained) {
            r = scan_detail::pair_residuals<T, Zig>(in + off, in_next + off);
        } else {
            r = _mm256_blend_epi32(_mm256_broadcastsi128_si256(vec::load16(in_next + off)),
                                   _mm256_broadcastsi128_si256(vec::load16(in + off)), 0xF0);
            r = scan_detail::residuals<T, Zig>(r);
        }
        running = vec::add<T>(running, scan_detail::half_window<T>(r, before, mine));
        __m256i out = running;
        if constexpr (North)
            out = vec::add<T>(out, _mm256_broadcastsi128_si256(vec::load16(above + off)));
        vec::store16(next + off, _mm256_castsi256_si128(out));
        vec::store16(row + off, _mm256_extracti128_si256(out, 1));
    };
    const void *const ahead[2] = {in, in_next};
    scan_detail::alternate(groups, even, odd, group, ahead);
    const size_t done = groups * lanes;
    if (done == width) return;
    const T carry = scan_detail::last_lane<T>(_mm256_extracti128_si256(running, 1));
    const T low = scan_detail::last_lane<T>(_mm256_castsi256_si128(running));
    const size_t skip = done * sizeof(T);
    scan_portable<T, Zig>(row + skip, in + skip, North ? above + skip : nullptr, width - done,
                          carry);
    if constexpr (Chained)
        scan_portable<T, Zig>(next + skip, in_next + skip, row + skip, width - done,
                              sub(low, carry));
    else
        scan_portable<T, Zig>(next + skip, in_next + skip, nullptr, width - done, low);
}

#endif

// One row piece on the given path. `north` is null on a plane's first row.
// 8-byte elements are scalar on every path.
template <Element T, bool Zig>
inline T scan_row(void *dst, const void *codes, const void *north, size_t n, T seed, bool avx2) {
#if VARDA_X86
    if constexpr (sizeof(T) < 8) {
        if (avx2)
            return north ? scan_avx2<T, Zig, true>(dst, codes, north, n, seed)
                         : scan_avx2<T, Zig, false>(dst, codes, nullptr, n, seed);
        return north ? scan_sse2<T, Zig, true>(dst, codes, north, n, seed)
                     : scan_sse2<T, Zig, false>(dst, codes, nullptr, n, seed);
    }
#endif
    (void)avx2;
    return scan_portable<T, Zig>(dst, codes, north, n, seed);
}

// Rows r and r + 1, each from column 0 with no seed. Chained rows are the
// planar kind: `north` is row r - 1, or null when r is a plane's first
// row, and row r is row r + 1's north. Rows that are not chained are
// independent running sums and `north` must be null.
template <Element T, bool Zig, bool Chained = true>
inline void scan_pair(void *dst, const void *codes, const void *north, size_t width, bool avx2) {
#if VARDA_X86
    if constexpr (sizeof(T) < 8) {
        if (avx2) {
            if (Chained && north)
                scan_pair_avx2<T, Zig, true, Chained>(dst, codes, north, width);
            else
                scan_pair_avx2<T, Zig, false, Chained>(dst, codes, nullptr, width);
            return;
        }
    }
#endif
    scan_row<T, Zig>(dst, codes, north, width, T(0), avx2);
    scan_row<T, Zig>(at<T>(dst, width), at<T>(codes, width), Chained ? dst : nullptr, width, T(0),
                     avx2);
}

// `rows` whole rows from column 0, chained or not as for scan_pair. The
// path is read once per row, before the row; two rows go through the pair
// loop when both are on the same path.
template <Element T, bool Zig, bool Chained = true>
inline void scan_rows(void *dst, const void *codes, const void *north, size_t width, size_t rows) {
    size_t r = 0;
    for (; r + 2 <= rows; r += 2) {
        const bool avx2 = use_avx2(), avx2_next = use_avx2();
        void *row = at<T>(dst, r * width);
        const void *in = at<T>(codes, r * width);
        if (avx2 == avx2_next) {
            scan_pair<T, Zig, Chained>(row, in, north, width, avx2);
        } else {
            scan_row<T, Zig>(row, in, north, width, T(0), avx2);
            scan_row<T, Zig>(at<T>(row, width), at<T>(in, width), Chained ? row : nullptr, width,
                             T(0), avx2_next);
        }
        if (Chained) north = at<T>(row, width);
    }
    if (r < rows)
        scan_row<T, Zig>(at<T>(dst, r * width), at<T>(codes, r * width), north, width, T(0),
                         use_avx2());
}

} // namespace varda
