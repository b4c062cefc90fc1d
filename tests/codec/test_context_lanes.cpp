// The lane chain: round trips of every width and shape (tiles narrower
// than the lanes, ragged last strips), the same bytes and samples on every
// SIMD path, the predictor it picks, and hostile sections.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "chains.h"
#include "codec/codec_support.h"
#include "linear.h"
#include "strips.h"
#include "support/path_scope.h"
#include "support/support.h"
#include "varda_codec.h"

namespace {

using vt::Bytes;

constexpr int chain = VARDA_CHAIN_CONTEXT_LANES;
const uint64_t dtype_bytes[] = {1, 2, 4, 8, 1, 2, 4, 8, 2, 4, 8};
// The byte after the chain id: stored, unpredicted, linear or median over
// strips.
constexpr size_t predictor_at = 17;
constexpr unsigned char stored = 0, unpredicted = 1, linear = 2, median = 3;

// The paths this build and processor run: the portable loop and AVX2
// where there is one.
std::vector<int> paths() {
    std::vector<int> out{0};
    for (int path : {1, 2, 3})
        if ((varda_simd_built() & varda_simd_cpu()) >> path & 1) out.push_back(path);
    return out;
}

// Encodes on every path (the bytes must agree), decodes on every path (the
// samples must be the tile), and returns the blob.
Bytes round_trip(int dtype, const Bytes &tile, size_t width, size_t height, int effort,
                 const std::string &what) {
    varda_codec_product p = vt::product_for(dtype, chain);
    p.effort = effort;
    Bytes blob;
    for (int path : paths()) {
        vt::PathScope scope(path);
        std::string why;
        const Bytes made = vt::encode(p, tile, width, height, &why);
        EXPECT_FALSE(made.empty()) << what << ": " << why;
        if (blob.empty()) blob = made;
        EXPECT_EQ(made, blob) << what << ": path " << path << " encodes otherwise";
    }
    for (int path : paths()) {
        vt::PathScope scope(path);
        Bytes out(tile.size(), 0xA5);
        std::string why;
        EXPECT_EQ(vt::decode(blob, out, &why), 0) << what << ": path " << path << ": " << why;
        EXPECT_EQ(out, tile) << what << ": path " << path;
    }
    return blob;
}

// Truncations and single-byte changes of a blob past its header, every
// `stride`th: each cut is refused on every path, and each change is
// refused alike on every path or decodes alike.
void expect_edits_refused_alike(const Bytes &blob, size_t stride, size_t samples_bytes,
                                std::mt19937_64 &rng) {
    Bytes out(samples_bytes);
    for (size_t at = predictor_at; at + 8 < blob.size(); at += stride) {
        Bytes cut(blob.begin(), blob.begin() + long(at));
        cut.resize(at + 8);
        vt::seal(cut);
        Bytes edited = blob;
        edited[at] ^= uint8_t(1 + rng() % 255);
        vt::seal(edited);
        int first = 0;
        Bytes first_out;
        for (int path : paths()) {
            vt::PathScope scope(path);
            EXPECT_NE(vt::decode(cut, out), 0) << "cut at " << at;
            const int rc = vt::decode(edited, out);
            if (first_out.empty()) first = rc, first_out = out;
            EXPECT_EQ(rc, first) << "byte " << at << ": the paths disagree";
            if (rc == 0) {
                EXPECT_EQ(out, first_out) << "byte " << at;
            }
        }
    }
}

// A smooth field with noise of `sigma`, as 64-bit values for tile_of.
uint64_t smooth(size_t x, size_t y, double sigma, std::mt19937_64 &rng) {
    std::normal_distribution<double> noise(0, sigma);
    return uint64_t(int64_t(3000 + 40 * std::sin(double(x) / 9) * std::cos(double(y) / 7) +
                            double(x + 2 * y) + noise(rng)));
}

} // namespace

// Narrow tiles leave lanes empty, ragged ones a short last strip; the
// widest residuals take the longest raw bits; every width has its own
// predictor arithmetic.
TEST(ContextLanes, RoundTripsEveryWidthAndShapeOnEveryPath) {
    // The vector rebuild takes tiles of 64 columns or more.
    const size_t shapes[][2] = {{1, 1},   {1, 40},  {7, 3},    {16, 2},  {17, 9},
                                {40, 33}, {64, 20}, {100, 19}, {129, 3}, {257, 5}};
    for (int dtype = 0; dtype < 11; ++dtype) {
        const uint64_t es = dtype_bytes[dtype];
        std::mt19937_64 rng(uint64_t(dtype) + 11);
        for (const auto &shape : shapes) {
            const size_t w = shape[0], h = shape[1], n = w * h;
            const std::string at = "dtype " + std::to_string(dtype) + " " + std::to_string(w) +
                                   "x" + std::to_string(h);
            round_trip(dtype,
                       vt::tile_of(es, n,
                                   [&](size_t i) {
                                       return i % 3 ? ~uint64_t(0) : uint64_t(1) << (8 * es - 1);
                                   }),
                       w, h, 1, at + " extremes");
            round_trip(dtype, vt::tile_of(es, n, [&](size_t) { return rng(); }), w, h, 1,
                       at + " noise");
            for (int effort : {0, 1, 2})
                round_trip(dtype,
                           vt::tile_of(es, n,
                                       [&](size_t i) {
                                           const uint64_t r = rng();
                                           return (r & 31) == 0 ? r >> (r % 64)
                                                                : smooth(i % w, i / w, 2, rng);
                                       }),
                           w, h, effort, at + " smooth, effort " + std::to_string(effort));
        }
    }
}

