// The tile codec: every chain on every dtype it takes, nodata, lossy
// bounds, "auto", refusals of corrupt blobs, and golden blobs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "codec/codec_support.h"
#include "support/support.h"
#include "varda_codec.h"
#include "wrap/counting_hash.h"
#include "wrap/failing_malloc.h"
#include <xxhash.h>
#include <zstd.h>

namespace {

using vt::Bytes;
using vt::decode;
using vt::encode;
using vt::product_for;

constexpr int all_dtypes[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
const uint64_t dtype_bytes[] = {1, 2, 4, 8, 1, 2, 4, 8, 2, 4, 8};

enum class Content { constant, smooth, noisy, extremes, specials };

// Samples of `dtype` for a tile: integers as bit patterns, floats as real
// values of the type (binary16 as its bit pattern of a small float).
Bytes make_tile(int dtype, size_t width, size_t height, Content content, uint32_t seed) {
    const uint64_t es = dtype_bytes[dtype];
    const size_t count = width * height;
    std::mt19937_64 rng(seed);
    Bytes out(count * es);
    for (size_t i = 0; i < count; ++i) {
        const size_t r = i / width, c = i % width;
        const int64_t noise = int64_t(rng() % 7) - 3;
        const uint64_t random = rng();
        double value = 0;
        uint64_t bits = 0;
        switch (content) {
        case Content::constant: value = 17; break;
        case Content::smooth:
            value = 300 + 2.0 * double(r) + 3.0 * double(c) + double(noise);
            break;
        case Content::noisy: bits = random; break;
        case Content::extremes:
            bits = (random & 1) ? ~uint64_t(0) : (random & 2) ? 0 : uint64_t(1) << (8 * es - 1);
            break;
        case Content::specials: bits = random; break;
        }
        if (content == Content::noisy || content == Content::extremes) {
            std::memcpy(out.data() + i * es, &bits, es);
            continue;
        }
        if (dtype == 9) {
            float f = float(value) * 0.37f;
            if (content == Content::specials) {
                const uint32_t choices[] = {0x7FC00001u, 0xFFC12345u, 0x80000000u,
                                            0u,          0x7F800000u, 0x00000001u};
                const uint32_t b = choices[random % 6];
                std::memcpy(&f, &b, 4);
            }
            std::memcpy(out.data() + i * 4, &f, 4);
        } else if (dtype == 10) {
            double d = value * 0.37;
            if (content == Content::specials) {
                const uint64_t choices[] = {0x7FF8000000000001ull, 0xFFF0000000000123ull,
                                            0x8000000000000000ull, 0ull};
                std::memcpy(&d, &choices[random % 4], 8);
            }
            std::memcpy(out.data() + i * 8, &d, 8);
        } else {
            bits = uint64_t(int64_t(value));
            if (dtype == 8) bits = 0x3C00 + uint64_t(int64_t(value) & 0x3FF); // 1.0 .. 2.0
            if (content == Content::specials) bits = (random & 1) ? 0x7E01 : 0x8000;
            std::memcpy(out.data() + i * es, &bits, es);
        }
    }
    return out;
}

struct Shape {
    size_t width, height;
};
const Shape shapes[] = {{1, 1}, {37, 1}, {1, 29}, {13, 7}, {64, 64}, {100, 3}};

} // namespace

TEST(Codec, ChainsAreListedByStableIdAndName) {
    EXPECT_EQ(varda_codec_chain_count(), 20);
    EXPECT_STREQ(varda_codec_chain_name(1), "zstd");
    EXPECT_STREQ(varda_codec_chain_name(5), "planar");
    EXPECT_STREQ(varda_codec_chain_name(16), "floatmult");
    EXPECT_STREQ(varda_codec_chain_name(255), "auto");
    EXPECT_EQ(varda_codec_chain_name(0), nullptr);
    EXPECT_STREQ(varda_codec_chain_name(17), "context-rans");
    EXPECT_STREQ(varda_codec_chain_name(18), "floatmult-wide");
    EXPECT_STREQ(varda_codec_chain_name(19), "palette");
    EXPECT_STREQ(varda_codec_chain_name(20), "context-lanes");
    EXPECT_EQ(varda_codec_chain_name(21), nullptr);
    for (int id = 1; id <= 20; ++id)
        EXPECT_EQ(varda_codec_chain_id(varda_codec_chain_name(id)), id);
    EXPECT_EQ(varda_codec_chain_id("auto"), 255);
    EXPECT_EQ(varda_codec_chain_id("Planar"), -1);
    EXPECT_EQ(varda_codec_chain_accepts(13, 9), 0); // intmult: integers only
    EXPECT_EQ(varda_codec_chain_accepts(15, 1), 0); // floatquant: f32, f64
    EXPECT_EQ(varda_codec_chain_accepts(15, 8), 0);
    EXPECT_EQ(varda_codec_chain_accepts(16, 10), 1);
    EXPECT_EQ(varda_codec_chain_accepts(18, 9), 1); // floatmult-wide: f32 only
    EXPECT_EQ(varda_codec_chain_accepts(18, 10), 0);
    for (int dtype : all_dtypes) EXPECT_EQ(varda_codec_chain_accepts(19, dtype), 1); // palette
}

// Every chain, every dtype it takes, every shape and content, bit for bit.
TEST(Codec, EveryChainRoundTripsEveryDtypeItTakes) {
    const Content contents[] = {Content::constant, Content::smooth, Content::noisy,
                                Content::extremes, Content::specials};
    for (int chain = 1; chain <= varda_codec_chain_count(); ++chain) {
        for (int dtype : all_dtypes) {
            if (!varda_codec_chain_accepts(chain, dtype)) continue;
            const varda_codec_product p = product_for(dtype, chain);
            for (const Shape &s : shapes) {
                for (Content content : contents) {
                    const Bytes tile = make_tile(dtype, s.width, s.height, content, 11);
                    std::string why;
                    const Bytes blob = encode(p, tile, s.width, s.height, &why);
                    if (blob.empty()) {
                        // Only a splitter may find nothing to split.
                        EXPECT_TRUE((chain >= 13 && chain <= 16) || chain >= 18)
                            << varda_codec_chain_name(chain) << ": " << why;
                        continue;
                    }
                    Bytes out(tile.size(), 0xA5);
                    ASSERT_EQ(decode(blob, out, &why), 0)
                        << varda_codec_chain_name(chain) << " " << why;
                    ASSERT_EQ(out, tile) << varda_codec_chain_name(chain) << " dtype " << dtype
                                         << " " << s.width << "x" << s.height;
                    varda_codec_info info;
                    ASSERT_EQ(varda_codec_read_info(blob.data(), blob.size(), &info, nullptr, 0),
                              0);
                    EXPECT_EQ(info.chain, chain);
                    EXPECT_EQ(info.dtype, dtype);
                    EXPECT_EQ(info.width, s.width);
                }
            }
        }
    }
}

TEST(Codec, SplittersApplyWhereTheirStructureIs) {
    // Multiples of 12 plus 5: intmult finds 12.
    Bytes tile(64 * 64 * 2);
    for (size_t i = 0; i < 64 * 64; ++i) {
        const uint16_t v = uint16_t(5 + 12 * ((i % 64) + i / 64 * 3));
        std::memcpy(tile.data() + 2 * i, &v, 2);
    }
    EXPECT_FALSE(encode(product_for(1, 13), tile, 64, 64).empty());
    // Floats on a 0.1 grid: floatmult finds the step.
    Bytes floats(64 * 64 * 4);
    for (size_t i = 0; i < 64 * 64; ++i) {
        const float v = float(int(i % 97) - 40) / 10.0f;
        std::memcpy(floats.data() + 4 * i, &v, 4);
    }
    const Bytes blob = encode(product_for(9, 16), floats, 64, 64);
    ASSERT_FALSE(blob.empty());
    Bytes out(floats.size());
    ASSERT_EQ(decode(blob, out), 0);
    EXPECT_EQ(out, floats);
    // Floats written from a decimal grid, float(k x 0.04): binary32 products
    // of the step miss many samples and the step found is useless; binary64
    // products rebuild them all on 0.01, and the indices code far smaller.
    std::mt19937_64 rng(8);
    for (size_t i = 0; i < 64 * 64; ++i) {
        const double k = std::floor(500 + 300 * std::sin(double(i % 64) / 9) + double(i / 64)) +
                         double(rng() % 3);
        const float v = float(k * 0.04);
        std::memcpy(floats.data() + 4 * i, &v, 4);
    }
    const Bytes single = encode(product_for(9, VARDA_CHAIN_FLOATMULT), floats, 64, 64);
    const Bytes wide = encode(product_for(9, VARDA_CHAIN_FLOATMULT_WIDE), floats, 64, 64);
    ASSERT_FALSE(wide.empty());
    EXPECT_LT(double(wide.size()) * 1.3, double(single.size()));
    ASSERT_EQ(decode(wide, out), 0);
    EXPECT_EQ(out, floats);
}

TEST(Codec, AutoIsNeverLargerThanTheChainsItTries) {
    const std::vector<std::vector<int>> tried = {
        {VARDA_CHAIN_MED_ZIGZAG},
        {VARDA_CHAIN_PLANAR_LANES_ZSTD, VARDA_CHAIN_MED_ZIGZAG, VARDA_CHAIN_AVERAGE,
         VARDA_CHAIN_SHUFFLE_ZSTD, VARDA_CHAIN_CONTEXT_RANS, VARDA_CHAIN_INTMULT,
         VARDA_CHAIN_FLOATQUANT, VARDA_CHAIN_FLOATMULT, VARDA_CHAIN_FLOATMULT_WIDE,
         VARDA_CHAIN_PALETTE},
        {}}; // effort 2: every chain
    for (int dtype : {1, 5, 9}) {
        const Bytes tile = make_tile(dtype, 64, 64, Content::smooth, 3);
        for (int effort = 0; effort <= 2; ++effort) {
            varda_codec_product p = product_for(dtype, VARDA_CHAIN_AUTO);
            p.effort = effort;
            const Bytes chosen = encode(p, tile, 64, 64);
            ASSERT_FALSE(chosen.empty());
            std::vector<int> chains = tried[size_t(effort)];
            if (chains.empty())
                for (int id = 1; id <= varda_codec_chain_count(); ++id) chains.push_back(id);
            size_t best = SIZE_MAX;
            for (int chain : chains) {
                if (!varda_codec_chain_accepts(chain, dtype)) continue;
                const Bytes single = encode(product_for(dtype, chain), tile, 64, 64);
                if (!single.empty()) best = std::min(best, single.size());
            }
            // Effort 2 may code its best zstd chain at a stronger level.
            if (effort < 2)
                EXPECT_EQ(chosen.size(), best) << "dtype " << dtype << " effort " << effort;
            else
                EXPECT_LE(chosen.size(), best) << "dtype " << dtype;
            Bytes out(tile.size());
            ASSERT_EQ(decode(chosen, out), 0);
            EXPECT_EQ(out, tile);
        }
    }
}

// Tall tiles are judged on bands of their rows before the best chains code
// them whole: the choice must stay close to the best chain, whichever kind
// wins (predictors, LZ matches, splitters), and a tile off its multiplier
// only where no band looks must still be coded.
TEST(Codec, AutoJudgesTallTilesOnBandsOfRows) {
    const std::vector<int> effort1 = {
        VARDA_CHAIN_PLANAR_LANES_ZSTD, VARDA_CHAIN_MED_ZIGZAG,   VARDA_CHAIN_AVERAGE,
        VARDA_CHAIN_SHUFFLE_ZSTD,      VARDA_CHAIN_CONTEXT_RANS, VARDA_CHAIN_CONTEXT_LANES,
        VARDA_CHAIN_INTMULT,           VARDA_CHAIN_FLOATQUANT,   VARDA_CHAIN_FLOATMULT,
        VARDA_CHAIN_FLOATMULT_WIDE,    VARDA_CHAIN_PALETTE};
    const size_t w = 96, h = 320;
    // Noisy rows that repeat every seventh row: only LZ matches find them.
    Bytes repeating(w * h * 2);
    std::mt19937 rng(4);
    for (size_t i = 0; i < w * 7; ++i) {
        repeating[2 * i] = static_cast<unsigned char>(rng());
        repeating[2 * i + 1] = static_cast<unsigned char>(rng() & 3);
    }
    for (size_t i = w * 7; i < w * h; ++i)
        repeating[2 * i] = repeating[2 * (i - w * 7)],
                      repeating[2 * i + 1] = repeating[2 * (i - w * 7) + 1];
    // Multiples of 3 plus 1, but for one sample in the first row, which no
    // band holds.
    Bytes almost = make_tile(0, w, h, Content::smooth, 11);
    for (unsigned char &v : almost) v = static_cast<unsigned char>(1 + 3 * (v % 85));
    almost[5] = 2;
    // Floats written from a decimal grid, where a splitter wins by far.
    Bytes decimal(w * h * 4);
    for (size_t i = 0; i < w * h; ++i) {
        const float f = float(double(1000 + 2 * (i / w) + 3 * (i % w) + rng() % 5) * 0.04);
        std::memcpy(decimal.data() + 4 * i, &f, 4);
    }
    // A smooth float field with a little noise, whose bit patterns the
    // context chain's predictors shrink and the lane chain takes as they
    // are.
    Bytes field(w * h * 4);
    std::normal_distribution<double> noise(0, 0.01);
    for (size_t i = 0; i < w * h; ++i) {
        const double y = double(i / w), x = double(i % w);
        const float f = float(280 + 12 * std::sin(x / 20) + 8 * std::cos(y / 9) + noise(rng));
        std::memcpy(field.data() + 4 * i, &f, 4);
    }
    const struct {
        int dtype;
        Bytes tile;
        double margin = 1.03;
    } cases[] = {{9, field, 1.01},
                 {1, make_tile(1, w, h, Content::smooth, 8)},
                 {5, make_tile(5, w, h, Content::noisy, 9)},
                 {9, make_tile(9, w, h, Content::smooth, 10)},
                 {1, repeating},
                 {0, almost},
                 {9, decimal}};
    for (const auto &c : cases) {
        varda_codec_product p = product_for(c.dtype, VARDA_CHAIN_AUTO);
        const Bytes chosen = encode(p, c.tile, w, h);
        ASSERT_FALSE(chosen.empty()) << "dtype " << c.dtype;
        size_t best = SIZE_MAX;
        for (int chain : effort1) {
            if (!varda_codec_chain_accepts(chain, c.dtype)) continue;
            const Bytes single = encode(product_for(c.dtype, chain), c.tile, w, h);
            if (!single.empty()) best = std::min(best, single.size());
        }
        EXPECT_LE(double(chosen.size()), c.margin * double(best)) << "dtype " << c.dtype;
        Bytes out(c.tile.size());
        ASSERT_EQ(decode(chosen, out), 0);
        EXPECT_EQ(out, c.tile);
    }
}

// A posterised u16 plate of 128 x 128 with repeats far apart, and what a
// forced chain codes it to at zstd's level 19: effort 2 must not settle
// for less, and must give the tile back.
void expect_effort_two_matches_strong_level(const Bytes &tile, int chain, int chain_effort) {
    const size_t w = 128, h = 128;
    varda_codec_product strong = product_for(1, chain);
    strong.zstd_level = 19;
    strong.effort = chain_effort;
    const Bytes reference = encode(strong, tile, w, h);
    ASSERT_FALSE(reference.empty());
    varda_codec_product p = product_for(1, VARDA_CHAIN_AUTO);
    p.effort = 2;
    const Bytes chosen = encode(p, tile, w, h);
    ASSERT_FALSE(chosen.empty());
    EXPECT_LE(chosen.size(), reference.size()) << "chain " << chain;
    Bytes out(tile.size());
    ASSERT_EQ(decode(chosen, out), 0);
    EXPECT_EQ(out, tile);
}

// zstd's strong levels find what its default misses.
TEST(Codec, AutoAtEffortTwoCodesLzTilesAtAStrongLevel) {
    const size_t n = 128 * 128;
    Bytes tile(n * 2);
    std::mt19937 rng(12);
    const uint16_t levels[] = {0, 120, 255, 900, 4000, 31000};
    Bytes motif(128 * 2 * 37);
    for (size_t i = 0; i < motif.size() / 2; ++i) {
        const uint16_t v = levels[rng() % 6];
        std::memcpy(motif.data() + 2 * i, &v, 2);
    }
    for (size_t i = 0; i < tile.size(); ++i) tile[i] = motif[i % motif.size()];
    for (size_t i = 0; i < n; i += 1 + rng() % 61) tile[2 * i] ^= 1; // breaks up the matches
    expect_effort_two_matches_strong_level(tile, VARDA_CHAIN_ZSTD, 1);
}

// The same through the palette: its retry at the strong level takes the
// ranks' best chains alone and must still find what a palette coded
// wholly at that level finds.
TEST(Codec, AutoAtEffortTwoCodesLzPalettesAtAStrongLevel) {
    const size_t n = 128 * 128;
    Bytes tile(n * 2);
    std::mt19937 rng(5);
    const uint16_t levels[] = {0, 120, 255, 900, 4000, 31000, 47, 6};
    std::vector<uint16_t> motif(128 * 41);
    for (uint16_t &v : motif) v = levels[rng() % 8];
    for (size_t i = 0; i < n; ++i) {
        uint16_t v = motif[i % motif.size()];
        if (rng() % 53 == 0) v = levels[rng() % 8];
        std::memcpy(tile.data() + 2 * i, &v, 2);
    }
    expect_effort_two_matches_strong_level(tile, VARDA_CHAIN_PALETTE, 2);
}

namespace {

varda_codec_product nodata_product(int dtype, int chain, uint64_t sentinel) {
    varda_codec_product p = product_for(dtype, chain);
    p.nodata = VARDA_NODATA_VALUE;
    p.nodata_value = sentinel;
    return p;
}

// The blob says it holds nodata and gives the tile back exactly.
void expect_nodata_back(const Bytes &blob, const Bytes &tile, const std::string &what) {
    ASSERT_FALSE(blob.empty()) << what;
    varda_codec_info info;
    ASSERT_EQ(varda_codec_read_info(blob.data(), blob.size(), &info, nullptr, 0), 0) << what;
    EXPECT_EQ(info.nodata, 1) << what;
    Bytes out(tile.size());
    ASSERT_EQ(decode(blob, out), 0) << what;
    EXPECT_EQ(out, tile) << what;
}

} // namespace

TEST(Codec, NodataPositionsComeBackExactly) {
    const size_t w = 40, h = 30;
    for (int dtype : {0, 5, 7, 9, 10}) {
        Bytes tile = make_tile(dtype, w, h, Content::smooth, 5);
        const uint64_t es = dtype_bytes[dtype];
        const uint64_t sentinel = dtype == 9    ? 0xC61C3C00u /* -9999 */
                                  : dtype == 10 ? 0xC0C3878000000000ull
                                                : 0x7F;
        std::mt19937 rng(9);
        for (size_t i = 0; i < w * h; ++i)
            if (rng() % 10 == 0 || i < w + 3) std::memcpy(tile.data() + i * es, &sentinel, es);
        const Bytes blob = encode(nodata_product(dtype, VARDA_CHAIN_AUTO, sentinel), tile, w, h);
        expect_nodata_back(blob, tile, "dtype " + std::to_string(dtype));
    }
}

// A lossless tile may keep its nodata in the coded samples, with an empty
// mask (kind 2): a sea of -32768 beside heights near zero costs a palette
// one value more. The header still says the tile holds nodata; a kind-2
// mask with a stream, or in a lossy tile, is refused, as is kind 3.
TEST(Codec, LosslessNodataMayStayInTheSamples) {
    const size_t w = 64, h = 48;
    std::mt19937 rng(4);
    Bytes tile = vt::tile_of(2, w * h, [&](size_t i) {
        const int height = int(i % w) - 26 + int(rng() % 5);
        return uint64_t(uint16_t(height < 0 ? -32768 : height));
    });
    constexpr size_t kind_at = 16;
    for (int effort : {1, 2}) {
        varda_codec_product p = nodata_product(5, VARDA_CHAIN_AUTO, 0x8000);
        p.effort = effort;
        const Bytes blob = encode(p, tile, w, h);
        ASSERT_FALSE(blob.empty());
        EXPECT_EQ(blob[kind_at], 2) << effort;
        expect_nodata_back(blob, tile, "effort " + std::to_string(effort));
    }
    Bytes bad = encode(nodata_product(5, VARDA_CHAIN_MED_ZIGZAG, 0x8000), tile, w, h);
    ASSERT_EQ(bad[kind_at], 0);
    Bytes out(tile.size());
    std::string why;
    bad[kind_at] = 2;
    vt::seal(bad);
    EXPECT_EQ(decode(bad, out, &why), VARDA_CODEC_CORRUPT);
    EXPECT_NE(why.find("an empty mask stream"), std::string::npos) << why;
    bad[kind_at] = 3;
    vt::seal(bad);
    EXPECT_EQ(decode(bad, out, &why), VARDA_CODEC_CORRUPT);
    EXPECT_NE(why.find("unknown nodata mask kind"), std::string::npos) << why;
}

// At effort 1 a tall tile weighs its nodata kept in the samples against
// its mask on bands of rows, and codes the whole tile the way that won
// there. A terrain with a sea keeps the sea in the samples. Where the
// palette fits the bands but not the tile (thousands of values in the rows
// between the bands, none where the palette's probe looks), the tile still
// codes, with its mask.
TEST(Codec, TallTilesWeighNodataInTheSamplesOnBands) {
    const size_t side = 512;
    constexpr size_t kind_at = 16;
    const auto band_row = [&](size_t row) { // the rows effort 1 samples
        for (size_t b = 0; b < 4; ++b)
            if (row + 8 >= (2 * b + 1) * side / 8 && row < (2 * b + 1) * side / 8 + 8) return true;
        return false;
    };
    std::mt19937 rng(12);
    const auto terrain = [&](size_t i) {
        const double x = double(i % side), y = double(i / side);
        const int height = int(300 * std::sin(x / 40) * std::cos(y / 35)) + int(rng() % 7);
        return uint64_t(uint16_t(height < 0 ? -32768 : height));
    };
    const Bytes sea = vt::tile_of(2, side * side, terrain);
    const Bytes crowded = vt::tile_of(2, side * side, [&](size_t i) {
        const uint64_t t = terrain(i);
        return band_row(i / side) || i % 64 == 0 ? t : uint64_t(2000 + 3 * (i % 6000));
    });
    for (const auto &[tile, kind] : {std::pair{&sea, 2}, std::pair{&crowded, 0}}) {
        const Bytes blob = encode(nodata_product(5, VARDA_CHAIN_AUTO, 0x8000), *tile, side, side);
        ASSERT_FALSE(blob.empty());
        EXPECT_EQ(blob[kind_at], kind);
        expect_nodata_back(blob, *tile, "kind " + std::to_string(kind));
    }
}

// Lossless NaN nodata keeps a mask only while one pattern restores every
// NaN; a second payload leaves the NaN samples to the chain, bit for bit.
TEST(Codec, LosslessNanNodataMasksOnlyOnePattern) {
    const size_t w = 17, h = 9;
    for (int dtype : {8, 9, 10}) {
        const uint64_t es = dtype_bytes[dtype];
        const uint64_t quiet = dtype == 8   ? 0x7E00
                               : dtype == 9 ? 0x7FC00000u
                                            : 0x7FF8000000000000ull;
        for (bool second_payload : {false, true}) {
            Bytes tile = make_tile(dtype, w, h, Content::smooth, 3);
            for (size_t i = 0; i < w * h; i += 5) {
                const uint64_t bits = second_payload && i % 2 ? quiet | 1 : quiet;
                std::memcpy(tile.data() + i * es, &bits, es);
            }
            varda_codec_product p = product_for(dtype, VARDA_CHAIN_SHUFFLE_ZSTD);
            p.nodata = VARDA_NODATA_NAN;
            const Bytes blob = encode(p, tile, w, h);
            ASSERT_FALSE(blob.empty());
            varda_codec_info info;
            ASSERT_EQ(varda_codec_read_info(blob.data(), blob.size(), &info, nullptr, 0), 0);
            EXPECT_EQ(info.nodata, second_payload ? 0 : 1) << dtype;
            Bytes out(tile.size());
            ASSERT_EQ(decode(blob, out), 0);
            EXPECT_EQ(out, tile) << dtype << " " << second_payload;
        }
    }
}

// The noise fit of a SQRT recipe never sees nodata: whatever value the
// sentinel has, the fitted curve and the grid are the same.
TEST(Codec, SqrtFitLeavesNodataOut) {
    const size_t w = 256, h = 192;
    std::mt19937 rng(11);
    std::vector<double> values(w * h);
    for (size_t i = 0; i < w * h; ++i) {
        const double mean = 100.0 + 20.0 * double(i % w);
        values[i] =
            std::round(mean + std::normal_distribution<double>(0, std::sqrt(4 + mean))(rng));
    }
    for (int dtype : {1, 5, 9}) {
        const uint64_t es = dtype_bytes[dtype];
        Bytes clean(w * h * es);
        for (size_t i = 0; i < w * h; ++i) {
            const auto u = uint16_t(values[i]);
            const auto f = float(values[i]);
            std::memcpy(clean.data() + i * es, dtype == 9 ? static_cast<const void *>(&f) : &u, es);
        }
        varda_lossy_recipe fitted[2];
        for (int k = 0; k < 2; ++k) {
            const uint64_t sentinel =
                dtype == 9 ? (k ? 0x47000000u : 0xC61C3C00u) : (k ? 0x7FFF : 3);
            Bytes tile = clean;
            // A band of rows, and samples scattered below it.
            for (size_t i = 0; i < w * h; i += i < 20 * w ? 1 : 997)
                std::memcpy(tile.data() + i * es, &sentinel, es);
            varda_codec_product p = product_for(dtype, VARDA_CHAIN_AUTO);
            p.nodata = VARDA_NODATA_VALUE;
            p.nodata_value = sentinel;
            char err[256] = "";
            ASSERT_EQ(varda_codec_prepare(&p, "SQRT:MAX_ERROR=1N", tile.data(), w, w * h, err,
                                          sizeof err),
                      0)
                << dtype << ": " << err;
            fitted[k] = p.recipe;
        }
        EXPECT_EQ(fitted[0].spec.a, fitted[1].spec.a) << dtype;
        EXPECT_EQ(fitted[0].spec.b, fitted[1].spec.b) << dtype;
    }
}

// A lossy product resolved on a whole raster, cut into tiles: every tile's
// samples stay within the bound, and nodata comes back as the sentinel.
TEST(Codec, LossyTilesStayWithinTheirBound) {
    const size_t w = 96, h = 96, n = w * h;
    const char *recipes[] = {"LINEAR:MAX_ERROR=2", "LOG:MAX_ERROR=1%",
                             "SQRT:MAX_ERROR=1N,A=4,B=0.5"};
    for (int dtype : {1, 5, 9, 10}) {
        const uint64_t es = dtype_bytes[dtype];
        const bool is_float = dtype >= 9;
        for (bool with_nodata : {false, true}) {
            // A sentinel inside the samples' range, so that valid samples
            // can be rebuilt onto it and the guard has work to do; NaN for
            // floats.
            Bytes raster = make_tile(dtype, w, h, Content::smooth, 21);
            uint64_t sentinel = 0;
            std::memcpy(&sentinel, raster.data() + (n / 2) * es, es);
            if (is_float) sentinel = dtype == 9 ? 0x7FC00000u : 0x7FF8000000000000ull;
            if (with_nodata)
                for (size_t i = 0; i < n; i += 17)
                    std::memcpy(raster.data() + i * es, &sentinel, es);
            for (const char *recipe : recipes) {
                varda_codec_product p = product_for(dtype, VARDA_CHAIN_AUTO);
                if (with_nodata) {
                    p.nodata = is_float ? VARDA_NODATA_NAN : VARDA_NODATA_VALUE;
                    p.nodata_value = sentinel;
                }
                char err[256] = "";
                ASSERT_EQ(varda_codec_prepare(&p, recipe, raster.data(), w, n, err, sizeof err), 0)
                    << recipe << " " << dtype << ": " << err;
                const Bytes blob = encode(p, raster, w, h);
                ASSERT_FALSE(blob.empty()) << recipe;
                Bytes out(raster.size());
                ASSERT_EQ(decode(blob, out), 0);
                // Nodata comes back as the sentinel's bits, valid samples never do.
                Bytes orig = raster;
                for (size_t i = 0; i < n; ++i) {
                    // Every sample equal to the sentinel is nodata, planted or not.
                    const bool nodata =
                        with_nodata && std::memcmp(raster.data() + i * es, &sentinel, es) == 0;
                    const bool on_sentinel = std::memcmp(out.data() + i * es, &sentinel, es) == 0;
                    if (with_nodata) {
                        ASSERT_EQ(on_sentinel, nodata)
                            << recipe << " dtype " << dtype << " at " << i;
                    }
                    if (nodata) {
                        std::memset(orig.data() + i * es, 0, es);
                        std::memset(out.data() + i * es, 0, es);
                    }
                }
                double worst = -1;
                quant_spec spec = p.recipe.spec;
                if (p.recipe.family == 1)
                    quant_linear_verify(orig.data(), out.data(), &spec, unsigned(dtype), n, &worst);
                else if (p.recipe.family == 2)
                    quant_log_verify(orig.data(), out.data(), &spec, unsigned(dtype), n, &worst,
                                     nullptr);
                else
                    quant_sqrt_verify(orig.data(), out.data(), &spec, nullptr, unsigned(dtype), n,
                                      &worst);
                EXPECT_GE(worst, 0.0);
                EXPECT_LE(worst, 1.0) << recipe << " dtype " << dtype;
            }
        }
    }
}

// A lossy grid may put valid samples near the sentinel onto it. They must
// not come back as nodata, also in a tile that holds no nodata sample.
TEST(Codec, LossyValidSamplesNeverDecodeOntoTheSentinel) {
    const size_t w = 16, h = 8;
    Bytes raster(w * 2 * h * 2);
    for (size_t i = 0; i < w * 2 * h; ++i) {
        const uint16_t v = uint16_t(i < w ? std::min<size_t>(i, 9) : 100 + i % 7); // near 0
        std::memcpy(raster.data() + 2 * i, &v, 2);
    }
    varda_codec_product p = product_for(1, VARDA_CHAIN_AUTO);
    p.nodata = VARDA_NODATA_VALUE;
    p.nodata_value = 0;
    ASSERT_EQ(
        varda_codec_prepare(&p, "LINEAR:MAX_ERROR=2", raster.data(), w, w * 2 * h, nullptr, 0), 0);
    Bytes with_nodata(raster.begin(), raster.begin() + long(w * h * 2));
    Bytes without_nodata = with_nodata;
    without_nodata[0] = 5; // no sample holds the sentinel now
    for (const Bytes *tile : {&with_nodata, &without_nodata}) {
        const Bytes blob = encode(p, *tile, w, h);
        ASSERT_FALSE(blob.empty());
        Bytes out(tile->size());
        ASSERT_EQ(decode(blob, out), 0);
        for (size_t i = 0; i < w * h; ++i) {
            uint16_t in = 0, back = 0;
            std::memcpy(&in, tile->data() + 2 * i, 2);
            std::memcpy(&back, out.data() + 2 * i, 2);
            EXPECT_EQ(in == 0, back == 0) << "sample " << i << ": " << in << " -> " << back;
        }
    }
}

// A lossy grid has no index for infinities or NaN: they are set aside and
// come back bit for bit (a NaN that is the product's nodata comes back as
// NaN), whatever the recipe, float width and nodata convention; only such
// tiles take the newer format.
TEST(Codec, LossyTilesKeepNonFiniteSamples) {
    const size_t w = 16, h = 12, n = w * h;
    const char *recipes[] = {"LINEAR:MAX_ERROR=0.5", "LOG:MAX_ERROR=1%",
                             "SQRT:MAX_ERROR=1N,A=4,B=0.5"};
    const size_t at[] = {0, 9, 10, 17, 100, n - 1};
    for (int dtype : {8, 9, 10}) {
        const uint64_t es = dtype_bytes[dtype];
        // +inf, -inf, a quiet NaN and one with a payload, at the width.
        const uint64_t specials[4][3] = {{0x7C00, 0x7F800000u, 0x7FF0000000000000ull},
                                         {0xFC00, 0xFF800000u, 0xFFF0000000000000ull},
                                         {0x7E00, 0x7FC00000u, 0x7FF8000000000000ull},
                                         {0xFE01, 0xFFC12345u, 0xFFF0000000000123ull}};
        const uint64_t nodata_bits = dtype == 8   ? 0xBC00 /* -1 */
                                     : dtype == 9 ? 0xBF800000u
                                                  : 0xBFF0000000000000ull;
        for (const char *recipe : recipes)
            for (int nodata : {VARDA_NODATA_NONE, VARDA_NODATA_VALUE, VARDA_NODATA_NAN}) {
                Bytes tile = make_tile(dtype, w, h, Content::smooth, 3);
                for (size_t k = 0; k < std::size(at); ++k)
                    std::memcpy(tile.data() + at[k] * es, &specials[k % 4][dtype - 8], es);
                std::memcpy(tile.data() + 50 * es, &nodata_bits, es);
                varda_codec_product p = product_for(dtype, VARDA_CHAIN_AUTO);
                p.nodata = nodata;
                p.nodata_value = nodata_bits;
                const std::string where =
                    std::to_string(dtype) + " " + recipe + " nodata " + std::to_string(nodata);
                char err[256] = "";
                ASSERT_EQ(varda_codec_prepare(&p, recipe, tile.data(), w, n, err, sizeof err), 0)
                    << where << ": " << err;
                std::string why;
                const Bytes blob = encode(p, tile, w, h, &why);
                ASSERT_FALSE(blob.empty()) << where << ": " << why;
                varda_codec_info info;
                ASSERT_EQ(varda_codec_read_info(blob.data(), blob.size(), &info, nullptr, 0), 0);
                EXPECT_EQ(info.nonfinite, 1) << where;
                EXPECT_EQ(info.version, 2u) << where;
                Bytes out(tile.size());
                ASSERT_EQ(decode(blob, out), 0) << where;
                for (size_t k = 0; k < std::size(at); ++k) {
                    const bool nan = k % 4 >= 2;
                    if (nan && nodata == VARDA_NODATA_NAN) {
                        uint64_t bits = 0; // NaN as nodata: any NaN will do
                        std::memcpy(&bits, out.data() + at[k] * es, es);
                        EXPECT_TRUE(dtype == 8   ? (bits & 0x7FFF) > 0x7C00
                                    : dtype == 9 ? (bits & 0x7FFFFFFF) > 0x7F800000
                                                 : (bits << 1) > 0xFFE0000000000000ull)
                            << where << " sample " << at[k];
                        continue;
                    }
                    EXPECT_EQ(std::memcmp(out.data() + at[k] * es, tile.data() + at[k] * es, es), 0)
                        << where << " sample " << at[k];
                }
                if (nodata == VARDA_NODATA_VALUE) {
                    EXPECT_EQ(std::memcmp(out.data() + 50 * es, &nodata_bits, es), 0) << where;
                }
            }
    }

    // Plain lossy float tiles keep the first format; a tile with more NaN
    // payloads than the section holds is refused.
    std::vector<float> plain(20 * 15, 3.5f), payloads(plain.size());
    for (size_t i = 0; i < payloads.size(); ++i) {
        const uint32_t bits = 0x7FC00000u + uint32_t(i);
        std::memcpy(&payloads[i], &bits, 4);
    }
    for (const auto *raster : {&plain, &payloads}) {
        const Bytes tile(reinterpret_cast<const unsigned char *>(raster->data()),
                         reinterpret_cast<const unsigned char *>(raster->data() + raster->size()));
        varda_codec_product p = product_for(9, VARDA_CHAIN_AUTO);
        ASSERT_EQ(varda_codec_prepare(&p, "LINEAR:MAX_ERROR=0.5", plain.data(), 20, plain.size(),
                                      nullptr, 0),
                  0);
        std::string why;
        const Bytes blob = encode(p, tile, 20, 15, &why);
        if (raster == &payloads) {
            EXPECT_TRUE(blob.empty());
            EXPECT_NE(why.find("more than 255 distinct non-finite"), std::string::npos) << why;
            continue;
        }
        ASSERT_FALSE(blob.empty()) << why;
        EXPECT_EQ(blob[4], 1);
        varda_codec_info info;
        ASSERT_EQ(varda_codec_read_info(blob.data(), blob.size(), &info, nullptr, 0), 0);
        EXPECT_EQ(info.nonfinite, 0);
        EXPECT_EQ(info.version, 1u);
    }
}

// A damaged non-finite section, checksum made right, is refused for what
// it is.
TEST(Codec, RefusesDamagedNonFiniteSections) {
    const size_t w = 8, h = 4, n = w * h;
    std::vector<float> raster(n, 2.5f);
    raster[5] = INFINITY;
    const Bytes tile(reinterpret_cast<const unsigned char *>(raster.data()),
                     reinterpret_cast<const unsigned char *>(raster.data() + n));
    varda_codec_product p = product_for(9, VARDA_CHAIN_ZSTD);
    ASSERT_EQ(varda_codec_prepare(&p, "LINEAR:MAX_ERROR=0.5", tile.data(), w, n, nullptr, 0), 0);
    const Bytes blob = encode(p, tile, w, h);
    ASSERT_FALSE(blob.empty());
    // Header (16), lossy section (18), then the pattern count, the pattern
    // and the index stream.
    constexpr size_t count_at = 34, pattern_at = 35, index_at = 39;
    ASSERT_EQ(blob[count_at], 1);
    const auto sealed = [](Bytes b) {
        const uint64_t sum = XXH3_64bits(b.data(), b.size() - 8);
        for (int i = 0; i < 8; ++i) b[b.size() - 8 + size_t(i)] = uint8_t(sum >> (8 * i));
        return b;
    };
    const auto refused_for = [&](const Bytes &bad, const char *message) {
        Bytes out(tile.size());
        std::string why;
        EXPECT_EQ(decode(sealed(bad), out, &why), VARDA_CODEC_CORRUPT) << message;
        EXPECT_NE(why.find(message), std::string::npos) << why;
    };
    Bytes bad = blob;
    bad[4] = 1;
    refused_for(bad, "a version 1 tile cannot carry");
    bad = blob;
    bad[6] &= ~4u;
    refused_for(bad, "a version 2 tile must carry");
    bad = blob;
    bad[count_at] = 0;
    refused_for(bad, "without patterns");
    bad = blob;
    bad[pattern_at + 3] = 0x3F; // 1.0f
    refused_for(bad, "finite number");
    // An index that names a second pattern the section does not hold.
    Bytes index(n, 0);
    index[5] = 2;
    Bytes frame(ZSTD_compressBound(n));
    frame.resize(ZSTD_compress(frame.data(), frame.size(), index.data(), n, 1));
    const uint32_t old_len = uint32_t(blob[index_at]) | uint32_t(blob[index_at + 1]) << 8 |
                             uint32_t(blob[index_at + 2]) << 16 |
                             uint32_t(blob[index_at + 3]) << 24;
    bad.assign(blob.begin(), blob.begin() + long(index_at));
    for (int i = 0; i < 4; ++i) bad.push_back(uint8_t(frame.size() >> (8 * i)));
    bad.insert(bad.end(), frame.begin(), frame.end());
    bad.insert(bad.end(), blob.begin() + long(index_at + 4 + old_len), blob.end());
    refused_for(bad, "names no pattern");
}

// Each call hashes the blob once at most: the encoder the blob it writes,
// read_info and decode the blob they verify; peek_info, which sizes a
// decode, not at all, and it still reads a blob whose checksum is wrong.
TEST(Codec, EachCallHashesTheBlobOnce) {
    const size_t w = 32, h = 16;
    const Bytes tile = make_tile(1, w, h, Content::smooth, 4);
    const varda_codec_product p = product_for(1, VARDA_CHAIN_AUTO);
    size_t before = vt::hash_calls();
    Bytes blob = encode(p, tile, w, h);
    ASSERT_FALSE(blob.empty());
    EXPECT_EQ(vt::hash_calls() - before, 1u);

    varda_codec_info verified, peeked;
    before = vt::hash_calls();
    ASSERT_EQ(varda_codec_read_info(blob.data(), blob.size(), &verified, nullptr, 0), 0);
    EXPECT_EQ(vt::hash_calls() - before, 1u);
    before = vt::hash_calls();
    ASSERT_EQ(varda_codec_peek_info(blob.data(), blob.size(), &peeked, nullptr, 0), 0);
    EXPECT_EQ(vt::hash_calls() - before, 0u);
    EXPECT_EQ(std::memcmp(&peeked, &verified, sizeof peeked), 0);
    Bytes out(tile.size());
    before = vt::hash_calls();
    ASSERT_EQ(decode(blob, out), 0);
    EXPECT_EQ(vt::hash_calls() - before, 1u);
    EXPECT_EQ(out, tile);

    blob[blob.size() - 9] ^= 0x40; // the chain's last byte
    std::string message;
    EXPECT_EQ(varda_codec_peek_info(blob.data(), blob.size(), &peeked, nullptr, 0), 0);
    EXPECT_EQ(peeked.width, w);
    EXPECT_EQ(varda_codec_read_info(blob.data(), blob.size(), &verified, nullptr, 0),
              VARDA_CODEC_CORRUPT);
    EXPECT_EQ(decode(blob, out, &message), VARDA_CODEC_CORRUPT);
    EXPECT_NE(message.find("checksum"), std::string::npos) << message;
    EXPECT_EQ(varda_codec_peek_info(blob.data(), 20, &peeked, nullptr, 0), VARDA_CODEC_CORRUPT);
    EXPECT_EQ(varda_codec_peek_info(blob.data(), blob.size(), nullptr, nullptr, 0),
              VARDA_CODEC_REFUSED);
}

TEST(Codec, RefusesCorruptBlobsWithTheirOwnMessages) {
    const Bytes tile = make_tile(1, 16, 16, Content::smooth, 1);
    const Bytes blob = encode(product_for(1, VARDA_CHAIN_PLANAR), tile, 16, 16);
    ASSERT_FALSE(blob.empty());
    Bytes out(tile.size());
    std::string why;

    // One flipped bit anywhere is reported, as corruption but in the
    // version byte where it names a format this build does not read.
    for (size_t bit = 0; bit < blob.size() * 8; ++bit) {
        Bytes bad = blob;
        bad[bit / 8] ^= static_cast<unsigned char>(1u << (bit % 8));
        const bool unread = bit / 8 == 4 && bad[4] > VARDA_CODEC_FORMAT_VERSION;
        ASSERT_EQ(decode(bad, out, &why),
                  unread || bad[4] == 0 ? VARDA_CODEC_REFUSED : VARDA_CODEC_CORRUPT)
            << "bit " << bit;
        ASSERT_FALSE(why.empty());
    }
    Bytes bad = blob;
    bad[0] = 'X';
    decode(bad, out, &why);
    EXPECT_NE(why.find("not a varda tile"), std::string::npos) << why;
    bad = blob;
    bad[4] = VARDA_CODEC_FORMAT_VERSION + 1;
    decode(bad, out, &why);
    EXPECT_NE(why.find("format version 4"), std::string::npos) << why;
    bad = blob;
    bad[20] ^= 1;
    decode(bad, out, &why);
    EXPECT_NE(why.find("checksum"), std::string::npos) << why;
    for (size_t keep : {size_t(0), size_t(10), blob.size() - 1}) {
        const Bytes cut(blob.begin(), blob.begin() + long(keep));
        EXPECT_EQ(decode(cut, out, &why), VARDA_CODEC_CORRUPT);
    }
    Bytes small(tile.size() - 1);
    EXPECT_EQ(decode(blob, small, &why), VARDA_CODEC_REFUSED);
    EXPECT_NE(why.find("destination"), std::string::npos) << why;
}

// Allocation failure inside the codec: every entry point answers for it
// and nothing is thrown across the C interface.
TEST(Codec, OutOfMemoryIsAnAnswerNotAnException) {
    const Bytes tile = make_tile(1, 16, 16, Content::smooth, 1);
    varda_codec_product p = product_for(1, VARDA_CHAIN_PLANAR);
    const Bytes blob = encode(p, tile, 16, 16);
    ASSERT_FALSE(blob.empty());
    Bytes out(tile.size()), dst(4096);
    varda_codec_product bad = product_for(1, 99), lossy = p;
    lossy.nodata = VARDA_NODATA_VALUE; // its mask takes memory
    varda_codec_info info;
    uint64_t len = 0;
    char err[4][64] = {};
    uint64_t bound;
    int rc[4];
    {
        const vt::MallocWatch fail(true, 0);
        bound = varda_codec_bound(&bad, 16, 16);
        rc[0] =
            varda_codec_encode(&p, tile.data(), 16, 16, dst.data(), dst.size(), &len, err[0], 64);
        rc[1] = varda_codec_decode(blob.data(), blob.size(), out.data(), out.size(), err[1], 64);
        rc[2] = varda_codec_read_info(blob.data(), 3, &info, err[2], 64);
        rc[3] = varda_codec_prepare(&lossy, "LINEAR:MAX_ERROR=1", tile.data(), 16, 256, err[3], 64);
    }
    EXPECT_EQ(bound, 0u);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(rc[i], VARDA_CODEC_NO_MEMORY) << i;
        EXPECT_NE(err[i][0], '\0') << i;
    }
}

