// LINEAR quantiser: scan, resolve, encode, decode and verify; the bound on
// every dtype; the decoder's vector loops against its element-wise rules.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstring>
#include <string>

#include "lossy/quant_linear.h"
#include "support/lossy_support.h"

using vt::Bytes;
using vt::grid_of;

namespace {

// Encodes and decodes `values` of `dtype` on `grid`; returns the stream as
// 64-bit signed values and the rebuilt samples as doubles.
struct RoundTrip {
    std::vector<int64_t> stream;
    std::vector<double> rebuilt;
};

RoundTrip round_trip(uint32_t dtype, const std::vector<double> &values, quant_grid grid) {
    const Bytes src = vt::raster_of(dtype, values);
    Bytes stream(src.size()), back(src.size());
    EXPECT_EQ(quant_linear_encode(stream.data(), src.data(), &grid, dtype, values.size()), 0);
    EXPECT_EQ(quant_linear_decode(back.data(), stream.data(), &grid, dtype, values.size()), 0);
    RoundTrip out{vt::stream_values(dtype, stream), {}};
    for (size_t i = 0; i < values.size(); ++i) out.rebuilt.push_back(vt::sample_at(dtype, back, i));
    return out;
}

} // namespace

TEST(QuantLinear, RefusesBadGridsAndTypesWithoutWriting) {
    const struct {
        uint32_t dtype;
        uint8_t mode;
        double step;
    } bad[] = {
        {9, 4, 1.0},
        {9, 0, 0.0},
        {9, 0, NAN},
        {9, 0, INFINITY},
        {9, 0, -1.0},
        {10, 0, 1e-309},
        {1, 0, 1.5},
        {9, 2, 1.5},
        {11, 0, 1.0},
        {uint32_t(-1), 0, 1.0},
        {uint32_t(-8), 1, 2.0},
    };
    const Bytes src(64, 0x11);
    for (const auto &b : bad) {
        const quant_grid grid = grid_of(b.mode, b.step);
        auto dst = vt::canary(64);
        EXPECT_EQ(quant_linear_encode(dst.data(), src.data(), &grid, b.dtype, 4), 1) << b.dtype;
        EXPECT_EQ(quant_linear_decode(dst.data(), src.data(), &grid, b.dtype, 4), 1) << b.dtype;
        EXPECT_EQ(dst, vt::canary(64));
    }
    auto dst = vt::canary(64);
    EXPECT_EQ(quant_linear_encode(dst.data(), src.data(), nullptr, 1, 4), 1);
    EXPECT_EQ(quant_linear_decode(dst.data(), src.data(), nullptr, 1, 4), 1);
    EXPECT_EQ(dst, vt::canary(64));
    // A fractional step is fine for a float index stream.
    const quant_grid fractional = grid_of(3 & 1, 1.5);
    EXPECT_EQ(quant_linear_encode(dst.data(), src.data(), &fractional, 9, 4), 0);
}

TEST(QuantLinear, Scan) {
    quant_linear_stats stats{};
    const auto scan = [&](uint32_t dtype, const std::vector<double> &values) {
        stats = {-1.0, -1};
        const Bytes raster = vt::raster_of(dtype, values);
        return quant_linear_scan(raster.data(), dtype, values.size(), &stats);
    };
    EXPECT_EQ(scan(9, {NAN, NAN, INFINITY}), 1);
    EXPECT_EQ(stats.max_abs, 0);
    EXPECT_EQ(stats.negatives, 0);
    EXPECT_EQ(scan(9, {}), 1);
    EXPECT_EQ(scan(9, {-0.0, 3.0, -INFINITY, NAN, 2.5}), 0);
    EXPECT_EQ(stats.max_abs, 3.0);
    EXPECT_EQ(stats.negatives, 0); // -0.0 and -inf do not count
    EXPECT_EQ(scan(4, {5, -128}), 0);
    EXPECT_EQ(stats.max_abs, 128.0);
    EXPECT_EQ(stats.negatives, 1);
    EXPECT_EQ(scan(8, {-65504.0, 1.0}), 0);
    EXPECT_EQ(stats.max_abs, 65504.0);
    EXPECT_EQ(scan(3, {0x1p70}), 0);
    EXPECT_EQ(stats.max_abs, 18446744073709551615.0);

    stats = {-1.0, -1};
    const uint32_t word = 7;
    EXPECT_EQ(quant_linear_scan(&word, 11, 1, &stats), 1);
    EXPECT_EQ(quant_linear_scan(&word, uint32_t(-1), 1, &stats), 1);
    EXPECT_EQ(quant_linear_scan(nullptr, 2, 1, &stats), 1);
    EXPECT_EQ(stats.max_abs, -1.0); // refusals write nothing
    EXPECT_EQ(quant_linear_scan(&word, 2, 1, nullptr), 1);
}

