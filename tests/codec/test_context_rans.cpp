// The context-modelling chain: what it is for (flat parts and zero runs
// next to free, never worse than the samples on noise, better than the byte
// planes on smooth rasters), every width's widest tokens, lossy quantised
// streams, hostile sections and its golden blobs.
#include <gtest/gtest.h>

#include <bit>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "blob.h"
#include "chains.h"
#include "codec/codec_support.h"
#include "support/support.h"
#include "varda_codec.h"

namespace {

using vt::Bytes;

constexpr int chain = VARDA_CHAIN_CONTEXT_RANS;
// The predictor byte of the predictor trained on the tile, of the mixed
// one, and the flag of contexts from two rows (every tile coded now).
constexpr unsigned char trained = 64, mixed = 65, wide = 0x80;
// The two with serial contexts, whose contexts wait on the sample before.
constexpr unsigned char serial_fitted = 66, serial_mixed = 67;
const uint64_t dtype_bytes[] = {1, 2, 4, 8, 1, 2, 4, 8, 2, 4, 8};

varda_codec_product product(int dtype, int chosen = chain) {
    return vt::product_for(dtype, chosen);
}

// Encodes where the test expects the codec to take the tile.
Bytes encode(const varda_codec_product &p, const Bytes &tile, size_t width, size_t height) {
    std::string why;
    Bytes blob = vt::encode(p, tile, width, height, &why);
    EXPECT_FALSE(blob.empty()) << why;
    return blob;
}

using vt::decode;

using vt::tile_of;

void expect_round_trip(int dtype, const Bytes &tile, size_t width, size_t height,
                       const std::string &what) {
    const Bytes blob = encode(product(dtype), tile, width, height);
    ASSERT_FALSE(blob.empty()) << what;
    Bytes out(tile.size(), 0xA5);
    std::string why;
    ASSERT_EQ(decode(blob, out, &why), 0) << what << ": " << why;
    EXPECT_EQ(out, tile) << what;
}

// A 16-bit field of side x side samples from value(x, y, g), g a standard
// normal draw per sample.
template <class F> Bytes field_of(size_t side, uint64_t seed, F &&value) {
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> noise(0, 1);
    return tile_of(2, side * side,
                   [&](size_t i) { return value(double(i % side), double(i / side), noise(rng)); });
}

using vt::seal;

} // namespace

// The widest residuals of each width take the longest raw-bit runs (62 bits
// at 64), and alternating extremes defeat every predictor.
TEST(ContextRans, RoundTripsWidestTokensAndOddShapes) {
    const size_t shapes[][2] = {{1, 1}, {1, 40}, {41, 1}, {2, 2}, {33, 17}};
    for (int dtype : {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10}) {
        const uint64_t es = dtype_bytes[dtype];
        std::mt19937_64 rng(uint64_t(dtype) + 1);
        for (const auto &shape : shapes) {
            const size_t n = shape[0] * shape[1];
            const std::string at = "dtype " + std::to_string(dtype) + " " +
                                   std::to_string(shape[0]) + "x" + std::to_string(shape[1]);
            expect_round_trip(dtype,
                              tile_of(es, n,
                                      [&](size_t i) {
                                          return i % 2 ? ~uint64_t(0) : uint64_t(1) << (8 * es - 1);
                                      }),
                              shape[0], shape[1], at + " extremes");
            expect_round_trip(dtype, tile_of(es, n, [&](size_t) { return rng(); }), shape[0],
                              shape[1], at + " noise");
            // Mostly small residuals with rare wide ones: many contexts, a
            // long alphabet, raw bits of every length.
            expect_round_trip(dtype,
                              tile_of(es, n,
                                      [&](size_t i) {
                                          const uint64_t r = rng();
                                          return (r & 15) == 0 ? r >> (r % 64) : i / 7 + (r & 3);
                                      }),
                              shape[0], shape[1], at + " mixed");
        }
    }
}