TEST(Codec, RefusesBadProductsAndShapes) {
    const Bytes tile = make_tile(1, 8, 8, Content::smooth, 1);
    Bytes blob(4096);
    uint64_t len;
    char err[200];
    varda_codec_product p = product_for(1, 99);
    EXPECT_EQ(
        varda_codec_encode(&p, tile.data(), 8, 8, blob.data(), blob.size(), &len, err, sizeof err),
        1);
    EXPECT_STREQ(err, "chain 99 is not one the codec knows");
    p = product_for(9, 13);
    EXPECT_EQ(
        varda_codec_encode(&p, tile.data(), 4, 4, blob.data(), blob.size(), &len, err, sizeof err),
        1);
    p = product_for(1, 5);
    EXPECT_EQ(
        varda_codec_encode(&p, tile.data(), 0, 8, blob.data(), blob.size(), &len, err, sizeof err),
        1);
    EXPECT_EQ(varda_codec_encode(&p, tile.data(), 8, 8, blob.data(), 10, &len, err, sizeof err), 1);
    p.nodata = VARDA_NODATA_NAN;
    EXPECT_EQ(
        varda_codec_encode(&p, tile.data(), 8, 8, blob.data(), blob.size(), &len, err, sizeof err),
        1);
    EXPECT_STREQ(err, "NaN marks nodata only in float rasters");
    p = product_for(1, 5);
    EXPECT_EQ(varda_codec_prepare(&p, "LINEAR:MAX_ERROR=0", tile.data(), 8, 64, err, sizeof err),
              1);
    EXPECT_NE(std::string(err).find("MAX_ERROR must be positive"), std::string::npos) << err;
    // A chain for float bits cannot take a lossy float product's integers:
    // prepare says so, rather than leaving a product nothing can encode.
    const Bytes floats = make_tile(9, 8, 8, Content::smooth, 1);
    p = product_for(9, VARDA_CHAIN_FLOATQUANT);
    EXPECT_EQ(varda_codec_prepare(&p, "LOG:MAX_ERROR=1%", floats.data(), 8, 64, err, sizeof err),
              1);
    EXPECT_STREQ(err, "chain floatquant does not take the quantised samples of a lossy float32 "
                      "product");
    EXPECT_EQ(p.prepared, 0);
}

