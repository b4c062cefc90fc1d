// LOG quantiser, encoder. Float samples become signed indices on a grid of
// log2 magnitudes; integer samples (and floats in value mode) become the
// whole number that their grid level stands for.
#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <limits>

#include "lossy/lossy_common.h"
#include "lossy/quant_log.h"
#include "varda_kernels.h"

using namespace varda;

namespace {

constexpr size_t max_table_levels = 131072;

// Index k >= 1 stands for 2^((k - 1) step - offset): the log2 of |x| above
// the smallest subnormal, rounded to the grid with halves upward.
template <Sample S> void encode_indices(void *dst, const void *src, size_t count, double step) {
    using I = StreamInt<S>;
    constexpr size_t type = dtype_of<S>() - dtype_f16;
    const double s = 1 / step, levels = log_range[type] / step;
    double top = levels < log_index_limit[type] ? std::ceil(levels) + 1 : log_index_limit[type];
    // Just below the limit the formula gives one level more than a 16- or
    // 32-bit index holds; the stored index would wrap to a negative one.
    if (top > double(std::numeric_limits<I>::max())) top = double(std::numeric_limits<I>::max());
    const int64_t z = -1023 + int64_t(log_offset[type]);
    for (size_t i = 0; i < count; ++i) {
        const double x = to_double(load_sample<S>(src, i));
        double index;
        if (x == 0 || std::isnan(x)) {
            index = 0;
        } else if (!(std::fabs(x) <= DBL_MAX)) {
            index = top;
        } else {
            const double g = flog2(std::fabs(x), z) * s + 1.5;
            index = g >= top ? top : g > 1 ? std::trunc(g) : 1;
        }
        store_sample<I>(dst, i, I(x < 0 ? -index : index));
    }
}

// The whole number that grid level G stands for, capped for the type.
struct Levels {
    double step, cap;
    double operator()(double level) const {
        const double exponent = level * step;
        double w = INFINITY;
        if (exponent < 1024) {
            w = fexp2(exponent);
            if (std::fabs(w) < 0x1p53) w = std::round(w);
        }
        return w < cap ? w : cap;
    }
};

template <Sample S>
void encode_values(void *dst, const void *src, size_t count, double step, bool use_table) {
    using I = StreamInt<S>;
    constexpr uint32_t dtype = dtype_of<S>();
    const double s = 1 / step, bits = log_value_bits[dtype];
    const double top = bits / step < 0x1p53 ? std::trunc(bits / step) + 1 : 0x1p53;
    const Levels value_of{step, log_value_cap[dtype]};
    // The positive cap of the signed integers sits one below their
    // negative one.
    const double positive_cap =
        std::is_integral_v<S> && std::is_signed_v<S> ? dtype_max[dtype] : log_value_cap[dtype];

    double *table = nullptr;
    if (use_table && top + 1 <= double(max_table_levels)) {
        const size_t levels = size_t(top) + 1;
        table = static_cast<double *>(std::malloc(levels * sizeof(double)));
        if (table != nullptr)
            for (size_t g = 0; g < levels; ++g) table[g] = value_of(double(g));
    }

    for (size_t i = 0; i < count; ++i) {
        const double x = to_double(load_sample<S>(src, i));
        if (x == 0 || std::isnan(x)) {
            store_sample<I>(dst, i, I(0));
            continue;
        }
        double level;
        if (!(std::fabs(x) <= DBL_MAX)) {
            level = top;
        } else {
            const double g = flog2(std::fabs(x), -1023) * s + 0.5;
            level = !(g > 0) ? 0 : g >= top ? top : std::trunc(g);
        }
        const double v = table != nullptr ? table[size_t(level)] : value_of(level);
        store_sample<I>(dst, i, I(x < 0 ? -v : v < positive_cap ? v : positive_cap));
    }
    std::free(table);
}

} // namespace

namespace varda {

int quant_log_encode_with(void *dst, const void *src, const quant_grid *grid, uint64_t dtype,
                          size_t count, bool table) {
    if (!log_grid_valid(grid, dtype)) return 1;
    const bool value_mode = (grid->mode & 2) != 0;
    return with_dtype(dtype, 1, [&]<Sample S>() {
        if constexpr (is_float_sample<S>) {
            if (!value_mode) {
                encode_indices<S>(dst, src, count, grid->step);
                return 0;
            }
        }
        encode_values<S>(dst, src, count, grid->step, table);
        return 0;
    });
}

} // namespace varda

extern "C" VARDA_API int quant_log_encode(void *dst, const void *src, const quant_grid *grid,
                                          uint32_t dtype, size_t count) {
    return quant_log_encode_with(dst, src, grid, dtype, count, true);
}
