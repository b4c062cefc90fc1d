// Nodata masks, fill, restore and guarded nodata against their sample-by-
// sample definitions, on every width, count and alignment, with buffers that
// end exactly where the samples end.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "frame/half.h"
#include "support/nodata_oracle.h"
#include "support/support.h"

using vt::Bytes;
using vt::Elems;

namespace {

constexpr size_t counts[] = {0, 1, 2, 7, 8, 9, 15, 16, 17, 23, 24, 31, 32, 33, 47, 64, 100, 1000};
constexpr size_t offsets[] = {0, 1, 3};

// `len` bytes copied to the end of a heap block, starting `offset` bytes in:
// any access past the end is a heap overflow for the sanitizers.
struct Tight {
    Bytes block;
    size_t offset;
    Tight(const void *from, size_t len, size_t off) : block(off + len, 0xA5), offset(off) {
        if (from && len) std::memcpy(block.data() + off, from, len);
    }
    unsigned char *data() { return block.data() + offset; }
    Bytes bytes() const { return Bytes(block.begin() + long(offset), block.end()); }
};

// Random samples: an eighth on `centre` itself, an eighth on `centre` with
// its top bit flipped, an eighth arbitrary, the rest within 8 bit patterns.
Elems near(uint64_t es, size_t count, uint64_t centre, uint32_t seed) {
    std::mt19937_64 rng(seed);
    Elems x(es, count);
    for (size_t i = 0; i < count; ++i) {
        const uint64_t pick = rng() % 8;
        if (pick == 0)
            x.set(i, rng());
        else if (pick == 1)
            x.set(i, centre ^ (uint64_t(1) << (8 * es - 1))); // the other zero of a zero
        else if (pick == 2)
            x.set(i, centre);
        else
            x.set(i, centre + (rng() % 17) - 8);
    }
    return x;
}

Elems from_words(uint64_t es, std::initializer_list<uint64_t> words) {
    Elems x(es, words.size());
    size_t i = 0;
    for (uint64_t w : words) x.set(i++, w);
    return x;
}

uint64_t f32_bits(float f) { return std::bit_cast<uint32_t>(f); }
uint64_t f64_bits(double d) { return std::bit_cast<uint64_t>(d); }

} // namespace

// ---- Masks ---------------------------------------------------------------

TEST(NodataMask, FindNan) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    float tile[10] = {1, 2, 3, nan, 5, 6, 7, -nan, 9, 10};
    tile[3] = std::bit_cast<float>(0xFFC00000u); // negative quiet NaN
    tile[7] = std::bit_cast<float>(0x7F800001u);
    uint64_t found = 0;
    EXPECT_EQ(nodata_find_nan(&found, tile, 10, 4), 1);
    EXPECT_EQ(found, 0x00000000FFC00000u);

    const float infinite[] = {INFINITY, -INFINITY, 0.0f};
    found = 0x1234;
    EXPECT_EQ(nodata_find_nan(&found, infinite, 3, 4), 0);
    EXPECT_EQ(found, 0x1234u);
    EXPECT_EQ(nodata_find_nan(&found, nullptr, 100, 1), 0); // must not read
    EXPECT_EQ(nodata_find_nan(&found, tile, 0, 4), 0);
    EXPECT_EQ(nodata_find_nan(&found, tile, 10, 3), 0);

    const uint16_t halves[] = {0x7C00, 0xFC00, 0x7C01};
    EXPECT_EQ(nodata_find_nan(&found, halves, 3, 2), 1);
    EXPECT_EQ(found, 0x7C01u);
    const uint64_t doubles[] = {0x7FF0000000000000, 0xFFF0000000000001};
    EXPECT_EQ(nodata_find_nan(&found, doubles, 2, 8), 1);
    EXPECT_EQ(found, 0xFFF0000000000001u);
}

