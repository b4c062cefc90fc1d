// LOG quantiser: the fast logarithm and exponential, scan, resolve, encode,
// decode and verify; the relative bound on every dtype; tables and vector
// loops against the direct element-wise path.
#include <gtest/gtest.h>

#include <bit>
#include <cfloat>
#include <climits>
#include <cmath>
#include <string>

#include "lossy/quant_log.h"
#include "support/lossy_support.h"
#include "wrap/failing_malloc.h"

using vt::Bytes;
using vt::grid_of;

namespace {

quant_grid resolved(uint32_t dtype, double max_error, int negatives = 0) {
    quant_spec spec{};
    spec.max_error = max_error;
    const quant_log_stats stats{1, 1, negatives, 0};
    quant_grid grid{};
    EXPECT_EQ(quant_log_resolve(&spec, dtype, &stats, &grid, nullptr, 0), 0);
    return grid;
}

std::vector<int64_t> encode(uint32_t dtype, const std::vector<double> &values, quant_grid grid) {
    const Bytes src = vt::raster_of(dtype, values);
    Bytes stream(src.size());
    EXPECT_EQ(quant_log_encode(stream.data(), src.data(), &grid, dtype, values.size()), 0);
    return vt::stream_values(dtype, stream);
}

} // namespace

TEST(QuantLog, TablesLogarithmAndExponential) {
    EXPECT_EQ(varda::qlog_mrc[0], 0.9922480620155039);
    EXPECT_EQ(varda::qlog_mlg[0], 0.01122725542325412);
    EXPECT_EQ(varda::qlog_mrc[63], 0.5019607843137255);
    EXPECT_EQ(varda::qlog_mlg[63], 0.9943534368588579);
    for (int i = 0; i < 64; ++i) {
        EXPECT_EQ(varda::qlog_mrc[i], 128.0 / (129 + 2 * i)) << i;
        EXPECT_NEAR(varda::qlog_mlg[i], std::log2((129.0 + 2 * i) / 128), 2e-16) << i;
    }
    // These three pin the order of operations.
    EXPECT_EQ(varda::flog2(1.0, -1023), 3.2786273695961654e-16);
    EXPECT_EQ(varda::flog2(2.0, -1023), 1.0000000000000004);
    EXPECT_EQ(varda::flog2(3.0, -1023), 1.584962500721156);
    EXPECT_EQ(varda::fexp2(0.0), 1.0);
    // Accuracy over the whole double range, subnormals included.
    std::mt19937_64 rng(3);
    for (int n = 0; n < 20000; ++n) {
        const double x = std::ldexp(1.0 + double(rng() >> 11) * 0x1p-53, int(rng() % 2098) - 1074);
        ASSERT_NEAR(varda::flog2(x, 51), std::log2(x) + 1074, 1e-12) << x;
        const double y = double(int64_t(rng() % 2200000) - 1190000) / 1000;
        const double want = std::exp2(y);
        ASSERT_NEAR(varda::fexp2(y), want, want >= 0x1p-1022 ? want * 1e-14 : 0x1p-1074) << y;
    }
}

