// SQRT quantiser and the shot-noise fit: the fit on a 2048 x 2048 u16
// raster, encode and decode of 1M u16 and f32 samples with shot noise.
#include "bench_support.h"

#include "support/quant_sqrt_oracle.h"

namespace {

constexpr size_t side = 1024, count = side * side;

struct Product {
    uint32_t dtype;
    double lo, hi, a, b, sigmas;
};
// u16 counts with read noise; f32 intensities in 0 .. 1. The f32 bound
// resolves to single-precision rebuilds.
constexpr Product u16_counts{1, 100, 60000, 20, 0.5, 2};
constexpr Product f32_intensities{9, 0.001, 1, 1e-6, 2e-4, 1};

quant_spec spec_of(const Product &p) {
    quant_spec spec{};
    spec.max_error = p.sigmas;
    spec.a = p.a;
    spec.b = p.b;
    spec.has_ab = 1;
    return spec;
}

quant_grid grid_for(const Product &p, const vb::Bytes &src) {
    quant_sqrt_stats stats{};
    quant_sqrt_scan(src.data(), p.dtype, count, &stats);
    const quant_spec spec = spec_of(p);
    quant_grid grid{};
    quant_sqrt_resolve(&spec, p.dtype, &stats, nullptr, &grid, nullptr, 0);
    return grid;
}

void add_rows(const Product &p) {
    const char *type = vt::dtype_names[p.dtype];
    const auto raster = [p] {
        return std::make_shared<vb::Bytes>(
            vt::shot_raster(p.dtype, side, side, p.lo, p.hi, p.a, p.b, 3));
    };
    vb::add({"quant_sqrt_encode", type, "1M"}, [=] {
        auto src = raster();
        auto stream = std::make_shared<vb::Bytes>(src->size());
        const quant_grid grid = grid_for(p, *src);
        return vb::Case{src->size(), [=] {
                            quant_sqrt_encode(stream->data(), src->data(), &grid, p.dtype, count);
                        }};
    });
    vb::add({"quant_sqrt_decode", type, "1M"}, [=] {
        auto src = raster();
        auto stream = std::make_shared<vb::Bytes>(src->size());
        auto out = std::make_shared<vb::Bytes>(src->size());
        const quant_grid grid = grid_for(p, *src);
        quant_sqrt_encode(stream->data(), src->data(), &grid, p.dtype, count);
        return vb::Case{
            src->size(),
            [=] { quant_sqrt_decode(out->data(), stream->data(), &grid, p.dtype, count); },
            [=] {
                const quant_spec spec = spec_of(p);
                double worst = 2;
                quant_sqrt_verify(src->data(), out->data(), &spec, nullptr, p.dtype, count, &worst);
                return worst <= 1;
            }};
    });
}

VB_REGISTER {
    vb::add({"quant_sqrt_fit", "u16", "2048x2048", -1, 0.02}, [] {
        const size_t fit_side = 2048;
        auto src = std::make_shared<vb::Bytes>(
            vt::shot_raster(1, fit_side, fit_side, 100, 60000, 20, 0.5, 7));
        auto curve = std::make_shared<quant_sqrt_curve>();
        return vb::Case{
            src->size(),
            [=] { quant_sqrt_fit(src->data(), 1, fit_side, fit_side, curve.get(), nullptr, 0); },
            [=] { return curve->held == 1 && std::fabs(curve->b - 0.5) < 0.05; }};
    });
    add_rows(u16_counts);
    add_rows(f32_intensities);
}

} // namespace

VB_MAIN()