// Smooth rasters take the linear predictor and code well below the
// samples; noise is stored as it is; sparse counts go unpredicted.
TEST(ContextLanes, PicksItsPredictorByWhatCodesSmallest) {
    constexpr size_t w = 300, h = 120;
    std::mt19937_64 rng(5);
    const Bytes field =
        vt::tile_of(2, w * h, [&](size_t i) { return smooth(i % w, i / w, 1.5, rng); });
    Bytes blob = round_trip(VARDA_DTYPE_U16, field, w, h, 1, "smooth");
    EXPECT_EQ(blob[predictor_at], linear);
    EXPECT_LT(blob.size(), field.size() * 45 / 100);

    const Bytes noise = vt::tile_of(2, w * h, [&](size_t) { return rng(); });
    blob = round_trip(VARDA_DTYPE_U16, noise, w, h, 1, "noise");
    EXPECT_EQ(blob[predictor_at], stored);
    EXPECT_LE(blob.size(), noise.size() + 64);

    const Bytes counts =
        vt::tile_of(2, w * h, [&](size_t) { return rng() % 23 == 0 ? 1 + rng() % 3 : 0; });
    blob = round_trip(VARDA_DTYPE_U16, counts, w, h, 1, "counts");
    EXPECT_EQ(blob[predictor_at], unpredicted);
    EXPECT_LT(blob.size(), counts.size() / 8);

    // Flat classes with sharp edges between them: the median keeps the
    // edges that any mix of neighbours blurs.
    const Bytes classes = vt::tile_of(1, w * h, [&](size_t i) {
        const size_t x = i % w, y = i / w;
        return uint64_t(((x + 2 * y) / 37 * 61 + (3 * x + y) / 53 * 17) % 251);
    });
    blob = round_trip(VARDA_DTYPE_U8, classes, w, h, 1, "classes");
    EXPECT_EQ(blob[predictor_at], median);
}

// The golden blobs of the lane chain decode to the same samples on every
// path (the portable loop is the one a processor without AVX2 runs).
TEST(ContextLanes, GoldenBlobsDecodeAlikeOnEveryPath) {
    for (const char *name : {"u16_context_lanes.vrd", "u64_context_lanes.vrd",
                             "i16_context_lanes_nodata.vrd", "u8_context_lanes.vrd"}) {
        const Bytes blob = vt::read_file(std::string(VARDA_GOLDEN_DIR) + "/" + name);
        ASSERT_FALSE(blob.empty()) << name;
        Bytes first;
        for (int path : paths()) {
            vt::PathScope scope(path);
            Bytes out(24 * 16 * 8);
            std::string why;
            ASSERT_EQ(vt::decode(blob, out, &why), 0) << name << ": " << why;
            if (first.empty()) first = out;
            EXPECT_EQ(out, first) << name << ": path " << path;
        }
    }
}

// Tiles whose tokens come to 16 KiB or more go by thirty-two states. Every
// path reads them alike: rows of whole groups of 32, of groups and 16
// more (the first two vectors), and of 16 more and a short tail (from
// state 16 on, in the portable loop). Edits are refused alike on every
// path; the golden blob decodes and encodes as it was.
TEST(ContextLanes, WideTilesGoByThirtyTwoStates) {
    constexpr unsigned char widest = 0x10;
    const auto tile_for = [](size_t w, size_t h) {
        std::mt19937_64 rng(w);
        return vt::tile_of(2, w * h, [&](size_t i) {
            return 3000 + (7 * (i % w) + 5 * (i / w)) % 400 + rng() % 29;
        });
    };
    // About 48000 samples, whose tokens come to 18 KiB.
    constexpr size_t h = 120;
    Bytes wide_blob;
    for (size_t w : {size_t(512), size_t(400), size_t(345)}) {
        const Bytes tile = tile_for(w, h * 400 / w);
        const Bytes blob =
            round_trip(VARDA_DTYPE_U16, tile, w, h * 400 / w, 1, "width " + std::to_string(w));
        ASSERT_GT(blob.size(), predictor_at);
        EXPECT_TRUE(blob[predictor_at] & widest) << w;
        if (w == 400) wide_blob = blob;
    }
    const Bytes narrow = round_trip(VARDA_DTYPE_U16, tile_for(64, 64), 64, 64, 1, "64 x 64");
    EXPECT_FALSE(narrow[predictor_at] & widest);

    std::mt19937_64 rng(3);
    expect_edits_refused_alike(wide_blob, 101, 400 * h * 2, rng);

    const std::string golden = "u16_context_lanes_wide.vrd";
    if (vt::write_golden(golden, wide_blob)) return;
    const Bytes stored = vt::read_file(std::string(VARDA_GOLDEN_DIR) + "/" + golden);
    Bytes out(400 * h * 2);
    EXPECT_EQ(stored, wide_blob) << "the wide tile codes otherwise";
    for (int path : paths()) {
        vt::PathScope scope(path);
        ASSERT_EQ(vt::decode(stored, out), 0) << "path " << path;
        EXPECT_EQ(out, tile_for(400, h)) << "path " << path;
    }
}

