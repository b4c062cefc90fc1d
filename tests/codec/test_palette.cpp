// The palette chain: every dtype bit for bit (floats by their bit
// patterns), tiles at its limits, hostile tables and ranks, and "auto"
// choosing it on posterised tiles.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>
#include <zstd.h>

#include "codec/codec_support.h"
#include "varda_codec.h"

namespace {

using vt::Bytes;
using vt::decode;
using vt::seal;
using vt::tile_of;

constexpr int palette = VARDA_CHAIN_PALETTE;
const uint64_t dtype_bytes[] = {1, 2, 4, 8, 1, 2, 4, 8, 2, 4, 8};

// The levels a tile of each dtype takes: the type's extremes and small
// values; for the floats both zeros, NaN with payloads and infinities.
std::vector<uint64_t> levels_of(int dtype) {
    switch (dtype) {
    case VARDA_DTYPE_F16: return {0x0000, 0x8000, 0x7E01, 0xFE3F, 0x7C00, 0x3C00, 0xC100, 0x0001};
    case VARDA_DTYPE_F32:
        return {0x00000000u, 0x80000000u, 0x7FC00001u, 0xFFC12345u,
                0xFF800000u, 0x3FC00000u, 0xC0100000u, 0x00000001u};
    case VARDA_DTYPE_F64:
        return {0,
                0x8000000000000000ull,
                0x7FF8000000000001ull,
                0xFFF0000000000123ull,
                0x7FF0000000000000ull,
                0x3FF8000000000000ull,
                0xC002000000000000ull};
    default: {
        const uint64_t top = uint64_t(1) << (8 * dtype_bytes[dtype] - 1);
        return {0, 1, 2, 100, top - 1, top, top | (top - 1), 7 * top / 4};
    }
    }
}

// Blocks of the levels with scattered odd samples, in rows of `width`.
Bytes blocks_of(int dtype, size_t width, size_t height, const std::vector<uint64_t> &levels) {
    std::mt19937 rng(unsigned(dtype) + 3);
    return tile_of(dtype_bytes[dtype], width * height, [&](size_t i) {
        const size_t x = i % width, y = i / width;
        const size_t pick = rng() % 9 == 0 ? rng() : x / 5 + 3 * (y / 4);
        return levels[pick % levels.size()];
    });
}

Bytes encode(int dtype, int chain, const Bytes &tile, size_t width, size_t height, int effort = 1,
             std::string *why = nullptr) {
    varda_codec_product p = vt::product_for(dtype, chain);
    p.effort = effort;
    return vt::encode(p, tile, width, height, why);
}

int chain_of(const Bytes &blob) {
    varda_codec_info info;
    EXPECT_EQ(varda_codec_read_info(blob.data(), blob.size(), &info, nullptr, 0), 0);
    return info.chain;
}

void expect_round_trip(const Bytes &blob, const Bytes &tile, const std::string &what) {
    ASSERT_FALSE(blob.empty()) << what;
    Bytes out(tile.size(), 0xA5);
    std::string why;
    ASSERT_EQ(decode(blob, out, &why), 0) << what << ": " << why;
    EXPECT_EQ(out, tile) << what;
}

// The palette's count, stored after the 16-byte header and the chain id.
unsigned count_of(const Bytes &blob) { return (blob[17] | unsigned(blob[18]) << 8) & 0x7FFF; }
bool gap_coded(const Bytes &blob) { return blob[18] & 0x80; }

} // namespace

TEST(Palette, RoundTripsEveryDtypeBitForBit) {
    for (int dtype = 0; dtype < VARDA_DTYPE_COUNT; ++dtype) {
        const std::vector<uint64_t> levels = levels_of(dtype);
        const Bytes tile = blocks_of(dtype, 37, 23, levels);
        for (int effort : {1, 2}) {
            const Bytes blob = encode(dtype, palette, tile, 37, 23, effort);
            const std::string what = "dtype " + std::to_string(dtype);
            expect_round_trip(blob, tile, what);
            EXPECT_EQ(chain_of(blob), palette) << what;
            EXPECT_EQ(count_of(blob), levels.size()) << what;
        }
    }
    // The integers' table in their numeric order: signed extremes first.
    const Bytes tile = blocks_of(VARDA_DTYPE_I16, 37, 23, levels_of(VARDA_DTYPE_I16));
    const Bytes blob = encode(VARDA_DTYPE_I16, palette, tile, 37, 23);
    std::vector<int16_t> table(count_of(blob));
    std::memcpy(table.data(), blob.data() + 19, 2 * table.size());
    EXPECT_TRUE(std::is_sorted(table.begin(), table.end()));
    EXPECT_EQ(table.front(), -32768);
    EXPECT_EQ(table.back(), 32767);
}

