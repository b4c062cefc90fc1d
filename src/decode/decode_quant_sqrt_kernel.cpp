// Square-root quantiser, decoder: index k becomes (k step)^2 - offset,
// clamped and rounded into the sample type. Value streams are copied or
// converted.
#include <cstdint>
#include <cstdlib>
#include <type_traits>

#include "frame/elem.h"
#include "frame/sample.h"
#include "lossy/lossy_values.h"
#include "lossy/quant_sqrt_grid.h"
#include "varda_kernels.h"

using namespace varda;

namespace {

template <Sample S>
void decode_indices(void *dst, const void *src, const SqrtGrid &g, size_t count) {
    using Index = SqrtIndex<S>;
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

} // namespace

extern "C" VARDA_API int quant_sqrt_decode(void *dst, const void *src, const quant_grid *grid,
                                           uint32_t dtype, size_t count) {
    if (!sqrt_grid_usable(grid, dtype)) return 1;
    const SqrtGrid g = sqrt_grid(*grid, dtype);
    const bool no_negatives = (grid->mode & sqrt_mode_no_negatives) != 0;
    return with_dtype(dtype, 1, [&]<Sample S>() {
        // Integer value streams are copied as they are; float ones are
        // whole numbers, raised to 0 on a grid without negatives.
        if (!g.values)
            decode_indices<S>(dst, src, g, count);
        else if constexpr (std::is_integral_v<S>)
            copy_values<S>(dst, src, count, false, true);
        else
            widen_values<S>(dst, src, count, no_negatives, true);
        return 0;
    });
}