// Every edit of the section is refused or decodes to something (never a
// crash or a read past the blob), and the checked fields say what is wrong.
TEST(ContextLanes, RefusesHostileSections) {
    constexpr size_t w = 70, h = 20;
    std::mt19937_64 rng(9);
    const Bytes tile =
        vt::tile_of(2, w * h, [&](size_t i) { return smooth(i % w, i / w, 3, rng); });
    varda_codec_product p = vt::product_for(VARDA_DTYPE_U16, chain);
    const Bytes blob = vt::encode(p, tile, w, h);
    ASSERT_FALSE(blob.empty());
    ASSERT_EQ(blob[predictor_at], linear);
    Bytes out(tile.size());
    const auto refused = [&](Bytes edited, const char *message) {
        vt::seal(edited);
        std::string why;
        for (int path : paths()) {
            vt::PathScope scope(path);
            EXPECT_NE(vt::decode(edited, out, &why), 0) << message;
            EXPECT_NE(why.find(message), std::string::npos) << why;
        }
    };
    Bytes edited = blob;
    edited[predictor_at] = 4;
    refused(edited, "the lane chain's predictor is unknown");
    edited = blob;
    edited[predictor_at + 1] = 40; // the shift
    refused(edited, "weights are out of range");
    // Every truncation and every single-byte change past the header, of
    // this tile and of a flat one, whose few words the vector loop reads up
    // to the stream's end.
    const Bytes flat = vt::tile_of(2, w * h, [&](size_t i) { return (i % w) / 23 + (i / w) / 9; });
    const Bytes flat_blob = vt::encode(p, flat, w, h);
    ASSERT_FALSE(flat_blob.empty());
    ASSERT_LT(flat_blob.size(), 160u);
    for (const Bytes &coded : {blob, flat_blob})
        expect_edits_refused_alike(coded, 1, out.size(), rng);
}

// The strips rebuild the fitted predictor's samples exactly as the pass in
// sample order does, on every path: random weights to the limits (sums
// that saturate at either end of the range), every shift, every narrow
// type, widths either side of the vector path's 64 columns and ragged
// last strips.
TEST(ContextLanes, StripsRebuildWhatThePlainPassCodes) {
    std::mt19937_64 rng(21);
    const int dtypes[] = {VARDA_DTYPE_U8, VARDA_DTYPE_I8, VARDA_DTYPE_U16, VARDA_DTYPE_I16};
    const size_t shapes[][2] = {{63, 9}, {64, 1}, {64, 30}, {97, 17}, {255, 3}, {513, 21}};
    for (int round = 0; round < 24; ++round) {
        const int dtype = dtypes[round % 4];
        const uint64_t es = dtype == VARDA_DTYPE_U8 || dtype == VARDA_DTYPE_I8 ? 1 : 2;
        const auto &shape = shapes[size_t(round) % std::size(shapes)];
        const size_t w = shape[0], h = shape[1];
        varda::codec::Plane plane;
        plane.dtype = dtype;
        plane.elem_size = es;
        plane.width = w;
        plane.height = h;
        plane.count = w * h;
        varda::codec::StripPredictor predictor;
        predictor.median = round % 6 == 5;
        predictor.weights.shift = uint8_t(rng() % 16);
        for (int16_t &weight : predictor.weights.weight) weight = int16_t(int(rng() % 4097) - 2048);
        const Bytes samples = vt::tile_of(es, w * h, [&](size_t i) {
            return round % 3 == 0 ? rng() : smooth(i % w, i / w, 4, rng);
        });
        Bytes codes(samples.size());
        varda::codec::strip_residuals(predictor, plane, samples.data(), codes.data());
        for (int path : paths()) {
            vt::PathScope scope(path);
            Bytes out = codes;
            varda::codec::strip_rebuild(predictor, plane, out.data());
            EXPECT_EQ(out, samples) << "round " << round << ", path " << path;
        }
    }
}
