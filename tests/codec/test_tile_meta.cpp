// Format version 3: big-endian samples given back big-endian, and the
// fields (grid position, array) that a reader checks where a tile belongs.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>

#include "codec_support.h"

using namespace vt;

namespace {

Bytes encode_with(const varda_codec_product &p, const Bytes &tile, size_t width, size_t height,
                  const varda_codec_tile_meta *meta, std::string *message = nullptr) {
    Bytes blob(varda_codec_bound(&p, width, height));
    uint64_t len = 0;
    char err[256] = "";
    if (varda_codec_encode_tile(&p, tile.data(), width, height, meta, blob.data(), blob.size(),
                                &len, err, sizeof err) != 0) {
        if (message) *message = err;
        return {};
    }
    blob.resize(len);
    return blob;
}

Bytes swapped(const Bytes &tile, size_t es) {
    Bytes out = tile;
    for (size_t i = 0; i < out.size(); i += es)
        for (size_t a = 0, b = es - 1; a < b; ++a, --b) std::swap(out[i + a], out[i + b]);
    return out;
}

Bytes smooth(size_t es, size_t count) {
    return tile_of(es, count, [](size_t i) { return uint64_t(1000 + (i % 17) * 3 + i / 9); });
}

} // namespace

TEST(TileMeta, BigEndianSamplesComeBackBigEndian) {
    const size_t w = 24, h = 10, n = w * h;
    for (int dtype : {VARDA_DTYPE_U16, VARDA_DTYPE_I16, VARDA_DTYPE_U32, VARDA_DTYPE_I64,
                      VARDA_DTYPE_F32, VARDA_DTYPE_F64}) {
        const size_t es = varda_dtype_size(dtype);
        const Bytes little = smooth(es, n), big = swapped(little, es);
        const varda_codec_product p = product_for(dtype, VARDA_CHAIN_AUTO);
        varda_codec_tile_meta meta{};
        meta.big_endian = 1;
        const Bytes blob = encode_with(p, big, w, h, &meta);
        ASSERT_FALSE(blob.empty()) << dtype;
        EXPECT_EQ(blob[4], 3);
        EXPECT_EQ(blob[6] & 8, 8);
        // Coded as the values they are: the same chain section as the
        // little-endian tile's.
        const Bytes plain = encode(p, little, w, h);
        EXPECT_EQ(blob.size(), plain.size());
        EXPECT_TRUE(std::equal(blob.begin() + 16, blob.end() - 8, plain.begin() + 16));
        Bytes out(n * es);
        ASSERT_EQ(decode(blob, out), 0);
        EXPECT_EQ(out, big) << dtype;
        varda_codec_tile_meta back{};
        ASSERT_EQ(varda_codec_read_tile_meta(blob.data(), blob.size(), 1, &back, nullptr, 0), 0);
        EXPECT_EQ(back.big_endian, 1);
        EXPECT_EQ(back.position_count, 0u);
        varda_codec_info info;
        ASSERT_EQ(varda_codec_read_info(blob.data(), blob.size(), &info, nullptr, 0), 0);
        EXPECT_EQ(info.version, 3u);
    }
}

TEST(TileMeta, ByteTilesAndEmptyMetaKeepTheEarlierVersions) {
    const Bytes tile = smooth(1, 64);
    const varda_codec_product p = product_for(VARDA_DTYPE_U8, VARDA_CHAIN_ZSTD);
    varda_codec_tile_meta meta{};
    meta.big_endian = 1;
    EXPECT_EQ(encode_with(p, tile, 8, 8, &meta), encode(p, tile, 8, 8));
    EXPECT_EQ(encode_with(p, tile, 8, 8, nullptr), encode(p, tile, 8, 8));
    varda_codec_tile_meta none{};
    const Bytes blob = encode_with(p, tile, 8, 8, &none);
    EXPECT_EQ(blob[4], 1);
    varda_codec_tile_meta back;
    std::memset(&back, 0xAB, sizeof back);
    ASSERT_EQ(varda_codec_read_tile_meta(blob.data(), blob.size(), 1, &back, nullptr, 0), 0);
    EXPECT_EQ(back.big_endian, 0);
    EXPECT_EQ(back.position_count, 0u);
    EXPECT_EQ(back.has_array, 0);
}

