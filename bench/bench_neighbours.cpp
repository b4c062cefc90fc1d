// Neighbour predictors and the interleave split on a 512 x 512 tile of a
// smooth field with noise, 1-, 2- and 4-byte samples.
#include "bench_support.h"
#include "neighbours/med_row.h"

namespace {

constexpr size_t side = vb::tile_side, count = side * side;

using Kernel = int (*)(void *, const void *, uint64_t, uint64_t, uint64_t);

struct Predictor {
    const char *encoder, *decoder;
    Kernel encode, decode;
    bool decoder_reads_path;
};

const Predictor predictors[] = {
    {"delta_n_encode", "delta_n_decode", delta_n_encode, delta_n_decode, false},
    {"delta_w_encode", "delta_w_decode", delta_w_encode, delta_w_decode, true},
    {"average_encode", "average_decode", average_encode, average_decode, false},
    {"med_encode", "med_decode", med_encode, med_decode, false},
    {"med_zigzag_encode", "med_zigzag_decode", med_zigzag_encode, med_zigzag_decode, false},
};

// Set-up shared by the decoder rows: the tile, its codes and a place for
// the rebuilt samples.
struct Decoding {
    std::shared_ptr<vb::Bytes> tile, codes, out;
    Decoding(uint64_t es, Kernel encode)
        : tile(std::make_shared<vb::Bytes>(vb::smooth_tile(es, side, count))),
          codes(std::make_shared<vb::Bytes>(tile->size())),
          out(std::make_shared<vb::Bytes>(tile->size())) {
        encode(codes->data(), tile->data(), side, count, es);
    }
    vb::Case run(const std::function<void()> &call) const {
        return vb::Case{tile->size(), call, [out = out, tile = tile] { return *out == *tile; }};
    }
};

// The median decoder with every row after the first taken on its own, as
// narrow or shallow tiles are: what decoding four staggered rows buys.
template <class T> void med_decode_row_by_row(void *dst, const void *codes) {
    varda::med_decode_tile<T, false>(dst, codes, side, side); // the first row
    for (size_t row = 1; row < side; ++row)
        varda::med_decode_row<T, false>(varda::at<T>(dst, row * side),
                                        varda::at<T>(codes, row * side),
                                        varda::at<T>(dst, (row - 1) * side), side);
}

template <class T> void add_rows() {
    constexpr uint64_t es = sizeof(T);
    const std::string type = vb::type_of(es);
    const std::string stem = "/" + type + "/" + vb::tile_data + "/";
    for (const auto &p : predictors) {
        vb::add({p.encoder, type, vb::tile_data}, [p] {
            auto tile = std::make_shared<vb::Bytes>(vb::smooth_tile(es, side, count));
            auto out = std::make_shared<vb::Bytes>(tile->size());
            return vb::Case{tile->size(),
                            [=] { p.encode(out->data(), tile->data(), side, count, es); }};
        });
        const double target = es == 2 && p.decode == delta_n_decode ? 0.6 : 0;
        for (int path : p.decoder_reads_path ? vb::paths() : std::vector<int>{-1}) {
            vb::Row row{p.decoder, type, vb::tile_data, path, target};
            if (p.decode == delta_w_decode && es == 2 && path == 2) {
                row.versus = "planar_decode" + stem + "avx2";
                row.versus_target = 1.0;
            }
            if (p.decode == med_decode) {
                row.versus = "med_decode_row_by_row" + stem + "sse2";
                row.versus_target = 1.5;
            }
            vb::add(row, [p] {
                const Decoding d(es, p.encode);
                return d.run([=] { p.decode(d.out->data(), d.codes->data(), side, count, es); });
            });
        }
    }
    vb::add({"med_decode_row_by_row", type, vb::tile_data}, [] {
        const Decoding d(es, med_encode);
        return d.run([=] { med_decode_row_by_row<T>(d.out->data(), d.codes->data()); });
    });
    // The yardstick of the west delta decoder.
    vb::add({"planar_decode", type, vb::tile_data, 2}, [] {
        const Decoding d(es, planar_encode);
        return d.run([=] { planar_decode(d.out->data(), d.codes->data(), side, count, es); });
    });

    const double split_target = es == 2 ? 0.5 : 0;
    vb::add({"deinterleave_split", type, vb::tile_data, -1, split_target}, [] {
        auto tile = std::make_shared<vb::Bytes>(vb::smooth_tile(es, side, count));
        auto even = std::make_shared<vb::Bytes>(tile->size() / 2);
        auto odd = std::make_shared<vb::Bytes>(tile->size() / 2);
        return vb::Case{tile->size(), [=] {
                            deinterleave_split(even->data(), odd->data(), tile->data(), count, es);
                        }};
    });
    vb::add({"deinterleave_join", type, vb::tile_data, -1, split_target}, [] {
        auto tile = std::make_shared<vb::Bytes>(vb::smooth_tile(es, side, count));
        auto even = std::make_shared<vb::Bytes>(tile->size() / 2);
        auto odd = std::make_shared<vb::Bytes>(tile->size() / 2);
        auto out = std::make_shared<vb::Bytes>(tile->size());
        deinterleave_split(even->data(), odd->data(), tile->data(), count, es);
        return vb::Case{
            tile->size(),
            [=] { deinterleave_join(out->data(), even->data(), odd->data(), count, es); },
            [=] { return *out == *tile; }};
    });
}

VB_REGISTER {
    add_rows<uint8_t>();
    add_rows<uint16_t>();
    add_rows<uint32_t>();
}

} // namespace

VB_MAIN()
