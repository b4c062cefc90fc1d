// Square-root quantiser, encoder: each sample becomes its index on the
// sqrt(x + offset) grid, or, in value mode, the whole-number value that
// index rebuilds to.
//
// The index is the nearest grid level by the formula. Near a bin edge the
// arithmetic that finds it (and, for f16, the binary32 arithmetic the
// decoder rebuilds in) can land a reconstruction just outside the error
// the grid was resolved for; such a sample takes the level on the other
// side of the edge. Every other sample keeps the formula's index.
#include <cstdint>
#include <type_traits>

#include "frame/elem.h"
#include "frame/sample.h"
#include "lossy/quant_sqrt_grid.h"
#include "varda_kernels.h"

using namespace varda;

namespace {

// A float raster's value stream holds signed integers of the sample's
// width; a grid may rebuild to more than they hold, so saturate.
template <class Value> double saturate(double y) {
    constexpr double lowest = -double(uint64_t(1) << (8 * sizeof(Value) - 1));
    // The largest double that converts back without overflow.
    constexpr double highest = sizeof(Value) == 8 ? 9223372036854774784.0 : -lowest - 1.0;
    return y < lowest ? lowest : (y > highest ? highest : y);
}

// 3 x 2^-52: what the index search may be off by, per unit of the root.
constexpr double search_rounding = 6.661338147750939e-16;

// Whether `error` at x is inside the error model of the grid: for integers
// the bound itself, 2 step sqrt(x + offset); for floats its lower estimate
// from the step and the rounding the resolver left room for, the output
// rounding u |x|, or 8 u (x + offset) for a rebuild in binary32
// arithmetic. `variance` is x + offset.
template <Sample S> bool within_model(double error, double x, double variance, const SqrtGrid &g) {
    const double step_squared = g.step * g.step;
    if constexpr (std::is_integral_v<S>) {
        return error * error <= 4.0 * step_squared * variance;
    } else {
        const double output =
            g.single ? 8.0 * unit_roundoff<S>() * variance : unit_roundoff<S>() * std::fabs(x);
        const double rounding = output + search_rounding * variance;
        const double rest = error - rounding;
        return rest <= 0.0 || rest * rest <= step_squared * variance;
    }
}

template <Sample S> uint64_t settle(uint64_t k, double x, const SqrtGrid &g) {
    const double variance = x + g.offset;
    // Index 0 below -offset and the non-finite samples stay as they are.
    if (!(variance > 0.0) || !std::isfinite(x)) return k;
    auto fits = [&](uint64_t j) {
        const double rebuilt = to_double(sqrt_decode_index<S>(j, g));
        return within_model<S>(std::fabs(x - rebuilt), x, variance, g);
    };
    if (fits(k)) return k;
    if (k > 0 && fits(k - 1)) return k - 1;
    if (k < g.top_index && fits(k + 1)) return k + 1;
    return k;
}

template <Sample S> void encode(void *dst, const void *src, const SqrtGrid &g, size_t count) {
    using Index = SqrtIndex<S>;
    using Value = StreamInt<S>;
    const double scale = 1.0 / (g.step * g.step);
    // Where the check runs: whole numbers can leave the bound only where it
    // is under one unit, below x + offset = 1 / (4 step^2), as anywhere
    // else rounding to a whole number stays inside it; floats everywhere,
    // but for value streams, which are not a resolved form and keep the
    // formula's level.
    double checked_below = INFINITY;
    if constexpr (std::is_integral_v<S>)
        checked_below = 0.25 * scale;
    else if (g.values)
        checked_below = -INFINITY;
    for (size_t i = 0; i < count; ++i) {
        const double x = to_double(load_sample<S>(src, i));
        uint64_t k = sqrt_index(x, g, scale);
        if (x + g.offset < checked_below) k = settle<S>(k, x, g);
        if (!g.values) {
            store<Index>(dst, i, Index(k));
        } else if constexpr (std::is_integral_v<S>) {
            store_sample<S>(dst, i, sqrt_decode_index<S>(k, g));
        } else {
            store_sample<Value>(dst, i,
                                Value(saturate<Value>(round_half_away(sqrt_rebuild(k, g)))));
        }
    }
}

} // namespace

extern "C" VARDA_API int quant_sqrt_encode(void *dst, const void *src, const quant_grid *grid,
                                           uint32_t dtype, size_t count) {
    if (!sqrt_grid_usable(grid, dtype)) return 1;
    const SqrtGrid g = sqrt_grid(*grid, dtype);
    return with_dtype(dtype, 1, [&]<Sample S>() {
        encode<S>(dst, src, g, count);
        return 0;
    });
}
