// Static weighted predictor and its training on a 512 x 512 tile of a
// smooth field with noise, with the planar decoder beside it as the
// yardstick of the decoding target.
#include "bench_support.h"

namespace {

constexpr size_t side = vb::tile_side, count = side * side;

struct Choice {
    int16_t weights[4];
    uint8_t shift;
};

Choice trained(const vb::Bytes &tile, uint64_t es) {
    Choice c{};
    wp_static_train(c.weights, &c.shift, tile.data(), side, count, es);
    return c;
}

std::string describe(const Choice &c) {
    char text[80];
    std::snprintf(text, sizeof text, "weights %d %d %d %d, shift %u", c.weights[0], c.weights[1],
                  c.weights[2], c.weights[3], unsigned(c.shift));
    return text;
}

void add_rows(uint64_t es) {
    const char *type = vb::type_of(es);
    const std::string encode_row =
        std::string("wp_static_encode/") + type + "/" + vb::tile_data + "/" + vb::path_label(-1);
    vb::add({"wp_static_encode", type, vb::tile_data}, [es] {
        auto tile = std::make_shared<vb::Bytes>(vb::smooth_tile(es, side, count));
        auto out = std::make_shared<vb::Bytes>(tile->size());
        const Choice c = trained(*tile, es);
        return vb::Case{tile->size(),
                        [=] {
                            wp_static_encode(out->data(), tile->data(), side, count, es, c.weights,
                                             c.shift);
                        },
                        nullptr, describe(c)};
    });
    // Training a 2-byte tile should take under 15 encodes of it.
    vb::Row train{"wp_static_train", type, vb::tile_data};
    if (es == 2) {
        train.versus = encode_row;
        train.versus_target = 1.0 / 15;
    }
    vb::add(train, [es] {
        auto tile = std::make_shared<vb::Bytes>(vb::smooth_tile(es, side, count));
        return vb::Case{tile->size(), [=] {
                            Choice c;
                            wp_static_train(c.weights, &c.shift, tile->data(), side, count, es);
                            benchmark::DoNotOptimize(c);
                        }};
    });
    for (int path : vb::paths()) {
        const std::string planar_row =
            std::string("planar_decode/") + type + "/" + vb::tile_data + "/" + vb::path_label(path);
        vb::add({"planar_decode", type, vb::tile_data, path}, [es] {
            auto tile = std::make_shared<vb::Bytes>(vb::smooth_tile(es, side, count));
            auto residuals = std::make_shared<vb::Bytes>(tile->size());
            auto out = std::make_shared<vb::Bytes>(tile->size());
            planar_encode(residuals->data(), tile->data(), side, count, es);
            return vb::Case{tile->size(),
                            [=] { planar_decode(out->data(), residuals->data(), side, count, es); },
                            [=] { return *out == *tile; }};
        });
        // 2-byte samples should decode at least 0.4 x as fast as planar.
        vb::Row row{"wp_static_decode", type, vb::tile_data, path};
        if (es == 2) {
            row.versus = planar_row;
            row.versus_target = 0.4;
        }
        vb::add(row, [es] {
            auto tile = std::make_shared<vb::Bytes>(vb::smooth_tile(es, side, count));
            auto residuals = std::make_shared<vb::Bytes>(tile->size());
            auto out = std::make_shared<vb::Bytes>(tile->size());
            const Choice c = trained(*tile, es);
            wp_static_encode(residuals->data(), tile->data(), side, count, es, c.weights, c.shift);
            return vb::Case{tile->size(),
                            [=] {
                                wp_static_decode(out->data(), residuals->data(), side, count, es,
                                                 c.weights, c.shift);
                            },
                            [=] { return *out == *tile; }, describe(c)};
        });
    }
}

VB_REGISTER {
    for (uint64_t es : {1, 2, 4}) add_rows(es);
}

} // namespace

VB_MAIN()