TEST(NodataMask, WorkedMarks) {
    const struct {
        const char *what;
        bool nan; // nodata_mark_nan, else nodata_mark_value
        uint64_t es;
        Elems samples;
        uint64_t sentinel;
        Bytes want;
    } cases[] = {
        {"f16 patterns",
         true,
         2,
         from_words(2, {0x7C00, 0xFC00, 0x0000, 0x8000, 0x0001, 0x7C01, 0xFE00}),
         0,
         {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0}},
        {"f32 patterns",
         true,
         4,
         from_words(4, {0x7F800000, 0xFF800000, 0x80000000, 0x00000001, 0x7F800001, 0xFFFFFFFF}),
         0,
         {0xFF, 0xFF, 0xFF, 0xFF, 0, 0}},
        {"f64 patterns",
         true,
         8,
         from_words(
             8, {0x7FF0000000000000, 0xFFF0000000000001, 0x000FFFFFFFFFFFFF, 0x7FF8000000000000}),
         0,
         {0xFF, 0, 0xFF, 0}},
        {"no NaN in one byte", true, 1, from_words(1, {0xFF, 0x7F, 0xFC}), 0, {0xFF, 0xFF, 0xFF}},
        {"no NaN in three bytes", true, 3, from_words(1, {0xFF, 0xFF, 0xFF}), 0, {0xFF}},
        {"only the low byte", false, 1, from_words(1, {0xFF, 0x01, 0xFF}), 0x1FF, {0, 0xFF, 0}},
        {"-0.0 is not +0.0",
         false,
         4,
         from_words(4, {0x80000000, 0, 0x80000000}),
         0x80000000,
         {0, 0xFF, 0}},
        {"NaN sentinel, own bits",
         false,
         4,
         from_words(4, {0x7FC00000, 0x7FC00001}),
         0x7FC00000,
         {0, 0xFF}},
        {"three bytes", false, 3, from_words(1, {5, 5, 5}), 5, {0xFF}},
    };
    for (const auto &c : cases) {
        const size_t count = c.want.size();
        Bytes mask(count, 0xA5);
        if (c.nan)
            nodata_mark_nan(mask.data(), c.samples.data(), count, c.es);
        else
            nodata_mark_value(mask.data(), c.samples.data(), count, c.es, c.sentinel);
        EXPECT_EQ(mask, c.want) << c.what;
    }
}

TEST(NodataMask, EveryCountWidthAndOffsetMatchesTheDefinition) {
    const uint64_t nan_patterns[] = {
        0x7C01, 0xFE00, 0x7F800001, 0xFFC00000, 0x7FF0000000000001, 0xFFF8000000000000};
    for (uint64_t es : vt::widths) {
        const uint64_t sentinel = 0xDEADBEEFCAFEF00D & vt::mask_of(es);
        for (size_t count : counts) {
            Elems x = near(es, count, sentinel, uint32_t(count * 8 + es));
            for (size_t i = 0; i < count; i += 5) x.set(i, nan_patterns[i % 6]);
            const Bytes want_value = vt::ref_mark_value(x, sentinel);
            const Bytes want_nan = vt::ref_mark_nan(x);
            for (size_t off : offsets) {
                Tight src(x.data(), count * es, off), mask(nullptr, count, 2 - off % 2);
                nodata_mark_value(mask.data(), src.data(), count, es,
                                  sentinel | (es < 8 ? 0xAB00000000000000 : 0));
                ASSERT_EQ(mask.bytes(), want_value) << "es " << es << " count " << count;
                nodata_mark_nan(mask.data(), src.data(), count, es);
                ASSERT_EQ(mask.bytes(), want_nan) << "es " << es << " count " << count;
            }
        }
    }
}

// The three marking kernels, each as a function of one mask over samples.
using Marker = void (*)(uint8_t *, const void *, uint64_t, uint64_t);
const struct {
    const char *name;
    Marker mark;
} markers[] = {
    {"value", [](uint8_t *m, const void *x, uint64_t n,
                 uint64_t es) { nodata_mark_value(m, x, n, es, 0x5A5A5A5A5A5A5A5A); }},
    {"nan",
     [](uint8_t *m, const void *x, uint64_t n, uint64_t es) { nodata_mark_nan(m, x, n, es); }},
    {"guarded",
     [](uint8_t *m, const void *x, uint64_t n, uint64_t es) {
         const int dtype = es == 1 ? 0 : es == 2 ? 5 : es == 4 ? 6 : 3;
         nodata_mark_guarded(m, x, n, dtype, 0x5A5A5A5A5A5A5A5A, 40);
     }},
};

// A mask that overlaps the samples gets what visiting the samples in index
// order gives on the shared memory: mask bytes may land on samples not yet
// read.
TEST(NodataMask, OverlappingMasksActSampleBySample) {
    for (const auto &marker : markers) {
        for (uint64_t es : vt::widths) {
            for (size_t count : {size_t(8), size_t(17), size_t(40)}) {
                const size_t span = count * es, base = 200;
                for (long shift = -long(count + 3); shift <= long(span + 3); ++shift) {
                    std::mt19937 rng(uint32_t(shift + 100));
                    Bytes arena(base + span + 300);
                    for (auto &byte : arena) byte = rng() % 2 ? uint8_t(rng()) : 0x5A;
                    const size_t mask_at = size_t(long(base) + shift);
                    Bytes sim = arena;
                    for (size_t i = 0; i < count; ++i) {
                        Bytes sample(&sim[base + i * es], &sim[base + (i + 1) * es]);
                        marker.mark(&sim[mask_at + i], sample.data(), 1, es);
                    }
                    marker.mark(arena.data() + mask_at, arena.data() + base, count, es);
                    ASSERT_EQ(arena, sim)
                        << marker.name << " es " << es << " count " << count << " shift " << shift;
                }
            }
        }
    }
}