// One sample, one value, two values in two samples; ranks in one byte up
// to 256 values and in two past it; exactly the limit and one past it.
TEST(Palette, TilesAtTheLimits) {
    for (int dtype : {VARDA_DTYPE_U8, VARDA_DTYPE_U16, VARDA_DTYPE_F64}) {
        const uint64_t es = dtype_bytes[dtype];
        const Bytes one = tile_of(es, 1, [](size_t) { return 0x41; });
        expect_round_trip(encode(dtype, palette, one, 1, 1), one, "1 x 1");
        const Bytes flat = tile_of(es, 64 * 64, [](size_t) { return 0x41; });
        const Bytes blob = encode(dtype, palette, flat, 64, 64);
        expect_round_trip(blob, flat, "one value");
        EXPECT_EQ(count_of(blob), 1u);
        const Bytes pair = tile_of(es, 2, [](size_t i) { return i; });
        expect_round_trip(encode(dtype, palette, pair, 1, 2), pair, "two values");
    }
    std::mt19937 rng(5);
    for (uint64_t values : {256u, 257u, 4096u}) {
        for (int dtype : {VARDA_DTYPE_U16, VARDA_DTYPE_I32, VARDA_DTYPE_F32}) {
            // Every value at least once, spread over the tile, then noise.
            const Bytes tile = tile_of(dtype_bytes[dtype], 128 * 64, [&](size_t i) {
                return 3 * ((i < values ? i * 7919 : rng()) % values) + 1;
            });
            const std::string what =
                std::to_string(values) + " values, dtype " + std::to_string(dtype);
            const Bytes blob = encode(dtype, palette, tile, 128, 64);
            expect_round_trip(blob, tile, what);
            EXPECT_EQ(count_of(blob), values) << what;
            // Values evenly spaced: the table goes as gaps.
            EXPECT_TRUE(gap_coded(blob)) << what;
        }
    }
    // One past the limit, and a table that would hold most samples.
    const auto refused = [](int dtype, const Bytes &tile, size_t width, const char *message) {
        const size_t height = tile.size() / dtype_bytes[dtype] / width;
        std::string why;
        EXPECT_TRUE(encode(dtype, palette, tile, width, height, 1, &why).empty()) << message;
        EXPECT_NE(why.find(message), std::string::npos) << why;
        varda_codec_product p = vt::product_for(dtype, palette);
        Bytes room(varda_codec_bound(&p, width, height));
        uint64_t len = 0;
        EXPECT_EQ(varda_codec_encode(&p, tile.data(), width, height, room.data(), room.size(), &len,
                                     nullptr, 0),
                  VARDA_CODEC_NOT_APPLICABLE);
    };
    refused(VARDA_DTYPE_U16, tile_of(2, 128 * 64, [](size_t i) { return i % 4097; }), 128,
            "more than 4096 distinct values");
    refused(VARDA_DTYPE_U32, tile_of(4, 20 * 20, [](size_t i) { return i % 300; }), 20,
            "most of the tile's values occur once");
}

