// The static weighted predictor straight from its definition: exact 128-bit
// sums reduced modulo 2^64, then a floor division by 2^shift.
#pragma once

#include <cmath>
#include <cstdint>

#include "support/oracle.h"
#include "support/support.h"

namespace vt {

inline Elems ref_wp_encode(const Elems &x, size_t width, const int16_t w[4], unsigned shift) {
    const uint64_t m = mask_of(x.elem_size);
    const auto value = [&](size_t r, size_t c, long dr, long dc) -> __int128 {
        const long rr = long(r) + dr, cc = long(c) + dc;
        if (rr < 0 || cc < 0 || cc >= long(width)) return 0;
        return __int128(x.get(size_t(rr) * width + size_t(cc)));
    };
    Elems e(x.elem_size, x.count());
    for (size_t i = 0; i < x.count(); ++i) {
        const size_t r = i / width, c = i % width;
        __int128 sum = shift ? __int128(1) << (shift - 1) : 0;
        sum += w[0] * value(r, c, -1, 0) + w[1] * value(r, c, -1, -1) + w[2] * value(r, c, -1, 1) +
               w[3] * value(r, c, -2, 0);
        const auto wrapped = int64_t(uint64_t(sum));
        const auto term = uint64_t(wrapped >> shift);
        const uint64_t west = c ? x.get(i - 1) : 0;
        e.set(i, (x.get(i) - west - term) & m);
    }
    return e;
}

// Bits per sample of the zigzag residual bytes, byte position by byte
// position.
inline double ref_entropy_cost(const Elems &residuals) {
    const uint64_t es = residuals.elem_size;
    std::vector<uint32_t> hist(8 * 256);
    for (size_t i = 0; i < residuals.count(); ++i) {
        const uint64_t z = ref_zigzag(residuals.get(i), es);
        for (uint64_t b = 0; b < es; ++b) ++hist[b * 256 + ((z >> (8 * b)) & 0xFF)];
    }
    const double inv = 1.0 / double(residuals.count());
    double cost = 0.0;
    for (uint64_t b = 0; b < es; ++b) {
        double sum = 0.0;
        for (size_t v = 0; v < 256; ++v) {
            if (!hist[b * 256 + v]) continue;
            const double p = double(hist[b * 256 + v]) * inv;
            sum += p * std::log2(p);
        }
        cost += -sum;
    }
    return cost;
}

} // namespace vt
