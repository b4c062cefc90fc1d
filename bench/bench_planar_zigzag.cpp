// Planar zigzag predictor, fused PFOR packing and byte lanes on a 512 x 512
// tile of a smooth field with noise.
#include "bench_support.h"

#include <cstdio>

namespace {

constexpr size_t side = vb::tile_side, count = side * side;
using vb::Bytes;

std::shared_ptr<Bytes> tile_of(uint64_t es) {
    return std::make_shared<Bytes>(vb::smooth_tile(es, side, count));
}

std::string bits_note(size_t stream_len) {
    char text[40];
    std::snprintf(text, sizeof text, "%.2f bits/sample", double(stream_len) * 8 / count);
    return text;
}

void add_rows(uint64_t es) {
    const char *type = vb::type_of(es);
    const bool wide = es == 2;
    vb::add({"planar_zigzag_encode", type, vb::tile_data}, [=] {
        auto tile = tile_of(es);
        auto codes = std::make_shared<Bytes>(tile->size());
        return vb::Case{tile->size(), [=] {
                            planar_zigzag_encode(codes->data(), tile->data(), side, count, es);
                        }};
    });
    vb::add({"planar_zigzag_pfor_encode", type, vb::tile_data}, [=] {
        auto tile = tile_of(es);
        auto stream = std::make_shared<Bytes>(planar_zigzag_pfor_bound(count, es));
        auto len = std::make_shared<uint64_t>(0);
        const auto run = [=] {
            planar_zigzag_pfor_encode(stream->data(), stream->size(), len.get(), tile->data(), side,
                                      count, es, 1);
        };
        run();
        return vb::Case{tile->size(), run, nullptr, bits_note(*len)};
    });
    vb::add({"planar_zigzag_pivco_lanes", type, vb::tile_data}, [=] {
        auto tile = tile_of(es);
        auto lanes = std::make_shared<Bytes>(tile->size());
        return vb::Case{
            tile->size(),
            [=] { planar_zigzag_pivco_lanes(lanes->data(), tile->data(), side, count, es, 1); }};
    });
    for (int path : vb::paths()) {
        const bool avx2 = path == 2;
        vb::add({"planar_zigzag_decode", type, vb::tile_data, path, avx2 && wide ? 0.38 : 0}, [=] {
            auto tile = tile_of(es);
            auto codes = std::make_shared<Bytes>(tile->size());
            auto out = std::make_shared<Bytes>(tile->size());
            planar_zigzag_encode(codes->data(), tile->data(), side, count, es);
            return vb::Case{
                tile->size(),
                [=] { planar_zigzag_decode(out->data(), codes->data(), side, count, es); },
                [=] { return *out == *tile; }};
        });
        // In place: every call first copies the codes into the buffer it
        // decodes, so this row also pays for one copy.
        vb::add({"planar_zigzag_decode_inplace", type, vb::tile_data, path}, [=] {
            auto tile = tile_of(es);
            auto codes = std::make_shared<Bytes>(tile->size());
            auto work = std::make_shared<Bytes>(tile->size());
            planar_zigzag_encode(codes->data(), tile->data(), side, count, es);
            return vb::Case{tile->size(),
                            [=] {
                                std::memcpy(work->data(), codes->data(), codes->size());
                                planar_zigzag_decode(work->data(), work->data(), side, count, es);
                            },
                            [=] { return *work == *tile; }, "includes a copy of the codes"};
        });
        vb::add({"planar_zigzag_pfor_decode", type, vb::tile_data, path, avx2 && wide ? 0.25 : 0},
                [=] {
                    auto tile = tile_of(es);
                    auto stream = std::make_shared<Bytes>(planar_zigzag_pfor_bound(count, es));
                    auto out = std::make_shared<Bytes>(tile->size());
                    uint64_t len = 0;
                    planar_zigzag_pfor_encode(stream->data(), stream->size(), &len, tile->data(),
                                              side, count, es, 1);
                    stream->resize(len);
                    return vb::Case{tile->size(),
                                    [=] {
                                        planar_zigzag_pfor_decode(out->data(), side, count, es, 1,
                                                                  stream->data(), stream->size());
                                    },
                                    [=] { return *out == *tile; }, bits_note(len)};
                });
        vb::add({"planar_zigzag_pivco_unlanes", type, vb::tile_data, path, avx2 && wide ? 0.25 : 0},
                [=] {
                    auto tile = tile_of(es);
                    auto lanes = std::make_shared<Bytes>(tile->size());
                    auto out = std::make_shared<Bytes>(tile->size());
                    planar_zigzag_pivco_lanes(lanes->data(), tile->data(), side, count, es, 1);
                    return vb::Case{tile->size(),
                                    [=] {
                                        planar_zigzag_pivco_unlanes(out->data(), lanes->data(),
                                                                    side, count, es, 1);
                                    },
                                    [=] { return *out == *tile; }};
                });
    }
}

VB_REGISTER {
    for (uint64_t es : {1, 2, 4}) add_rows(es);
}

} // namespace

VB_MAIN()