// Golden blobs: stored tiles must keep decoding to the same samples, and
// the same tiles must keep encoding to the same bytes. Set
// VARDA_WRITE_GOLDEN to a folder to write them anew (after a deliberate
// format change, with a new version byte).
namespace {

struct Golden {
    const char *file;
    int dtype, chain;
    Content content;
    const char *recipe;
    int nodata;
    int effort = 1;
    bool product_grid = false; // an earlier lossy blob, cut on the product's grid
};

const Golden goldens[] = {
    {"u16_planar_pfor.vrd", 1, VARDA_CHAIN_PLANAR_PFOR, Content::smooth, nullptr, 0},
    {"u16_auto.vrd", 1, VARDA_CHAIN_AUTO, Content::smooth, nullptr, 0},
    {"i16_med_zigzag_nodata.vrd", 5, VARDA_CHAIN_MED_ZIGZAG, Content::smooth, nullptr, 1},
    {"f32_floatquant.vrd", 9, VARDA_CHAIN_FLOATQUANT, Content::specials, nullptr, 0},
    {"f64_shuffle_zstd.vrd", 10, VARDA_CHAIN_SHUFFLE_ZSTD, Content::smooth, nullptr, 0},
    {"u8_intmult.vrd", 0, VARDA_CHAIN_INTMULT, Content::constant, nullptr, 0},
    // Integer tiles on the widest grid that keeps the error bound.
    {"u16_linear_wide.vrd", 1, VARDA_CHAIN_MED_ZIGZAG, Content::smooth, "LINEAR:MAX_ERROR=2", 0},
    {"u16_linear_auto_compact.vrd", 1, VARDA_CHAIN_AUTO, Content::smooth, "LINEAR:MAX_ERROR=2", 0},
    // Made by "auto" before the context chain existed.
    {"f32_log_nonfinite.vrd", 9, VARDA_CHAIN_SHUFFLE_ZSTD, Content::specials, "LOG:MAX_ERROR=1%",
     2},
    // Made by "auto" before the context chain existed, which now wins it.
    {"i16_sqrt_guarded.vrd", 5, VARDA_CHAIN_MED_ZIGZAG, Content::smooth,
     "SQRT:MAX_ERROR=1N,A=4,B=0.5", 1},
    {"i16_sqrt_guarded_auto_compact.vrd", 5, VARDA_CHAIN_AUTO, Content::smooth,
     "SQRT:MAX_ERROR=1N,A=4,B=0.5", 1},
    {"i16_context_rans_nodata_compact.vrd", 5, VARDA_CHAIN_CONTEXT_RANS, Content::smooth, nullptr,
     1},
    {"u64_context_rans_compact.vrd", 3, VARDA_CHAIN_CONTEXT_RANS, Content::extremes, nullptr, 0},
    // The context chain with the predictor it trains on the tile.
    {"u16_context_rans_trained_compact.vrd", 1, VARDA_CHAIN_CONTEXT_RANS, Content::smooth, nullptr,
     0},
    {"u16_linear_context_rans_trained_compact.vrd", 1, VARDA_CHAIN_CONTEXT_RANS, Content::smooth,
     "LINEAR:MAX_ERROR=2", 0},
    {"i16_palette_gaps.vrd", 5, VARDA_CHAIN_PALETTE, Content::smooth, nullptr, 0},
    {"i16_auto_nodata_in_samples.vrd", 5, VARDA_CHAIN_AUTO, Content::smooth, nullptr, 1, 2},
    // Its ranks coded with the table in full again once the lane chain
    // coded the ranks (made as it was before the table went as gaps).
    {"f32_palette_specials.vrd", 9, VARDA_CHAIN_PALETTE, Content::specials, nullptr, 0},
    // The lane chain: strips of the fitted predictor, the samples stored,
    // and nodata set aside.
    {"u16_context_lanes.vrd", 1, VARDA_CHAIN_CONTEXT_LANES, Content::smooth, nullptr, 0},
    {"u64_context_lanes.vrd", 3, VARDA_CHAIN_CONTEXT_LANES, Content::extremes, nullptr, 0},
    {"i16_context_lanes_nodata.vrd", 5, VARDA_CHAIN_CONTEXT_LANES, Content::smooth, nullptr, 1},
    {"u8_context_lanes.vrd", 0, VARDA_CHAIN_CONTEXT_LANES, Content::smooth, nullptr, 0},
};

// Blobs of earlier encoders, which code these tiles otherwise now: they
// decode to the tile, or for a lossy product to the tile on the product's
// own grid (earlier integer tiles were cut on it).
const Golden earlier[] = {
    // The context chain before it trained a predictor (it took median edge).
    {"u16_context_rans.vrd", 1, VARDA_CHAIN_CONTEXT_RANS, Content::smooth, nullptr, 0},
    {"u16_linear_context_rans.vrd", 1, VARDA_CHAIN_CONTEXT_RANS, Content::smooth,
     "LINEAR:MAX_ERROR=2", 0, 1, true},
    // Step 4, not 5; the second made by "auto" before effort 1 coded index
    // streams again at a stronger zstd level.
    {"u16_linear.vrd", 1, VARDA_CHAIN_MED_ZIGZAG, Content::smooth, "LINEAR:MAX_ERROR=2", 0, 1,
     true},
    {"u16_linear_auto.vrd", 1, VARDA_CHAIN_AUTO, Content::smooth, "LINEAR:MAX_ERROR=2", 0, 1, true},
    // The palette's table in full, before it went as gaps.
    {"i16_palette.vrd", 5, VARDA_CHAIN_PALETTE, Content::smooth, nullptr, 0},
    // The context chain before its contexts took two rows.
    {"u16_linear_auto_wide.vrd", 1, VARDA_CHAIN_AUTO, Content::smooth, "LINEAR:MAX_ERROR=2", 0},
    {"i16_sqrt_guarded_auto.vrd", 5, VARDA_CHAIN_AUTO, Content::smooth,
     "SQRT:MAX_ERROR=1N,A=4,B=0.5", 1},
    {"i16_context_rans_nodata.vrd", 5, VARDA_CHAIN_CONTEXT_RANS, Content::smooth, nullptr, 1},
    {"u64_context_rans.vrd", 3, VARDA_CHAIN_CONTEXT_RANS, Content::extremes, nullptr, 0},
    {"u16_context_rans_trained.vrd", 1, VARDA_CHAIN_CONTEXT_RANS, Content::smooth, nullptr, 0},
    {"u16_linear_context_rans_trained.vrd", 1, VARDA_CHAIN_CONTEXT_RANS, Content::smooth,
     "LINEAR:MAX_ERROR=2", 0},
    // Tables in full, before they went as bits.
    {"u16_linear_auto_wide_tworow.vrd", 1, VARDA_CHAIN_AUTO, Content::smooth, "LINEAR:MAX_ERROR=2",
     0},
    {"i16_sqrt_guarded_auto_tworow.vrd", 5, VARDA_CHAIN_AUTO, Content::smooth,
     "SQRT:MAX_ERROR=1N,A=4,B=0.5", 1},
    {"i16_context_rans_nodata_tworow.vrd", 5, VARDA_CHAIN_CONTEXT_RANS, Content::smooth, nullptr,
     1},
    {"u64_context_rans_tworow.vrd", 3, VARDA_CHAIN_CONTEXT_RANS, Content::extremes, nullptr, 0},
    {"u16_context_rans_trained_tworow.vrd", 1, VARDA_CHAIN_CONTEXT_RANS, Content::smooth, nullptr,
     0},
    {"u16_linear_context_rans_trained_tworow.vrd", 1, VARDA_CHAIN_CONTEXT_RANS, Content::smooth,
     "LINEAR:MAX_ERROR=2", 0},
    // The gaps and the ranks through the context chain, before the lane
    // chain coded them.
    {"f32_palette_specials_compact.vrd", 9, VARDA_CHAIN_PALETTE, Content::specials, nullptr, 0},
};

Bytes golden_tile(const Golden &g) {
    Bytes tile = make_tile(g.dtype, 24, 16, g.content, 77);
    if (g.dtype == 0) // multiples of 3 plus 1, for the multiplier chain
        for (size_t i = 0; i < tile.size(); ++i)
            tile[i] = static_cast<unsigned char>(1 + 3 * (i % 50));
    if (g.nodata == 1) // a corner of sentinels; 0x8000 is -32768
        for (size_t i = 0; i < 40; ++i) tile[2 * i] = 0x00, tile[2 * i + 1] = 0x80;
    return tile;
}

varda_codec_product golden_product(const Golden &g, const Bytes &tile) {
    varda_codec_product p = product_for(g.dtype, g.chain);
    p.nodata = g.nodata;
    p.nodata_value = g.nodata == 1 ? 0x8000 : 0;
    p.effort = g.effort;
    EXPECT_EQ(varda_codec_prepare(&p, g.recipe, tile.data(), 24, 24 * 16, nullptr, 0), 0) << g.file;
    return p;
}

std::string golden_path(const std::string &dir, const Golden &g) { return dir + "/" + g.file; }

using vt::read_file;

} // namespace