TEST(QuantLinear, Resolve) {
    const double u32 = 0x1p-24;
    const struct {
        uint32_t dtype;
        double max_error, max_abs;
        int negatives;
        const char *message; // null: resolves to `step`
        double step = 0;
        uint8_t mode = 0;
    } cases[] = {
        {0, 0.4, 255, 0, nullptr, 1, 1},
        {0, 1.0, 255, 0, nullptr, 2, 1},
        {5, 7.9, 100, 1, nullptr, 15, 0},
        {3, 1e300, 1, 0, nullptr, 2e300, 1},
        {6, 1e308, 1, 0, "a MAX_ERROR of 1e+308 makes the grid step too large", 0, 1},
        {9, 0.5, 1000, 0, nullptr, 2 * (0.5 - 2 * u32 * 1000), 1},
        {9, 1.0, 8.38e6, 0, "a MAX_ERROR of 1 needs more levels than a 4-byte stream carries"},
        {8, 0.01, 30, 0,
         "a MAX_ERROR of 0.01 is at or below the rounding of the output type at "
         "30"},
        {10, 1e308, 1, 0, "a MAX_ERROR of 1e+308 makes the grid step too large"},
        {10, 0.5, 0x1.ep50, 1,
         "a MAX_ERROR of 0.5 needs more levels than a 8-byte stream "
         "carries"},
        {10, 0.5, 0x1p60, 1,
         "a MAX_ERROR of 0.5 is at or below the rounding of the output type "
         "at 1.15292e+18"},
        {11, 1, 1, 0, "dtype 11 is not a type this codec knows"},
        {uint32_t(-1), 1, 1, 0, "dtype -1 is not a type this codec knows"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.message ? c.message : std::to_string(c.step));
        quant_spec spec{};
        spec.max_error = c.max_error;
        const quant_linear_stats stats{c.max_abs, c.negatives};
        quant_grid grid = grid_of(7, 99.0);
        grid.offset = 42.0;
        char err[200] = "";
        const int result = quant_linear_resolve(&spec, c.dtype, &stats, &grid, err, sizeof err);
        if (c.message) {
            EXPECT_EQ(result, 1);
            EXPECT_STREQ(err, c.message);
            continue;
        }
        ASSERT_EQ(result, 0) << err;
        EXPECT_EQ(grid.step, c.step);
        EXPECT_EQ(grid.mode, c.mode);
        EXPECT_EQ(grid.offset, 42.0); // left alone
    }
}

TEST(QuantLinear, WorkedValues) {
    // u8: half a unit or less is lossless; a step of 2 saturates on decode.
    EXPECT_EQ(round_trip(0, {0, 1, 254, 255}, grid_of(1, 1)).stream,
              (std::vector<int64_t>{0, 1, 254, 255}));
    const RoundTrip u8 = round_trip(0, {255, 3, 1}, grid_of(1, 2));
    EXPECT_EQ(u8.stream, (std::vector<int64_t>{128, 2, 1}));
    EXPECT_EQ(u8.rebuilt, (std::vector<double>{255, 4, 2}));
    // i16, step 2: halves round away from zero.
    const RoundTrip i16 = round_trip(5, {-3, 3, -32768, 32767}, grid_of(0, 2));
    EXPECT_EQ(i16.stream, (std::vector<int64_t>{-2, 2, -16384, 16384}));
    EXPECT_EQ(i16.rebuilt, (std::vector<double>{-4, 4, -32768, 32767}));
    // Value mode carries the snapped value; u64 products saturate.
    EXPECT_EQ(round_trip(0, {255, 5}, grid_of(3, 2)).stream, (std::vector<int64_t>{255, 6}));
    const Bytes top = vt::raster_of(3, {0x1p64});
    uint64_t snapped = 0;
    const quant_grid huge = grid_of(2, 0x1p63);
    ASSERT_EQ(quant_linear_encode(&snapped, top.data(), &huge, 3, 1), 0);
    EXPECT_EQ(snapped, UINT64_MAX);
    // An i32 grid without negatives decodes index -5 to 0.
    const int32_t minus_five = -5;
    int32_t value = 7;
    const quant_grid clamped = grid_of(1, 3);
    ASSERT_EQ(quant_linear_decode(&value, &minus_five, &clamped, 6, 1), 0);
    EXPECT_EQ(value, 0);
    // f64, step 1: ties to even, NaN to 0, infinities to the end indices.
    const RoundTrip f64 = round_trip(10, {2.5, 3.5, NAN, INFINITY, -INFINITY, -2.5}, grid_of(0, 1));
    EXPECT_EQ(f64.stream,
              (std::vector<int64_t>{2, 4, 0, int64_t(1) << 53, -(int64_t(1) << 53), -2}));
    EXPECT_EQ(f64.rebuilt[3], 0x1p53);
    // f16 under mode 1: a negative index rebuilds as +0.0; the top clamps.
    const int16_t indices[] = {-3, 32767};
    uint16_t halves[2] = {1, 1};
    const quant_grid half_grid = grid_of(1, 1000);
    ASSERT_EQ(quant_linear_decode(halves, indices, &half_grid, 8, 2), 0);
    EXPECT_EQ(halves[0], 0x0000);
    EXPECT_EQ(halves[1], 0x7BFF);
    // f32 value mode: the stream holds the snapped value.
    EXPECT_EQ(round_trip(9, {10.9, -7.0}, grid_of(2, 4)).stream, (std::vector<int64_t>{12, -8}));
}

