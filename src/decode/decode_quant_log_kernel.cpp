// LOG quantiser, decoder. Integer streams hold the rebuilt values: a copy,
// or a clamp at 0, in 128-bit registers. Float index streams go through
// the fast exponential, once per distinct index of the tile when the
// tile's indices span a range small enough to tabulate.
#include <cfloat>
#include <cmath>
#include <cstdlib>

#include "lossy/lossy_common.h"
#include "lossy/lossy_values.h"
#include "lossy/quant_log.h"
#include "varda_kernels.h"

using namespace varda;

namespace {

// The sample that index k stands for, clamped into [low, high].
template <Sample S> struct Rebuild {
    double step, offset, low, high;

    template <class I> S operator()(I k) const {
        if (k == 0) return from_double<S>(0.0);
        const double y = double(uint64_t(magnitude(k)) - 1) * step - offset;
        if (y >= 1024) return from_double<S>(k > 0 ? high : low);
        double v = fexp2(y);
        if (k < 0) v = -v;
        if (std::isnan(v)) v = 0;
        if (v < low) v = low;
        if (v > high) v = high;
        return from_double<S>(v);
    }
};

// Widest span of indices worth a table: 64 KiB of samples.
template <Sample S> constexpr uint64_t table_span = 65536 / sizeof(S) - 1;

template <Sample S>
void decode_indices(void *dst, const void *src, size_t count, const quant_grid &grid,
                    bool use_table) {
    using I = StreamInt<S>;
    constexpr double high = float_max<S>();
    const Rebuild<S> rebuild{grid.step, log_offset[dtype_of<S>() - dtype_f16],
                             (grid.mode & 1) ? 0.0 : -high, high};
    if (count == 0) return;

    if (use_table) {
        I lowest = load_sample<I>(src, 0), highest = lowest;
        for (size_t i = 1; i < count; ++i) {
            const I k = load_sample<I>(src, i);
            if (k < lowest) lowest = k;
            if (k > highest) highest = k;
        }
        const uint64_t span = uint64_t(highest) - uint64_t(lowest);
        if (span <= table_span<S>) {
            S *table = static_cast<S *>(std::malloc((span + 1) * sizeof(S)));
            if (table != nullptr) {
                for (uint64_t j = 0; j <= span; ++j) table[j] = rebuild(I(uint64_t(lowest) + j));
                for (size_t i = 0; i < count; ++i)
                    store_sample<S>(dst, i,
                                    table[uint64_t(load_sample<I>(src, i)) - uint64_t(lowest)]);
                std::free(table);
                return;
            }
        }
    }
    for (size_t i = 0; i < count; ++i) store_sample<S>(dst, i, rebuild(load_sample<I>(src, i)));
}

} // namespace

namespace varda {

int quant_log_decode_with(void *dst, const void *src, const quant_grid *grid, uint64_t dtype,
                          size_t count, bool vector, bool table) {
    if (!log_grid_valid(grid, dtype)) return 1;
    const bool clamp = (grid->mode & 1) != 0, value_mode = (grid->mode & 2) != 0;
    return with_dtype(dtype, 1, [&]<Sample S>() {
        if constexpr (std::is_integral_v<S>)
            copy_values<S>(dst, src, count, clamp, vector);
        else if (value_mode)
            widen_values<S>(dst, src, count, clamp, vector);
        else
            decode_indices<S>(dst, src, count, *grid, table);
        return 0;
    });
}

} // namespace varda

extern "C" VARDA_API int quant_log_decode(void *dst, const void *src, const quant_grid *grid,
                                          int dtype, size_t count) {
    return quant_log_decode_with(dst, src, grid, dtype_from_int(dtype), count, VARDA_X86 != 0,
                                 true);
}
