// Nodata masks, fill, restore and guarded nodata: worked values, the
// sample-by-sample definitions on every width, count and alignment (with
// buffers that end exactly where the samples end), overlapping buffers, and
// round trips through a lossy-style perturbation.
#include <gtest/gtest.h>

#include <cmath>

#include "frame/half.h"
#include "support/nodata_oracle.h"
#include "support/support.h"

using vt::Bytes;
using vt::Elems;

namespace {

constexpr size_t counts[] = {0, 1, 2, 7, 8, 9, 15, 16, 17, 24, 31, 33, 47, 64, 100, 1000};
constexpr uint64_t dtype_sizes[] = {1, 2, 4, 8, 1, 2, 4, 8, 2, 4, 8};
constexpr double inf = INFINITY, dmax = 1.7976931348623157e308;

// `len` bytes at the end of a heap block, `off` bytes in: any access past the
// end is a heap overflow for the sanitizers.
struct Tight {
    Bytes block;
    size_t off;
    Tight(const void *from, size_t len, size_t offset) : block(offset + len, 0xA5), off(offset) {
        if (from && len) std::memcpy(block.data() + off, from, len);
    }
    unsigned char *data() { return block.data() + off; }
    Bytes bytes() const { return Bytes(block.begin() + long(off), block.end()); }
};

// Samples around `centre`: on it, on it with the top bit flipped (the other
// zero of a float zero), within 8 bit patterns of it, or arbitrary.
Elems near(uint64_t es, size_t count, uint64_t centre, uint32_t seed) {
    std::mt19937_64 rng(seed);
    Elems x(es, count);
    for (size_t i = 0; i < count; ++i) {
        const uint64_t pick = rng() % 8;
        x.set(i, pick == 0   ? rng()
                 : pick == 1 ? centre ^ (uint64_t(1) << (8 * es - 1))
                 : pick == 2 ? centre
                             : centre + rng() % 17 - 8);
    }
    return x;
}

uint64_t f32(float f) { return std::bit_cast<uint32_t>(f); }
uint64_t f64(double d) { return std::bit_cast<uint64_t>(d); }

} // namespace

TEST(Nodata, FindNan) {
    const uint32_t tile[] = {0x3F800000, 0x7F800000, 0xFF800000, 0xFFC00000, 0, 0x7F800001};
    uint64_t found = 0x1234;
    EXPECT_EQ(nodata_find_nan(&found, tile, 6, 4), 1);
    EXPECT_EQ(found, 0xFFC00000u); // the first, zero-extended
    found = 0x1234;
    EXPECT_EQ(nodata_find_nan(&found, tile, 3, 4), 0); // infinities are not NaN
    EXPECT_EQ(nodata_find_nan(&found, tile, 0, 4), 0);
    EXPECT_EQ(nodata_find_nan(&found, nullptr, 100, 1), 0); // must not read
    EXPECT_EQ(nodata_find_nan(&found, tile, 6, 3), 0);
    EXPECT_EQ(found, 0x1234u);
    const uint16_t halves[] = {0x7C00, 0xFC00, 0x7C01};
    EXPECT_EQ(nodata_find_nan(&found, halves, 3, 2), 1);
    EXPECT_EQ(found, 0x7C01u);
    const uint64_t doubles[] = {0x7FF0000000000000, 0xFFF0000000000001};
    EXPECT_EQ(nodata_find_nan(&found, doubles, 2, 8), 1);
    EXPECT_EQ(found, 0xFFF0000000000001u);
}