// Resolving on the raster itself, encoding and decoding never costs more
// than MAX_ERROR at any sample, for any dtype, shape of data and bound.
TEST(QuantLinear, BoundHoldsOnEveryDtype) {
    const vt::Raster kinds[] = {vt::Raster::bits, vt::Raster::mixed, vt::Raster::positive,
                                vt::Raster::subnormal};
    const double relative[] = {1e-12, 1e-7, 1e-4, 0.01, 0.3, 2.0};
    const double absolute[] = {0.25, 0.5, 0.75, 1.0, 1.5, 7.3, 1000.5, 0x1p-20, 0x1p-140};
    size_t resolved = 0;
    for (uint32_t dtype : vt::dtypes) {
        for (const auto kind : kinds) {
            if (kind == vt::Raster::subnormal && !vt::dtype_is_float(dtype)) continue;
            const size_t count = 1000;
            const Bytes src = vt::random_raster(dtype, count, 17 + dtype, kind);
            quant_linear_stats stats{};
            if (quant_linear_scan(src.data(), dtype, count, &stats) != 0) continue;
            std::vector<double> bounds(std::begin(absolute), std::end(absolute));
            for (double r : relative) bounds.push_back(r * stats.max_abs);
            for (double max_error : bounds) {
                if (!(max_error > 0)) continue;
                quant_spec spec{};
                spec.max_error = max_error;
                quant_grid grid{};
                if (quant_linear_resolve(&spec, dtype, &stats, &grid, nullptr, 0) != 0) continue;
                // Steps below the smallest normal double are no grid.
                if (grid.step < 0x1p-1022) continue;
                ++resolved;
                Bytes stream(src.size()), back(src.size());
                ASSERT_EQ(quant_linear_encode(stream.data(), src.data(), &grid, dtype, count), 0);
                ASSERT_EQ(quant_linear_decode(back.data(), stream.data(), &grid, dtype, count), 0);
                double worst = -1;
                ASSERT_EQ(quant_linear_verify(src.data(), back.data(), &spec, dtype, count, &worst),
                          0);
                ASSERT_LE(worst, 1.0) << vt::dtype_names[dtype] << " kind " << int(kind) << " E "
                                      << max_error << " step " << grid.step;
            }
        }
    }
    EXPECT_GT(resolved, 250u);
}

