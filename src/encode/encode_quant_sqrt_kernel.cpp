// Square-root quantiser, encoder: each sample becomes its index on the
// sqrt(x + offset) grid, or, in value mode, the whole-number value that
// index rebuilds to.
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
    constexpr double highest =
        sizeof(Value) == 8 ? 9223372036854774784.0 : -lowest - 1.0;
    return y < lowest ? lowest : (y > highest ? highest : y);
}

template <Sample S> void encode(void *dst, const void *src, const SqrtGrid &g, size_t count) {
    using Index = typename SqrtStream<sizeof(S)>::Index;
    using Value = typename SqrtStream<sizeof(S)>::Value;
    const double scale = 1.0 / (g.step * g.step);
    for (size_t i = 0; i < count; ++i) {
        const uint64_t k = sqrt_index(to_double(load_sample<S>(src, i)), g, scale);
        if (!g.values) {
            store<Index>(dst, i, Index(k));
        } else if constexpr (std::is_integral_v<S>) {
            store_sample<S>(dst, i, S(round_half_away(sqrt_rebuild(k, g))));
        } else {
            store_sample<Value>(dst, i, Value(saturate<Value>(round_half_away(sqrt_rebuild(k, g)))));
        }
    }
}

} // namespace

extern "C" VARDA_API int quant_sqrt_encode(void *dst, const void *src, const quant_grid *grid,
                                           unsigned int dtype, size_t count) {
    if (!sqrt_grid_usable(grid, dtype)) return 1;
    const SqrtGrid g = sqrt_grid(*grid, dtype);
    return with_dtype(dtype, 1, [&]<Sample S>() {
        encode<S>(dst, src, g, count);
        return 0;
    });
}