TEST(Codec, GoldenBlobsDecodeAndEncodeAsStored) {
    const char *write_to = std::getenv("VARDA_WRITE_GOLDEN");
    const std::string dir = write_to ? write_to : VARDA_GOLDEN_DIR;
    for (const Golden &g : goldens) {
        const Bytes tile = golden_tile(g);
        const varda_codec_product p = golden_product(g, tile);
        const Bytes blob = encode(p, tile, 24, 16);
        ASSERT_FALSE(blob.empty()) << g.file;
        if (write_to) {
            FILE *f = std::fopen(golden_path(dir, g).c_str(), "wb");
            ASSERT_NE(f, nullptr);
            std::fwrite(blob.data(), 1, blob.size(), f);
            std::fclose(f);
            continue;
        }
        const Bytes stored = read_file(golden_path(dir, g));
        ASSERT_FALSE(stored.empty()) << "missing " << golden_path(dir, g);
        Bytes from_stored(tile.size()), from_new(tile.size());
        ASSERT_EQ(decode(stored, from_stored), 0) << g.file;
        ASSERT_EQ(decode(blob, from_new), 0) << g.file;
        EXPECT_EQ(from_stored, from_new) << g.file;
        if (!g.recipe) {
            EXPECT_EQ(from_stored, tile) << g.file;
        }
        // zstd's output may change with its version, so the bytes are held
        // to the blobs only under the zstd that wrote them; under another,
        // what the header records must still agree.
        if (ZSTD_versionNumber() == VARDA_GOLDEN_ZSTD) {
            EXPECT_EQ(blob, stored) << g.file << " encodes to other bytes";
            continue;
        }
        varda_codec_info was{}, now{};
        ASSERT_EQ(varda_codec_read_info(stored.data(), stored.size(), &was, nullptr, 0), 0);
        ASSERT_EQ(varda_codec_read_info(blob.data(), blob.size(), &now, nullptr, 0), 0);
        EXPECT_EQ(now.dtype, was.dtype) << g.file;
        EXPECT_EQ(now.lossy, was.lossy) << g.file;
        EXPECT_EQ(now.nodata, was.nodata) << g.file;
        if (g.chain != VARDA_CHAIN_AUTO) {
            EXPECT_EQ(now.chain, was.chain) << g.file;
        }
    }
}