// Kind 'n': nodata_mark_nan, 'v': nodata_mark_value (type = elem_size);
// 'g': nodata_mark_guarded (type = dtype).
TEST(Nodata, WorkedMarks) {
    const struct {
        const char *what;
        char kind;
        int type;
        uint64_t sentinel;
        double radius;
        std::vector<uint64_t> samples;
        Bytes want;
        int result = 0;
    } cases[] = {
        // clang-format off
        {"f16 NaN", 'n', 2, 0, 0, {0x7C00, 0xFC00, 0x8000, 1, 0x7C01, 0xFE00}, {255, 255, 255, 255, 0, 0}},
        {"f32 NaN", 'n', 4, 0, 0, {0x7F800000, 0x80000000, 0x7F800001, 0xFFFFFFFF}, {255, 255, 0, 0}},
        {"f64 NaN", 'n', 8, 0, 0, {0x7FF0000000000000, 0xFFF0000000000001}, {255, 0}},
        {"no NaN in a byte", 'n', 1, 0, 0, {0xFF, 0x7F}, {255, 255}},
        {"no NaN in 3 bytes", 'n', 3, 0, 0, {0xFFFFFF}, {255}},
        {"the low byte", 'v', 1, 0x1FF, 0, {0xFF, 0x01}, {0, 255}},
        {"-0.0 is not +0.0", 'v', 4, 0x80000000, 0, {0x80000000, 0}, {0, 255}},
        {"3 bytes", 'v', 3, 5, 0, {5}, {255}},
        {"u8 radius 2", 'g', 0, 10, 2, {7, 8, 9, 10, 11, 12, 13}, {1, 2, 2, 0, 1, 1, 1}},
        {"u8 at the top", 'g', 0, 255, 1, {253, 254, 255}, {2, 2, 0}},
        {"i8 around -1", 'g', 4, 0xFF, 1, {0x00, 0xFE, 0x7F}, {1, 2, 1}},
        {"widened radius", 'g', 0, 10, 3 - 3 * 0x1p-50, {7, 6, 13}, {2, 1, 1}},
        {"radius just short", 'g', 0, 10, 2.999, {7}, {1}},
        {"negative radius", 'g', 1, 1000, -1, {0, 999, 1000, 65535}, {2, 2, 0, 1}},
        {"NaN radius", 'g', 5, 0, NAN, {0x8000, 0x7FFF}, {2, 1}},
        {"infinite radius", 'g', 6, 5, inf, {0x80000000, 0x7FFFFFFF}, {2, 1}},
        {"radius past 2^64", 'g', 3, 1ull << 63, 1e30, {0, ~0ull}, {2, 1}},
        {"radius below 2^63", 'g', 3, 1ull << 63, 1e18, {0}, {1}},
        {"widening overflows", 'g', 7, 0, dmax, {1ull << 63}, {2}},
        {"i64 distance 2^63", 'g', 7, 0, 1e19, {1ull << 63, ~0ull >> 1}, {2, 1}},
        {"i64 just short", 'g', 7, 0, 9e18, {1ull << 63}, {1}},
        {"f32 +0 sentinel", 'g', 9, 0, 0, {0x80000000, 0, 1, 0x7FC00000}, {3, 0, 1, 1}},
        {"f32 -0 sentinel", 'g', 9, 0x80000000, 0, {0, 0x80000001}, {3, 1}},
        {"f32 radius 0.5", 'g', 9, f32(1), 0.5, {f32(0.5), f32(1.5), f32(1.6), f32(0.4)}, {2, 1, 1, 1}},
        {"f32 +inf", 'g', 9, 0x7F800000, 0, {0x7F7FFFFF, 0x7FC00000}, {2, 2}},
        {"f32 +inf unbounded", 'g', 9, 0x7F800000, -2, {0, 0xFF800000}, {2, 2}},
        {"f16 radius 0.25", 'g', 8, 0x3C00, 0.25, {0x3800, 0x3A00, 0x3D00, 0xFC00, 0x7E00}, {1, 2, 1, 1, 1}},
        {"f64 widened edge", 'g', 10, f64(1), 1, {f64(-0x1p-40), f64(-0x1p-39)}, {2, 1}},
        {"f64 far below", 'g', 10, f64(1), 1e300, {f64(-dmax)}, {1}},
        {"f64 overflowed", 'g', 10, f64(1), dmax, {f64(-dmax)}, {2}},
        {"f64 NaN sentinel", 'g', 10, 0x7FF8000000000001, 1, {0x7FF8000000000001, 0x7FF8000000000000, f64(1)}, {0, 255, 255}, 2},
        {"not a type", 'g', 11, 10, 1, {10}, {255}, 1},
        {"negative code", 'g', -3, 10, 1, {10}, {255}, 1},
        // clang-format on
    };
    for (const auto &c : cases) {
        const uint64_t es = c.kind != 'g'                 ? uint64_t(c.type)
                            : c.type >= 0 && c.type <= 10 ? dtype_sizes[c.type]
                                                          : 1;
        const size_t count = c.want.size();
        Bytes src(count * es);
        for (size_t i = 0; i < count; ++i) std::memcpy(&src[i * es], &c.samples[i], es);
        Tight mask(nullptr, count, 0);
        if (c.kind == 'n') nodata_mark_nan(mask.data(), src.data(), count, es);
        if (c.kind == 'v') nodata_mark_value(mask.data(), src.data(), count, es, c.sentinel);
        int result = 0;
        if (c.kind == 'g')
            result =
                nodata_mark_guarded(mask.data(), src.data(), count, c.type, c.sentinel, c.radius);
        EXPECT_EQ(result, c.result) << c.what;
        EXPECT_EQ(mask.bytes(), c.want) << c.what;
    }
}

