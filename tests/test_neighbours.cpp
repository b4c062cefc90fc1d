// The neighbour predictors (north and west delta, average, median edge and
// its zigzag form) and the interleave split: worked values, the definitions
// on every shape, width and path, overlapping buffers, and a decoder that
// loses its scratch memory.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "support/neighbours_oracle.h"
#include "support/support.h"
#include "wrap/failing_malloc.h"

using vt::Elems;
using vt::View;

namespace {

using Kernel = int (*)(void *, const void *, uint64_t, uint64_t, uint64_t);
using Reference = void (*)(View, View, size_t, size_t);

struct Predictor {
    const char *name;
    Kernel encode, decode;
    Reference reference; // the encoder
    bool encodes_in_place, decodes_in_place;
};

const Predictor predictors[] = {
    {"delta_n", delta_n_encode, delta_n_decode, vt::ref_delta_n_encode, true, true},
    {"delta_w", delta_w_encode, delta_w_decode, vt::ref_delta_w_encode, true, true},
    {"average", average_encode, average_decode, vt::ref_average_encode, false, true},
    {"med", med_encode, med_decode,
     [](View d, View s, size_t w, size_t n) { vt::ref_med_encode(d, s, w, n, false); }, false,
     false},
    {"med_zigzag", med_zigzag_encode, med_zigzag_decode,
     [](View d, View s, size_t w, size_t n) { vt::ref_med_encode(d, s, w, n, true); }, false,
     false},
};

Elems elems(uint64_t es, std::initializer_list<uint64_t> values) {
    Elems out(es, values.size());
    size_t i = 0;
    for (uint64_t v : values) out.set(i++, v);
    return out;
}

// The shared shapes, every width 1 to 9 with 1 to 10 rows (both median
// decoder paths and the edges between them), and rows around the vector
// block sizes.
std::vector<vt::Shape> shapes() {
    std::vector<vt::Shape> out = vt::tile_shapes();
    for (size_t width = 1; width <= 9; ++width)
        for (size_t rows = 1; rows <= 10; ++rows) out.push_back({width, width * rows});
    for (size_t width : {15, 16, 17, 31, 32, 33}) out.push_back({width, width * 6});
    return out;
}

} // namespace

TEST(Neighbours, RefuseBadShapesAndSizesWithoutWriting) {
    const struct {
        uint64_t width, count, elem_size;
    } bad[] = {{0, 8, 1}, {1, 0, 1},  {0, 0, 1}, {9, 8, 2}, {3, 8, 4},
               {2, 8, 3}, {2, 8, 16}, {2, 8, 0}, {0, 8, 3}, {~uint64_t(0), 8, 1}};
    const Elems src = vt::random_field(8, 8, 1);
    for (const auto &p : predictors) {
        for (Kernel kernel : {p.encode, p.decode}) {
            for (const auto &b : bad) {
                auto dst = vt::canary(64);
                EXPECT_EQ(kernel(dst.data(), src.data(), b.width, b.count, b.elem_size), 1)
                    << p.name << " width " << b.width << " count " << b.count;
                EXPECT_EQ(dst, vt::canary(64)) << p.name;
            }
        }
    }
}