// ---- Fill ----------------------------------------------------------------

TEST(NodataFill, WorkedValues) {
    const uint64_t a = 0xA1, b = 0xB2, c = 0xC3, d = 0xD4, e = 0xE5, f = 0xF6;
    const struct {
        uint64_t width;
        Bytes mask;
        std::vector<uint64_t> samples, want;
    } cases[] = {
        {5, {1, 0, 0, 1, 0}, {a, b, c, d, e}, {a, a, a, d, d}},
        {4, {0, 0, 1, 0}, {a, b, c, d}, {0, 0, c, c}},
        {3, {1, 1, 1, 0, 0, 1}, {a, b, c, d, e, f}, {a, b, c, a, b, f}},
        {3, {1, 1, 1, 0, 1, 0}, {a, b, c, d, e, f}, {a, b, c, a, e, e}},
        {3, {0, 0, 0, 0, 0, 0}, {a, b, c, d, e, f}, {0, 0, 0, 0, 0, 0}},
        {2, {0, 1, 0, 0, 0, 0}, {a, b, c, d, e, f}, {0, b, 0, b, 0, b}},
        // Widths that do not fit the count make the run one row.
        {4,
         {1, 0, 0, 0, 0, 0, 0, 0, 0, 0},
         {a, b, c, d, e, f, a, b, c, d},
         {a, a, a, a, a, a, a, a, a, a}},
        {0, {0, 1, 0}, {a, b, c}, {0, b, b}},
        {11, {0, 1, 0}, {a, b, c}, {0, b, b}},
    };
    for (uint64_t es : vt::widths) {
        for (const auto &t : cases) {
            const size_t count = t.mask.size();
            Elems src(es, count), dst(es, count);
            for (size_t i = 0; i < count; ++i) src.set(i, t.samples[i] * 0x0101010101010101);
            nodata_fill(dst.data(), src.data(), t.mask.data(), t.width, count, es);
            for (size_t i = 0; i < count; ++i)
                ASSERT_EQ(dst.get(i), (t.want[i] * 0x0101010101010101) & vt::mask_of(es))
                    << "es " << es << " width " << t.width << " i " << i;
        }
    }
    // Nothing to do, or a size that is not an element: nothing written.
    const Bytes mask(8, 0xFF);
    for (uint64_t es : {uint64_t(3), uint64_t(0), uint64_t(16)}) {
        auto dst = vt::canary(64);
        const auto src = vt::canary(64);
        nodata_fill(dst.data(), Bytes(64, 1).data(), mask.data(), 2, 8, es);
        EXPECT_EQ(dst, src);
    }
    auto dst = vt::canary(8);
    nodata_fill(dst.data(), Bytes(8, 1).data(), mask.data(), 1, 0, 1);
    EXPECT_EQ(dst, vt::canary(8));
}

TEST(NodataFill, MatchesDefinitionInAndOutOfPlace) {
    std::vector<vt::Shape> shapes = vt::tile_shapes();
    shapes.push_back({4, 10});
    shapes.push_back({0, 10});
    shapes.push_back({11, 10});
    for (uint64_t es : vt::widths) {
        for (const auto &shape : shapes) {
            const size_t count = shape.count;
            const Elems x = vt::random_field(es, count, uint32_t(count + es));
            for (unsigned percent : {5u, 40u, 90u}) {
                const Bytes mask = vt::holey_mask(count, percent, uint32_t(count * percent), 0);
                const Elems want = vt::ref_fill(x, mask, shape.width);
                Tight src(x.data(), count * es, 1), dst(nullptr, count * es, 0);
                Tight tight_mask(mask.data(), count, 3);
                nodata_fill(dst.data(), src.data(), tight_mask.data(), shape.width, count, es);
                ASSERT_EQ(dst.bytes(), want.bytes)
                    << "es " << es << " width " << shape.width << " count " << count;
                nodata_fill(src.data(), src.data(), tight_mask.data(), shape.width, count, es);
                ASSERT_EQ(src.bytes(), want.bytes);
            }
        }
    }
}

// ---- Restore -------------------------------------------------------------

