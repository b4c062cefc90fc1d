// A lossy recipe from text to grid for one product: parse the text, fit a
// noise curve when a SQRT recipe needs one, resolve the grid on the whole
// raster, then hold every tile to the domain the grid was resolved for.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include "frame/dtype.h"
#include "frame/elem.h"
#include "frame/message.h"
#include "frame/sample.h"
#include "lossy/lossy_common.h"
#include "varda_kernels.h"

using namespace varda;

namespace {

enum Family : int32_t { family_none = 0, family_linear = 1, family_log = 2, family_sqrt = 3 };

constexpr double infinity = std::numeric_limits<double>::infinity();

bool starts_with(const char *text, const char *prefix) {
    return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

// What a tile holds, as the domain tests read it.
struct TileRange {
    double min = infinity, max = -infinity;
    double min_abs = infinity, max_abs = 0.0;
    bool negatives = false, found = false;
};

// One pass that skips the samples whose bit pattern is `ignored` and the
// samples that are not finite.
template <Sample S> TileRange scan_ignoring_value(const void *src, size_t count, uint64_t ignored) {
    using Bits = std::make_unsigned_t<StreamInt<S>>;
    const auto skip = Bits(ignored);
    TileRange range;
    for (size_t i = 0; i < count; ++i) {
        if (load<Bits>(src, i) == skip) continue;
        const double x = to_double(load_sample<S>(src, i));
        if (!std::isfinite(x)) continue;
        const double magnitude = std::fabs(x);
        range.found = true;
        if (x < range.min) range.min = x;
        if (x > range.max) range.max = x;
        if (magnitude != 0.0 && magnitude < range.min_abs) range.min_abs = magnitude;
        if (magnitude > range.max_abs) range.max_abs = magnitude;
        if (x < 0.0) range.negatives = true;
    }
    return range;
}

// LINEAR and LOG grids resolved without negatives take no negative tile.
int check_negatives(const varda_lossy_resolved &resolved, const TileRange &tile, char *err,
                    size_t err_size) {
    if ((resolved.grid.mode & 1) && tile.negatives)
        return fail(err, err_size,
                    "the lossy graph was built without negative samples, but this tile contains "
                    "them; build the graph from the full product");
    return 0;
}

int check_linear(const varda_lossy_resolved &resolved, const TileRange &tile, uint32_t dtype,
                 char *err, size_t err_size) {
    if (check_negatives(resolved, tile, err, err_size) != 0) return 1;
    const double product_max = resolved.stats.linear.max_abs;
    if (is_float(dtype) && tile.max_abs > product_max)
        return fail(err, err_size,
                    "the lossy graph was built for magnitudes up to %g, but this tile reaches %g; "
                    "build the graph from the full product",
                    product_max, tile.max_abs);
    return 0;
}

int check_sqrt(const varda_lossy_resolved &resolved, const TileRange &tile, char *err,
               size_t err_size) {
    if (!tile.found) return 0;
    const quant_sqrt_stats &product = resolved.stats.sqrt;
    if (tile.min < product.min || tile.max > product.max)
        return fail(err, err_size,
                    "the lossy graph was built for values from %g to %g, but this tile reaches %g "
                    "to %g; build the graph from the full product",
                    product.min, product.max, tile.min, tile.max);
    return 0;
}

} // namespace

extern "C" VARDA_API int varda_lossy_parse(const char *text, varda_lossy_recipe *recipe, char *err,
                                           size_t err_size) {
    if (recipe == nullptr) return fail(err, err_size, "no recipe to write to");
    std::memset(static_cast<void *>(recipe), 0, sizeof *recipe);
    if (text == nullptr || *text == '\0') return 0;
    struct {
        const char *prefix;
        int (*parse)(const char *, quant_spec *, char *, size_t);
        Family family;
    } const families[] = {{"LINEAR:", quant_linear_parse, family_linear},
                          {"LOG:", quant_log_parse, family_log},
                          {"SQRT:", quant_sqrt_parse, family_sqrt}};
    for (const auto &f : families) {
        if (!starts_with(text, f.prefix)) continue;
        if (f.parse(text, &recipe->spec, err, err_size) != 0) return 1;
        recipe->family = f.family;
        return 0;
    }
    return fail(err, err_size,
                "error \"%s\": the families are LINEAR, LOG and SQRT, each followed by a colon",
                text);
}

extern "C" VARDA_API int varda_lossy_fit(varda_lossy_recipe *recipe, const void *src, int dtype,
                                         size_t width, size_t count, char *err, size_t err_size) {
    if (recipe == nullptr) return fail(err, err_size, "no recipe to fit");
    if (recipe->family != family_sqrt || recipe->spec.has_ab == 1) return 0;
    if (width == 0 || count % width != 0)
        return fail(err, err_size, "%zu samples do not divide into rows of %zu", count, width);
    quant_sqrt_curve curve;
    if (quant_sqrt_fit(src, dtype, width, count / width, &curve, err, err_size) != 0) return 1;
    recipe->spec.a = curve.a;
    recipe->spec.b = curve.b;
    recipe->spec.has_ab = 1;
    return 0;
}

extern "C" VARDA_API int varda_lossy_resolve(const varda_lossy_recipe *recipe, const void *src,
                                             uint32_t dtype, size_t count,
                                             varda_lossy_resolved *resolved, char *err,
                                             size_t err_size) {
    if (recipe == nullptr || resolved == nullptr)
        return fail(err, err_size, "no recipe to resolve");
    std::memset(static_cast<void *>(resolved), 0, sizeof *resolved);
    resolved->family = recipe->family;
    const quant_spec *spec = &recipe->spec;
    quant_grid *grid = &resolved->grid;
    switch (recipe->family) {
    case family_none: return 0;
    case family_linear:
        if (quant_linear_scan(src, dtype, count, &resolved->stats.linear) != 0)
            return fail(err, err_size, "the raster holds no finite sample to cut a grid against");
        return quant_linear_resolve(spec, dtype, &resolved->stats.linear, grid, err, err_size);
    case family_log:
        if (quant_log_scan(src, dtype, count, &resolved->stats.log) != 0)
            return fail(err, err_size, "dtype %d is not a type quant_log knows", int(dtype));
        return quant_log_resolve(spec, dtype, &resolved->stats.log, grid, err, err_size);
    case family_sqrt:
        if (quant_sqrt_scan(src, dtype, count, &resolved->stats.sqrt) != 0)
            return fail(err, err_size, "the raster holds no finite sample");
        return quant_sqrt_resolve(spec, dtype, &resolved->stats.sqrt, nullptr, grid, err, err_size);
    default:
        return fail(err, err_size, "recipe family %d is not one this build knows",
                    int(recipe->family));
    }
}

extern "C" VARDA_API int varda_lossy_check_domain(const varda_lossy_resolved *resolved,
                                                  const void *src, int dtype, size_t count,
                                                  int has_ignore, uint64_t ignore_value, char *err,
                                                  size_t err_size) {
    const uint64_t code = dtype_from_int(dtype);
    if (resolved == nullptr || !valid_dtype(code) || (src == nullptr && count != 0))
        return fail(err, err_size, "invalid lossy domain check");
    if (count == 0 || resolved->family == family_none) return 0;
    const auto type = uint32_t(code);
    const int32_t family = resolved->family;
    if (family != family_linear && family != family_log && family != family_sqrt)
        return fail(err, err_size, "lossy family %d is not one this build knows", int(family));

    TileRange tile;
    if (has_ignore) {
        tile = with_dtype(type, TileRange{}, [&]<Sample S>() {
            return scan_ignoring_value<S>(src, count, ignore_value);
        });
    } else if (family == family_linear) {
        quant_linear_stats stats;
        quant_linear_scan(src, type, count, &stats); // a tile without finite samples passes
        tile.negatives = stats.negatives != 0;
        tile.max_abs = stats.max_abs;
    } else if (family == family_log) {
        quant_log_stats stats;
        if (quant_log_scan(src, type, count, &stats) != 0)
            return fail(err, err_size, "could not scan the lossy tile");
        tile.negatives = stats.negatives != 0;
    } else {
        quant_sqrt_stats stats;
        tile.found = quant_sqrt_scan(src, type, count, &stats) == 0;
        tile.min = stats.min;
        tile.max = stats.max;
    }

    if (family == family_linear) return check_linear(*resolved, tile, type, err, err_size);
    if (family == family_log) return check_negatives(*resolved, tile, err, err_size);
    return check_sqrt(*resolved, tile, err, err_size);
}

extern "C" VARDA_API double varda_lossy_guard_radius(const varda_lossy_recipe *recipe, double x) {
    if (recipe == nullptr) return infinity;
    const double e = recipe->spec.max_error;
    switch (recipe->family) {
    case family_none: return 0.0;
    case family_linear: return e >= 0.0 ? e : infinity;
    case family_log:
        return e > 0.0 && e < 1.0 && std::isfinite(x) ? std::fabs(x) * e / (1.0 - e) : infinity;
    case family_sqrt: {
        const double a = recipe->spec.a, b = recipe->spec.b;
        if (recipe->spec.has_ab != 1 || !std::isfinite(x) || !(b > 0.0) || !(e > 0.0))
            return infinity;
        // The positive root r of r^2 = E^2 (A + B (x + r)).
        const double n = e * e;
        const double d = n * n * (b * b) + 4.0 * n * (a + b * x);
        if (d < 0.0) return 0.0;
        const double radius = (std::sqrt(d) + b * n) / 2.0;
        // A curve with a NaN intercept gives no bound, not a radius of NaN
        // that every comparison would wave through.
        return std::isnan(radius) ? infinity : radius;
    }
    default: return infinity;
    }
}