TEST(ContextRans, FlatPartsAndZeroRunsCostNextToNothing) {
    constexpr size_t side = 256, n = side * side;
    // All zero, then sparse counts on a zero floor (a photon-counting frame).
    const Bytes zeros(n * 2, 0);
    std::mt19937_64 rng(5);
    const Bytes sparse = tile_of(4, n, [&](size_t) {
        const uint64_t r = rng();
        return r % 100 == 0 ? 1 + (r >> 32) % 190 : 0;
    });
    const Bytes flat = encode(product(1), zeros, side, side);
    const Bytes counts = encode(product(6), sparse, side, side);
    EXPECT_LT(flat.size(), 120u); // the header, the tables, the two states
    // About 1 % of samples carry ~8 bits of value plus their position: well
    // under 0.2 bits per sample overall.
    EXPECT_LT(double(counts.size()) * 8 / n, 0.2) << counts.size();
    // zstd over byte planes is the chain this has to beat.
    EXPECT_LT(counts.size(), encode(product(6, VARDA_CHAIN_PLANAR), sparse, side, side).size());
    Bytes out(sparse.size());
    ASSERT_EQ(decode(counts, out), 0);
    EXPECT_EQ(out, sparse);
}

TEST(ContextRans, BeatsBytePlanesOnSmoothNoiseAndNeverExpandsNoise) {
    constexpr size_t side = 192, n = side * side;
    std::mt19937_64 rng(9);
    // A smooth field with noise whose level changes across the tile: the
    // quiet half and the busy half want different statistics.
    const Bytes smooth = field_of(side, 9, [](double x, double y, double g) {
        const double sigma = x < side / 2 ? 0.9 : 12;
        return uint64_t(std::lround(20000 + 40 * std::sin(x / 30) + 3 * y + sigma * g));
    });
    const Bytes coded = encode(product(1), smooth, side, side);
    for (int other : {VARDA_CHAIN_PLANAR, VARDA_CHAIN_MED_ZIGZAG, VARDA_CHAIN_PLANAR_LANES_ZSTD})
        EXPECT_LT(coded.size(), encode(product(1, other), smooth, side, side).size())
            << varda_codec_chain_name(other);
    const Bytes random = tile_of(8, n, [&](size_t) { return rng(); });
    EXPECT_LE(encode(product(3), random, side, side).size(), random.size() + 64);
}

TEST(ContextRans, CodesLossyQuantisedStreams) {
    constexpr size_t side = 128, n = side * side;
    std::mt19937_64 rng(4);
    std::normal_distribution<double> noise(0, 20);
    const Bytes tile = tile_of(2, n, [&](size_t i) {
        return uint64_t(std::lround(3000 + double(i % side) * 4 + noise(rng)));
    });
    varda_codec_product p = product(1);
    char err[256];
    ASSERT_EQ(varda_codec_prepare(&p, "LINEAR:MAX_ERROR=8", tile.data(), side, n, err, sizeof err),
              0)
        << err;
    const Bytes blob = encode(p, tile, side, side);
    Bytes out(tile.size());
    ASSERT_EQ(decode(blob, out), 0);
    for (size_t i = 0; i < n; ++i) {
        uint16_t a, b;
        std::memcpy(&a, tile.data() + 2 * i, 2);
        std::memcpy(&b, out.data() + 2 * i, 2);
        ASSERT_LE(std::abs(int(a) - int(b)), 8) << i;
    }
    varda_codec_info info;
    ASSERT_EQ(varda_codec_read_info(blob.data(), blob.size(), &info, nullptr, 0), 0);
    EXPECT_EQ(info.chain, chain);
}

