// Planar predictor on a 512 x 512 tile of a smooth field with noise, and
// the running sums along rows that its decoder and the west delta decoder
// share.
#include "bench_support.h"

#include "frame/row_scan.h"

namespace {

constexpr size_t side = vb::tile_side, count = side * side;

// The decoder's definition, element by element: what the vector paths buy.
template <class T> void decode_elementwise(T *out, const T *e) {
    for (size_t c = 0; c < side; ++c) out[c] = T((c ? out[c - 1] : 0) + e[c]);
    for (size_t r = 1; r < side; ++r) {
        T *row = out + r * side;
        const T *north = row - side;
        row[0] = T(north[0] + e[r * side]);
        for (size_t c = 1; c < side; ++c)
            row[c] = T(row[c - 1] + T(e[r * side + c] + north[c] - north[c - 1]));
    }
}

template <class T> void add_rows(double decode_target) {
    constexpr uint64_t es = sizeof(T);
    const char *type = vb::type_of(es);
    vb::add({"planar_encode", type, vb::tile_data}, [] {
        auto tile = std::make_shared<vb::Bytes>(vb::smooth_tile(es, side, count));
        auto out = std::make_shared<vb::Bytes>(tile->size());
        return vb::Case{tile->size(),
                        [=] { planar_encode(out->data(), tile->data(), side, count, es); }};
    });
    for (int path : vb::paths()) {
        vb::add({"planar_decode", type, vb::tile_data, path, path == 2 ? decode_target : 0}, [] {
            auto tile = std::make_shared<vb::Bytes>(vb::smooth_tile(es, side, count));
            auto residuals = std::make_shared<vb::Bytes>(tile->size());
            auto out = std::make_shared<vb::Bytes>(tile->size());
            planar_encode(residuals->data(), tile->data(), side, count, es);
            return vb::Case{tile->size(),
                            [=] { planar_decode(out->data(), residuals->data(), side, count, es); },
                            [=] { return *out == *tile; }};
        });
    }
    vb::add({"planar_decode_elementwise", type, vb::tile_data}, [] {
        auto tile = std::make_shared<vb::Bytes>(vb::smooth_tile(es, side, count));
        auto residuals = std::make_shared<std::vector<T>>(count);
        auto out = std::make_shared<std::vector<T>>(count);
        planar_encode(residuals->data(), tile->data(), side, count, es);
        return vb::Case{tile->size(), [=] { decode_elementwise(out->data(), residuals->data()); },
                        [=] { return std::memcmp(out->data(), tile->data(), tile->size()) == 0; }};
    });
}

// Every row its own running sum from zero, as the west delta decoder needs:
// row by row through the single-row scan, and two rows at a time.
template <class T> void add_row_sum_rows() {
    constexpr uint64_t es = sizeof(T);
    const char *type = vb::type_of(es);
    for (int path : vb::paths()) {
        for (bool pairs : {false, true}) {
            const char *kernel = pairs ? "row_prefix_sum_pairs" : "row_prefix_sum";
            vb::add({kernel, type, vb::tile_data, path}, [pairs] {
                auto tile = std::make_shared<vb::Bytes>(vb::smooth_tile(es, side, count));
                auto out = std::make_shared<vb::Bytes>(tile->size());
                return vb::Case{tile->size(), [=] {
                                    if (pairs) {
                                        varda::scan_rows<T, false, false>(out->data(), tile->data(),
                                                                          nullptr, side, side);
                                        return;
                                    }
                                    for (size_t r = 0; r < side; ++r)
                                        varda::scan_row<T, false>(out->data() + r * side * es,
                                                                  tile->data() + r * side * es,
                                                                  nullptr, side, T(0),
                                                                  varda::use_avx2());
                                }};
            });
        }
    }
}

VB_REGISTER {
    add_rows<uint8_t>(0.40);
    add_rows<uint16_t>(0.50);
    add_rows<uint32_t>(0);
    add_rows<uint64_t>(0);
    add_row_sum_rows<uint8_t>();
    add_row_sum_rows<uint16_t>();
    add_row_sum_rows<uint32_t>();
}

} // namespace

VB_MAIN()
