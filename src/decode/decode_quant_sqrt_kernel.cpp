// Square-root quantiser, decoder: index k becomes (k step)^2 - offset,
// clamped and rounded into the sample type. Value streams are copied or
// converted.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <type_traits>

#include "frame/elem.h"
#include "frame/sample.h"
#include "lossy/quant_sqrt_grid.h"
#include "varda_kernels.h"

using namespace varda;

namespace {

template <Sample S>
void decode_indices(void *dst, const void *src, const SqrtGrid &g, size_t count) {
    using Index = typename SqrtStream<sizeof(S)>::Index;
    // Narrow integers have few levels: rebuild each once when the tile has
    // many more samples than levels.
    if constexpr (std::is_integral_v<S> && sizeof(S) <= 2) {
        const size_t levels = size_t(g.top_index) + 1;
        if (2 * levels < count) {
            if (auto *table = static_cast<S *>(std::malloc(levels * sizeof(S)))) {
                for (size_t k = 0; k < levels; ++k) table[k] = sqrt_decode_index<S>(k, g);
                for (size_t i = 0; i < count; ++i) {
                    const Index k = load<Index>(src, i);
                    store_sample<S>(dst, i, table[k < levels ? k : levels - 1]);
                }
                std::free(table);
                return;
            }
        }
    }
    for (size_t i = 0; i < count; ++i) {
        const uint64_t k = load<Index>(src, i);
        store_sample<S>(dst, i, sqrt_decode_index<S>(k < g.top_index ? k : g.top_index, g));
    }
}

template <Sample S>
void decode_values(void *dst, const void *src, bool no_negatives, size_t count) {
    if constexpr (std::is_integral_v<S>) {
        if (count > 0) std::memcpy(dst, src, count * sizeof(S));
    } else {
        using Value = typename SqrtStream<sizeof(S)>::Value;
        for (size_t i = 0; i < count; ++i) {
            Value v = load_sample<Value>(src, i);
            if (no_negatives && v < 0) v = 0;
            if constexpr (std::is_same_v<S, Half>)
                store_sample<Half>(dst, i, Half{float_to_half(float(v))});
            else
                store_sample<S>(dst, i, S(v));
        }
    }
}

} // namespace

extern "C" VARDA_API int quant_sqrt_decode(void *dst, const void *src, const quant_grid *grid,
                                           unsigned int dtype, size_t count) {
    if (!sqrt_grid_usable(grid, dtype)) return 1;
    const SqrtGrid g = sqrt_grid(*grid, dtype);
    const bool no_negatives = (grid->mode & sqrt_mode_no_negatives) != 0;
    return with_dtype(dtype, 1, [&]<Sample S>() {
        if (g.values)
            decode_values<S>(dst, src, no_negatives, count);
        else
            decode_indices<S>(dst, src, g, count);
        return 0;
    });
}