TEST(Codec, EarlierEncodersBlobsStillDecode) {
    for (const Golden &g : earlier) {
        const Bytes stored = read_file(golden_path(VARDA_GOLDEN_DIR, g));
        ASSERT_FALSE(stored.empty()) << "missing " << g.file;
        const Bytes tile = golden_tile(g);
        const varda_codec_product p = golden_product(g, tile);
        EXPECT_NE(encode(p, tile, 24, 16), stored)
            << g.file << " is now made as it was: move it to the goldens";
        // What the blob of today's encoder decodes to, or the tile on the
        // product's grid.
        Bytes expected(tile.size()), was(tile.size());
        ASSERT_EQ(decode(encode(p, tile, 24, 16), expected), 0) << g.file;
        if (g.product_grid) { // only LINEAR ones
            Bytes codes(tile.size());
            ASSERT_EQ(quant_linear_encode(codes.data(), tile.data(), &p.resolved.grid,
                                          unsigned(g.dtype), 24 * 16),
                      0);
            ASSERT_EQ(quant_linear_decode(expected.data(), codes.data(), &p.resolved.grid,
                                          unsigned(g.dtype), 24 * 16),
                      0);
        }
        ASSERT_EQ(decode(stored, was), 0) << g.file;
        EXPECT_EQ(was, expected) << g.file;
    }
}

