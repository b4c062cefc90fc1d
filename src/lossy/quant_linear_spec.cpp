// LINEAR: a uniform grid of step `step` bounds the absolute error. The scan
// finds the raster's largest magnitude, the resolver turns MAX_ERROR into a
// step that leaves room for the rounding of the output type, and verify
// measures what a round trip really cost.
#include <cfloat>
#include <cmath>

#include "frame/message.h"
#include "lossy/lossy_common.h"
#include "varda_kernels.h"

using namespace varda;

extern "C" VARDA_API int quant_linear_scan(const void *src, uint32_t dtype, size_t count,
                                           quant_linear_stats *stats) {
    if (src == nullptr || stats == nullptr) return 1;
    return with_dtype(dtype, 1, [&]<Sample S>() {
        double max_abs = 0;
        int32_t negatives = 0;
        bool counted = false;
        for (size_t i = 0; i < count; ++i) {
            const double x = to_double(load_sample<S>(src, i));
            const double magnitude = std::fabs(x);
            if (!(magnitude <= DBL_MAX)) continue;
            counted = true;
            if (magnitude > max_abs) max_abs = magnitude;
            if (x < 0) negatives = 1;
        }
        stats->max_abs = max_abs;
        stats->negatives = negatives;
        return counted ? 0 : 1;
    });
}

extern "C" VARDA_API int quant_linear_resolve(const quant_spec *spec, uint32_t dtype,
                                              const quant_linear_stats *stats, quant_grid *grid,
                                              char *err, size_t err_size) {
    if (!valid_dtype(dtype))
        return fail(err, err_size, "dtype %d is not a type this codec knows", int(dtype));
    grid->mode = 0;
    grid->step = 0;
    grid->mode = stats->negatives ? 0 : 1;
    const double max_error = spec->max_error;

    if (!is_float(dtype)) {
        double step = std::floor(2 * max_error);
        if (!std::isfinite(step))
            return fail(err, err_size, "a MAX_ERROR of %g makes the grid step too large",
                        max_error);
        if (step < 1) step = 1; // below half a unit the grid is lossless
        grid->step = step;
        return 0;
    }

    const double u = dtype_unit_roundoff[dtype - dtype_f16];
    const double smallest_normal = dtype == dtype_f16   ? 0x1p-14
                                   : dtype == dtype_f32 ? 0x1p-126
                                                        : 0x1p-1022;
    // Rounding into the output type costs up to u times the magnitude for
    // normal values, but a fixed u times the smallest normal below it: a
    // raster of subnormals alone must budget for the latter.
    const double rounding_scale =
        stats->max_abs > 0 && stats->max_abs < smallest_normal ? smallest_normal : stats->max_abs;
    const double step = 2 * (max_error - 2 * u * rounding_scale);
    if (!std::isfinite(step))
        return fail(err, err_size, "a MAX_ERROR of %g makes the grid step too large", max_error);
    if (!(step > 0))
        return fail(err, err_size,
                    "a MAX_ERROR of %g is at or below the rounding of the output "
                    "type at %g",
                    max_error, stats->max_abs);
    const double levels = dtype == dtype_f64 ? 0x1p53 : dtype_max_exact_level[dtype];
    if (stats->max_abs / step > levels)
        return fail(err, err_size,
                    "a MAX_ERROR of %g needs more levels than a %zu-byte stream "
                    "carries",
                    max_error, size_t(dtype_size[dtype]));
    grid->step = step;
    return 0;
}

extern "C" VARDA_API int quant_linear_verify(const void *orig, const void *rebuilt,
                                             const quant_spec *spec, uint32_t dtype, size_t count,
                                             double *worst) {
    if (orig == nullptr || rebuilt == nullptr || spec == nullptr) return 1;
    const double max_error = spec->max_error;
    if (!(max_error > 0)) return 1;
    return with_dtype(dtype, 1, [&]<Sample S>() {
        double largest = 0;
        for (size_t i = 0; i < count; ++i) {
            const S o = load_sample<S>(orig, i), r = load_sample<S>(rebuilt, i);
            if (!std::isfinite(to_double(o))) continue;
            double ratio;
            if constexpr (std::is_integral_v<S>) {
                if (o == r) continue;
                ratio = sample_distance(o, r) / max_error;
            } else {
                const double rd = to_double(r);
                if (to_double(o) == rd) continue;
                // A NaN where a finite value was is no bound kept.
                ratio = std::isnan(rd) ? INFINITY : sample_distance(o, r) / max_error;
            }
            if (ratio > largest) largest = ratio;
        }
        if (worst != nullptr) *worst = largest;
        return 0;
    });
}