TEST(NodataRestore, WorkedValues) {
    const uint16_t decoded[] = {1, 2, 3, 4, 5, 6};
    const uint8_t mask[] = {0, 1, 2, 3, 0xFF, 0};
    uint16_t out[6];
    nodata_restore(out, decoded, mask, 6, 2, 0xFFFF8000);
    const uint16_t want[] = {0x8000, 2, 3, 4, 5, 0x8000};
    EXPECT_EQ(std::memcmp(out, want, sizeof out), 0);

    auto dst = vt::canary(18);
    nodata_restore(dst.data(), Bytes(18, 1).data(), mask, 6, 3, 0);
    EXPECT_EQ(dst, vt::canary(18));
}

TEST(NodataRestore, EveryCountWidthAndOffsetMatchesTheDefinition) {
    for (uint64_t es : vt::widths) {
        for (size_t count : counts) {
            const Elems x = vt::random_field(es, count, uint32_t(count * 3 + es));
            const Bytes mask = vt::holey_mask(count, 30, uint32_t(count), 0);
            const uint64_t sentinel = 0x8877665544332211;
            const Elems want = vt::ref_restore(x, mask, sentinel & vt::mask_of(es));
            for (size_t off : offsets) {
                Tight src(x.data(), count * es, off), dst(nullptr, count * es, 2 * off);
                Tight tight_mask(mask.data(), count, 1 + off);
                nodata_restore(dst.data(), src.data(), tight_mask.data(), count, es, sentinel);
                ASSERT_EQ(dst.bytes(), want.bytes)
                    << "es " << es << " count " << count << " offset " << off;
                nodata_restore(src.data(), src.data(), tight_mask.data(), count, es, sentinel);
                ASSERT_EQ(src.bytes(), want.bytes);
            }
        }
    }
}

// When dst overlaps src or the mask, the output is what visiting the
// samples in index order gives on the shared memory.
TEST(NodataRestore, OverlappingBuffersActSampleBySample) {
    for (uint64_t es : vt::widths) {
        for (size_t count : {size_t(7), size_t(8), size_t(17), size_t(40)}) {
            const size_t span = count * es, base = 200;
            for (long shift = -long(3 * es + 5); shift <= long(17 * es + 3); ++shift) {
                for (bool mask_on_dst : {false, true}) {
                    std::mt19937 rng(uint32_t(shift + 100));
                    Bytes arena(base + span + 20 * es + 400);
                    for (auto &byte : arena) byte = rng() % 3 ? uint8_t(rng()) : 0;
                    const size_t src_at = base, dst_at = size_t(long(base) + shift);
                    const size_t mask_at = mask_on_dst ? dst_at + es : base + span + 20 * es + 50;
                    Bytes sim = arena;
                    for (size_t i = 0; i < count; ++i) {
                        uint64_t v = 0x5A5A5A5A5A5A5A5A;
                        if (sim[mask_at + i]) std::memcpy(&v, &sim[src_at + i * es], es);
                        std::memcpy(&sim[dst_at + i * es], &v, es);
                    }
                    nodata_restore(arena.data() + dst_at, arena.data() + src_at,
                                   arena.data() + mask_at, count, es, 0x5A5A5A5A5A5A5A5A);
                    ASSERT_EQ(arena, sim) << "es " << es << " count " << count << " shift " << shift
                                          << " mask on dst " << mask_on_dst;
                }
            }
        }
    }
}

TEST(NodataRestore, MarkFillRestoreGivesTheTileBack) {
    for (uint64_t es : vt::widths) {
        const size_t width = 37, count = 37 * 9;
        const uint64_t sentinel = vt::mask_of(es) - 1;
        Elems x = vt::smooth_field(es, width, count, 5);
        const Bytes holes = vt::holey_mask(count, 20, 11);
        for (size_t i = 0; i < count; ++i)
            if (!holes[i]) x.set(i, sentinel);
        Bytes mask(count);
        nodata_mark_value(mask.data(), x.data(), count, es, sentinel);
        Elems filled(es, count), back(es, count);
        nodata_fill(filled.data(), x.data(), mask.data(), width, count, es);
        nodata_restore(back.data(), filled.data(), mask.data(), count, es, sentinel);
        EXPECT_EQ(back, x) << "es " << es;
    }
    // NaN in several patterns comes back as the one pattern found.
    for (uint64_t es : {2, 4, 8}) {
        const size_t count = 200;
        Elems x = vt::smooth_field(es, 20, count, 6);
        for (size_t i = 0; i < count; ++i) x.set(i, x.get(i) & (vt::mask_of(es) >> 4));
        const uint64_t nans[] = {vt::mask_of(es), (vt::mask_of(es) >> 1) - 3};
        for (size_t i = 3; i < count; i += 7) x.set(i, nans[i % 2]);
        Bytes mask(count);
        nodata_mark_nan(mask.data(), x.data(), count, es);
        uint64_t pattern = 0;
        ASSERT_EQ(nodata_find_nan(&pattern, x.data(), count, es), 1);
        EXPECT_EQ(pattern, nans[1]);
        Elems filled(es, count);
        nodata_fill(filled.data(), x.data(), mask.data(), 20, count, es);
        nodata_restore(filled.data(), filled.data(), mask.data(), count, es, pattern);
        for (size_t i = 0; i < count; ++i)
            ASSERT_EQ(filled.get(i), i % 7 == 3 ? pattern : x.get(i)) << "es " << es;
    }
}