// Every byte of the chain section changed in turn, the checksum made right:
// the decoder refuses with a message or decodes, never reads out of bounds
// (the sanitizer builds check that), and a table or stream that cannot be
// right is named.
TEST(ContextRans, RefusesHostileSections) {
    constexpr size_t side = 24;
    std::mt19937_64 rng(2);
    const Bytes tile = tile_of(2, side * side, [&](size_t i) { return i * 3 + (rng() & 7); });
    const Bytes blob = encode(product(1), tile, side, side);
    ASSERT_GT(blob.size(), 32u);
    Bytes out(tile.size());
    std::string why;
    size_t refused = 0;
    for (size_t at = 16; at + 8 < blob.size(); ++at)
        for (unsigned char delta : {1, 0x80, 0xFF}) {
            Bytes bad = blob;
            bad[at] = static_cast<unsigned char>(bad[at] + delta);
            seal(bad);
            if (decode(bad, out, &why) != 0) {
                ++refused;
                EXPECT_FALSE(why.empty());
            }
        }
    EXPECT_GT(refused, blob.size()); // most edits are caught, not decoded
    const size_t section = 16;       // no nodata, no lossy section
    // A noisy ramp takes the trained predictor: its shift and ten weights
    // come before the tables.
    ASSERT_EQ(blob[section + 1], trained | wide);
    const size_t tables = section + 2 + 21;
    Bytes bad = blob;
    bad[section + 1] = 0x63; // predictor
    seal(bad);
    decode(bad, out, &why);
    EXPECT_EQ(why, "corrupt tile: the context chain's predictor is unknown");
    bad[section + 1] = wide; // the flag on the stored samples
    seal(bad);
    decode(bad, out, &why);
    EXPECT_EQ(why, "corrupt tile: the context chain's predictor is unknown");
    // The mixed predictor works in eighths: a shift below 3 cannot say them.
    bad = blob;
    bad[section + 1] = mixed | wide;
    seal(bad);
    EXPECT_EQ(decode(bad, out), 0);
    bad[section + 2] = 2;
    seal(bad);
    decode(bad, out, &why);
    EXPECT_EQ(why, "corrupt tile: the linear predictor's weights are out of range");
    bad = blob;
    bad[tables] = 200; // token alphabet beyond a 16-bit sample's
    seal(bad);
    decode(bad, out, &why);
    EXPECT_EQ(why, "corrupt tile: the token alphabet is out of range");
    // Tables in bits, written by hand (fields least significant bit first):
    // frequencies past the total, a bit length past 12, a precision past
    // 11, a block that ends early or runs on, and tables shared with none
    // before or with one past those given.
    const unsigned alphabet = blob[tables], index_bits = std::bit_width(alphabet);
    struct TableBits {
        std::vector<bool> bits;
        void put(unsigned value, unsigned count) {
            for (unsigned k = 0; k < count; ++k) bits.push_back(value >> k & 1);
        }
        // A table of its own for symbols 0 .. lengths' size, 0 left out.
        void own(unsigned precision, unsigned index_bits, std::initializer_list<unsigned> lengths) {
            put(0, 1);
            put(unsigned(lengths.size()), index_bits);
            put(0, index_bits);
            unsigned previous = 8;
            for (unsigned length : lengths) {
                const int change = int(length) - int(previous);
                const unsigned v = change < 0 ? 2 * unsigned(-change) - 1 : 2 * unsigned(change);
                const unsigned gamma = std::bit_width(v + 1);
                put(0, gamma - 1);
                for (unsigned k = gamma; k-- > 0;) put((v + 1) >> k & 1, 1);
                put((1u << std::min(length - 1, precision)) - 1, std::min(length - 1, precision));
                previous = length;
            }
        }
    };
    const auto decode_tables = [&](uint8_t used, const TableBits &t, size_t keep_bytes = 64,
                                   size_t extra_bytes = 0) {
        Bytes block((t.bits.size() + 7) / 8 + extra_bytes);
        for (size_t k = 0; k < t.bits.size(); ++k) block[k / 8] |= uint8_t(t.bits[k] << (k % 8));
        block.resize(std::min(block.size(), keep_bytes));
        const size_t old_size = size_t(blob[tables + 4]) | size_t(blob[tables + 5]) << 8;
        Bytes edited(blob.begin(), blob.begin() + long(tables + 2));
        edited.insert(edited.end(), {used, 0, uint8_t(block.size()), uint8_t(block.size() >> 8)});
        edited.insert(edited.end(), block.begin(), block.end());
        edited.insert(edited.end(), blob.begin() + long(tables + 6 + old_size), blob.end());
        seal(edited);
        decode(edited, out, &why);
        return why;
    };
    const auto one_table = [&](unsigned precision, std::initializer_list<unsigned> lengths) {
        TableBits t;
        t.put(precision, 4);
        t.own(precision, index_bits, lengths);
        return t;
    };
    const std::string malformed = "corrupt tile: the frequency tables are malformed";
    EXPECT_EQ(decode_tables(1, one_table(11, {12, 12})),
              "corrupt tile: a context's frequencies do not add up");
    EXPECT_EQ(decode_tables(1, one_table(11, {12, 13})), malformed);
    EXPECT_EQ(decode_tables(1, one_table(12, {3})), malformed);
    EXPECT_EQ(decode_tables(1, one_table(3, {3}), 0),
              "truncated tile: the blob ends inside the frequency tables");
    EXPECT_EQ(decode_tables(1, one_table(3, {3}), 64, 1), malformed);
    TableBits shares_first;
    shares_first.put(3, 4);
    shares_first.put(1, 1);
    EXPECT_EQ(decode_tables(1, shares_first), malformed);
    TableBits shares_past; // three tables, then the fourth of them
    shares_past.put(3, 4);
    for (int k = 0; k < 3; ++k) shares_past.own(3, index_bits, {});
    shares_past.put(1, 1);
    shares_past.put(3, 2);
    EXPECT_EQ(decode_tables(0x0F, shares_past), malformed);
    // A weight past 2^11 in magnitude, or a shift past 15: either could
    // overflow the decoder's sums.
    for (const auto &[at, value] : {std::pair<size_t, uint16_t>{section + 2, 16},
                                    {section + 3, 2049},
                                    {section + 5, 0xF7FF}}) { // -2049
        bad = blob;
        if (at == section + 2)
            bad[at] = uint8_t(value);
        else
            bad[at] = uint8_t(value), bad[at + 1] = uint8_t(value >> 8);
        seal(bad);
        EXPECT_EQ(decode(bad, out, &why), VARDA_CODEC_CORRUPT) << at;
        EXPECT_EQ(why, "corrupt tile: the linear predictor's weights are out of range") << at;
    }
    // A token stream one byte short: its words are 16 bits. The stream is
    // the one whose end is the raw bits' length field, whose end is the
    // checksum.
    const auto u32_at = [&](size_t at) {
        uint32_t v = 0;
        std::memcpy(&v, blob.data() + at, 4);
        return size_t(v);
    };
    size_t tokens = 0;
    for (size_t at = 16; at + 12 <= blob.size(); ++at) {
        const size_t raw_field = at + 4 + u32_at(at);
        if (raw_field + 4 <= blob.size() - 8 &&
            raw_field + 4 + u32_at(raw_field) == blob.size() - 8)
            tokens = at;
    }
    ASSERT_GT(tokens, 0u);
    bad = blob;
    const uint32_t shorter = uint32_t(u32_at(tokens) - 1);
    bad.erase(bad.begin() + long(tokens + 4 + shorter));
    std::memcpy(bad.data() + tokens, &shorter, 4);
    seal(bad);
    decode(bad, out, &why);
    EXPECT_EQ(why, "corrupt tile: the token stream is not whole 16-bit words");
    // A chain id this build does not know (a newer library's) is named.
    bad = blob;
    bad[section] = 200;
    seal(bad);
    decode(bad, out, &why);
    EXPECT_EQ(why, "unknown chain id 200: a chain of a newer library, or a corrupt tile");
    // The blob cut short inside its streams, resealed.
    for (size_t cut : {size_t(5), size_t(20), size_t(40)}) {
        Bytes shorter(blob.begin(), blob.end() - long(8 + cut));
        shorter.resize(shorter.size() + 8);
        seal(shorter);
        EXPECT_EQ(decode(shorter, out, &why), VARDA_CODEC_CORRUPT) << cut;
        EXPECT_NE(why.find("tile"), std::string::npos) << why;
    }
}