// A lossy tile stored before infinities were set aside (version 1, its
// +inf on the grid) still decodes, to what a new tile gives wherever the
// new one does not restore an infinity.
TEST(Codec, StoredVersionOneLossyTilesStillDecode) {
    const Golden g = {"f32_log_nan.vrd",  9, VARDA_CHAIN_AUTO, Content::specials,
                      "LOG:MAX_ERROR=1%", 2};
    const Bytes stored = read_file(golden_path(VARDA_GOLDEN_DIR, g));
    ASSERT_FALSE(stored.empty());
    ASSERT_EQ(stored[4], 1);
    const Bytes tile = golden_tile(g);
    const Bytes blob = encode(golden_product(g, tile), tile, 24, 16);
    ASSERT_EQ(blob[4], 2);
    Bytes old_samples(tile.size()), new_samples(tile.size());
    ASSERT_EQ(decode(stored, old_samples), 0);
    ASSERT_EQ(decode(blob, new_samples), 0);
    size_t infinities = 0;
    for (size_t i = 0; i < 24 * 16; ++i) {
        uint32_t in, was, now;
        std::memcpy(&in, tile.data() + 4 * i, 4);
        std::memcpy(&was, old_samples.data() + 4 * i, 4);
        std::memcpy(&now, new_samples.data() + 4 * i, 4);
        if (in == 0x7F800000u) {
            ++infinities;
            EXPECT_EQ(now, in) << i;
        } else {
            EXPECT_EQ(now, was) << i;
        }
    }
    EXPECT_GT(infinities, 0u);
}

