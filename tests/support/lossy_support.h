// Rasters for the lossy quantisers: samples of any dtype built from
// doubles, and random rasters of the shapes that break bounds (extremes,
// subnormals, infinities, NaN).
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "frame/half.h"
#include "frame/sample.h"
#include "support/support.h"

namespace vt {

inline constexpr uint32_t dtypes[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
inline constexpr const char *dtype_names[] = {"u8",  "u16", "u32", "u64", "i8", "i16",
                                              "i32", "i64", "f16", "f32", "f64"};

inline size_t dtype_bytes(uint32_t dtype) {
    static constexpr size_t sizes[] = {1, 2, 4, 8, 1, 2, 4, 8, 2, 4, 8};
    return sizes[dtype];
}
inline bool dtype_is_float(uint32_t dtype) { return dtype >= 8; }

// A double into the sample type, saturating for the integers; binary16 by
// the library's own narrowing rule.
template <varda::Sample S> S sample_from(double v) {
    if constexpr (std::is_same_v<S, varda::Half>) {
        return varda::Half{varda::float_to_half(float(v))};
    } else if constexpr (std::is_integral_v<S>) {
        if (std::isnan(v)) return 0;
        if (v <= double(std::numeric_limits<S>::min())) return std::numeric_limits<S>::min();
        if (v >= double(std::numeric_limits<S>::max())) return std::numeric_limits<S>::max();
        return S(v);
    } else {
        return S(v);
    }
}

// Samples of `dtype` from doubles.
inline Bytes raster_of(uint32_t dtype, const std::vector<double> &values) {
    Bytes out(values.size() * dtype_bytes(dtype));
    varda::with_dtype(dtype, 0, [&]<varda::Sample S>() {
        for (size_t i = 0; i < values.size(); ++i)
            varda::store_sample<S>(out.data(), i, sample_from<S>(values[i]));
        return 0;
    });
    return out;
}

inline double sample_at(uint32_t dtype, const Bytes &raster, size_t i) {
    return varda::with_dtype(dtype, 0.0, [&]<varda::Sample S>() {
        return varda::to_double(varda::load_sample<S>(raster.data(), i));
    });
}

inline quant_grid grid_of(uint8_t mode, double step) {
    quant_grid grid{};
    grid.mode = mode;
    grid.step = step;
    return grid;
}

// Stream elements as 64-bit values: signed for the signed and float types.
inline std::vector<int64_t> stream_values(uint32_t dtype, const Bytes &stream) {
    const size_t es = dtype_bytes(dtype);
    std::vector<int64_t> out;
    for (size_t i = 0; i < stream.size() / es; ++i) {
        int64_t v = 0;
        std::memcpy(&v, stream.data() + i * es, es);
        if (dtype >= 4) v = (v << (64 - 8 * es)) >> (64 - 8 * es);
        out.push_back(v);
    }
    return out;
}

enum class Raster {
    bits,      // uniform random bytes: every pattern, for floats every class
    mixed,     // moderate values with extremes, zeros, subnormals, inf, NaN
    positive,  // non-negative values of moderate size
    subnormal, // floats: subnormals and zeros only
};

inline Bytes random_raster(uint32_t dtype, size_t count, uint32_t seed, Raster kind) {
    std::mt19937_64 rng(seed);
    Bytes out(count * dtype_bytes(dtype));
    if (kind == Raster::bits) {
        for (auto &b : out) b = static_cast<unsigned char>(rng());
        return out;
    }
    varda::with_dtype(dtype, 0, [&]<varda::Sample S>() {
        const bool is_float = !std::is_integral_v<S>;
        double top, bottom;
        if constexpr (std::is_integral_v<S>) {
            top = double(std::numeric_limits<S>::max());
            bottom = double(std::numeric_limits<S>::min());
        } else {
            top = sizeof(S) == 2   ? 65504.0
                  : sizeof(S) == 4 ? double(std::numeric_limits<float>::max())
                                   : std::numeric_limits<double>::max();
            bottom = -top;
        }
        const double tiny = sizeof(S) == 2 ? 0x1p-24 : sizeof(S) == 4 ? 0x1p-149 : 0x1p-1074;
        for (size_t i = 0; i < count; ++i) {
            // Raw generator bits only: the standard's distributions differ
            // between libraries, and golden streams are built from these.
            const double u = double(rng() >> 11) * 0x1p-53;
            const uint64_t pick = rng() % 16;
            double v;
            if (kind == Raster::subnormal) {
                const uint64_t units = rng() % (sizeof(S) == 2 ? 1024 : 1u << 23);
                v = pick < 2 ? 0.0 : double(units) * tiny * (pick & 1 ? -1 : 1);
            } else if (kind == Raster::positive) {
                v = is_float ? std::ldexp(u, int(rng() % 20)) : std::floor(u * std::min(top, 1e4));
            } else if (pick < 9) { // moderate, spread over magnitudes for floats
                const double mag = is_float ? std::ldexp(u, int(rng() % 40) - 20)
                                            : std::floor(u * std::min(top, 1e6));
                v = (rng() & 1) && bottom < 0 ? -mag : mag;
            } else {
                switch (pick) {
                case 9: v = top; break;
                case 10: v = bottom; break;
                case 11: v = 0.0; break;
                case 12: v = is_float ? double(rng() % 1000) * tiny : 1.0; break;
                case 13: v = is_float ? -INFINITY : bottom + 1; break;
                case 14: v = is_float ? INFINITY : top - 1; break;
                default: v = is_float ? NAN : std::ldexp(1.0, int(rng() % (8 * sizeof(S) - 1)));
                }
            }
            varda::store_sample<S>(out.data(), i, sample_from<S>(v));
        }
        return 0;
    });
    return out;
}

} // namespace vt
