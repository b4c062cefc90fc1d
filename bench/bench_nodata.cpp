// Nodata kernels on a 512 x 512 tile of a smooth field with 5 % nodata, half
// in runs of up to 40 samples and half as single samples. None of them reads
// the SIMD path.
#include "bench_support.h"

namespace {

constexpr size_t side = vb::tile_side, count = side * side;
const std::string data = "tile512x512_5pct";

// The field with the sentinel written into the nodata samples.
struct Tile {
    vb::Bytes samples, mask;
    uint64_t sentinel;
};

std::shared_ptr<Tile> make_tile(uint64_t es) {
    auto tile = std::make_shared<Tile>();
    tile->samples = vb::smooth_tile(es, side, count);
    tile->mask.assign(count, 0xFF);
    // Inside the field's range, so that the guarded marking sees both sides.
    tile->sentinel = es == 1 ? 200 : 1500;
    std::mt19937 rng(7);
    for (size_t holes = count / 20; holes > 0;) {
        const size_t at = rng() % count, len = rng() % 2 ? 1 : 1 + rng() % 40;
        for (size_t k = at; k < count && k < at + len && holes > 0; ++k, --holes) {
            if (!tile->mask[k]) continue;
            tile->mask[k] = 0;
            std::memcpy(tile->samples.data() + k * es, &tile->sentinel, es);
        }
    }
    // Valid samples equal to the sentinel would read as nodata.
    for (size_t i = 0; i < count; ++i) {
        uint64_t v = 0;
        std::memcpy(&v, tile->samples.data() + i * es, es);
        if (tile->mask[i] && v == tile->sentinel) tile->samples[i * es] ^= 1;
    }
    return tile;
}

void add_plain(uint64_t es, double mark_target, double restore_target) {
    const char *type = vb::type_of(es);
    vb::add({"nodata_mark_value", type, data, -1, mark_target}, [es] {
        auto tile = make_tile(es);
        auto mask = std::make_shared<vb::Bytes>(count);
        return vb::Case{count * es,
                        [=] {
                            nodata_mark_value(mask->data(), tile->samples.data(), count, es,
                                              tile->sentinel);
                        },
                        [=] { return *mask == tile->mask; }};
    });
    vb::add({"nodata_fill", type, data}, [es] {
        auto tile = make_tile(es);
        auto out = std::make_shared<vb::Bytes>(count * es);
        return vb::Case{count * es, [=] {
                            nodata_fill(out->data(), tile->samples.data(), tile->mask.data(), side,
                                        count, es);
                        }};
    });
    vb::add({"nodata_restore", type, data, -1, restore_target}, [es] {
        auto tile = make_tile(es);
        auto filled = std::make_shared<vb::Bytes>(count * es);
        auto out = std::make_shared<vb::Bytes>(count * es);
        nodata_fill(filled->data(), tile->samples.data(), tile->mask.data(), side, count, es);
        return vb::Case{count * es,
                        [=] {
                            nodata_restore(out->data(), filled->data(), tile->mask.data(), count,
                                           es, tile->sentinel);
                        },
                        [=] { return *out == tile->samples; }};
    });
}

// A guard radius of 2: u16 takes the vectorised integer rule, f32 the
// sample-by-sample rule in double. The restore gets a decoded tile where one
// valid sample in a thousand landed on the sentinel.
void add_guarded(int dtype, uint64_t es, const char *type) {
    vb::add({"nodata_mark_guarded", type, data}, [=] {
        auto tile = make_tile(es);
        auto mask = std::make_shared<vb::Bytes>(count);
        return vb::Case{count * es, [=] {
                            nodata_mark_guarded(mask->data(), tile->samples.data(), count, dtype,
                                                tile->sentinel, 2.0);
                        }};
    });
    vb::add({"nodata_restore_guarded", type, data}, [=] {
        auto tile = make_tile(es);
        auto codes = std::make_shared<vb::Bytes>(count);
        nodata_mark_guarded(codes->data(), tile->samples.data(), count, dtype, tile->sentinel, 2.0);
        auto decoded = std::make_shared<vb::Bytes>(count * es);
        nodata_fill(decoded->data(), tile->samples.data(), codes->data(), side, count, es);
        for (size_t i = 0; i < count; i += 997)
            if ((*codes)[i]) std::memcpy(decoded->data() + i * es, &tile->sentinel, es);
        auto guard = std::make_shared<nodata_guard>();
        nodata_guard_values(guard.get(), dtype, tile->sentinel);
        auto out = std::make_shared<vb::Bytes>(count * es);
        return vb::Case{count * es, [=] {
                            nodata_restore_guarded(out->data(), decoded->data(), codes->data(),
                                                   count, es, tile->sentinel, guard.get());
                        }};
    });
}

VB_REGISTER {
    add_plain(1, 0, 0);
    add_plain(2, 0.30, 0.40);
    add_plain(4, 0, 0);
    add_plain(8, 0, 0);
    add_guarded(1, 2, "u16");
    add_guarded(9, 4, "f32");
}

} // namespace

VB_MAIN()