TEST(TileMeta, PositionAndArrayAreRecordedAndReadBack) {
    const size_t w = 16, h = 8, n = w * h;
    const Bytes tile = smooth(2, n);
    varda_codec_product p = product_for(VARDA_DTYPE_U16, VARDA_CHAIN_AUTO);
    varda_codec_tile_meta meta{};
    meta.position_count = 3;
    meta.position[0] = 2;
    meta.position[1] = 70000;
    meta.position[2] = 5;
    meta.has_array = 1;
    meta.array = 0x0123456789abcdefULL;
    const Bytes blob = encode_with(p, tile, w, h, &meta);
    ASSERT_FALSE(blob.empty());
    // The fields follow the fixed header: a count, then tag, length, bytes.
    EXPECT_EQ(blob[4], 3);
    EXPECT_EQ(blob[6] & 16, 16);
    EXPECT_EQ(blob[16], 2);
    EXPECT_EQ(blob[17], 1);
    EXPECT_EQ(blob[18], 12);
    EXPECT_EQ(blob.size(), encode(p, tile, w, h).size() + 1 + 14 + 10);
    Bytes out(n * 2);
    ASSERT_EQ(decode(blob, out), 0);
    EXPECT_EQ(out, tile);
    varda_codec_tile_meta back{};
    ASSERT_EQ(varda_codec_read_tile_meta(blob.data(), blob.size(), 1, &back, nullptr, 0), 0);
    EXPECT_EQ(back.position_count, 3u);
    EXPECT_EQ(back.position[1], 70000u);
    EXPECT_EQ(back.has_array, 1);
    EXPECT_EQ(back.array, meta.array);
    EXPECT_EQ(back.big_endian, 0);

    // Lossy float tiles with non-finite samples (version 2 before) take
    // the fields too, and big-endian samples with them.
    std::vector<float> raster(n, 2.5f);
    for (size_t i = 0; i < n; ++i) raster[i] = float(i % 13) * 0.25f;
    raster[5] = INFINITY;
    Bytes floats(n * 4);
    std::memcpy(floats.data(), raster.data(), floats.size());
    varda_codec_product lossy = product_for(VARDA_DTYPE_F32, VARDA_CHAIN_ZSTD);
    ASSERT_EQ(varda_codec_prepare(&lossy, "LINEAR:MAX_ERROR=0.5", floats.data(), w, n, nullptr, 0),
              0);
    meta.big_endian = 1;
    const Bytes big = encode_with(lossy, swapped(floats, 4), w, h, &meta);
    ASSERT_FALSE(big.empty());
    EXPECT_EQ(big[6], 2 | 4 | 8 | 16);
    Bytes rebuilt(n * 4);
    ASSERT_EQ(decode(big, rebuilt), 0);
    rebuilt = swapped(rebuilt, 4);
    std::vector<float> values(n);
    std::memcpy(values.data(), rebuilt.data(), rebuilt.size());
    EXPECT_TRUE(std::isinf(values[5]));
    for (size_t i = 0; i < n; ++i) {
        if (i == 5) continue;
        EXPECT_LE(std::fabs(values[i] - raster[i]), 0.5f) << i;
    }
}

