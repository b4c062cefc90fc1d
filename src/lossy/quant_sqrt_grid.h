// The square-root grid as the encoder and decoder use it: index k stands
// for (k step)^2 - offset, so a uniform grid on sqrt(x + offset) has bins
// that widen with the shot noise.
#pragma once

#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include <type_traits>

#include "frame/dtype.h"
#include "frame/half.h"
#include "frame/sample.h"
#include "lossy/lossy_common.h"
#include "varda_kernels.h"

namespace varda {

constexpr uint8_t sqrt_mode_no_negatives = 1;
constexpr uint8_t sqrt_mode_values = 2;
constexpr uint8_t sqrt_mode_single = 4; // f32 rebuilt in binary32 arithmetic
constexpr double two_to_53 = 9007199254740992.0;

inline double sqrt_largest(uint32_t dtype) {
    return dtype == dtype_f64 ? DBL_MAX : dtype_max[dtype];
}
inline double sqrt_lowest(uint32_t dtype) {
    return dtype < dtype_i8 ? 0.0 : dtype_min[dtype - dtype_i8];
}
// The largest index an element of the type may carry.
inline double sqrt_top_level(uint32_t dtype) {
    return dtype == dtype_f64 ? two_to_53 : dtype_max_exact_level[dtype];
}

// The checks the encoder and decoder share; nothing is written on failure.
inline bool sqrt_grid_usable(const quant_grid *grid, uint64_t dtype) {
    if (grid == nullptr || !valid_dtype(dtype) || grid->mode > 7) return false;
    if ((grid->mode & sqrt_mode_single) && dtype != dtype_f32) return false;
    const double step = grid->step, offset = grid->offset;
    // step^2 must stay normal: its reciprocal scales every sample.
    if (!std::isfinite(step) || !(step > 0.0) || !(step * step >= 2.2250738585072014e-308))
        return false;
    return std::isfinite(offset) && offset >= 0.0;
}

// Grid indices travel as unsigned integers of the sample's width.
template <Sample S> using SqrtIndex = std::make_unsigned_t<StreamInt<S>>;

struct SqrtGrid {
    double step, offset;
    double low, high; // reconstructions clamp to [low, high]
    double top;       // the top index J
    uint64_t top_index;
    bool values, single;
    // The same in binary32, for f16 and single-precision rebuilds.
    float step32, offset32, low32, high32;
};

inline SqrtGrid sqrt_grid(const quant_grid &grid, uint32_t dtype) {
    SqrtGrid g;
    g.step = grid.step;
    g.offset = grid.offset;
    g.values = (grid.mode & sqrt_mode_values) != 0;
    g.single = (grid.mode & sqrt_mode_single) != 0;
    g.low = (grid.mode & sqrt_mode_no_negatives) ? 0.0 : sqrt_lowest(dtype);
    g.high = sqrt_largest(dtype);
    const double limit = g.values ? two_to_53 : sqrt_top_level(dtype);
    const double reach = std::sqrt(g.high + g.offset) / g.step;
    g.top = reach < limit ? std::fmin(limit, std::ceil(reach) + 1.0) : limit;
    g.top_index = uint64_t(g.top);
    g.step32 = float(g.step);
    g.offset32 = float(g.offset);
    g.low32 = float(g.low);
    g.high32 = float(g.high);
    return g;
}

// The grid index of x; `scale` is 1 / step^2. NaN and -inf give 0, +inf J.
inline uint64_t sqrt_index(double x, const SqrtGrid &g, double scale) {
    const double q = (x + g.offset) * scale;
    if (!(q > 0.25)) return 0;
    const double r = std::sqrt(q - 0.25) + 0.5;
    return r >= g.top ? g.top_index : uint64_t(r);
}

// Reconstruction of index k in double, clamped.
inline double sqrt_rebuild(uint64_t k, const SqrtGrid &g) {
    const double root = double(k) * g.step;
    const double y = root * root - g.offset;
    return g.low < y ? std::fmin(y, g.high) : g.low;
}

// The same in binary32 arithmetic.
inline float sqrt_rebuild32(uint64_t k, const SqrtGrid &g) {
    const float root = float(k) * g.step32;
    const float y = root * root - g.offset32;
    return g.low32 < y ? std::fmin(y, g.high32) : g.low32;
}

inline double round_half_away(double y) {
    return y >= 0.0 ? std::floor(y + 0.5) : -std::floor(0.5 - y);
}

// The clamped reconstruction of index k in the arithmetic its sample type
// rebuilds in: binary32 for f16 and for f32 on a single-precision grid,
// double otherwise. The encoder's value streams and the decoder both start
// here, so the two cannot drift apart.
template <Sample S> double sqrt_level(uint64_t k, const SqrtGrid &g) {
    if constexpr (std::is_same_v<S, Half>)
        return sqrt_rebuild32(k, g);
    else if constexpr (std::is_same_v<S, float>)
        return g.single ? sqrt_rebuild32(k, g) : sqrt_rebuild(k, g);
    else
        return sqrt_rebuild(k, g);
}

// The sample that index k decodes to in index mode.
template <Sample S> S sqrt_decode_index(uint64_t k, const SqrtGrid &g) {
    if constexpr (std::is_integral_v<S>)
        return S(round_half_away(sqrt_level<S>(k, g)));
    else
        return from_double<S>(sqrt_level<S>(k, g));
}

// 3 x 2^-52: what the index search may be off by, per unit of the root.
constexpr double sqrt_search_rounding = 6.661338147750939e-16;

// Whether `error` at x is inside the error model of the grid: for integers
// the bound itself, 2 step sqrt(x + offset); for floats its lower estimate
// from the step and the rounding the resolver left room for, the output
// rounding u |x|, or 8 u (x + offset) for a rebuild in binary32
// arithmetic. `variance` is x + offset.
template <Sample S>
bool sqrt_within_model(double error, double x, double variance, const SqrtGrid &g) {
    const double step_squared = g.step * g.step;
    if constexpr (std::is_integral_v<S>) {
        return error * error <= 4.0 * step_squared * variance;
    } else {
        const double output =
            g.single ? 8.0 * unit_roundoff<S>() * variance : unit_roundoff<S>() * std::fabs(x);
        const double rounding = output + sqrt_search_rounding * variance;
        const double rest = error - rounding;
        return rest <= 0.0 || rest * rest <= step_squared * variance;
    }
}

// Index k of x, or the level beside it when k's reconstruction lands
// outside the grid's error model and the neighbour's does not.
template <Sample S> uint64_t sqrt_settle(uint64_t k, double x, const SqrtGrid &g) {
    const double variance = x + g.offset;
    // Index 0 below -offset and the non-finite samples stay as they are.
    if (!(variance > 0.0) || !std::isfinite(x)) return k;
    auto fits = [&](uint64_t j) {
        const double rebuilt = to_double(sqrt_decode_index<S>(j, g));
        return sqrt_within_model<S>(std::fabs(x - rebuilt), x, variance, g);
    };
    if (fits(k)) return k;
    if (k > 0 && fits(k - 1)) return k - 1;
    if (k < g.top_index && fits(k + 1)) return k + 1;
    return k;
}

} // namespace varda
