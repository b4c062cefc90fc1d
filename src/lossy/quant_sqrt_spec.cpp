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

// Indexed by dtype - 8: f16, f32, f64.
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

// The error of one rebuilt sample in units of its bound: 0 where it is
// not measured (a non-finite original, an exact rebuild, no noise at x),
// infinite for a finite sample rebuilt as NaN.
template <Sample S> double sample_ratio(S original, S again, NoiseCurve curve, double sigmas) {
    const double x = to_double(original);
    bool same;
    if constexpr (std::is_integral_v<S>)
        same = original == again;
    else
        same = x == to_double(again);
    if (!std::isfinite(x) || same) return 0.0;
    const double variance = curve.b * x + curve.a;
    if (!(variance > 0.0)) return 0.0;
    if (std::isnan(to_double(again))) return INFINITY;
    return sample_distance(original, again) / (std::sqrt(variance) * sigmas);
}

template <Sample S>
double worst_ratio(const void *orig, const void *rebuilt, size_t count, NoiseCurve curve,
                   double sigmas) {
    double worst = 0.0;
    for (size_t i = 0; i < count; ++i) {
        const double ratio =
            sample_ratio(load_sample<S>(orig, i), load_sample<S>(rebuilt, i), curve, sigmas);
        if (ratio == INFINITY) return ratio;
        if (ratio > worst) worst = ratio;
    }
    return worst;
}

// A sample the grid rebuilds outside its bound, with what it compared.
struct Witness {
    bool found = false;
    double x = 0.0, error = 0.0, bound = 0.0;
};

// Most candidates tried below the smallest normal; past it, values at
// the edges of evenly spread levels stand for the rest.
constexpr int64_t subnormal_trials = int64_t(1) << 15;

// Below the smallest normal a float rounds by a fixed spacing rather than
// in proportion to the value, which the step leaves no room for by itself.
// Whether that costs the bound depends on where the levels fall between
// the values the type holds, so the values themselves are tried: each goes
// through the encoder's index and the decoder's rebuild and is measured as
// verify measures it. Every value there when they are few; otherwise the
// ones beside each level's lower edge, where a bin's error peaks, and the
// two ends of the range.
template <Sample S>
Witness subnormal_witness(const quant_grid &grid, const quant_sqrt_stats &stats, NoiseCurve noise,
                          double sigmas) {
    const double spacing = subnormal_spacing[dtype_of<S>() - dtype_f16];
    const double largest = smallest_normal<S>() - spacing;
    // Every value below the smallest normal is a whole number of spacings.
    const double first = std::ceil(std::fmax(stats.min, -largest) / spacing);
    const double last = std::floor(std::fmin(stats.max, largest) / spacing);
    Witness w;
    if (!(first <= last)) return w;
    const SqrtGrid g = sqrt_grid(grid, dtype_of<S>());
    auto tried = [&](double units) {
        if (w.found || units < first || units > last) return;
        const S original = from_double<S>(units * spacing);
        const double x = to_double(original);
        const uint64_t k = sqrt_settle<S>(sqrt_index(x, g, 1.0 / (g.step * g.step)), x, g);
        const S again = sqrt_decode_index<S>(k, g);
        if (sample_ratio(original, again, noise, sigmas) > 1.0) {
            w = {true, x, sample_distance(original, again),
                 std::sqrt(noise.b * x + noise.a) * sigmas};
            if (std::isnan(to_double(again))) w.error = INFINITY;
        }
    };
    if (last - first < double(subnormal_trials)) {
        for (double units = first; units <= last && !w.found; ++units) tried(units);
        return w;
    }
    tried(first);
    tried(last);
    const double scale = 1.0 / (g.step * g.step);
    const double low = double(sqrt_index(first * spacing, g, scale));
    const double high = double(sqrt_index(last * spacing, g, scale));
    const double stride =
        std::fmax(1.0, std::ceil((high - low + 1.0) / (double(subnormal_trials) / 4.0)));
    for (double k = std::fmax(low, 1.0); k <= high && !w.found; k += stride) {
        const double edge = ((k - 0.5) * (k - 0.5) + 0.25) * g.step * g.step - g.offset;
        const double units = std::floor(edge / spacing);
        for (double d = -1.0; d <= 2.0; ++d) tried(units + d);
    }
    return w;
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
    const double step = a - room - sqrt_search_rounding * reach;
    grid->step = step;
    if (!(step > 0.0)) return below_rounding(err, err_size, *stats, slope * u, a);
    if (!(reach / step < sqrt_top_level(dtype)))
        return fail(err, err_size, "this bound needs more levels than a %zu-byte index carries",
                    size_t(dtype_size[dtype]));
    const Witness w = with_dtype(dtype, Witness{}, [&]<Sample S>() {
        if constexpr (!std::is_integral_v<S>)
            return subnormal_witness<S>(*grid, *stats, noise, sigmas);
        else
            return Witness{};
    });
    if (w.found)
        return fail(err, err_size,
                    "this bound is at or below the rounding of the output type between %g and %g, "
                    "where the type resolves %g and the bound asks for %g at %g",
                    stats->min, stats->max, w.error, w.bound, w.x);
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