TEST(Neighbours, WorkedValues) {
    const uint64_t top16 = 0xFFFF, top64 = ~uint64_t(0);
    const struct {
        const char *what;
        Kernel encode, decode;
        uint64_t es, width;
        Elems samples, codes;
    } cases[] = {
        {"north wraps", delta_n_encode, delta_n_decode, 2, 1, elems(2, {top16, 0}),
         elems(2, {top16, 1})},
        {"west wraps", delta_w_encode, delta_w_decode, 1, 3, elems(1, {250, 3, 3}),
         elems(1, {250, 9, 0})},
        {"mean of 255 and 255", average_encode, average_decode, 1, 2, elems(1, {7, 255, 255, 255}),
         elems(1, {7, 252, 252, 0})},
        {"mean of 255 and 254", average_encode, average_decode, 1, 2, elems(1, {0, 254, 255, 100}),
         elems(1, {0, 254, 255, 102})},
        {"mean of 1 and 1", average_encode, average_decode, 1, 2, elems(1, {0, 1, 1, 1}),
         elems(1, {0, 1, 1, 0})},
        {"median 2 x 2", med_encode, med_decode, 1, 2, elems(1, {10, 20, 30, 25}),
         elems(1, {10, 10, 20, 251})},
        {"median wraps", med_encode, med_decode, 1, 2, elems(1, {250, 250, 250, 3}),
         elems(1, {250, 0, 0, 9})},
        {"zigzag median 2 x 2", med_zigzag_encode, med_zigzag_decode, 1, 2,
         elems(1, {10, 20, 30, 25}), elems(1, {20, 20, 40, 9})},
        {"zigzag first sample 3", med_zigzag_encode, med_zigzag_decode, 1, 1, elems(1, {3}),
         elems(1, {6})},
        {"zigzag first sample 200", med_zigzag_encode, med_zigzag_decode, 1, 1, elems(1, {200}),
         elems(1, {111})},
        // Residuals 0, 0, -1, 1, 127, -128.
        {"zigzag extremes", med_zigzag_encode, med_zigzag_decode, 1, 6,
         elems(1, {0, 0, 255, 0, 127, 255}), elems(1, {0, 0, 1, 2, 254, 255})},
        // Residuals -1 and 2^63 - 1.
        {"zigzag 8-byte extremes", med_zigzag_encode, med_zigzag_decode, 8, 3,
         elems(8, {0, top64, (uint64_t(1) << 63) - 2}), elems(8, {0, 1, top64 - 1})},
    };
    for (const auto &k : cases) {
        const size_t count = k.samples.count();
        Elems codes(k.es, count), samples(k.es, count);
        ASSERT_EQ(k.encode(codes.data(), k.samples.data(), k.width, count, k.es), 0) << k.what;
        EXPECT_EQ(codes, k.codes) << k.what;
        ASSERT_EQ(k.decode(samples.data(), k.codes.data(), k.width, count, k.es), 0) << k.what;
        EXPECT_EQ(samples, k.samples) << k.what;
    }
}

// Prediction cases on a 2 x 2 tile NW N / W x: the last code is x - P.
TEST(Neighbours, MedianPredictionIsUnsignedAtTheElementWidth) {
    const struct {
        uint64_t es, west, north, north_west, prediction;
    } cases[] = {
        {1, 5, 7, 9, 5},           {1, 5, 7, 2, 7},
        {1, 5, 9, 7, 7},           {1, 7, 7, 200, 7},
        {2, 0xFFFF, 1, 0, 0xFFFF}, {4, 0xFFFFFFFF, 3, 2, 0xFFFFFFFF},
        {8, 2, 5, 1, 5},           {8, ~uint64_t(0), 0, 1, ~uint64_t(0) - 1},
    };
    for (const auto &k : cases) {
        const uint64_t x = 100, m = vt::mask_of(k.es);
        const Elems tile = elems(k.es, {k.north_west, k.north, k.west, x});
        for (bool zig : {false, true}) {
            Elems codes(k.es, 4), back(k.es, 4);
            ASSERT_EQ((zig ? med_zigzag_encode : med_encode)(codes.data(), tile.data(), 2, 4, k.es),
                      0);
            const uint64_t residual = (x - k.prediction) & m;
            EXPECT_EQ(codes.get(3), zig ? vt::ref_zigzag(residual, k.es) : residual)
                << "es " << k.es << " W " << k.west << " N " << k.north << " NW " << k.north_west;
            ASSERT_EQ((zig ? med_zigzag_decode : med_decode)(back.data(), codes.data(), 2, 4, k.es),
                      0);
            EXPECT_EQ(back, tile);
        }
    }
}

TEST(Neighbours, MatchDefinitionsAndRoundTripOnEveryPath) {
    for (const auto &p : predictors) {
        for (uint64_t es : vt::widths) {
            for (const auto &shape : shapes()) {
                const size_t width = shape.width, count = shape.count;
                const Elems x = width % 3 ? vt::smooth_field(es, width, count, 7)
                                          : vt::random_field(es, count, uint32_t(width));
                Elems want(es, count);
                p.reference(vt::view(want), vt::view(x), width, count);
                const std::string where = std::string(p.name) + " es " + std::to_string(es) +
                                          " width " + std::to_string(width) + " count " +
                                          std::to_string(count);
                for (int path : vt::paths()) {
                    const vt::PathScope scope(path);
                    Elems e(es, count), y(es, count);
                    ASSERT_EQ(p.encode(e.data(), x.data(), width, count, es), 0) << where;
                    ASSERT_EQ(e, want) << where;
                    ASSERT_EQ(p.decode(y.data(), e.data(), width, count, es), 0) << where;
                    ASSERT_EQ(y, x) << where << " path " << path;
                    if (p.encodes_in_place) {
                        Elems z = x;
                        ASSERT_EQ(p.encode(z.data(), z.data(), width, count, es), 0);
                        ASSERT_EQ(z, want) << where << " in place";
                    }
                    if (p.decodes_in_place) {
                        Elems z = want;
                        ASSERT_EQ(p.decode(z.data(), z.data(), width, count, es), 0);
                        ASSERT_EQ(z, x) << where << " in place, path " << path;
                    }
                }
            }
        }
    }
}

