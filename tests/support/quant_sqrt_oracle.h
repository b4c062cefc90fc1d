// The noise fit's block statistics straight from their definition, and
// rasters with shot noise of a chosen curve in every sample type.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "frame/half.h"
#include "support/support.h"

namespace vt {

// Sample sizes by dtype code.
inline constexpr size_t dtype_bytes[11] = {1, 2, 4, 8, 1, 2, 4, 8, 2, 4, 8};

struct RefBlock {
    double mean, variance;
};

// Every 8 x 8 block of a raster of doubles whose second differences are all
// finite, band by band, left to right.
inline std::vector<RefBlock> ref_blocks(const std::vector<double> &px, size_t width,
                                        size_t rows) {
    std::vector<RefBlock> out;
    auto at = [&](size_t r, size_t c) { return px[r * width + c]; };
    for (size_t top = 1; top + 8 < rows; top += 8) {
        for (size_t left = 1; left + 8 < width; left += 8) {
            double sum = 0, total = 0;
            bool finite = true;
            for (size_t r = top; r < top + 8; ++r) {
                for (size_t c = left; c < left + 8; ++c) {
                    const double d = 4 * at(r, c) -
                                     2 * (at(r - 1, c) + at(r + 1, c) + at(r, c - 1) +
                                          at(r, c + 1)) +
                                     (at(r - 1, c - 1) + at(r - 1, c + 1) + at(r + 1, c - 1) +
                                      at(r + 1, c + 1));
                    finite = finite && std::isfinite(d);
                    sum += at(r, c);
                    total += d * d;
                }
            }
            if (finite) out.push_back({sum / 64, total / 2304 / 0.624732});
        }
    }
    return out;
}

// Stores a double into a sample of `dtype`, rounding and clamping integers.
inline void put_sample(unsigned char *dst, unsigned dtype, double v) {
    auto put = [&](auto x) { std::memcpy(dst, &x, sizeof x); };
    auto clamp = [&](double lo, double hi) {
        return std::isnan(v) ? 0.0 : std::fmin(std::fmax(std::round(v), lo), hi);
    };
    switch (dtype) {
    case 0: put(uint8_t(clamp(0, 255))); break;
    case 1: put(uint16_t(clamp(0, 65535))); break;
    case 2: put(uint32_t(clamp(0, 4294967295.0))); break;
    case 3: put(uint64_t(clamp(0, 18446744073709549568.0))); break;
    case 4: put(int8_t(clamp(-128, 127))); break;
    case 5: put(int16_t(clamp(-32768, 32767))); break;
    case 6: put(int32_t(clamp(-2147483648.0, 2147483647.0))); break;
    case 7: put(int64_t(clamp(-9223372036854775808.0, 9223372036854774784.0))); break;
    case 8: put(varda::float_to_half(float(v))); break;
    case 9: put(float(v)); break;
    default: put(v); break;
    }
}

inline double get_sample(const unsigned char *src, unsigned dtype) {
    auto get = [&](auto x) {
        std::memcpy(&x, src, sizeof x);
        return double(x);
    };
    switch (dtype) {
    case 0: return get(uint8_t());
    case 1: return get(uint16_t());
    case 2: return get(uint32_t());
    case 3: return get(uint64_t());
    case 4: return get(int8_t());
    case 5: return get(int16_t());
    case 6: return get(int32_t());
    case 7: return get(int64_t());
    case 8: {
        uint16_t h;
        std::memcpy(&h, src, 2);
        return varda::half_to_float(h);
    }
    case 9: return get(float());
    default: return get(double());
    }
}

// A ramp from `lo` to `hi` along the columns plus Gaussian noise of
// variance a + b x. A linear ramp is invisible to the second difference.
inline Bytes shot_raster(unsigned dtype, size_t width, size_t rows, double lo, double hi, double a,
                         double b, uint32_t seed) {
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> unit(0.0, 1.0);
    Bytes out(width * rows * dtype_bytes[dtype]);
    for (size_t r = 0; r < rows; ++r) {
        for (size_t c = 0; c < width; ++c) {
            const double signal = lo + (hi - lo) * double(c) / double(width - 1);
            const double noise = unit(rng) * std::sqrt(a + b * signal);
            put_sample(out.data() + (r * width + c) * dtype_bytes[dtype], dtype, signal + noise);
        }
    }
    return out;
}

} // namespace vt