// ---- Guarded nodata ------------------------------------------------------

TEST(NodataGuard, GuardValues) {
    const struct {
        int dtype;
        uint64_t sentinel;
        int result;
        uint64_t up, down, alias;
    } cases[] = {
        {0, 0, 0, 1, 0, 0},
        {0, 255, 0, 255, 254, 255},
        {0, 0x1FF, 0, 0xFF, 0xFE, 0xFF},
        {4, 0x80, 0, 0x81, 0x80, 0x80},
        {4, 0x7F, 0, 0x7F, 0x7E, 0x7F},
        {5, 0xFFFF, 0, 0x0000, 0xFFFE, 0xFFFF},
        {3, ~0ull, 0, ~0ull, ~0ull - 1, ~0ull},
        {7, 1ull << 63, 0, (1ull << 63) + 1, 1ull << 63, 1ull << 63},
        {7, ~0ull >> 1, 0, ~0ull >> 1, (~0ull >> 1) - 1, ~0ull >> 1},
        {9, 0x00000000, 0, 0x00000001, 0x80000001, 0x80000000},
        {9, 0x80000000, 0, 0x00000001, 0x80000001, 0x00000000},
        {9, 0x3F800000, 0, 0x3F800001, 0x3F7FFFFF, 0x3F800000},
        {9, 0xBF800000, 0, 0xBF7FFFFF, 0xBF800001, 0xBF800000},
        {9, 0x7F800000, 0, 0x7F800000, 0x7F7FFFFF, 0x7F800000},
        {9, 0xFF800000, 0, 0xFF7FFFFF, 0xFF800000, 0xFF800000},
        {9, 0x7F7FFFFF, 0, 0x7F800000, 0x7F7FFFFE, 0x7F7FFFFF},
        {9, 0x7FC00000, 2, 0x7FC00000, 0x7FC00000, 0x7FC00000},
        {9, 0xAB7FC00000, 2, 0x7FC00000, 0x7FC00000, 0x7FC00000},
        {8, 0x7BFF, 0, 0x7C00, 0x7BFE, 0x7BFF},
        {8, 0x8001, 0, 0x8000, 0x8002, 0x8001},
        {8, 0x8000, 0, 0x0001, 0x8001, 0x0000},
        {10, 0, 0, 1, 0x8000000000000001, 0x8000000000000000},
        {10, 0xFFF0000000000000, 0, 0xFFEFFFFFFFFFFFFF, 0xFFF0000000000000, 0xFFF0000000000000},
        {10, 0x7FF0000000000001, 2, 0x7FF0000000000001, 0x7FF0000000000001, 0x7FF0000000000001},
        {11, 0x123456789A, 1, 0x123456789A, 0x123456789A, 0x123456789A},
        {-1, 0x123456789A, 1, 0x123456789A, 0x123456789A, 0x123456789A},
    };
    for (const auto &c : cases) {
        nodata_guard g{7, 7, 7};
        EXPECT_EQ(nodata_guard_values(&g, c.dtype, c.sentinel), c.result)
            << "dtype " << c.dtype << " sentinel " << std::hex << c.sentinel;
        EXPECT_EQ(g.up, c.up) << "dtype " << c.dtype << " sentinel " << std::hex << c.sentinel;
        EXPECT_EQ(g.down, c.down) << "dtype " << c.dtype << " sentinel " << std::hex << c.sentinel;
        EXPECT_EQ(g.alias, c.alias)
            << "dtype " << c.dtype << " sentinel " << std::hex << c.sentinel;
    }
}