// Every allocation of prepare, encode and decode failing in turn, the
// kernels' malloc calls and the codec's operator new alike: a call either
// fails with "out of memory" or, where a kernel falls back (a scratch row,
// a table, the fallback weights), gives a product, a blob or samples that
// decode the same. Under LeakSanitizer the failing paths must also give
// back what they took.
TEST(Codec, AllocationFailures) {
    std::vector<Golden> cases(std::begin(goldens), std::end(goldens));
    cases.push_back({"u16 average", 1, VARDA_CHAIN_AVERAGE, Content::smooth, nullptr, 0});
    cases.push_back({"u16 wp", 1, VARDA_CHAIN_WP, Content::smooth, nullptr, 0});
    for (const Golden &g : cases) {
        const Bytes tile = golden_tile(g);
        const varda_codec_product p = golden_product(g, tile);
        const Bytes blob = encode(p, tile, 24, 16);
        Bytes expected(tile.size()), out(tile.size()), room(varda_codec_bound(&p, 24, 16));
        ASSERT_EQ(decode(blob, expected), 0) << g.file;
        char err[256];
        uint64_t len = 0;
        const auto prepare = [&](varda_codec_product &q) {
            varda_codec_product_init(&q, g.dtype);
            q.chain = g.chain;
            q.nodata = g.nodata;
            q.nodata_value = p.nodata_value;
            return varda_codec_prepare(&q, g.recipe, tile.data(), 24, 24 * 16, err, sizeof err);
        };
        const auto encode_into_room = [&] {
            return varda_codec_encode(&p, tile.data(), 24, 16, room.data(), room.size(), &len, err,
                                      sizeof err);
        };
        const auto decode_into_out = [&] {
            return varda_codec_decode(blob.data(), blob.size(), out.data(), out.size(), err,
                                      sizeof err);
        };
        size_t prepares, encodes, decodes;
        {
            varda_codec_product q;
            const vt::MallocWatch count(false);
            prepare(q);
            prepares = count.calls();
        }
        {
            const vt::MallocWatch count(false);
            encode_into_room();
            encodes = count.calls();
        }
        {
            const vt::MallocWatch count(false);
            decode_into_out();
            decodes = count.calls();
        }
        ASSERT_GT(encodes, 0u) << g.file;

        size_t refused = 0;
        for (size_t allowed = 0; allowed < prepares; ++allowed) {
            varda_codec_product q;
            int rc;
            {
                const vt::MallocWatch fail(true, allowed);
                rc = prepare(q);
            }
            if (rc != 0) {
                EXPECT_STREQ(err, "out of memory") << g.file << " allocation " << allowed;
                EXPECT_EQ(rc, VARDA_CODEC_NO_MEMORY) << g.file << " allocation " << allowed;
                ++refused;
            } else {
                EXPECT_EQ(std::memcmp(&q, &p, sizeof q), 0) << g.file << " allocation " << allowed;
            }
        }
        for (size_t allowed = 0; allowed < encodes; ++allowed) {
            int rc;
            {
                const vt::MallocWatch fail(true, allowed);
                rc = encode_into_room();
            }
            if (rc != 0) {
                EXPECT_STREQ(err, "out of memory") << g.file << " allocation " << allowed;
                EXPECT_EQ(rc, VARDA_CODEC_NO_MEMORY) << g.file << " allocation " << allowed;
                ++refused;
                continue;
            }
            Bytes again(tile.size());
            ASSERT_EQ(decode(Bytes(room.begin(), room.begin() + long(len)), again), 0) << g.file;
            EXPECT_EQ(again, expected) << g.file << " allocation " << allowed;
        }
        for (size_t allowed = 0; allowed < decodes; ++allowed) {
            std::fill(out.begin(), out.end(), 0);
            int rc;
            {
                const vt::MallocWatch fail(true, allowed);
                rc = decode_into_out();
            }
            if (rc != 0) {
                EXPECT_STREQ(err, "out of memory") << g.file << " allocation " << allowed;
                EXPECT_EQ(rc, VARDA_CODEC_NO_MEMORY) << g.file << " allocation " << allowed;
                ++refused;
            } else {
                EXPECT_EQ(out, expected) << g.file << " allocation " << allowed;
            }
        }
        EXPECT_GT(refused, 0u) << g.file;
    }
}
