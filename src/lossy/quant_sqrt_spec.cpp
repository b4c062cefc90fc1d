// Square-root quantiser: the raster's range, the grid that keeps every
// sample within N noise sigmas, the bound itself and its measurement.
#include <cmath>
#include <cstdint>
#include <limits>

#include "frame/dtype.h"
#include "frame/message.h"
#include "frame/sample.h"
#include "lossy/lossy_common.h"
#include "lossy/quant_sqrt_grid.h"
#include "varda_kernels.h"

using namespace varda;

namespace {

constexpr double infinity = std::numeric_limits<double>::infinity();
// Past 2^51 / 3 levels the index arithmetic no longer finds the right one.
constexpr double max_integer_levels = 750599937895082.6;
// Up to this x + offset the rebuild errs by less than 2^-29.
constexpr double exact_rebuild_limit = 4194304.0;
// 3 x 2^-52: the rounding of the index search, relative to the root.
constexpr double search_rounding = 6.661338147750939e-16;

// Indexed by dtype - 8: f16, f32, f64.
constexpr double normal_floor[3] = {0x1p-14, 0x1p-126, 0x1p-1022};
constexpr double subnormal_spacing[3] = {0x1p-24, 0x1p-149, 0x1p-1074};

int below_rounding(char *err, size_t err_size, const quant_sqrt_stats &stats, double resolves,
                   double asks) {
    return fail(err, err_size,
                "this bound is at or below the rounding of the output type between %g and %g, "
                "where the type resolves %g and the bound asks for %g",
                stats.min, stats.max, resolves, asks);
}

struct NoiseCurve {
    double a, b;
};

// A and B from the recipe's record when it carries them, else from a fit that held.
bool choose_curve(const quant_spec &spec, const quant_sqrt_curve *curve, NoiseCurve *out) {
    if (spec.has_ab == 1) {
        *out = {spec.a, spec.b};
        return true;
    }
    if (curve == nullptr || !curve->held || !(curve->b > 0.0)) return false;
    *out = {std::fmax(curve->a, 0.0), curve->b};
    return true;
}

// The output type's rounding at x, u |x|, per unit of u and of
// sqrt(x + offset): what the step gives up to it.
double rounding_slope(double x, double offset) {
    if (x == 0.0) return 0.0;
    const double root = std::sqrt(x + offset);
    return root > 0.0 ? std::fabs(x) / root : infinity;
}

template <Sample S> void scan(const void *src, size_t count, quant_sqrt_stats *stats) {
    double lo = infinity, hi = -infinity;
    int32_t nonfinite = 0;
    for (size_t i = 0; i < count; ++i) {
        const double x = to_double(load_sample<S>(src, i));
        if (!std::isfinite(x)) {
            nonfinite = 1;
            continue;
        }
        if (x < lo) lo = x;
        if (x > hi) hi = x;
    }
    stats->min = lo;
    stats->max = hi;
    stats->negatives = lo < 0.0;
    stats->nonfinite = nonfinite;
}

template <Sample S>
double worst_ratio(const void *orig, const void *rebuilt, size_t count, NoiseCurve curve,
                   double sigmas) {
    double worst = 0.0;
    for (size_t i = 0; i < count; ++i) {
        const S original = load_sample<S>(orig, i), again = load_sample<S>(rebuilt, i);
        const double x = to_double(original);
        bool same;
        if constexpr (std::is_integral_v<S>)
            same = original == again;
        else
            same = x == to_double(again);
        if (!std::isfinite(x) || same) continue;
        const double variance = curve.b * x + curve.a;
        if (!(variance > 0.0)) continue;
        // A NaN where a finite value was is no bound kept.
        if (std::isnan(to_double(again))) return INFINITY;
        const double ratio = sample_distance(original, again) / (std::sqrt(variance) * sigmas);
        if (ratio > worst) worst = ratio;
    }
    return worst;
}

} // namespace

extern "C" VARDA_API int quant_sqrt_scan(const void *src, uint32_t dtype, size_t count,
                                         quant_sqrt_stats *stats) {
    if (src == nullptr || stats == nullptr) return 1;
    return with_dtype(dtype, 1, [&]<Sample S>() {
        scan<S>(src, count, stats);
        return stats->min > stats->max ? 1 : 0;
    });
}

