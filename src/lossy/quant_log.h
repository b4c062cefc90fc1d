// What the LOG scan, resolver, encoder and decoder share: the fast base-2
// logarithm and exponential, whose every operation is fixed because the
// streams depend on their last bits, and the per-type constants of the log
// grid.
#pragma once

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "frame/dtype.h"
#include "varda_kernels.h"

namespace varda {

// Entry i: 128 / (129 + 2i) and log2((129 + 2i) / 128), correctly rounded:
// the reciprocal and the logarithm of the midpoint of the i-th of 64 equal
// slices of [1, 2).
extern const double qlog_mrc[64];
extern const double qlog_mlg[64];

// log2(x) + 1023 + z for a finite x > 0, from the slice of the significand
// and a degree-6 series of ln(1 + r) around the slice's midpoint.
inline double flog2(double x, int64_t z) {
    uint64_t bits = std::bit_cast<uint64_t>(x);
    int64_t e = int64_t(bits >> 52) & 0x7FF, k = 0;
    if (e == 0) { // subnormal: scale into the normal range, exactly
        bits = std::bit_cast<uint64_t>(x * 0x1p54);
        e = int64_t(bits >> 52) & 0x7FF;
        k = 54;
    }
    const uint64_t fraction = bits & ((uint64_t(1) << 52) - 1);
    const unsigned slice = unsigned(fraction >> 46);
    const double m = std::bit_cast<double>((uint64_t(1023) << 52) | fraction);
    const double r = m * qlog_mrc[slice] - 1.0;
    const double rr = r * r;
    const double series = ((((0.3333333333333333 - 0.25 * r) * rr) + (1.0 - 0.5 * r)) +
                           (rr * rr) * (0.2 - r * 0.16666666666666666)) *
                          r;
    return (double(e - k + z) + qlog_mlg[slice]) + series * 1.4426950408889634;
}

// 2^y for -1200 < y < 1024: a Taylor polynomial of e^t on the distance to
// the nearest integer, then scaled by powers of two that stay in range.
inline double fexp2(double y) {
    const double n = y >= 0 ? std::trunc(y + 0.5) : -std::trunc(0.5 - y);
    const double t = (y - n) * 0.6931471805599453;
    static constexpr double coefficients[] = {
        2.08767569878681e-9,
        2.505210838544172e-8,
        2.755731922398589e-7,
        2.7557319223985893e-6,
        2.48015873015873e-5,
        0.0001984126984126984,
        0.001388888888888889,
        0.008333333333333333,
        0.041666666666666664,
        0.16666666666666666,
        0.5,
        1.0,
        1.0,
    };
    double q = 1.6059043836821613e-10;
    for (const double c : coefficients) q = q * t + c;
    int exponent = int(n);
    while (exponent > 1023) {
        q *= 0x1p1023;
        exponent -= 1023;
    }
    while (exponent < -1022) {
        q *= 0x1p-1022;
        exponent += 1022;
    }
    return q * std::bit_cast<double>(uint64_t(exponent + 1023) << 52);
}

// Float types: -log2 of the smallest subnormal, the log range above it, and
// the largest index a stream element may carry. Indexed by dtype - 8.
constexpr double log_offset[3] = {24, 149, 1074};
constexpr double log_range[3] = {40, 277, 2098};
constexpr double log_index_limit[3] = {32767, 2147483647, 0x1p53};

// Significant bits of a value-mode reconstruction, by dtype.
constexpr double log_value_bits[dtype_count] = {8, 16, 32, 64, 8, 16, 32, 64, 11, 24, 53};

// Largest magnitude of a value-mode reconstruction, by dtype; signed
// integer types cap positive values further at their largest value.
constexpr double log_value_cap[dtype_count] = {
    255.0,  65535.0,    4294967295.0, 18446744073709549568.0,
    128.0,  32768.0,    2147483648.0, 9223372036854775808.0,
    2048.0, 16777216.0, 0x1p53,
};

// The grid tests the encoder and the decoder share: a step in
// (0, largest double], the two mode bits, value mode for integer types.
inline bool log_grid_valid(const quant_grid *grid, uint64_t dtype) {
    if (grid == nullptr || !valid_dtype(dtype)) return false;
    if (!(grid->step > 0 && grid->step <= 1.7976931348623157e308) || grid->mode > 3) return false;
    return is_float(uint32_t(dtype)) || (grid->mode & 2) != 0;
}

// The kernels with their tables (and the decoder's vector loops) on or off;
// the exported kernels use them where they can. The bytes are the same.
int quant_log_encode_with(void *dst, const void *src, const quant_grid *grid, uint64_t dtype,
                          size_t count, bool table);
int quant_log_decode_with(void *dst, const void *src, const quant_grid *grid, uint64_t dtype,
                          size_t count, bool vector, bool table);

} // namespace varda