// The raw bits are the section's last stream. Rows wider than the reader
// goes between its end checks, of 64-bit extremes with 62 raw bits a
// sample, are refused when that stream is cut short or runs long, and
// never read past it (the sanitizers watch).
TEST(ContextRans, RefusesRawBitsThatDoNotMatchTheTokens) {
    constexpr size_t width = 300, height = 3;
    std::mt19937_64 rng(5);
    const Bytes tile = tile_of(8, width * height, [&](size_t i) {
        return (i & 1) ? ~uint64_t(0) - (rng() & 0xFF) : rng() & 0xFF;
    });
    const Bytes blob = encode(product(3), tile, width, height);
    // The raw stream's length field: the four bytes whose value reaches
    // exactly to the checksum.
    size_t field = 0;
    for (size_t at = 16; at + 12 <= blob.size(); ++at) {
        uint32_t len = 0;
        std::memcpy(&len, blob.data() + at, 4);
        if (at + 4 + len == blob.size() - 8) field = at;
    }
    ASSERT_GT(field, 0u);
    uint32_t raw = 0;
    std::memcpy(&raw, blob.data() + field, 4);
    ASSERT_GT(raw, 600u);
    Bytes out(tile.size());
    std::string why;
    for (int change : {-1, -9, -int(raw) / 2, -int(raw), 1, 600}) {
        Bytes bad(blob.begin(), blob.end() - 8);
        if (change < 0)
            bad.resize(bad.size() - size_t(-change));
        else
            bad.insert(bad.end(), size_t(change), 0);
        const uint32_t len = uint32_t(int(raw) + change);
        std::memcpy(bad.data() + field, &len, 4);
        bad.resize(bad.size() + 8);
        seal(bad);
        EXPECT_EQ(decode(bad, out, &why), VARDA_CODEC_CORRUPT) << change;
        EXPECT_EQ(why, "corrupt tile: the raw bits do not match the tokens") << change;
    }
}