extern "C" VARDA_API int quant_sqrt_resolve(const quant_spec *spec, uint32_t dtype,
                                            const quant_sqrt_stats *stats,
                                            const quant_sqrt_curve *curve, quant_grid *grid,
                                            char *err, size_t err_size) {
    grid->mode = 0;
    grid->step = 0.0;
    grid->offset = 0.0;
    if (!valid_dtype(dtype))
        return fail(err, err_size, "dtype %d is not a type this codec knows", int(dtype));
    const double sigmas = spec->max_error;
    if (!(sigmas > 0.0)) return fail(err, err_size, "MAX_ERROR must be positive");

    NoiseCurve noise;
    if (spec->has_ab != 1) {
        if (curve == nullptr)
            return fail(err, err_size,
                        "this recipe carries no A and B, so it needs a curve from quant_sqrt_fit");
        if (!choose_curve(*spec, curve, &noise))
            return fail(err, err_size,
                        "the fit did not hold: %d blocks over %d bins, range %.1fx, collinearity "
                        "%.1f, residual %.3f",
                        curve->blocks, curve->bins, curve->range, curve->collinearity,
                        curve->residual);
    } else {
        choose_curve(*spec, curve, &noise);
    }
    const double a = std::sqrt(noise.b) * sigmas;
    const double offset = noise.a / noise.b;
    if (noise.b < 0.0 || !std::isfinite(a) || !(a > 0.0) || !std::isfinite(offset) || offset < 0.0)
        return fail(err, err_size, "a MAX_ERROR of %g with A=%g and B=%g does not give a curve",
                    sigmas, noise.a, noise.b);
    grid->offset = offset;

    if (-offset > stats->min)
        return fail(err, err_size,
                    "a shot bound is defined at or above -A/B, which is %g, and this raster "
                    "reaches %g",
                    -offset, stats->min);
    if (stats->negatives == 0) grid->mode |= sqrt_mode_no_negatives;
    const double reach =
        std::sqrt(std::fmax(std::fabs(stats->max), std::fabs(stats->min)) + offset);

    if (!is_float(dtype)) {
        const double step = a * 0.5;
        grid->step = step;
        if (!(reach / step < max_integer_levels))
            return fail(err, err_size,
                        "this bound needs %g levels over this raster, past the %g the arithmetic "
                        "that finds one resolves",
                        reach / step, max_integer_levels);
        // Where the bound is under one unit a sample must come back exactly,
        // and the rebuild (k step)^2 - offset in double is exact to a whole
        // number only while it stays small.
        const double exact_below = 0.25 / (step * step);
        if (stats->min + offset < exact_below) {
            const double exact_up_to = std::fmin(stats->max + offset, exact_below);
            if (exact_up_to > exact_rebuild_limit)
                return fail(err, err_size,
                            "this bound stays under one unit up to %g, past the %g where this "
                            "grid rebuilds whole numbers exactly",
                            exact_up_to - offset, exact_rebuild_limit - offset);
        }
        const double top = std::fmax(-offset, stats->max) + offset;
        if (!(std::sqrt(top) / step < sqrt_top_level(dtype))) grid->mode |= sqrt_mode_values;
        return 0;
    }

    const double u = dtype_unit_roundoff[dtype - dtype_f16];
    const double slope =
        std::fmax(rounding_slope(stats->max, offset), rounding_slope(stats->min, offset));
    // What the step gives up to the rounding of the rebuild.
    double room = slope * u;
    // Single precision pays when binary32 arithmetic costs at most a quarter
    // of the bound.
    if (dtype == dtype_f32 && 0.25 * a >= 8.0 * u * reach) {
        grid->mode |= sqrt_mode_single;
        room = 8.0 * u * reach;
    }
    const double step = a - room - search_rounding * reach;
    grid->step = step;
    if (!(step > 0.0)) return below_rounding(err, err_size, *stats, slope * u, a);
    // Below the smallest normal the output rounds by a fixed spacing, not
    // in proportion to the value. Where the raster reaches that range the
    // step has to leave room for one spacing at the smallest root a
    // nonzero level can stand for: the room as given, since recomputed from
    // the rounded step it can cancel to nothing. A raster of zeros alone on
    // a grid without offset rebuilds every sample exactly.
    const double normal = normal_floor[dtype - dtype_f16];
    const bool zeros_only = stats->min == 0.0 && stats->max == 0.0 && offset == 0.0;
    if (stats->min < normal && stats->max > -normal && !zeros_only) {
        const double spare = room;
        const double root = std::fmax(std::sqrt(std::fmax(stats->min, -normal) + offset),
                                      step * 0.7071067811865476);
        const double spacing = subnormal_spacing[dtype - dtype_f16] / root;
        if (!(spare >= spacing)) return below_rounding(err, err_size, *stats, spacing, a);
    }
    if (!(reach / step < sqrt_top_level(dtype)))
        return fail(err, err_size, "this bound needs more levels than a %zu-byte index carries",
                    size_t(dtype_size[dtype]));
    return 0;
}

extern "C" VARDA_API double quant_sqrt_bound(const quant_spec *spec, const quant_sqrt_curve *curve,
                                             double x) {
    NoiseCurve noise;
    if (spec == nullptr || !choose_curve(*spec, curve, &noise)) return 0.0;
    const double variance = noise.b * x + noise.a;
    return variance > 0.0 ? spec->max_error * std::sqrt(variance) : 0.0;
}

extern "C" VARDA_API int quant_sqrt_verify(const void *orig, const void *rebuilt,
                                           const quant_spec *spec, const quant_sqrt_curve *curve,
                                           uint32_t dtype, size_t count, double *worst) {
    NoiseCurve noise;
    if (spec == nullptr || !(spec->max_error > 0.0) || !choose_curve(*spec, curve, &noise))
        return 1;
    return with_dtype(dtype, 1, [&]<Sample S>() {
        const double measured = worst_ratio<S>(orig, rebuilt, count, noise, spec->max_error);
        if (worst != nullptr) *worst = measured;
        return 0;
    });
}
