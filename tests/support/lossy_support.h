// Rasters for the lossy quantisers: samples of any dtype from doubles, and
// random rasters of the kinds that break bounds.
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

// A double as a sample: saturated for the integers, binary16 by the
// library's own narrowing rule.
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

inline Bytes raster_of(uint32_t dtype, const std::vector<double> &values) {
    Bytes out(values.size() * dtype_bytes(dtype) + 1); // + 1: never a null data()
    varda::with_dtype(dtype, 0, [&]<varda::Sample S>() {
        for (size_t i = 0; i < values.size(); ++i)
            varda::store_sample<S>(out.data(), i, sample_from<S>(values[i]));
        return 0;
    });
    out.pop_back();
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

// A smooth field with noise, `side` x `side` samples: whole numbers for the
// integer types, hundredths of them (0 .. 250 or so) for the float types.
inline Bytes smooth_raster(uint32_t dtype, size_t side, uint32_t seed = 1) {
    std::mt19937_64 rng(seed);
    std::vector<double> values(side * side);
    for (size_t i = 0; i < values.size(); ++i) {
        const size_t r = i / side, c = i % side;
        const double v = double(1000 + 5 * r + 3 * c + (r * c) / 64 + rng() % 7);
        values[i] = dtype >= 8 ? v / 100 : v;
    }
    return raster_of(dtype, values);
}

enum class Raster {
    bits,      // uniform random bytes: every pattern, for floats every class
    mixed,     // values spread over magnitudes, with the type's extremes,
               // zeros, subnormals, infinities and NaN mixed in
    subnormal, // floats: subnormals and zeros only
};

// Raw generator bits only: the standard's distributions differ between
// libraries, and golden streams are built from these rasters.
inline Bytes random_raster(uint32_t dtype, size_t count, uint32_t seed, Raster kind) {
    std::mt19937_64 rng(seed);
    if (kind == Raster::bits) {
        Bytes out(count * dtype_bytes(dtype));
        for (auto &b : out) b = static_cast<unsigned char>(rng());
        return out;
    }
    const bool is_float = dtype >= 8;
    const double tiny = dtype == 8 ? 0x1p-24 : dtype == 9 ? 0x1p-149 : 0x1p-1074;
    const double bits = double(8 * dtype_bytes(dtype));
    const double extremes[] = {INFINITY, -INFINITY, NAN, 1e300, -1e300, 0.0, 1.0, -1.0};
    std::vector<double> values(count);
    for (double &v : values) {
        const double unit = double(rng() >> 11) * 0x1p-53;
        const uint64_t pick = rng() % 16;
        if (kind == Raster::subnormal)
            v = double(rng() % 1024) * tiny * (pick & 1 ? -1 : 1);
        else if (pick < 10)
            v = is_float ? std::ldexp(unit, int(rng() % 48) - 24) * (pick & 1 ? -1 : 1)
                         : std::ldexp(unit, int(rng() % uint64_t(bits))) * (pick & 1 ? -1 : 1);
        else if (pick < 12)
            v = is_float ? double(rng() % 1000) * tiny : std::floor(unit * 300);
        else
            v = extremes[rng() % 8]; // saturate to the type's ends for integers
    }
    return raster_of(dtype, values);
}

} // namespace vt
