// LINEAR quantiser, encode and decode of 1M samples: u16 on a grid of step
// 4 (MAX_ERROR 2), f32 on the grid that MAX_ERROR 0.01 resolves to.
#include "bench_support.h"

#include "support/lossy_support.h"

namespace {

constexpr size_t side = 1024, count = side * side;

quant_grid grid_for(uint32_t dtype, const vb::Bytes &src, double max_error) {
    quant_linear_stats stats{};
    quant_linear_scan(src.data(), dtype, count, &stats);
    quant_spec spec{};
    spec.max_error = max_error;
    quant_grid grid{};
    quant_linear_resolve(&spec, dtype, &stats, &grid, nullptr, 0);
    return grid;
}

void add_rows(uint32_t dtype, double max_error, double decode_target) {
    const char *type = vt::dtype_names[dtype];
    vb::add({"quant_linear_encode", type, "1M"}, [=] {
        auto src = std::make_shared<vb::Bytes>(vt::smooth_raster(dtype, side));
        auto stream = std::make_shared<vb::Bytes>(src->size());
        const quant_grid grid = grid_for(dtype, *src, max_error);
        return vb::Case{src->size(), [=] {
                            quant_linear_encode(stream->data(), src->data(), &grid, dtype, count);
                        }};
    });
    vb::add({"quant_linear_decode", type, "1M", -1, decode_target}, [=] {
        auto src = std::make_shared<vb::Bytes>(vt::smooth_raster(dtype, side));
        auto stream = std::make_shared<vb::Bytes>(src->size());
        auto out = std::make_shared<vb::Bytes>(src->size());
        const quant_grid grid = grid_for(dtype, *src, max_error);
        quant_linear_encode(stream->data(), src->data(), &grid, dtype, count);
        return vb::Case{
            src->size(),
            [=] { quant_linear_decode(out->data(), stream->data(), &grid, dtype, count); },
            [=] {
                quant_spec spec{};
                spec.max_error = max_error;
                double worst = 2;
                quant_linear_verify(src->data(), out->data(), &spec, dtype, count, &worst);
                return worst <= 1;
            }};
    });
}

VB_REGISTER {
    add_rows(1, 2.0, 0.30);
    add_rows(9, 0.01, 0);
}

} // namespace

VB_MAIN()