// Buffers that partly overlap get what the element order of the definition
// gives, whatever the shift between them: the block loops must stand aside.
TEST(Neighbours, OverlappingBuffersFollowTheElementOrder) {
    struct Kind {
        const char *name;
        Kernel kernel;
        Reference reference;
    };
    std::vector<Kind> kinds;
    for (const auto &p : predictors) kinds.push_back({p.name, p.encode, p.reference});
    kinds.push_back({"delta_n_decode", delta_n_decode, vt::ref_delta_n_decode});
    const vt::Shape tiles[] = {{1, 9}, {5, 20}, {16, 64}, {33, 132}, {40, 40}, {70, 140}};
    std::mt19937_64 rng(5);
    for (const auto &kind : kinds) {
        for (uint64_t es : vt::widths) {
            for (const auto &t : tiles) {
                const long row = long(t.width * es), block = 16;
                const size_t bytes = t.count * es, base = bytes + 64;
                for (long shift :
                     {-row - 1, -row, -row + 1, -block - 1, -block, -block + 1, -long(es), -1L, 0L,
                      1L, 3L, long(es), block - 1, block, block + 1, row - 1, row, row + 1}) {
                    vt::Bytes buffer(3 * bytes + 128);
                    for (auto &b : buffer) b = static_cast<unsigned char>(rng());
                    vt::Bytes want = buffer;
                    kind.reference({want.data() + base + shift, es}, {want.data() + base, es},
                                   t.width, t.count);
                    ASSERT_EQ(kind.kernel(buffer.data() + base + shift, buffer.data() + base,
                                          t.width, t.count, es),
                              0);
                    ASSERT_EQ(buffer, want)
                        << kind.name << " es " << es << " width " << t.width << " shift " << shift;
                }
            }
        }
    }
}

TEST(Average, DecodesTheSameWithoutItsScratchMemory) {
    for (uint64_t es : vt::widths) {
        for (const auto &shape : vt::tile_shapes()) {
            const Elems x = vt::random_field(es, shape.count, 3);
            Elems e(es, shape.count);
            vt::ref_average_encode(vt::view(e), vt::view(x), shape.width, shape.count);
            Elems with(es, shape.count), without(es, shape.count), in_place = e;
            int r1, r2, r3;
            size_t allocations;
            {
                const vt::MallocWatch watch(false);
                r1 = average_decode(with.data(), e.data(), shape.width, shape.count, es);
                allocations = watch.calls();
            }
            {
                const vt::MallocWatch watch(true);
                r2 = average_decode(without.data(), e.data(), shape.width, shape.count, es);
                r3 = average_decode(in_place.data(), in_place.data(), shape.width, shape.count, es);
            }
            ASSERT_EQ(r1, 0);
            ASSERT_EQ(r2, 0);
            ASSERT_EQ(r3, 0);
            EXPECT_EQ(allocations, 1u);
            ASSERT_EQ(with, x) << "es " << es << " width " << shape.width;
            ASSERT_EQ(without, x) << "es " << es << " width " << shape.width;
            ASSERT_EQ(in_place, x) << "es " << es << " width " << shape.width;
        }
    }
}

// The scratch row is taken once the shape is known good, whatever the
// element size, and given back on every return; a size that does not fit
// in a word is not asked for.
TEST(Average, TakesItsScratchAfterTheShapeCheck) {
    const Elems src = vt::random_field(4, 16, 2);
    const struct {
        uint64_t width, count, elem_size;
        size_t allocations;
    } cases[] = {{0, 16, 4, 0},
                 {5, 16, 4, 0},
                 {4, 16, 3, 1},
                 {4, 16, 0, 1},
                 {uint64_t(1) << 62, uint64_t(1) << 62, 3, 0}};
    for (const auto &k : cases) {
        auto dst = vt::canary(64);
        int result;
        size_t allocations;
        {
            const vt::MallocWatch watch(false);
            result = average_decode(dst.data(), src.data(), k.width, k.count, k.elem_size);
            allocations = watch.calls();
        }
        EXPECT_EQ(result, 1);
        EXPECT_EQ(allocations, k.allocations) << "width " << k.width << " size " << k.elem_size;
        EXPECT_EQ(dst, vt::canary(64));
    }
}