TEST(QuantLog, ScanAndResolve) {
    quant_log_stats stats{};
    const Bytes f32 = vt::raster_of(9, {-0.0, NAN, 4.0, 0.25, INFINITY, -INFINITY});
    EXPECT_EQ(quant_log_scan(f32.data(), 9, 0, &stats), 0);
    EXPECT_EQ(stats.min_abs, INFINITY);
    EXPECT_EQ(stats.max_abs, 0);
    EXPECT_EQ(quant_log_scan(f32.data(), 9, 5, &stats), 0);
    EXPECT_EQ(stats.min_abs, 0.25);
    EXPECT_EQ(stats.max_abs, 4.0);
    EXPECT_EQ(stats.negatives, 0); // -0.0 does not count
    EXPECT_EQ(quant_log_scan(f32.data(), 9, 6, &stats), 0);
    EXPECT_EQ(stats.negatives, 1); // a negative infinity does
    const Bytes f16 = vt::raster_of(8, {0x1p-20, 1.0});
    EXPECT_EQ(quant_log_scan(f16.data(), 8, 2, &stats), 0);
    EXPECT_EQ(stats.tiny, 1);
    stats = {-1, -1, -1, -1};
    EXPECT_EQ(quant_log_scan(f32.data(), uint32_t(-1), 1, &stats), 1);
    EXPECT_EQ(quant_log_scan(nullptr, 0, 1, &stats), 1);
    EXPECT_EQ(stats.max_abs, -1);

    char bottom[200];
    std::snprintf(bottom, sizeof bottom,
                  "a MAX_ERROR of 0.01%% is at or below what this type rebuilds to, which "
                  "bottoms out near %g%%",
                  100 * (40 * 0x1p-50 * 0.6931471805599453 + 0x1p-11));
    EXPECT_NE(std::string(bottom).find("near 0.0488"), std::string::npos);
    const struct {
        uint32_t dtype;
        double max_error;
        std::string message;
    } refusals[] = {
        {11, 0.01, "dtype 11 is not a type this codec knows"},
        {uint32_t(-3), 0.01, "dtype -3 is not a type this codec knows"},
        {2, NAN, "MAX_ERROR must be positive"},
        {3, 1e-14, "a MAX_ERROR of 1e-12% is too tight for a whole-number reconstruction"},
        {8, 0.0001, bottom},
        {8, 0.0006, "a MAX_ERROR of 0.06% needs more levels than a 2-byte index carries"},
    };
    for (const auto &r : refusals) {
        quant_spec spec{};
        spec.max_error = r.max_error;
        quant_grid grid = grid_of(3, 5);
        char err[200] = "";
        EXPECT_EQ(quant_log_resolve(&spec, r.dtype, &stats, &grid, err, sizeof err), 1);
        EXPECT_EQ(err, r.message);
        EXPECT_EQ(grid.step, 0.0);
    }
    EXPECT_EQ(resolved(9, 0.01).step, 0.028710413970510246);
    EXPECT_EQ(resolved(9, 0.01).mode, 1);
    EXPECT_EQ(resolved(9, 0.01, 1).mode, 0);
    EXPECT_EQ(resolved(0, 0.01).step, 0.014355292977041401);
    EXPECT_EQ(resolved(0, 0.01).mode, 3);
    EXPECT_EQ(resolved(5, 0.01, 1).mode, 2);
}

TEST(QuantLog, WorkedValues) {
    using V = std::vector<int64_t>;
    // f32, E = 1%: K = ceil(277 / step) + 1 = 9650.
    const quant_grid f32 = resolved(9, 0.01);
    EXPECT_EQ(encode(9, {1.0, 0x1p200, -INFINITY, 0x1p-149, -0.0, NAN}, f32),
              (V{5191, 9650, -9650, 1, 0, 0}));
    const int32_t indices[] = {5191, -5191};
    float values[2] = {0, 1};
    ASSERT_EQ(quant_log_decode(values, indices, &f32, 9, 2), 0);
    EXPECT_EQ(values[0], 1.0048975944519043f);
    EXPECT_EQ(std::bit_cast<uint32_t>(values[1]), 0u); // mode 1: +0.0

    // u8, E = 1%: whole-number levels up to A = 558.
    EXPECT_EQ(encode(0, {0, 1, 2, 3, 100, 254, 255}, resolved(0, 0.01)),
              (V{0, 1, 2, 3, 100, 253, 255}));
    // i8: -128 keeps its magnitude, positive values stop at 127.
    EXPECT_EQ(encode(4, {-128, 127}, resolved(4, 0.2, 1)), (V{-128, 127}));

    // f16: +inf encodes to K, which decodes to the largest half.
    const quant_grid f16 = resolved(8, 0.01);
    const int16_t top = int16_t(std::ceil(40 / f16.step) + 1);
    EXPECT_EQ(encode(8, {INFINITY, NAN, -0.0}, f16), (V{top, 0, 0}));
    uint16_t half = 0;
    ASSERT_EQ(quant_log_decode(&half, &top, &f16, 8, 1), 0);
    EXPECT_EQ(half, 0x7BFF);
    // Just below the level limit the level count passes the largest 16-bit
    // index; +inf must still encode as a positive index.
    EXPECT_EQ(encode(8, {INFINITY}, grid_of(0, 40 / 32766.5)), (V{32767}));
}

TEST(QuantLog, RefusesBadGridsAndTypesWithoutWriting) {
    const struct {
        int dtype;
        uint8_t mode;
        double step;
    } bad[] = {{0, 0, 0.01},     {5, 1, 0.01},  {9, 4, 0.01},  {9, 0, 0},         {9, 0, NAN},
               {9, 0, INFINITY}, {11, 2, 0.01}, {-1, 2, 0.01}, {INT_MIN, 3, 0.01}};
    const Bytes src(64, 0x22);
    for (const auto &b : bad) {
        const quant_grid grid = grid_of(b.mode, b.step);
        auto dst = vt::canary(64);
        EXPECT_EQ(quant_log_encode(dst.data(), src.data(), &grid, uint32_t(b.dtype), 4), 1);
        EXPECT_EQ(quant_log_decode(dst.data(), src.data(), &grid, b.dtype, 4), 1) << b.dtype;
        EXPECT_EQ(quant_log_decode(dst.data(), src.data(), nullptr, 9, 4), 1);
        EXPECT_EQ(dst, vt::canary(64));
    }
}