TEST(NodataGuard, MarkWorkedValues) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double dmax = std::numeric_limits<double>::max();
    const uint64_t i64_min = 1ull << 63;
    const struct {
        const char *what;
        int dtype;
        uint64_t sentinel;
        double radius;
        std::vector<uint64_t> samples;
        Bytes want;
        int result;
    } cases[] = {
        {"u8 radius 2", 0, 10, 2, {7, 8, 9, 10, 11, 12, 13}, {1, 2, 2, 0, 1, 1, 1}, 0},
        {"u8 at the top", 0, 255, 1, {253, 254, 255}, {2, 2, 0}, 0},
        {"i8 around -1", 4, 0xFF, 1, {0x00, 0xFE, 0x7F}, {1, 2, 1}, 0},
        {"widened radius", 0, 10, 3 - 3 * 0x1p-50, {7, 6, 13}, {2, 1, 1}, 0},
        {"radius just short", 0, 10, 2.999, {7, 13}, {1, 1}, 0},
        {"negative radius", 1, 1000, -1, {0, 999, 1000, 65535}, {2, 2, 0, 1}, 0},
        {"NaN radius", 5, 0, nan, {0x8000, 0x7FFF}, {2, 1}, 0},
        {"infinite radius", 6, 5, inf, {0x80000000, 0x7FFFFFFF}, {2, 1}, 0},
        {"radius past 2^64", 3, 1ull << 63, 1e30, {0, ~0ull}, {2, 1}, 0},
        {"radius below 2^63", 3, 1ull << 63, 1e18, {0, ~0ull}, {1, 1}, 0},
        {"widening overflows", 7, 0, dmax, {i64_min}, {2}, 0},
        {"i64 distance 2^63", 7, 0, 1e19, {i64_min, ~0ull >> 1}, {2, 1}, 0},
        {"i64 just short", 7, 0, 9e18, {i64_min}, {1}, 0},
        {"f32 zero sentinel", 9, 0, 0, {0x80000000, 0, 1, 0x7FC00000}, {3, 0, 1, 1}, 0},
        {"f32 -0 sentinel", 9, 0x80000000, 0, {0, 0x80000001, 0x80000000}, {3, 1, 0}, 0},
        {"f32 radius 0.5",
         9,
         f32_bits(1.0f),
         0.5,
         {f32_bits(0.5f), f32_bits(1.5f), f32_bits(1.6f), f32_bits(0.4f)},
         {2, 1, 1, 1},
         0},
        {"f32 +inf sentinel", 9, 0x7F800000, 0, {0x7F7FFFFF, 0x7F800000, 0x7FC00000}, {2, 0, 2}, 0},
        {"f32 +inf unbounded", 9, 0x7F800000, -2, {0, 0xFF800000}, {2, 2}, 0},
        {"f16 radius 0.25",
         8,
         0x3C00,
         0.25,
         {0x3800, 0x3A00, 0x3D00, 0xFC00, 0x7C00, 0x7E00},
         {1, 2, 1, 1, 1, 1},
         0},
        {"f64 on the widened edge",
         10,
         f64_bits(1.0),
         1,
         {f64_bits(-0x1p-40), f64_bits(-0x1p-39)},
         {2, 1},
         0},
        {"f64 far below", 10, f64_bits(1.0), 1e300, {f64_bits(-dmax)}, {1}, 0},
        {"f64 far below, overflowed", 10, f64_bits(1.0), dmax, {f64_bits(-dmax)}, {2}, 0},
        {"f64 NaN sentinel",
         10,
         0x7FF8000000000001,
         1,
         {0x7FF8000000000001, 0x7FF8000000000000, f64_bits(1.0)},
         {0, 0xFF, 0xFF},
         2},
        {"not a type", 11, 10, 1, {10, 11}, {0xFF, 0xFF}, 1},
        {"negative code", -3, 10, 1, {10, 11}, {0xFF, 0xFF}, 1},
    };
    const uint64_t sizes[] = {1, 2, 4, 8, 1, 2, 4, 8, 2, 4, 8};
    for (const auto &c : cases) {
        const uint64_t es = c.dtype >= 0 && c.dtype <= 10 ? sizes[c.dtype] : 1;
        const size_t count = c.samples.size();
        Elems x(es, count);
        for (size_t i = 0; i < count; ++i) x.set(i, c.samples[i]);
        Tight mask(nullptr, count, 0);
        EXPECT_EQ(nodata_mark_guarded(mask.data(), x.data(), count, c.dtype, c.sentinel, c.radius),
                  c.result)
            << c.what;
        EXPECT_EQ(mask.bytes(), c.want) << c.what;
    }
}