TEST(Nodata, WorkedFills) {
    const uint64_t a = 0xA1, b = 0xB2, c = 0xC3, d = 0xD4, e = 0xE5, f = 0xF6;
    const struct {
        uint64_t width;
        Bytes mask;
        std::vector<uint64_t> want; // from samples a b c d e f ...
    } cases[] = {
        {5, {1, 0, 0, 1, 0}, {a, a, a, d, d}},
        {4, {0, 0, 1, 0}, {0, 0, c, c}},
        {3, {1, 1, 1, 0, 0, 1}, {a, b, c, a, b, f}},
        {3, {1, 1, 1, 0, 1, 0}, {a, b, c, a, e, e}},
        {2, {0, 1, 0, 0, 0, 0}, {0, b, 0, b, 0, b}},
        {2, {3, 0, 0, 2, 0, 0}, {a, a, a, d, a, d}}, // guarded codes are valid
        {4, {1, 0, 0, 0, 0, 0, 0, 0, 0, 0}, {a, a, a, a, a, a, a, a, a, a}}, // 10 = one row
        {0, {0, 1, 0}, {0, b, b}},
        {11, {0, 1, 0}, {0, b, b}},
    };
    const uint64_t samples[] = {a, b, c, d, e, f, a, b, c, d};
    for (uint64_t es : vt::widths) {
        for (const auto &t : cases) {
            const size_t count = t.mask.size();
            Elems src(es, count), dst(es, count);
            for (size_t i = 0; i < count; ++i) src.set(i, samples[i] * 0x0101010101010101);
            nodata_fill(dst.data(), src.data(), t.mask.data(), t.width, count, es);
            for (size_t i = 0; i < count; ++i)
                ASSERT_EQ(dst.get(i), (t.want[i] * 0x0101010101010101) & vt::mask_of(es))
                    << "es " << es << " width " << t.width << " i " << i;
        }
    }
    const Bytes ones(64, 1), mask(8, 0xFF);
    for (uint64_t es : {0, 3, 16}) { // not an element size: nothing written
        auto dst = vt::canary(64);
        nodata_fill(dst.data(), ones.data(), mask.data(), 2, 8, es);
        nodata_restore(dst.data(), ones.data(), mask.data(), 8, es, 0);
        EXPECT_EQ(dst, vt::canary(64));
    }
    auto dst = vt::canary(8);
    nodata_fill(dst.data(), ones.data(), mask.data(), 1, 0, 1);
    EXPECT_EQ(dst, vt::canary(8));
}