// Resolved on the raster, a round trip keeps every measurable sample within
// E of its own magnitude, for every dtype and a sweep of E.
TEST(QuantLog, BoundHoldsOnEveryDtype) {
    size_t resolved_count = 0;
    for (uint32_t dtype : vt::dtypes) {
        for (const auto kind : {vt::Raster::bits, vt::Raster::mixed, vt::Raster::subnormal}) {
            if (kind == vt::Raster::subnormal && dtype < 8) continue;
            const size_t count = 2000;
            const Bytes src = vt::random_raster(dtype, count, 41 + dtype, kind);
            quant_log_stats stats{};
            ASSERT_EQ(quant_log_scan(src.data(), dtype, count, &stats), 0);
            for (double max_error : {2e-13, 1e-9, 1e-6, 3e-4, 0.01, 0.2, 0.5, 0.9, 0.999}) {
                quant_spec spec{};
                spec.max_error = max_error;
                quant_grid grid{};
                if (quant_log_resolve(&spec, dtype, &stats, &grid, nullptr, 0) != 0) continue;
                ++resolved_count;
                Bytes stream(src.size()), back(src.size());
                ASSERT_EQ(quant_log_encode(stream.data(), src.data(), &grid, dtype, count), 0);
                ASSERT_EQ(quant_log_decode(back.data(), stream.data(), &grid, int(dtype), count),
                          0);
                double worst = -1;
                size_t tiny = 0;
                quant_log_verify(src.data(), back.data(), &spec, dtype, count, &worst, &tiny);
                ASSERT_LE(worst, 1.0) << vt::dtype_names[dtype] << " E " << max_error;
                EXPECT_TRUE(dtype >= 8 || tiny == 0);
            }
        }
    }
    EXPECT_GT(resolved_count, 150u);
}

TEST(QuantLog, Verify) {
    quant_spec spec{};
    spec.max_error = 0.1;
    double worst = -1;
    size_t tiny = 99;
    const Bytes a = vt::raster_of(9, {10.0, 0x1p-130, 5.0, NAN, 0.0});
    const Bytes b = vt::raster_of(9, {10.5, 0.0, 5.0, 1.0, 0x1p-140});
    EXPECT_EQ(quant_log_verify(a.data(), a.data(), &spec, 9, 5, &worst, &tiny), 0);
    EXPECT_EQ(worst, 0.0);
    EXPECT_EQ(tiny, 0u);
    EXPECT_EQ(quant_log_verify(a.data(), b.data(), &spec, 9, 5, &worst, &tiny), 0);
    EXPECT_DOUBLE_EQ(worst, 0.5);
    EXPECT_EQ(tiny, 2u); // the subnormal and the zero are counted, not measured
    const Bytes c = vt::raster_of(9, {NAN, 0x1p-130, 5.0, 2.0, 0.0});
    EXPECT_EQ(quant_log_verify(a.data(), c.data(), &spec, 9, 5, &worst, nullptr), 0);
    EXPECT_EQ(worst, INFINITY); // a NaN where a value stood keeps no bound
    const int16_t zero = 0, one = 1;
    EXPECT_EQ(quant_log_verify(&zero, &one, &spec, 5, 1, &worst, &tiny), 0);
    EXPECT_EQ(worst, INFINITY);

    worst = -1;
    const quant_spec none{};
    EXPECT_EQ(quant_log_verify(a.data(), b.data(), &none, 9, 5, &worst, &tiny), 1);
    EXPECT_EQ(quant_log_verify(a.data(), b.data(), &spec, uint32_t(-1), 5, &worst, &tiny), 1);
    EXPECT_EQ(worst, -1.0);
}