// The vector passes (general and zero radius) against the kernel on one
// sample at a time.
TEST(NodataGuard, VectorMarkingEqualsSampleBySample) {
    const uint64_t sizes[] = {1, 2, 4, 8, 1, 2, 4, 8, 2, 4, 8};
    const double radii[] = {0,   -0.0, 0.5,  1,    2.9, 3 - 3 * 0x1p-50, 7, 300,
                            7e4, 1e10, 1e30, -1.0, NAN, INFINITY};
    for (int dtype = 0; dtype <= 10; ++dtype) {
        const uint64_t es = sizes[dtype], m = vt::mask_of(es);
        const uint64_t sentinels[] = {0, m, m >> 1, (m >> 1) + 1, 10, 0x3C00 & m, 0x3F80A000 & m};
        for (uint64_t sentinel : sentinels) {
            for (double radius : radii) {
                for (size_t count : {size_t(15), size_t(16), size_t(17), size_t(100)}) {
                    const Elems x = near(es, count, sentinel, uint32_t(count + sentinel));
                    Tight src(x.data(), count * es, 1), mask(nullptr, count, 0);
                    const int result = nodata_mark_guarded(mask.data(), src.data(), count, dtype,
                                                           sentinel, radius);
                    Bytes want(count);
                    for (size_t i = 0; i < count; ++i)
                        ASSERT_EQ(nodata_mark_guarded(&want[i], src.data() + i * es, 1, dtype,
                                                      sentinel, radius),
                                  result);
                    ASSERT_EQ(mask.bytes(), want) << "dtype " << dtype << " sentinel " << sentinel
                                                  << " radius " << radius << " count " << count;
                }
            }
        }
    }
}

TEST(NodataGuard, RestoreWorkedValues) {
    nodata_guard g;
    ASSERT_EQ(nodata_guard_values(&g, 0, 10), 0);
    const uint8_t decoded[] = {10, 10, 9, 77, 10}, mask[] = {1, 2, 2, 0, 1};
    uint8_t out[5];
    EXPECT_EQ(nodata_restore_guarded(out, decoded, mask, 5, 1, 10, &g), 0);
    const uint8_t want[] = {11, 9, 9, 10, 11};
    EXPECT_EQ(std::memcmp(out, want, 5), 0);

    // A plain mask restores as the plain restore does, with the warning.
    const uint8_t plain[] = {0xFF, 0xFF, 0xFF, 0, 0xFF};
    uint8_t restored[5];
    EXPECT_EQ(nodata_restore_guarded(out, decoded, plain, 5, 1, 10, &g), 1);
    nodata_restore(restored, decoded, plain, 5, 1, 10);
    EXPECT_EQ(std::memcmp(out, restored, 5), 0);

    // Nothing above 255: code 1 cannot be honoured and the sample stays.
    ASSERT_EQ(nodata_guard_values(&g, 0, 255), 0);
    const uint8_t top[] = {255, 255}, top_mask[] = {1, 2};
    EXPECT_EQ(nodata_restore_guarded(out, top, top_mask, 2, 1, 255, &g), 1);
    EXPECT_EQ(out[0], 255);
    EXPECT_EQ(out[1], 254);

    // One code that cannot be honoured, anywhere in the 16-, 8- and 1-sample
    // steps, is reported; the same code honoured is not.
    ASSERT_EQ(nodata_guard_values(&g, 1, 0xFFFF), 0); // u16 at the top: no up
    const uint16_t flat[25] = {};
    uint16_t restored16[25];
    for (size_t at = 0; at < 25; ++at) {
        for (uint8_t code : {1, 4, 0xFF}) {
            Bytes codes(25, 2);
            codes[at] = code;
            EXPECT_EQ(nodata_restore_guarded(restored16, flat, codes.data(), 25, 2, 0xFFFF, &g), 1)
                << "code " << int(code) << " at " << at;
        }
        Bytes codes(25, 2);
        codes[at] = 0;
        EXPECT_EQ(nodata_restore_guarded(restored16, flat, codes.data(), 25, 2, 0xFFFF, &g), 0);
    }

    auto dst = vt::canary(15);
    EXPECT_EQ(nodata_restore_guarded(dst.data(), Bytes(15, 10).data(), mask, 5, 3, 10, &g), 1);
    EXPECT_EQ(dst, vt::canary(15));
    EXPECT_EQ(nodata_restore_guarded(nullptr, nullptr, nullptr, 0, 4, 10, &g), 0);
}