// Palette sections written by hand, as format.md lays them out: a table
// that is not in increasing order, a count out of range, ranks past the
// table, a rank plane of the wrong size, a nested splitter, and every cut.
namespace {

struct Section {
    int dtype = VARDA_DTYPE_U16;
    uint32_t width = 4, height = 2;
    unsigned count = 3;
    std::vector<uint64_t> table = {5, 9, 100};
    Bytes ranks = {0, 1, 2, 1, 0, 0, 2, 2};
    unsigned nested = VARDA_CHAIN_ZSTD;
    // When set, the table is written as its first value and these gaps.
    std::vector<uint64_t> gaps;
};

void put_frame(Bytes &b, const Bytes &content) {
    Bytes frame(ZSTD_compressBound(content.size()));
    frame.resize(ZSTD_compress(frame.data(), frame.size(), content.data(), content.size(), 1));
    for (int i = 0; i < 4; ++i) b.push_back(uint8_t(frame.size() >> (8 * i)));
    b.insert(b.end(), frame.begin(), frame.end());
}

Bytes blob_of(const Section &s) {
    Bytes b = {'V', 'R', 'D', 'T', 1, uint8_t(s.dtype), 0, 0};
    for (uint32_t v : {s.width, s.height})
        for (int i = 0; i < 4; ++i) b.push_back(uint8_t(v >> (8 * i)));
    b.push_back(VARDA_CHAIN_PALETTE);
    const unsigned count = s.count | (s.gaps.empty() ? 0 : 0x8000);
    b.push_back(uint8_t(count));
    b.push_back(uint8_t(count >> 8));
    const auto put = [&](Bytes &to, uint64_t v) {
        for (uint64_t i = 0; i < dtype_bytes[s.dtype]; ++i) to.push_back(uint8_t(v >> (8 * i)));
    };
    if (s.gaps.empty()) {
        for (uint64_t v : s.table) put(b, v);
    } else {
        put(b, s.table[0]);
        Bytes gaps;
        for (uint64_t g : s.gaps) put(gaps, g);
        put_frame(b, gaps);
    }
    b.push_back(uint8_t(s.nested));
    put_frame(b, s.ranks);
    b.resize(b.size() + 8);
    seal(b);
    return b;
}

void expect_refused(const Section &s, const char *message) {
    Bytes out(uint64_t(s.width) * s.height * dtype_bytes[s.dtype]);
    std::string why;
    EXPECT_EQ(decode(blob_of(s), out, &why), VARDA_CODEC_CORRUPT) << message;
    EXPECT_EQ(why.rfind("corrupt tile: ", 0), 0u) << why;
    EXPECT_NE(why.find(message), std::string::npos) << why;
}

} // namespace

TEST(Palette, RefusesHostileSections) {
    const Section good;
    Bytes out(16);
    ASSERT_EQ(decode(blob_of(good), out), 0);
    EXPECT_EQ(out, tile_of(2, 8, [](size_t i) {
                  return std::vector<uint64_t>{5, 9, 100, 9, 5, 5, 100, 100}[i];
              }));

    Section s = good;
    s.table = {9, 5, 100};
    expect_refused(s, "not in increasing order");
    s.table = {5, 5, 100};
    expect_refused(s, "not in increasing order");
    // Signed integers and floats are ordered by value: -3 below 5, and -1.0
    // below -0.0 below +0.0 below the NaN.
    s = good;
    s.dtype = VARDA_DTYPE_I16;
    s.table = {0xFFFD, 5, 9};
    ASSERT_EQ(decode(blob_of(s), out), 0);
    s.table = {5, 0xFFFD, 9};
    expect_refused(s, "not in increasing order");
    s = good;
    s.dtype = VARDA_DTYPE_F32;
    s.count = 4;
    s.table = {0xBF800000u, 0x80000000u, 0, 0x7FC00000u};
    Bytes floats(32);
    ASSERT_EQ(decode(blob_of(s), floats), 0);
    s.table = {0x80000000u, 0xBF800000u, 0, 0x7FC00000u};
    expect_refused(s, "not in increasing order");

    // The table as its first value and the gaps less one: 5, 9, 100 again;
    // a gap past the type's top, too few gaps, and gaps for one value.
    s = good;
    s.gaps = {3, 90};
    ASSERT_EQ(decode(blob_of(s), out), 0);
    EXPECT_EQ(out, tile_of(2, 8, [](size_t i) {
                  return std::vector<uint64_t>{5, 9, 100, 9, 5, 5, 100, 100}[i];
              }));
    s.gaps = {3, 65526}; // 9 + 65526 + 1 is one past 65535
    expect_refused(s, "gaps run past its type's range");
    s.gaps = {3};
    expect_refused(s, "palette's gaps");
    s.count = 1;
    s.table = {5};
    s.ranks.assign(8, 0);
    expect_refused(s, "count is out of range");

    s = good;
    s.count = 0;
    s.table.clear();
    expect_refused(s, "count is out of range");
    s.count = 9; // more entries than the tile's 8 samples
    s.table = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    expect_refused(s, "count is out of range");
    s.count = 4097;
    expect_refused(s, "count is out of range");
    // A byte tile's table past 256 entries, whose two-byte ranks could not
    // be rebuilt in place.
    s = good;
    s.dtype = VARDA_DTYPE_U8;
    s.width = 32, s.height = 32;
    s.count = 257;
    s.table.assign(257, 0);
    s.ranks.assign(2048, 0);
    expect_refused(s, "count is out of range");

    s = good;
    s.ranks[5] = 3;
    expect_refused(s, "a rank is not below the palette's count");
    s.ranks[5] = 255;
    expect_refused(s, "a rank is not below the palette's count");
    s = good;
    s.ranks.resize(16); // ranks of two bytes where one is due
    expect_refused(s, "has the wrong size");
    s = good;
    for (unsigned nested : {VARDA_CHAIN_INTMULT, VARDA_CHAIN_PALETTE}) {
        s.nested = nested;
        expect_refused(s, "nested in a splitter");
    }

    // Cut anywhere in the section, checksum made right: refused, never read
    // past.
    const Bytes whole = blob_of(good);
    for (size_t keep = 17; keep + 8 < whole.size(); ++keep) {
        Bytes cut(whole.begin(), whole.begin() + long(keep));
        cut.resize(keep + 8);
        seal(cut);
        EXPECT_EQ(decode(cut, out), VARDA_CODEC_CORRUPT) << keep;
    }
}

