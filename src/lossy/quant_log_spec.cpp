// LOG: magnitudes on a uniform grid in log2 space bound the relative error.
// The scan finds the raster's range of magnitudes, the resolver turns
// MAX_ERROR into a step that leaves room for the fast logarithm, the fast
// exponential and the rounding of the output, and verify measures what a
// round trip really cost.
#include <cfloat>
#include <cmath>

#include "frame/message.h"
#include "lossy/lossy_common.h"
#include "lossy/quant_log.h"
#include "varda_kernels.h"

using namespace varda;

namespace varda {

const double qlog_mrc[64] = {
    0x1.fc07f01fc07f0p-1, 0x1.f44659e4a4271p-1, 0x1.ecc07b301ecc0p-1, 0x1.e573ac901e574p-1,
    0x1.de5d6e3f8868ap-1, 0x1.d77b654b82c34p-1, 0x1.d0cb58f6ec074p-1, 0x1.ca4b3055ee191p-1,
    0x1.c3f8f01c3f8f0p-1, 0x1.bdd2b899406f7p-1, 0x1.b7d6c3dda338bp-1, 0x1.b2036406c80d9p-1,
    0x1.ac5701ac5701bp-1, 0x1.a6d01a6d01a6dp-1, 0x1.a16d3f97a4b02p-1, 0x1.9c2d14ee4a102p-1,
    0x1.970e4f80cb872p-1, 0x1.920fb49d0e229p-1, 0x1.8d3018d3018d3p-1, 0x1.886e5f0abb04ap-1,
    0x1.83c977ab2beddp-1, 0x1.7f405fd017f40p-1, 0x1.7ad2208e0ecc3p-1, 0x1.767dce434a9b1p-1,
    0x1.724287f46debcp-1, 0x1.6e1f76b4337c7p-1, 0x1.6a13cd1537290p-1, 0x1.661ec6a5122f9p-1,
    0x1.623fa77016240p-1, 0x1.5e75bb8d015e7p-1, 0x1.5ac056b015ac0p-1, 0x1.571ed3c506b3ap-1,
    0x1.5390948f40febp-1, 0x1.5015015015015p-1, 0x1.4cab88725af6ep-1, 0x1.49539e3b2d067p-1,
    0x1.460cbc7f5cf9ap-1, 0x1.42d6625d51f87p-1, 0x1.3fb013fb013fbp-1, 0x1.3c995a47babe7p-1,
    0x1.3991c2c187f63p-1, 0x1.3698df3de0748p-1, 0x1.33ae45b57bcb2p-1, 0x1.30d190130d190p-1,
    0x1.2e025c04b8097p-1, 0x1.2b404ad012b40p-1, 0x1.288b01288b013p-1, 0x1.25e22708092f1p-1,
    0x1.23456789abcdfp-1, 0x1.20b470c67c0d9p-1, 0x1.1e2ef3b3fb874p-1, 0x1.1bb4a4046ed29p-1,
    0x1.19453808ca29cp-1, 0x1.16e0689427379p-1, 0x1.1485f0e0acd3bp-1, 0x1.12358e75d3033p-1,
    0x1.0fef010fef011p-1, 0x1.0db20a88f4696p-1, 0x1.0b7e6ec259dc8p-1, 0x1.0953f39010954p-1,
    0x1.073260a47f7c6p-1, 0x1.05197f7d73404p-1, 0x1.03091b51f5e1ap-1, 0x1.0101010101010p-1,
};

const double qlog_mlg[64] = {
    0x1.6fe50b6ef0851p-7, 0x1.11cd1d5133413p-5, 0x1.c4dfab90aab5fp-5, 0x1.3aa2fdd27f1c3p-4,
    0x1.918a16e46335bp-4, 0x1.e72ec117fa5b2p-4, 0x1.1dcd197552b7bp-3, 0x1.476a9f983f74dp-3,
    0x1.70742d4ef027fp-3, 0x1.98edd077e70dfp-3, 0x1.c0db6cdd94deep-3, 0x1.e840be74e6a4dp-3,
    0x1.0790adbb03009p-2, 0x1.1ac05b291f070p-2, 0x1.2db10fc4d9aafp-2, 0x1.406463b1b0449p-2,
    0x1.52dbdfc4c96b3p-2, 0x1.6518fe4677ba7p-2, 0x1.771d2ba7efb3cp-2, 0x1.88e9c72e0b226p-2,
    0x1.9a802391e232fp-2, 0x1.abe18797f1f49p-2, 0x1.bd0f2e9e79031p-2, 0x1.ce0a4923a587dp-2,
    0x1.ded3fd442364cp-2, 0x1.ef6d67328e220p-2, 0x1.ffd799a83ff9bp-2, 0x1.0809cf27f703dp-1,
    0x1.10113b153c8eap-1, 0x1.18028cf72976ap-1, 0x1.1fde3d30e8126p-1, 0x1.27a4c0585cbf8p-1,
    0x1.2f56875eb3f26p-1, 0x1.36f3ffb6d9162p-1, 0x1.3e7d9379f7016p-1, 0x1.45f3a98a20739p-1,
    0x1.4d56a5b33cec4p-1, 0x1.54a6e8ca5438ep-1, 0x1.5be4d0cb51435p-1, 0x1.6310b8f553048p-1,
    0x1.6a2af9e5a0f0ap-1, 0x1.7133e9b156c7cp-1, 0x1.782bdbfdda657p-1, 0x1.7f1322182cf16p-1,
    0x1.85ea0b0b27b26p-1, 0x1.8cb0e3b4b3bbep-1, 0x1.9367f6da0ab2fp-1, 0x1.9a0f8d3b0e050p-1,
    0x1.a0a7eda4c112dp-1, 0x1.a7315d02f20c8p-1, 0x1.adac1e711c833p-1, 0x1.b418734a9008cp-1,
    0x1.ba769b39e4964p-1, 0x1.c0c6d447c5dd3p-1, 0x1.c7095ae91e1c7p-1, 0x1.cd3e6a0ca8907p-1,
    0x1.d3663b27f31d5p-1, 0x1.d9810643d6615p-1, 0x1.df8f02086af2cp-1, 0x1.e59063c8822cep-1,
    0x1.eb855f8ca88fbp-1, 0x1.f16e281db7630p-1, 0x1.f74aef0efafaep-1, 0x1.fd1be4c7f2af9p-1,
};

} // namespace varda

