// LOG quantiser, encode and decode of 1M samples with MAX_ERROR 1 %: u16
// (value streams) and f32 (index streams).
#include "bench_support.h"

#include "support/lossy_support.h"

namespace {

constexpr size_t side = 1024, count = side * side;

constexpr double max_error = 0.01;

quant_grid grid_for(uint32_t dtype, const vb::Bytes &src) {
    quant_log_stats stats{};
    quant_log_scan(src.data(), dtype, count, &stats);
    quant_spec spec{};
    spec.max_error = max_error;
    quant_grid grid{};
    quant_log_resolve(&spec, dtype, &stats, &grid, nullptr, 0);
    return grid;
}

void add_rows(uint32_t dtype, double encode_target) {
    const char *type = vt::dtype_names[dtype];
    vb::add({"quant_log_encode", type, "1M", -1, encode_target}, [=] {
        auto src = std::make_shared<vb::Bytes>(vt::smooth_raster(dtype, side));
        auto stream = std::make_shared<vb::Bytes>(src->size());
        const quant_grid grid = grid_for(dtype, *src);
        return vb::Case{src->size(), [=] {
                            quant_log_encode(stream->data(), src->data(), &grid, dtype, count);
                        }};
    });
    vb::add({"quant_log_decode", type, "1M"}, [=] {
        auto src = std::make_shared<vb::Bytes>(vt::smooth_raster(dtype, side));
        auto stream = std::make_shared<vb::Bytes>(src->size());
        auto out = std::make_shared<vb::Bytes>(src->size());
        const quant_grid grid = grid_for(dtype, *src);
        quant_log_encode(stream->data(), src->data(), &grid, dtype, count);
        return vb::Case{
            src->size(),
            [=] { quant_log_decode(out->data(), stream->data(), &grid, int(dtype), count); },
            [=] {
                quant_spec spec{};
                spec.max_error = max_error;
                double worst = 2;
                quant_log_verify(src->data(), out->data(), &spec, dtype, count, &worst, nullptr);
                return worst <= 1;
            }};
    });
}

VB_REGISTER {
    add_rows(1, 0);
    add_rows(9, 0.02);
}

} // namespace

VB_MAIN()