// The encoder's level table, the decoder's per-tile table and its vector
// loops change speed only: against the direct element-wise path, on random
// streams with extreme indices and hostile samples, for every mode, steps
// from the smallest subnormal to the largest double, many lengths.
TEST(QuantLog, TablesAndVectorLoopsMatchTheDirectPath) {
    std::mt19937_64 rng(11);
    for (uint32_t dtype : vt::dtypes) {
        const size_t es = vt::dtype_bytes(dtype);
        for (const double step : {0x1p-1074, 1e-9, 0.0287, 0.7, 3.0, 1023.5, DBL_MAX}) {
            for (uint8_t mode = 0; mode < 4; ++mode) {
                const quant_grid grid = grid_of(mode, step);
                for (const size_t count : {1, 7, 8, 9, 16, 17, 300}) {
                    const bool narrow = rng() & 1; // keeps the decoder's table in play
                    Bytes stream(count * es);
                    for (size_t i = 0; i < count; ++i) {
                        uint64_t v = narrow ? uint64_t(int64_t(rng() % 4001) - 2000) : rng();
                        if (i % 5 == 0) v = uint64_t(1) << (8 * es - 1 - rng() % 2);
                        std::memcpy(stream.data() + i * es, &v, es);
                    }
                    Bytes fast(count * es), slow(count * es);
                    const int result =
                        quant_log_decode(fast.data(), stream.data(), &grid, int(dtype), count);
                    ASSERT_EQ(varda::quant_log_decode_with(slow.data(), stream.data(), &grid, dtype,
                                                           count, false, false),
                              result);
                    ASSERT_EQ(fast, slow) << vt::dtype_names[dtype] << " step " << step << " mode "
                                          << int(mode) << " count " << count;

                    const Bytes src =
                        vt::random_raster(dtype, count, uint32_t(rng()),
                                          rng() & 1 ? vt::Raster::bits : vt::Raster::mixed);
                    ASSERT_EQ(quant_log_encode(fast.data(), src.data(), &grid, dtype, count),
                              varda::quant_log_encode_with(slow.data(), src.data(), &grid, dtype,
                                                           count, false));
                    ASSERT_EQ(fast, slow) << vt::dtype_names[dtype] << " step " << step;
                }
            }
        }
    }
}

TEST(QuantLog, GoldenStreams) {
    const struct {
        uint32_t dtype;
        double max_error;
        uint64_t fnv;
    } golden[] = {{1, 0.01, 14932083808897546822ull}, {4, 0.05, 12445347498773067974ull},
                  {7, 0.001, 5311504700144068070ull}, {8, 0.01, 736117561346088179ull},
                  {9, 0.001, 9951353046817826025ull}, {10, 1e-6, 12740324327330675110ull}};
    for (const auto &g : golden) {
        const Bytes src = vt::random_raster(g.dtype, 512, 7, vt::Raster::mixed);
        quant_log_stats stats{};
        quant_log_scan(src.data(), g.dtype, 512, &stats);
        quant_spec spec{};
        spec.max_error = g.max_error;
        quant_grid grid{};
        ASSERT_EQ(quant_log_resolve(&spec, g.dtype, &stats, &grid, nullptr, 0), 0);
        Bytes stream(src.size());
        ASSERT_EQ(quant_log_encode(stream.data(), src.data(), &grid, g.dtype, 512), 0);
        EXPECT_EQ(vt::fnv1a(stream.data(), stream.size()), g.fnv) << vt::dtype_names[g.dtype];
    }
}

// The encoder's level table and the decoder's per-tile table are taken
// from the heap; refused, both compute every sample directly, to the same
// bytes.
TEST(QuantLog, SameBytesWithoutItsTables) {
    for (uint32_t dtype : vt::dtypes) {
        const size_t es = vt::dtype_bytes(dtype), count = 300;
        const bool integer = dtype <= 7;
        const quant_grid grid = grid_of(integer ? 2 : 0, integer ? 0.0287 : 0.7);
        const Bytes src = vt::random_raster(dtype, count, 5, vt::Raster::mixed);
        Bytes stream(count * es), starved_stream(count * es);
        size_t allocations;
        {
            const vt::MallocWatch watch(false);
            ASSERT_EQ(quant_log_encode(stream.data(), src.data(), &grid, dtype, count), 0);
            allocations = watch.calls();
        }
        {
            const vt::MallocWatch fail(true, 0);
            ASSERT_EQ(quant_log_encode(starved_stream.data(), src.data(), &grid, dtype, count), 0);
        }
        EXPECT_EQ(allocations, integer ? 1u : 0u) << vt::dtype_names[dtype];
        EXPECT_EQ(starved_stream, stream) << vt::dtype_names[dtype];

        Bytes out(count * es), starved_out(count * es);
        {
            const vt::MallocWatch watch(false);
            ASSERT_EQ(quant_log_decode(out.data(), stream.data(), &grid, int(dtype), count), 0);
            allocations = watch.calls();
        }
        {
            const vt::MallocWatch fail(true, 0);
            ASSERT_EQ(quant_log_decode(starved_out.data(), stream.data(), &grid, int(dtype), count),
                      0);
        }
        EXPECT_EQ(allocations, integer ? 0u : 1u) << vt::dtype_names[dtype];
        EXPECT_EQ(starved_out, out) << vt::dtype_names[dtype];
    }
}