// A raster of binary16 subnormals alone: rounding into the type costs half
// a subnormal unit, which a budget scaled by the largest magnitude misses.
TEST(QuantLinear, SubnormalRasterKeepsTheBound) {
    const double unit = 0x1p-24;
    std::vector<double> values;
    for (int k = 0; k <= 100; ++k) values.push_back(k * unit);
    const Bytes src = vt::raster_of(8, values);
    quant_linear_stats stats{};
    ASSERT_EQ(quant_linear_scan(src.data(), 8, values.size(), &stats), 0);
    quant_spec spec{};
    const auto worst_on = [&](quant_grid g) {
        Bytes stream(src.size()), back(src.size());
        EXPECT_EQ(quant_linear_encode(stream.data(), src.data(), &g, 8, values.size()), 0);
        EXPECT_EQ(quant_linear_decode(back.data(), stream.data(), &g, 8, values.size()), 0);
        double worst = 0;
        EXPECT_EQ(quant_linear_verify(src.data(), back.data(), &spec, 8, values.size(), &worst), 0);
        return worst;
    };

    // Below one subnormal unit no grid coarser than the type keeps the
    // bound: the magnitude-scaled step breaks it, and resolve refuses.
    spec.max_error = 0.75 * unit;
    EXPECT_GT(worst_on(grid_of(1, 2 * (spec.max_error - 2 * 0x1p-11 * stats.max_abs))), 1.0);
    quant_grid grid{};
    char err[200] = "";
    EXPECT_EQ(quant_linear_resolve(&spec, 8, &stats, &grid, err, sizeof err), 1);
    EXPECT_STREQ(err, "a MAX_ERROR of 4.47035e-08 is at or below the rounding of the output type "
                      "at 5.96046e-06");
    spec.max_error = 1.5 * unit;
    ASSERT_EQ(quant_linear_resolve(&spec, 8, &stats, &grid, nullptr, 0), 0);
    EXPECT_LE(worst_on(grid), 1.0);

    // With one normal value the plain budget stands.
    values.push_back(0x1p-13);
    const Bytes wider = vt::raster_of(8, values);
    ASSERT_EQ(quant_linear_scan(wider.data(), 8, values.size(), &stats), 0);
    spec.max_error = 0x1p-20;
    ASSERT_EQ(quant_linear_resolve(&spec, 8, &stats, &grid, nullptr, 0), 0);
    EXPECT_EQ(grid.step, 2 * (spec.max_error - 2 * 0x1p-11 * 0x1p-13));
}

TEST(QuantLinear, Verify) {
    const Bytes a = vt::raster_of(9, {1.0, 2.0, NAN, INFINITY, 5.0});
    quant_spec spec{};
    spec.max_error = 0.5;
    double worst = -1;
    EXPECT_EQ(quant_linear_verify(a.data(), a.data(), &spec, 9, 5, &worst), 0);
    EXPECT_EQ(worst, 0.0);
    EXPECT_EQ(quant_linear_verify(a.data(), a.data(), &spec, 9, 5, nullptr), 0);

    const Bytes b = vt::raster_of(9, {1.25, 2.0, 7.0, 1.0, 4.0});
    EXPECT_EQ(quant_linear_verify(a.data(), b.data(), &spec, 9, 5, &worst), 0);
    EXPECT_EQ(worst, 2.0); // non-finite originals are not measured
    // A NaN where a finite value stood is no kept bound.
    const Bytes c = vt::raster_of(9, {1.0, NAN, 2.0, 2.0, 5.0});
    EXPECT_EQ(quant_linear_verify(a.data(), c.data(), &spec, 9, 5, &worst), 0);
    EXPECT_EQ(worst, INFINITY);

    // 64-bit samples one apart measure as one apart, not as a double ulp.
    const uint64_t big[] = {(uint64_t(1) << 63) + 1023};
    const uint64_t next[] = {(uint64_t(1) << 63) + 1025};
    spec.max_error = 2;
    EXPECT_EQ(quant_linear_verify(big, next, &spec, 3, 1, &worst), 0);
    EXPECT_EQ(worst, 1.0);

    worst = -1;
    const quant_spec zero{};
    EXPECT_EQ(quant_linear_verify(a.data(), b.data(), &zero, 9, 5, &worst), 1);
    EXPECT_EQ(quant_linear_verify(a.data(), b.data(), &spec, 11, 5, &worst), 1);
    EXPECT_EQ(quant_linear_verify(a.data(), b.data(), &spec, uint32_t(-2), 5, &worst), 1);
    EXPECT_EQ(quant_linear_verify(nullptr, b.data(), &spec, 9, 5, &worst), 1);
    EXPECT_EQ(quant_linear_verify(a.data(), b.data(), nullptr, 9, 5, &worst), 1);
    EXPECT_EQ(worst, -1.0);
}