TEST(TileMeta, UnknownFieldsAreSkippedAndBadOnesRefused) {
    const size_t w = 8, h = 4, n = w * h;
    const Bytes tile = smooth(2, n);
    const varda_codec_product p = product_for(VARDA_DTYPE_U16, VARDA_CHAIN_ZSTD);
    varda_codec_tile_meta meta{};
    meta.position_count = 2;
    meta.position[0] = 1;
    meta.position[1] = 3;
    const Bytes blob = encode_with(p, tile, w, h, &meta);
    ASSERT_FALSE(blob.empty());
    // Fields: count 1 at 16, tag 1 at 17, length 8 at 18, indices 19 .. 26.
    ASSERT_EQ(blob[16], 1);
    // A field of a tag this build does not know, put before the position.
    Bytes later(blob.begin(), blob.begin() + 17);
    later[16] = 2;
    for (unsigned char b : {0x7F, 3, 0xAA, 0xBB, 0xCC}) later.push_back(b);
    later.insert(later.end(), blob.begin() + 17, blob.end());
    seal(later);
    Bytes out(n * 2);
    ASSERT_EQ(decode(later, out), 0);
    EXPECT_EQ(out, tile);
    varda_codec_tile_meta back{};
    ASSERT_EQ(varda_codec_read_tile_meta(later.data(), later.size(), 1, &back, nullptr, 0), 0);
    EXPECT_EQ(back.position_count, 2u);
    EXPECT_EQ(back.position[1], 3u);

    const auto refused = [&](Bytes bad, const char *message) {
        seal(bad);
        std::string why;
        EXPECT_EQ(decode(bad, out, &why), VARDA_CODEC_CORRUPT) << message;
        EXPECT_NE(why.find(message), std::string::npos) << why;
    };
    Bytes bad = blob;
    bad[18] = 6;
    refused(bad, "grid position field of a wrong length");
    bad = blob;
    bad[16] = 0;
    refused(bad, "without fields");
    bad = blob;
    bad[16] = 2; // a second field that is not there: the chain read as one
    refused(bad, "corrupt tile");
    bad = blob;
    bad[4] = 1;
    refused(bad, "a version 1 tile cannot record");
    bad = blob;
    bad[6] &= ~16u;
    bad.erase(bad.begin() + 16, bad.begin() + 27);
    refused(bad, "a version 3 tile must record");
    bad = blob;
    bad[6] |= 32;
    refused(bad, "unknown header flags");
    // A damaged fields section behind a wrong checksum is corrupt either way.
    bad = blob;
    bad[20] ^= 1;
    EXPECT_EQ(varda_codec_read_tile_meta(bad.data(), bad.size(), 1, &back, nullptr, 0),
              VARDA_CODEC_CORRUPT);
    EXPECT_EQ(varda_codec_read_tile_meta(bad.data(), bad.size(), 0, &back, nullptr, 0), 0);
    EXPECT_EQ(varda_codec_read_tile_meta(bad.data(), bad.size(), 0, nullptr, nullptr, 0),
              VARDA_CODEC_REFUSED);
}

TEST(TileMeta, RefusesMetaItCannotRecord) {
    const Bytes tile = smooth(2, 16);
    const varda_codec_product p = product_for(VARDA_DTYPE_U16, VARDA_CHAIN_ZSTD);
    varda_codec_tile_meta meta{};
    meta.position_count = VARDA_CODEC_POSITION_MAX + 1;
    std::string why;
    EXPECT_TRUE(encode_with(p, tile, 4, 4, &meta, &why).empty());
    EXPECT_NE(why.find("at most 8 indices"), std::string::npos) << why;
    meta = {};
    meta.big_endian = 2;
    EXPECT_TRUE(encode_with(p, tile, 4, 4, &meta, &why).empty());
    EXPECT_NE(why.find("big_endian"), std::string::npos) << why;
    // The bound covers the widest fields on the largest tile of noise.
    meta = {};
    meta.big_endian = 1;
    meta.position_count = VARDA_CODEC_POSITION_MAX;
    meta.has_array = 1;
    const size_t w = 64, h = 64;
    const Bytes noise = tile_of(8, w * h, [](size_t i) {
        uint64_t x = i * 0x9E3779B97F4A7C15ULL;
        x ^= x >> 31;
        return x * 0xBF58476D1CE4E5B9ULL;
    });
    const varda_codec_product wide = product_for(VARDA_DTYPE_U64, VARDA_CHAIN_ZSTD);
    const Bytes blob = encode_with(wide, noise, w, h, &meta, &why);
    ASSERT_FALSE(blob.empty()) << why;
    EXPECT_LE(blob.size(), varda_codec_bound(&wide, w, h));
}