// Marks, fill and restore on every width, count and alignment, and in place.
TEST(Nodata, PlainKernelsMatchTheDefinition) {
    const uint64_t nans[] = {0x7C01, 0xFE00, 0x7F800001, 0xFFC00000, 0x7FF0000000000001};
    for (uint64_t es : vt::widths) {
        const uint64_t sentinel = 0xDEADBEEFCAFEF00D;
        for (size_t count : counts) {
            Elems x = near(es, count, sentinel & vt::mask_of(es), uint32_t(count * 8 + es));
            for (size_t i = 0; i < count; i += 5) x.set(i, nans[i / 5 % 5]);
            const Bytes holes = vt::holey_mask(count, 30, uint32_t(count), 0);
            const size_t width = count % 8 == 0 && count ? 8 : count;
            const Elems restored = vt::ref_restore(x, holes, sentinel & vt::mask_of(es));
            const Elems filled = vt::ref_fill(x, holes, width);
            for (size_t off : {0, 1, 3}) {
                Tight src(x.data(), count * es, off), mask(nullptr, count, 3 - off);
                Tight hole_mask(holes.data(), count, off), dst(nullptr, count * es, 2 * off);
                nodata_mark_value(mask.data(), src.data(), count, es, sentinel);
                ASSERT_EQ(mask.bytes(), vt::ref_mark_value(x, sentinel)) << es << " " << count;
                nodata_mark_nan(mask.data(), src.data(), count, es);
                ASSERT_EQ(mask.bytes(), vt::ref_mark_nan(x)) << es << " " << count;
                nodata_fill(dst.data(), src.data(), hole_mask.data(), width, count, es);
                ASSERT_EQ(dst.bytes(), filled.bytes) << es << " " << count;
                nodata_restore(dst.data(), src.data(), hole_mask.data(), count, es, sentinel);
                ASSERT_EQ(dst.bytes(), restored.bytes) << es << " " << count;
                nodata_restore(src.data(), src.data(), hole_mask.data(), count, es, sentinel);
                ASSERT_EQ(src.bytes(), restored.bytes) << es << " " << count;
                Tight again(x.data(), count * es, off);
                nodata_fill(again.data(), again.data(), hole_mask.data(), width, count, es);
                ASSERT_EQ(again.bytes(), filled.bytes) << es << " " << count;
                // Marked, filled and restored, the tile comes back.
                nodata_mark_value(mask.data(), x.data(), count, es, sentinel);
                nodata_fill(again.data(), x.data(), mask.data(), width, count, es);
                nodata_restore(again.data(), again.data(), mask.data(), count, es, sentinel);
                ASSERT_EQ(again.bytes(), x.bytes) << es << " " << count;
            }
        }
    }
}

// A mask that overlaps the samples, or an output that overlaps the input or
// the mask, gets what visiting the samples in index order gives on the
// shared memory; each step compared with the kernel on one sample.
TEST(Nodata, OverlappingBuffersActSampleBySample) {
    using Kernel = void (*)(unsigned char *out, const unsigned char *in, const uint8_t *mask,
                            size_t n, uint64_t es);
    const struct {
        const char *name;
        bool writes_mask;
        Kernel run;
    } kernels[] = {
        {"value", true,
         [](unsigned char *out, const unsigned char *in, const uint8_t *, size_t n, uint64_t es) {
             nodata_mark_value(out, in, n, es, 0x5A5A5A5A5A5A5A5A);
         }},
        {"nan", true,
         [](unsigned char *out, const unsigned char *in, const uint8_t *, size_t n, uint64_t es) {
             nodata_mark_nan(out, in, n, es);
         }},
        {"guarded", true,
         [](unsigned char *out, const unsigned char *in, const uint8_t *, size_t n, uint64_t es) {
             const int dtype = es == 1 ? 0 : es == 2 ? 5 : es == 4 ? 6 : 3;
             nodata_mark_guarded(out, in, n, dtype, 0x5A5A5A5A5A5A5A5A, 40);
         }},
        {"restore", false,
         [](unsigned char *out, const unsigned char *in, const uint8_t *mask, size_t n,
            uint64_t es) { nodata_restore(out, in, mask, n, es, 0x5A5A5A5A5A5A5A5A); }},
    };
    for (const auto &k : kernels) {
        for (uint64_t es : vt::widths) {
            for (size_t count : {8, 17, 40}) {
                const size_t span = count * es, in_at = 300, out_es = k.writes_mask ? 1 : es;
                for (long shift = -long(count + 5); shift <= long(span + 3); ++shift) {
                    for (long mask_shift : {long(span + 600), shift + long(es)}) {
                        if (k.writes_mask && mask_shift != long(span + 600)) continue;
                        std::mt19937 rng(uint32_t(shift + 100));
                        Bytes arena(in_at + span + 1000);
                        for (auto &byte : arena) byte = rng() % 2 ? uint8_t(rng()) : 0x5A;
                        const size_t out_at = size_t(long(in_at) + shift);
                        const size_t mask_at = size_t(long(in_at) + mask_shift);
                        Bytes sim = arena;
                        for (size_t i = 0; i < count; ++i) {
                            const Bytes sample(&sim[in_at + i * es], &sim[in_at + (i + 1) * es]);
                            const uint8_t mask_byte = sim[mask_at + i];
                            k.run(&sim[out_at + i * out_es], sample.data(), &mask_byte, 1, es);
                        }
                        k.run(&arena[out_at], &arena[in_at], &arena[mask_at], count, es);
                        ASSERT_EQ(arena, sim) << k.name << " es " << es << " count " << count
                                              << " shift " << shift << " mask " << mask_shift;
                    }
                }
            }
        }
    }
}