// Every encoder's codes of a fixed field, per width: stored residuals must
// not change.
TEST(Neighbours, GoldenCodes) {
    const uint64_t golden[] = {0xb724b49dd62b7631ull, 0x2336797cd76ee85aull, 0xbe0d5d98e9fc7860ull,
                               0x414c04e7f64c04a4ull, 0x86ccf14e99fa4039ull};
    for (size_t k = 0; k < std::size(predictors); ++k) {
        uint64_t hash = 0;
        for (uint64_t es : vt::widths) {
            const size_t width = 23, count = 23 * 9;
            const Elems x = vt::smooth_field(es, width, count, 41, 40);
            Elems e(es, count);
            ASSERT_EQ(predictors[k].encode(e.data(), x.data(), width, count, es), 0);
            hash = hash * 31 + vt::fnv1a(e.bytes.data(), e.bytes.size());
        }
        EXPECT_EQ(hash, golden[k]) << predictors[k].name;
    }
}

TEST(Deinterleave, SplitThenJoinRestoresEveryRun) {
    std::vector<size_t> counts;
    for (size_t c = 0; c <= 80; ++c) counts.push_back(c);
    for (size_t c : {255, 256, 257, 1001}) counts.push_back(c);
    std::mt19937_64 rng(8);
    for (size_t es : {1, 2, 3, 4, 5, 8, 12, 16}) {
        for (size_t count : counts) {
            const size_t odd_count = count / 2, even_count = count - odd_count, pad = 24;
            vt::Bytes src(count * es);
            for (auto &b : src) b = static_cast<unsigned char>(rng());
            vt::Bytes even = vt::canary(even_count * es + pad),
                      odd = vt::canary(odd_count * es + pad);
            vt::Bytes want_even = even, want_odd = odd;
            vt::ref_split(want_even.data(), want_odd.data(), src.data(), count, es);
            deinterleave_split(even.data(), odd.data(), src.data(), count, es);
            ASSERT_EQ(even, want_even) << "es " << es << " count " << count;
            ASSERT_EQ(odd, want_odd) << "es " << es << " count " << count;

            vt::Bytes run = vt::canary(count * es + pad);
            deinterleave_join(run.data(), even.data(), odd.data(), count, es);
            ASSERT_EQ(vt::Bytes(run.begin(), run.begin() + long(count * es)), src)
                << "es " << es << " count " << count;
            ASSERT_EQ(vt::Bytes(run.begin() + long(count * es), run.end()), vt::canary(pad));
        }
    }
    // Nothing to move: no buffer is touched.
    deinterleave_split(nullptr, nullptr, nullptr, 0, 4);
    deinterleave_join(nullptr, nullptr, nullptr, 0, 4);
    deinterleave_split(nullptr, nullptr, nullptr, 9, 0);
    deinterleave_join(nullptr, nullptr, nullptr, 9, 0);
}

TEST(Deinterleave, OverlappingBuffersGiveThePlainCopy) {
    std::mt19937_64 rng(9);
    for (size_t es : {1, 2, 3, 4, 8}) {
        for (size_t count : {7, 16, 33, 64, 101}) {
            const long run = long(count * es), half = long(count / 2 * es);
            const size_t base = size_t(2 * run + 64);
            // Places of the two halves relative to the run, in bytes.
            const struct {
                long even, odd;
            } places[] = {
                {0, run - half}, {0, half + long(es)}, {1, -run}, {-3, 5}, {half, 0}, {17, -17},
                {run, -1},       {-long(es), run}};
            for (const auto &place : places) {
                vt::Bytes buffer(size_t(4 * run + 128));
                for (auto &b : buffer) b = static_cast<unsigned char>(rng());
                unsigned char *at = buffer.data() + base;
                vt::Bytes want = buffer;
                unsigned char *want_at = want.data() + base;
                vt::ref_split(want_at + place.even, want_at + place.odd, want_at, count, es);
                deinterleave_split(at + place.even, at + place.odd, at, count, es);
                ASSERT_EQ(buffer, want) << "split es " << es << " count " << count << " even "
                                        << place.even << " odd " << place.odd;
                vt::ref_join(want_at, want_at + place.even, want_at + place.odd, count, es);
                deinterleave_join(at, at + place.even, at + place.odd, count, es);
                ASSERT_EQ(buffer, want) << "join es " << es << " count " << count << " even "
                                        << place.even << " odd " << place.odd;
            }
        }
    }
}
