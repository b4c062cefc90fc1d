// Arbitrary bytes as a decoded tile, its mask and its guard. Byte 0 picks the
// element size and the dtype, bytes 1-8 the sentinel, bytes 9-16 the radius,
// bytes 17-40 the guard record, byte 41 where an overlapping output starts;
// the rest is the mask (one byte per sample) followed by the samples.
// Both restores must equal their sample-by-sample definitions in and out of
// place and on overlapping memory, and marking, filling and the guarded
// restore must give any tile back.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "varda_kernels.h"

namespace {

using Bytes = std::vector<unsigned char>;

void require(bool ok) {
    if (!ok) std::abort();
}

uint64_t word(const uint8_t *p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}

uint64_t get(const Bytes &b, size_t i, uint64_t es) {
    uint64_t v = 0;
    std::memcpy(&v, b.data() + i * es, es);
    return v;
}

void put(Bytes &b, size_t i, uint64_t es, uint64_t v) { std::memcpy(b.data() + i * es, &v, es); }

int ref_restore_guarded(Bytes &x, const Bytes &mask, uint64_t es, uint64_t sentinel,
                        const nodata_guard &g) {
    const uint64_t m = es == 8 ? ~uint64_t(0) : (uint64_t(1) << (8 * es)) - 1, s = sentinel & m;
    const uint64_t value[4] = {s, g.up & m, g.down & m, g.alias & m};
    int flag = 0;
    for (size_t i = 0; i < mask.size(); ++i) {
        const uint8_t b = mask[i];
        if (b == 0) put(x, i, es, s);
        if (b > 3 || (b > 0 && value[b] == s)) flag = 1;
        if (b >= 1 && b <= 3 && get(x, i, es) == s) put(x, i, es, value[b]);
    }
    return flag;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 42) return 0;
    const uint64_t es = uint64_t(1) << (data[0] & 3);
    static const int dtypes[4][3] = {{0, 4, 0}, {1, 5, 8}, {2, 6, 9}, {3, 7, 10}};
    const int dtype = dtypes[data[0] & 3][(data[0] >> 2) % 3];
    const uint64_t sentinel = word(data + 1);
    double radius;
    std::memcpy(&radius, data + 9, 8);
    nodata_guard guard;
    std::memcpy(&guard, data + 17, sizeof guard);
    const size_t shift = data[41] % 48;
    const size_t count = (size - 42) / (es + 1);

    // Exactly sized copies, so that ASan sees any access past the end.
    const Bytes mask(data + 42, data + 42 + count);
    const Bytes src(data + 42 + count, data + 42 + count + count * es);

    Bytes plain = src;
    for (size_t i = 0; i < count; ++i)
        if (!mask[i]) put(plain, i, es, sentinel);
    Bytes out(count * es), in_place = src;
    nodata_restore(out.data(), src.data(), mask.data(), count, es, sentinel);
    require(out == plain);
    nodata_restore(in_place.data(), in_place.data(), mask.data(), count, es, sentinel);
    require(in_place == plain);

    Bytes want = src;
    const int flag = ref_restore_guarded(want, mask, es, sentinel, guard);
    require(nodata_restore_guarded(out.data(), src.data(), mask.data(), count, es, sentinel,
                                   &guard) == flag);
    require(out == want);
    in_place = src;
    require(nodata_restore_guarded(in_place.data(), in_place.data(), mask.data(), count, es,
                                   sentinel, &guard) == flag);
    require(in_place == want);

    // The output starting `shift` bytes into the samples: sample by sample.
    if (count) {
        Bytes arena(count * es + shift);
        std::memcpy(arena.data(), src.data(), count * es);
        Bytes sim = arena;
        for (size_t i = 0; i < count; ++i) {
            uint64_t v = sentinel;
            if (mask[i]) std::memcpy(&v, &sim[i * es], es);
            std::memcpy(&sim[shift + i * es], &v, es);
        }
        nodata_restore(arena.data() + shift, arena.data(), mask.data(), count, es, sentinel);
        require(arena == sim);
    }

    // Nothing lossy in between: mark, fill and restore give the tile back.
    Bytes codes(count);
    const int kind = nodata_mark_guarded(codes.data(), src.data(), count, dtype, sentinel, radius);
    require(kind == 0 || kind == 2);
    nodata_guard g;
    require(nodata_guard_values(&g, dtype, sentinel) == kind);
    Bytes filled(count * es);
    const uint64_t width = count ? 1 + data[41] % count : 0;
    nodata_fill(filled.data(), src.data(), codes.data(), width, count, es);
    const uint64_t s = sentinel & (es == 8 ? ~uint64_t(0) : (uint64_t(1) << (8 * es)) - 1);
    for (size_t i = 0; i < count; ++i) {
        require((codes[i] == 0) == (get(src, i, es) == s));
        require(kind == 0 ? codes[i] <= 3 : codes[i] == 0 || codes[i] == 0xFF);
    }
    if (kind == 0) {
        require(nodata_restore_guarded(filled.data(), filled.data(), codes.data(), count, es,
                                       sentinel, &g) == 0);
    } else {
        nodata_restore(filled.data(), filled.data(), codes.data(), count, es, sentinel);
    }
    require(filled == src);
    return 0;
}