// NaN in several patterns comes back as the one pattern found.
TEST(Nodata, NanComesBackAsThePatternFound) {
    for (uint64_t es : {2, 4, 8}) {
        const size_t count = 200;
        Elems x(es, count);
        const uint64_t nans[] = {vt::mask_of(es), (vt::mask_of(es) >> 1) - 3};
        for (size_t i = 0; i < count; ++i) x.set(i, i % 7 == 3 ? nans[i % 2] : i);
        Bytes mask(count);
        nodata_mark_nan(mask.data(), x.data(), count, es);
        uint64_t pattern = 0;
        ASSERT_EQ(nodata_find_nan(&pattern, x.data(), count, es), 1);
        nodata_fill(x.data(), x.data(), mask.data(), 20, count, es);
        nodata_restore(x.data(), x.data(), mask.data(), count, es, pattern);
        for (size_t i = 0; i < count; ++i)
            ASSERT_EQ(x.get(i), i % 7 == 3 ? nans[1] : i) << "es " << es;
    }
}

TEST(NodataGuard, GuardValues) {
    const struct {
        int dtype;
        uint64_t sentinel;
        int result;
        uint64_t up, down, alias;
    } cases[] = {
        // clang-format off
        {0, 0, 0, 1, 0, 0},            {0, 255, 0, 255, 254, 255},   {0, 0x1FF, 0, 0xFF, 0xFE, 0xFF},
        {4, 0x80, 0, 0x81, 0x80, 0x80}, {4, 0x7F, 0, 0x7F, 0x7E, 0x7F}, {5, 0xFFFF, 0, 0, 0xFFFE, 0xFFFF},
        {3, ~0ull, 0, ~0ull, ~0ull - 1, ~0ull},
        {7, 1ull << 63, 0, (1ull << 63) + 1, 1ull << 63, 1ull << 63},
        {9, 0x00000000, 0, 0x00000001, 0x80000001, 0x80000000},
        {9, 0x80000000, 0, 0x00000001, 0x80000001, 0x00000000},
        {9, 0x3F800000, 0, 0x3F800001, 0x3F7FFFFF, 0x3F800000},
        {9, 0xBF800000, 0, 0xBF7FFFFF, 0xBF800001, 0xBF800000},
        {9, 0x7F800000, 0, 0x7F800000, 0x7F7FFFFF, 0x7F800000},
        {9, 0xFF800000, 0, 0xFF7FFFFF, 0xFF800000, 0xFF800000},
        {9, 0x7F7FFFFF, 0, 0x7F800000, 0x7F7FFFFE, 0x7F7FFFFF},
        {9, 0x7FC00000, 2, 0x7FC00000, 0x7FC00000, 0x7FC00000},
        {9, 0xAB7FC00000, 2, 0x7FC00000, 0x7FC00000, 0x7FC00000},
        {8, 0x8001, 0, 0x8000, 0x8002, 0x8001},   {8, 0x8000, 0, 0x0001, 0x8001, 0x0000},
        {10, 0, 0, 1, 0x8000000000000001, 0x8000000000000000},
        {10, 0xFFF0000000000000, 0, 0xFFEFFFFFFFFFFFFF, 0xFFF0000000000000, 0xFFF0000000000000},
        {11, 0x123456789A, 1, 0x123456789A, 0x123456789A, 0x123456789A},
        {-1, 0x123456789A, 1, 0x123456789A, 0x123456789A, 0x123456789A},
        // clang-format on
    };
    for (const auto &c : cases) {
        nodata_guard g{7, 7, 7};
        EXPECT_EQ(nodata_guard_values(&g, c.dtype, c.sentinel), c.result);
        EXPECT_EQ(std::vector<uint64_t>({g.up, g.down, g.alias}),
                  std::vector<uint64_t>({c.up, c.down, c.alias}))
            << "dtype " << c.dtype << " sentinel " << std::hex << c.sentinel;
    }
}

