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
        if (x + g.offset < checked_below) k = sqrt_settle<S>(k, x, g);
        if (!g.values) {
            store<Index>(dst, i, Index(k));
        } else if constexpr (std::is_integral_v<S>) {
            store_sample<S>(dst, i, sqrt_decode_index<S>(k, g));
        } else {
            store_sample<Value>(dst, i,
                                Value(saturate<Value>(round_half_away(sqrt_level<S>(k, g)))));
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