extern "C" VARDA_API int quant_log_scan(const void *src, uint32_t dtype, size_t count,
                                        quant_log_stats *stats) {
    if (src == nullptr || stats == nullptr) return 1;
    return with_dtype(dtype, 1, [&]<Sample S>() {
        double min_abs = INFINITY, max_abs = 0;
        int32_t negatives = 0, tiny = 0;
        for (size_t i = 0; i < count; ++i) {
            const double x = to_double(load_sample<S>(src, i));
            if (x < 0) negatives = 1; // a negative infinity too, not -0.0
            const double magnitude = std::fabs(x);
            if (x == 0 || !(magnitude <= DBL_MAX)) continue;
            if (magnitude < min_abs) min_abs = magnitude;
            if (magnitude > max_abs) max_abs = magnitude;
            if constexpr (is_float_sample<S>)
                if (magnitude < smallest_normal<S>()) tiny = 1;
        }
        stats->min_abs = min_abs;
        stats->max_abs = max_abs;
        stats->negatives = negatives;
        stats->tiny = tiny;
        return 0;
    });
}

extern "C" VARDA_API int quant_log_resolve(const quant_spec *spec, uint32_t dtype,
                                           const quant_log_stats *stats, quant_grid *grid,
                                           char *err, size_t err_size) {
    grid->mode = 0;
    grid->step = 0;
    if (!valid_dtype(dtype))
        return fail(err, err_size, "dtype %d is not a type this codec knows", int(dtype));
    const double max_error = spec->max_error;
    if (!(max_error > 0)) return fail(err, err_size, "MAX_ERROR must be positive");
    constexpr double log2e = 1.4426950408889634, ln2 = 0.6931471805599453;

    if (!is_float(dtype)) {
        // Value mode: the reconstruction is a whole number, whose rounding
        // can double the grid's error; half the budget goes to the grid.
        grid->mode = stats->negatives ? 2 : 3;
        const double c0 = double(8 * dtype_size[dtype]) * 0x1p-50;
        const double h =
            log2e * (std::log1p(std::sqrt(max_error + 1) - 1) - std::log1p(c0 * ln2)) - c0;
        if (!(h > 0))
            return fail(err, err_size,
                        "a MAX_ERROR of %g%% is too tight for a whole-number reconstruction",
                        100 * max_error);
        grid->step = 2 * h;
        return 0;
    }

    grid->mode = stats->negatives ? 0 : 1;
    const size_t type = dtype - dtype_f16;
    const double u = dtype_unit_roundoff[type];
    const double range = log_range[type], limit = log_index_limit[type];
    const double c0 = range * 0x1p-50;
    const double h = log2e * ((std::log1p(max_error) - std::log1p(u)) - std::log1p(c0 * ln2)) - c0;
    if (!(h > 0))
        return fail(err, err_size,
                    "a MAX_ERROR of %g%% is at or below what this type rebuilds to, which "
                    "bottoms out near %g%%",
                    100 * max_error, 100 * (c0 * ln2 + u));
    const double step = 2 * h;
    const double span = range / step;
    if (span >= limit || std::ceil(span) + 1 >= limit)
        return fail(err, err_size,
                    "a MAX_ERROR of %g%% needs more levels than a %zu-byte index carries",
                    100 * max_error, size_t(dtype_size[dtype]));
    grid->step = step;
    return 0;
}

extern "C" VARDA_API int quant_log_verify(const void *orig, const void *rebuilt,
                                          const quant_spec *spec, uint32_t dtype, size_t count,
                                          double *worst, size_t *tiny) {
    if (spec == nullptr || !(spec->max_error > 0)) return 1;
    const double max_error = spec->max_error;
    return with_dtype(dtype, 1, [&]<Sample S>() {
        double largest = 0;
        size_t unmeasured = 0;
        for (size_t i = 0; i < count; ++i) {
            const S o = load_sample<S>(orig, i), r = load_sample<S>(rebuilt, i);
            const double x = to_double(o);
            if (!std::isfinite(x)) continue;
            double ratio;
            if constexpr (std::is_integral_v<S>) {
                if (o == r) continue;
                ratio = sample_distance(o, r) / (std::fabs(x) * max_error);
            } else {
                const double y = to_double(r);
                if (x == y) continue;
                if (std::fabs(x) < smallest_normal<S>()) {
                    ++unmeasured;
                    continue;
                }
                // A NaN where a finite value was is no bound kept.
                ratio =
                    std::isnan(y) ? INFINITY : sample_distance(o, r) / (std::fabs(x) * max_error);
            }
            if (ratio > largest) largest = ratio;
        }
        if (worst != nullptr) *worst = largest;
        if (tiny != nullptr) *tiny = unmeasured;
        return 0;
    });
}