// The vector passes (general and zero radius) against the kernel on one
// sample at a time, for every dtype.
TEST(NodataGuard, VectorMarkingEqualsSampleBySample) {
    const double radii[] = {0, -0.0, 0.5, 1, 2.9, 3 - 3 * 0x1p-50, 7, 7e4, 1e10, 1e30, -1, NAN};
    for (int dtype = 0; dtype <= 10; ++dtype) {
        const uint64_t es = dtype_sizes[dtype], m = vt::mask_of(es);
        const uint64_t sentinels[] = {0, m, m >> 1, (m >> 1) + 1, 10, 0x3F80A000 & m};
        for (uint64_t sentinel : sentinels) {
            for (double radius : radii) {
                for (size_t count : {15, 16, 17, 100}) {
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

TEST(NodataGuard, WorkedRestores) {
    nodata_guard g;
    ASSERT_EQ(nodata_guard_values(&g, 0, 10), 0);
    const uint8_t decoded[] = {10, 10, 9, 77, 10}, mask[] = {1, 2, 2, 0, 1};
    const uint8_t plain[] = {0xFF, 0xFF, 0xFF, 0, 0xFF};
    Bytes out(5), want(5);
    EXPECT_EQ(nodata_restore_guarded(out.data(), decoded, mask, 5, 1, 10, &g), 0);
    EXPECT_EQ(out, Bytes({11, 9, 9, 10, 11}));
    // A plain mask restores as the plain restore does, with the warning.
    EXPECT_EQ(nodata_restore_guarded(out.data(), decoded, plain, 5, 1, 10, &g), 1);
    nodata_restore(want.data(), decoded, plain, 5, 1, 10);
    EXPECT_EQ(out, want);
    auto dst = vt::canary(15);
    EXPECT_EQ(nodata_restore_guarded(dst.data(), Bytes(15).data(), mask, 5, 3, 10, &g), 1);
    EXPECT_EQ(dst, vt::canary(15));
    EXPECT_EQ(nodata_restore_guarded(nullptr, nullptr, nullptr, 0, 4, 10, &g), 0);

    // u16 at the top has nothing above: code 1 cannot be honoured, and its
    // sample stays on the sentinel. One such code is reported from any step.
    ASSERT_EQ(nodata_guard_values(&g, 1, 0xFFFF), 0);
    const std::vector<uint16_t> top(25, 0xFFFF);
    std::vector<uint16_t> restored(25);
    for (size_t at = 0; at < 25; ++at) {
        for (uint8_t code : {0, 1, 4, 0xFF}) {
            Bytes codes(25, 2);
            codes[at] = code;
            EXPECT_EQ(nodata_restore_guarded(restored.data(), top.data(), codes.data(), 25, 2,
                                             0xFFFF, &g),
                      code != 0)
                << "code " << int(code) << " at " << at;
            EXPECT_EQ(restored[at], 0xFFFF);
            EXPECT_EQ(restored[at ? 0 : 1], 0xFFFE);
        }
    }
}

TEST(NodataGuard, RestoreMatchesDefinitionOnAnyMask) {
    for (uint64_t es : vt::widths) {
        const uint64_t s = 0x40, m = vt::mask_of(es);
        // Guards that honour every code, and ones that leave one code on the
        // sentinel (higher bits of the record do not count).
        const nodata_guard guards[] = {
            {s + 1, s - 1, s + 7}, {s, s - 1, s + 7}, {s + 1, s | ~m, s + 7}, {s + 1, s - 1, s}};
        for (size_t count : counts) {
            const Elems decoded = near(es, count, s, uint32_t(count));
            for (int kind = 0; kind < 3; ++kind) {
                Bytes mask = vt::holey_mask(count, 20, uint32_t(count + kind), 0);
                for (auto &b : mask)
                    if (kind == 1 && b == 0xFF) b = 1; // codes only
                if (kind == 2 && count) mask[count / 2] = 4;
                for (const auto &g : guards) {
                    Elems want = decoded;
                    const int result = vt::ref_restore_guarded(want, mask, s, g);
                    Tight src(decoded.data(), count * es, 2), dst(nullptr, count * es, 1);
                    Tight codes(mask.data(), count, 0);
                    ASSERT_EQ(nodata_restore_guarded(dst.data(), src.data(), codes.data(), count,
                                                     es, s, &g),
                              result);
                    ASSERT_EQ(dst.bytes(), want.bytes) << es << " " << count << " " << kind;
                    ASSERT_EQ(nodata_restore_guarded(src.data(), src.data(), codes.data(), count,
                                                     es, s, &g),
                              result);
                    ASSERT_EQ(src.bytes(), want.bytes) << es << " " << count << " " << kind;
                }
            }
        }
    }
}

// Lossy coding may land any valid sample within the radius exactly on the
// sentinel; the guarded restore moves each back to its own side.
TEST(NodataGuard, LossyPerturbationIsUndone) {
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
        const uint64_t es = dtype_sizes[dtype], m = vt::mask_of(es);
        const uint64_t one = es == 2 ? 0x3C00 : es == 4 ? 0x3F800000 : 0x3FF0000000000000;
        for (uint64_t s : {dtype >= 8 ? one : 100, uint64_t(0), m, (m >> 1) + 1, m >> 1}) {
            const size_t count = 600;
            const double radius = dtype >= 8 ? 0.01 : 3;
            const Elems x = near(es, count, s, uint32_t(dtype * 7 + s));
            Bytes mask(count);
            const int kind = nodata_mark_guarded(mask.data(), x.data(), count, dtype, s, radius);
            if (kind == 2) continue; // a NaN sentinel has no guard
            ASSERT_EQ(kind, 0);
            const long double centre = value_of(dtype, s);
            Elems decoded(es, count);
            nodata_fill(decoded.data(), x.data(), mask.data(), 20, count, es);
            for (size_t i = 0; i < count; ++i)
                if (mask[i] && std::fabs(value_of(dtype, x.get(i)) - centre) <= radius)
                    decoded.set(i, s);
            nodata_guard g;
            ASSERT_EQ(nodata_guard_values(&g, dtype, s), 0);
            ASSERT_EQ(nodata_restore_guarded(decoded.data(), decoded.data(), mask.data(), count, es,
                                             s, &g),
                      0);
            for (size_t i = 0; i < count; ++i) {
                const long double before = value_of(dtype, x.get(i));
                const long double after = value_of(dtype, decoded.get(i));
                ASSERT_EQ(decoded.get(i) == (s & m), x.get(i) == (s & m)) << dtype << " " << i;
                if (std::isnan(before)) continue;
                ASSERT_EQ(before > centre, after > centre) << "dtype " << dtype << " i " << i;
                ASSERT_EQ(before < centre, after < centre) << "dtype " << dtype << " i " << i;
            }
        }
    }
}