TEST(NodataGuard, RestoreMatchesDefinitionOnAnyMask) {
    for (uint64_t es : vt::widths) {
        const uint64_t m = vt::mask_of(es);
        // Guards that honour every code, and ones that leave one code on
        // the sentinel.
        const uint64_t sentinel = 0x40 & m;
        const nodata_guard guards[] = {{sentinel + 1, sentinel - 1, sentinel + 7},
                                       {sentinel, sentinel - 1, sentinel + 7},
                                       {sentinel + 1, sentinel | ~m, sentinel + 7},
                                       {sentinel + 1, sentinel - 1, sentinel}};
        for (size_t count : counts) {
            Elems decoded = near(es, count, sentinel, uint32_t(count));
            for (int kind = 0; kind < 3; ++kind) {
                std::mt19937 rng(uint32_t(count * 3 + kind));
                Bytes mask = vt::holey_mask(count, 20, uint32_t(count + kind), 0);
                if (kind == 1) // plain codes only
                    for (auto &b : mask) b = b == 0xFF ? 1 : b;
                if (kind == 2 && count) mask[rng() % count] = uint8_t(4 + rng() % 200);
                for (const auto &g : guards) {
                    Elems want = decoded;
                    const int want_result = vt::ref_restore_guarded(want, mask, sentinel, g);
                    Tight src(decoded.data(), count * es, 2), dst(nullptr, count * es, 1);
                    Tight tight_mask(mask.data(), count, 0);
                    ASSERT_EQ(nodata_restore_guarded(dst.data(), src.data(), tight_mask.data(),
                                                     count, es, sentinel, &g),
                              want_result)
                        << "es " << es << " count " << count << " kind " << kind;
                    ASSERT_EQ(dst.bytes(), want.bytes)
                        << "es " << es << " count " << count << " kind " << kind;
                    ASSERT_EQ(nodata_restore_guarded(src.data(), src.data(), tight_mask.data(),
                                                     count, es, sentinel, &g),
                              want_result);
                    ASSERT_EQ(src.bytes(), want.bytes);
                }
            }
        }
    }
}

// Lossy coding may land any valid sample within the radius exactly on the
// sentinel; the guarded restore moves each one back to its own side.
TEST(NodataGuard, LossyPerturbationIsUndone) {
    const uint64_t sizes[] = {1, 2, 4, 8, 1, 2, 4, 8, 2, 4, 8};
    // Exact for every type: long double holds any 64-bit integer.
    const auto value_of = [](int dtype, uint64_t bits) -> long double {
        switch (dtype) {
        case 4: return int8_t(bits);
        case 5: return int16_t(bits);
        case 6: return int32_t(bits);
        case 7: return int64_t(bits);
        case 8: return varda::half_to_float(uint16_t(bits));
        case 9: return std::bit_cast<float>(uint32_t(bits));
        case 10: return std::bit_cast<double>(bits);
        default: return bits;
        }
    };
    for (int dtype = 0; dtype <= 10; ++dtype) {
        const uint64_t es = sizes[dtype], m = vt::mask_of(es);
        const uint64_t float_one = es == 2 ? 0x3C00 : es == 4 ? 0x3F800000 : 0x3FF0000000000000;
        const uint64_t sentinels[] = {dtype >= 8 ? float_one : 100, 0, m, (m >> 1) + 1, m >> 1};
        for (uint64_t sentinel : sentinels) {
            const size_t count = 600;
            const double radius = dtype >= 8 ? 0.01 : 3;
            Elems x = near(es, count, sentinel, uint32_t(dtype * 7 + sentinel));
            Bytes mask(count);
            const int kind =
                nodata_mark_guarded(mask.data(), x.data(), count, dtype, sentinel, radius);
            if (kind == 2) continue; // a NaN sentinel has no guard
            ASSERT_EQ(kind, 0);
            // Every valid sample within the radius decodes to the sentinel.
            const long double centre = value_of(dtype, sentinel);
            Elems decoded(es, count);
            nodata_fill(decoded.data(), x.data(), mask.data(), 20, count, es);
            for (size_t i = 0; i < count; ++i)
                if (mask[i] && std::fabs(value_of(dtype, x.get(i)) - centre) <= radius)
                    decoded.set(i, sentinel);
            nodata_guard g;
            ASSERT_EQ(nodata_guard_values(&g, dtype, sentinel), 0);
            ASSERT_EQ(nodata_restore_guarded(decoded.data(), decoded.data(), mask.data(), count, es,
                                             sentinel, &g),
                      0);
            for (size_t i = 0; i < count; ++i) {
                const uint64_t was = x.get(i), now = decoded.get(i);
                const long double before = value_of(dtype, was), after = value_of(dtype, now);
                if (was == (sentinel & m)) {
                    ASSERT_EQ(now, sentinel & m);
                    continue;
                }
                ASSERT_NE(now, sentinel & m) << "dtype " << dtype << " i " << i;
                if (std::isnan(before)) continue;
                ASSERT_EQ(before > centre, after > centre) << "dtype " << dtype << " i " << i;
                ASSERT_EQ(before < centre, after < centre) << "dtype " << dtype << " i " << i;
            }
        }
    }
}