// The exported decoder (vector loops wherever built) against the
// element-wise rules, on random streams with the extreme indices mixed in,
// every mode, steps on both sides of every saturation point, all tails.
TEST(QuantLinear, VectorDecoderEqualsElementRules) {
    const double integer_steps[] = {1,   2,      3,      127,    128,   129,   255,
                                    256, 257,    32767,  32768,  32769, 65535, 65536,
                                    1e6, 0x1p40, 0x1p63, 0x1p64, 1e300};
    const double float_steps[] = {1e-9, 0.37, 1.0, 2.0, 3.7, 65504.0 / 32767, 1e5, 1e300};
    std::mt19937_64 rng(5);
    for (uint32_t dtype : vt::dtypes) {
        const size_t es = vt::dtype_bytes(dtype);
        const bool is_float = vt::dtype_is_float(dtype);
        for (double step :
             is_float ? std::vector<double>(std::begin(float_steps), std::end(float_steps))
                      : std::vector<double>(std::begin(integer_steps), std::end(integer_steps))) {
            for (uint8_t mode = 0; mode < 4; ++mode) {
                if ((mode & 2) && std::floor(step) != step) continue;
                const quant_grid grid = grid_of(mode, step);
                for (size_t count : {size_t(1), size_t(7), size_t(8), size_t(15), size_t(16),
                                     size_t(17), size_t(100), size_t(257)}) {
                    Bytes stream(count * es);
                    for (auto &byte : stream) byte = static_cast<unsigned char>(rng());
                    const uint64_t extremes[] = {0,
                                                 1,
                                                 ~uint64_t(0),
                                                 uint64_t(1) << (8 * es - 1),
                                                 (uint64_t(1) << (8 * es - 1)) - 1,
                                                 2};
                    for (size_t i = 0; i < count; i += 3)
                        std::memcpy(stream.data() + i * es, &extremes[rng() % 6], es);
                    Bytes fast(count * es), slow(count * es);
                    ASSERT_EQ(quant_linear_decode(fast.data(), stream.data(), &grid, dtype, count),
                              0);
                    ASSERT_EQ(varda::quant_linear_decode_with(slow.data(), stream.data(), &grid,
                                                              dtype, count, false),
                              0);
                    ASSERT_EQ(fast, slow) << vt::dtype_names[dtype] << " step " << step << " mode "
                                          << int(mode) << " count " << count;
                }
            }
        }
    }
}

// Streams are stored by hosts: a change of their bytes must fail loudly.
TEST(QuantLinear, GoldenStreams) {
    const struct {
        uint32_t dtype;
        quant_grid grid;
        uint64_t fnv;
    } golden[] = {
        {1, grid_of(1, 7), 13591452105645046034ull},     {6, grid_of(0, 3), 8112878752937300627ull},
        {8, grid_of(0, 0.01), 6356611293948783904ull},   {9, grid_of(2, 5), 3614432086750446247ull},
        {10, grid_of(0, 1e-3), 11396344196788438455ull},
    };
    for (const auto &g : golden) {
        const size_t count = 512;
        const Bytes src = vt::random_raster(g.dtype, count, 99, vt::Raster::mixed);
        Bytes stream(src.size());
        ASSERT_EQ(quant_linear_encode(stream.data(), src.data(), &g.grid, g.dtype, count), 0);
        EXPECT_EQ(vt::fnv1a(stream.data(), stream.size()), g.fnv) << vt::dtype_names[g.dtype];
    }
}

// Hostile grids on hostile samples: every conversion stays in range (the
// sanitizer build checks), and whatever the encoder writes decodes.
TEST(QuantLinear, ExtremeGridsAndSamplesStayDefined) {
    const double steps[] = {0x1p-1022, 1e-300, 1e-5, 0.5, 1, 3, 1e10, 0x1p64, 1e300, DBL_MAX};
    for (uint32_t dtype : vt::dtypes) {
        const size_t count = 300;
        for (const auto kind : {vt::Raster::bits, vt::Raster::mixed}) {
            const Bytes src = vt::random_raster(dtype, count, 23 + dtype, kind);
            for (double step : steps) {
                for (uint8_t mode = 0; mode < 4; ++mode) {
                    const quant_grid grid = grid_of(mode, step);
                    Bytes stream(src.size()), back(src.size());
                    const int encoded =
                        quant_linear_encode(stream.data(), src.data(), &grid, dtype, count);
                    if (encoded != 0) continue;
                    ASSERT_EQ(quant_linear_decode(back.data(), stream.data(), &grid, dtype, count),
                              0);
                }
            }
        }
    }
}