// At effort 2 a splitter's main stream may go through the context chain.
TEST(ContextRans, NestsInASplitterAtEffortTwo) {
    constexpr size_t side = 256;
    const Bytes tile = field_of(side, 6, [](double x, double y, double g) {
        return 5 + 12 * uint64_t(std::lround(2000 + 30 * std::sin(x / 20) + y + 2 * g));
    });
    varda_codec_product p = product(1, VARDA_CHAIN_INTMULT);
    p.effort = 2;
    const Bytes blob = encode(p, tile, side, side);
    ASSERT_GT(blob.size(), 26u);
    // After the splitter's id and multiplier: either context chain (the
    // lane chain where it comes within 1 %).
    const int nested = blob[16 + 1 + 8];
    EXPECT_TRUE(nested == chain || nested == VARDA_CHAIN_CONTEXT_LANES) << nested;
    Bytes out(tile.size());
    ASSERT_EQ(decode(blob, out), 0);
    EXPECT_EQ(out, tile);
}

// Effort 2 mixes the fitted predictor with the self-correcting ones where
// that codes smaller: on a crop of a photograph (grace_hopper's green
// channel, from Debian's python-matplotlib-data), as the golden blob has it.
TEST(ContextRans, EffortTwoMixesPredictorsOnAPhotograph) {
    constexpr size_t width = 64, height = 48;
    const auto read = [](const std::string &path) {
        Bytes data;
        if (FILE *f = std::fopen(path.c_str(), "rb")) {
            for (int c; (c = std::fgetc(f)) != EOF;) data.push_back(static_cast<unsigned char>(c));
            std::fclose(f);
        }
        return data;
    };
    const std::string dir = VARDA_GOLDEN_DIR;
    const Bytes tile = read(dir + "/grace_hopper_green_64x48.u8");
    ASSERT_EQ(tile.size(), width * height);
    varda_codec_product p = product(VARDA_DTYPE_U8);
    const Bytes fitted = encode(p, tile, width, height);
    p.effort = 2;
    const Bytes blob = encode(p, tile, width, height);
    ASSERT_EQ(blob[17], mixed | wide);
    EXPECT_LT(blob.size(), fitted.size());
    Bytes out(tile.size());
    ASSERT_EQ(decode(blob, out), 0);
    EXPECT_EQ(out, tile);
    // Its blob from before the tables went as bits still decodes.
    Bytes earlier(tile.size());
    ASSERT_EQ(decode(read(dir + "/u8_context_rans_mixed.vrd"), earlier), 0);
    EXPECT_EQ(earlier, tile);
    const std::string golden = "/u8_context_rans_mixed_compact.vrd";
    if (const char *write_to = std::getenv("VARDA_WRITE_GOLDEN")) {
        FILE *f = std::fopen((write_to + golden).c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fwrite(blob.data(), 1, blob.size(), f);
        std::fclose(f);
    } else {
        EXPECT_EQ(blob, read(dir + golden)) << "the mixed predictor codes otherwise";
    }
}

// Effort 2 takes serial contexts where the flat parts of a tile code apart
// from its edges: on a strip of an MRI slice (rows 48-159 of s1045, from
// Debian's python-matplotlib-data), with the mixed predictor as u16 and
// with the fitted one as i32, which the mixed predictor does not take. The
// golden blobs hold the strip: both decode to the same samples, and each
// encodes again to itself.
TEST(ContextRans, SerialContextsOnAScan) {
    constexpr size_t width = 256, height = 112;
    const std::string dir = VARDA_GOLDEN_DIR;
    const auto read = [&](const char *name) {
        Bytes data;
        if (FILE *f = std::fopen((dir + "/" + name).c_str(), "rb")) {
            for (int c; (c = std::fgetc(f)) != EOF;) data.push_back(static_cast<unsigned char>(c));
            std::fclose(f);
        }
        return data;
    };
    const Bytes narrow = read("u16_context_rans_serial.vrd"),
                wide32 = read("i32_context_rans_serial.vrd");
    ASSERT_GT(narrow.size(), 18u);
    ASSERT_GT(wide32.size(), 18u);
    EXPECT_EQ(narrow[17], serial_mixed | wide);
    EXPECT_EQ(wide32[17], serial_fitted | wide);
    Bytes u16(width * height * 2), i32(width * height * 4);
    ASSERT_EQ(decode(narrow, u16), 0);
    ASSERT_EQ(decode(wide32, i32), 0);
    for (size_t i = 0; i < width * height; ++i) {
        uint16_t a;
        int32_t b;
        std::memcpy(&a, u16.data() + 2 * i, 2);
        std::memcpy(&b, i32.data() + 4 * i, 4);
        ASSERT_EQ(int32_t(a), b) << i;
    }
    for (const auto &[dtype, tile, blob] :
         {std::tuple{VARDA_DTYPE_U16, &u16, &narrow}, std::tuple{VARDA_DTYPE_I32, &i32, &wide32}}) {
        varda_codec_product p = product(dtype);
        p.effort = 2;
        EXPECT_EQ(encode(p, *tile, width, height), *blob) << dtype;
        p.effort = 1;
        EXPECT_GT(encode(p, *tile, width, height).size(), blob->size() * 101 / 100) << dtype;
    }
    // Serial contexts came with wide ones; their tables are of 36 contexts;
    // raw bits cut short are named, and no edit reads out of bounds.
    Bytes out(u16.size());
    std::string why;
    Bytes bad = narrow;
    bad[17] = serial_mixed;
    seal(bad);
    decode(bad, out, &why);
    EXPECT_EQ(why, "corrupt tile: the context chain's predictor is unknown");
    bad = narrow;
    const size_t tables = 18 + 21;
    ASSERT_EQ(bad[tables + 1], 36 | 0x80);
    bad[tables + 1] = 12 | 0x80;
    seal(bad);
    decode(bad, out, &why);
    EXPECT_EQ(why, "corrupt tile: the number of contexts is not the chain's");
    bad.assign(narrow.begin(), narrow.end() - 8 - 40); // the raw bits are the last stream
    uint32_t raw = 0;
    for (size_t at = tables; at + 4 <= bad.size(); ++at) {
        std::memcpy(&raw, narrow.data() + at, 4);
        if (at + 4 + raw == narrow.size() - 8) {
            raw -= 40;
            std::memcpy(bad.data() + at, &raw, 4);
            break;
        }
    }
    bad.resize(bad.size() + 8);
    seal(bad);
    decode(bad, out, &why);
    EXPECT_EQ(why, "corrupt tile: the raw bits do not match the tokens");
    for (size_t at = 16; at < 160; at += 3) {
        bad = narrow;
        bad[at] ^= 0x5A;
        seal(bad);
        if (decode(bad, out, &why) != 0) {
            EXPECT_FALSE(why.empty()) << at;
        }
    }
}

// Serial contexts, forced, on every small shape and sample type they take:
// the encoder's contexts and the decoder's agree at every edge (one row,
// one or two columns, the last column).
TEST(ContextRans, SerialContextsRoundTripEveryShape) {
    using namespace varda::codec;
    const size_t shapes[][2] = {{1, 1}, {1, 9}, {9, 1}, {2, 7}, {3, 5}, {13, 4}, {33, 17}};
    for (int dtype : {VARDA_DTYPE_U8, VARDA_DTYPE_I8, VARDA_DTYPE_U16, VARDA_DTYPE_I16,
                      VARDA_DTYPE_U32, VARDA_DTYPE_I32}) {
        const uint64_t es = dtype_bytes[dtype];
        std::mt19937_64 rng(uint64_t(dtype) + 11);
        for (const auto &shape : shapes)
            for (int content = 0; content < 2; ++content) {
                const size_t width = shape[0], height = shape[1], n = width * height;
                const std::string at = "dtype " + std::to_string(dtype) + " " +
                                       std::to_string(width) + "x" + std::to_string(height) +
                                       (content ? " extremes" : " plateaus");
                // Plateaus with steps of one and more, or the type's extremes.
                const Bytes tile = tile_of(es, n, [&](size_t i) {
                    return content ? (rng() & 1 ? ~uint64_t(0) : 0)
                                   : uint64_t(i / width / 3 + (rng() % 4 == 0 ? rng() % 3 : 0));
                });
                const Plane plane{width, height, n, es, dtype};
                EncodeOptions options;
                options.effort = 2;
                options.serial_always = true;
                Bytes section;
                Writer writer(section);
                Error err;
                ASSERT_TRUE(encode_chain(chain, plane, tile.data(), options, writer, err))
                    << at << ": " << err.message;
                ASSERT_GT(section.size(), 1u);
                EXPECT_EQ(section[1] & ~wide,
                          dtype_bytes[dtype] <= 2 ? serial_mixed : serial_fitted)
                    << at;
                Bytes out(tile.size(), 0xA5);
                Reader reader(section.data(), section.data() + section.size());
                ASSERT_TRUE(decode_chain(reader, plane, out.data(), false, err))
                    << at << ": " << err.message;
                EXPECT_EQ(out, tile) << at;
            }
    }
}