// Posterised plates (a smooth picture on a few hundred uneven levels, no
// common step) and a categorical map: "auto" codes them through the
// palette at efforts 1 and 2, smaller than every other chain it tries.
TEST(Palette, AutoChoosesItOnPosterisedTiles) {
    const size_t side = 256;
    std::mt19937 rng(21);
    std::vector<uint64_t> levels(300);
    for (size_t j = 0; j < levels.size(); ++j) levels[j] = uint64_t(7 * j + rng() % 3 - 900);
    const Bytes plate = tile_of(2, side * side, [&](size_t i) {
        const double x = double(i % side), y = double(i / side);
        const double v =
            150 + 70 * std::sin(x / 23) * std::cos(y / 31) + 70 * std::sin((x + y) / 57);
        return levels[size_t(std::clamp(v, 0.0, 299.0))];
    });
    const uint64_t classes[] = {11, 21, 22, 23, 24, 31, 41, 42, 43, 52, 71, 81, 82, 90, 95};
    const Bytes map = tile_of(1, side * side, [&](size_t i) {
        const size_t x = i % side, y = i / side;
        return classes[(x / 37 + 3 * (y / 29) + (x * y / 911)) % std::size(classes)];
    });
    const int others[] = {VARDA_CHAIN_PLANAR_LANES_ZSTD, VARDA_CHAIN_MED_ZIGZAG,
                          VARDA_CHAIN_AVERAGE,           VARDA_CHAIN_SHUFFLE_ZSTD,
                          VARDA_CHAIN_CONTEXT_RANS,      VARDA_CHAIN_INTMULT};
    for (const auto &[dtype, tile] : {std::pair{VARDA_DTYPE_I16, plate}, {VARDA_DTYPE_U8, map}}) {
        const Bytes e1 = encode(dtype, VARDA_CHAIN_AUTO, tile, side, side, 1);
        const Bytes e2 = encode(dtype, VARDA_CHAIN_AUTO, tile, side, side, 2);
        expect_round_trip(e1, tile, "effort 1");
        expect_round_trip(e2, tile, "effort 2");
        EXPECT_EQ(chain_of(e1), palette) << "dtype " << dtype;
        EXPECT_EQ(chain_of(e2), palette) << "dtype " << dtype;
        EXPECT_LE(e2.size(), e1.size());
        for (int other : others) {
            const Bytes alone = encode(dtype, other, tile, side, side);
            if (!alone.empty()) {
                EXPECT_LT(e1.size(), alone.size()) << other;
            }
        }
    }
}
