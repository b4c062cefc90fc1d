// LOG quantiser: the fast logarithm and exponential, scan, resolve, encode,
// decode and verify; the relative bound on every dtype; tables and vector
// loops against the direct element-wise path.
#include <gtest/gtest.h>

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "lossy/quant_log.h"
#include "support/lossy_support.h"

using vt::Bytes;
using vt::grid_of;

namespace {

quant_grid resolved(uint32_t dtype, double max_error, int negatives = 0) {
    quant_spec spec{};
    spec.max_error = max_error;
    const quant_log_stats stats{1.0, 1.0, negatives, 0};
    quant_grid grid{};
    char err[200] = "";
    EXPECT_EQ(quant_log_resolve(&spec, dtype, &stats, &grid, err, sizeof err), 0) << err;
    return grid;
}

std::vector<int64_t> encode(uint32_t dtype, const std::vector<double> &values, quant_grid grid) {
    const Bytes src = vt::raster_of(dtype, values);
    Bytes stream(src.size());
    EXPECT_EQ(quant_log_encode(stream.data(), src.data(), &grid, dtype, values.size()), 0);
    return vt::stream_values(dtype, stream);
}

} // namespace

TEST(QuantLog, Tables) {
    EXPECT_EQ(varda::qlog_mrc[0], 0.9922480620155039);
    EXPECT_EQ(varda::qlog_mlg[0], 0.01122725542325412);
    EXPECT_EQ(varda::qlog_mrc[63], 0.5019607843137255);
    EXPECT_EQ(varda::qlog_mlg[63], 0.9943534368588579);
    for (int i = 0; i < 64; ++i) {
        EXPECT_EQ(varda::qlog_mrc[i], 128.0 / (129 + 2 * i)) << i;
        const double exact = std::log2((129.0 + 2 * i) / 128);
        EXPECT_LE(std::fabs(varda::qlog_mlg[i] - exact), std::nextafter(exact, 2.0) - exact) << i;
    }
}

TEST(QuantLog, FastLogarithmAndExponential) {
    // These three pin the order of operations.
    EXPECT_EQ(varda::flog2(1.0, -1023), 3.2786273695961654e-16);
    EXPECT_EQ(varda::flog2(2.0, -1023), 1.0000000000000004);
    EXPECT_EQ(varda::flog2(3.0, -1023), 1.584962500721156);
    EXPECT_EQ(varda::fexp2(0.0), 1.0);
    // Accuracy over the whole double range, subnormals included.
    std::mt19937_64 rng(3);
    for (int n = 0; n < 20000; ++n) {
        const double x = std::ldexp(1.0 + double(rng() >> 11) * 0x1p-53, int(rng() % 2098) - 1074);
        ASSERT_NEAR(varda::flog2(x, -1023), std::log2(x), 1e-12) << x;
        ASSERT_NEAR(varda::flog2(x, 51), std::log2(x) + 1074, 1e-12) << x;
        const double y = double(int64_t(rng() % 2200000) - 1190000) / 1000;
        const double want = std::exp2(y);
        const double got = varda::fexp2(y);
        if (want >= 0x1p-1022) {
            ASSERT_NEAR(got / want, 1.0, 1e-14) << y;
        } else {
            ASSERT_NEAR(got, want, 0x1p-1074) << y;
        }
    }
}

TEST(QuantLog, Scan) {
    quant_log_stats stats{};
    const auto scan = [&](uint32_t dtype, const std::vector<double> &values) {
        stats = {-1, -1, -1, -1};
        const Bytes raster = vt::raster_of(dtype, values);
        return quant_log_scan(raster.data(), dtype, values.size(), &stats);
    };
    const float no_sample = 0;
    stats = {-1, -1, -1, -1};
    EXPECT_EQ(quant_log_scan(&no_sample, 9, 0, &stats), 0);
    EXPECT_EQ(stats.min_abs, INFINITY);
    EXPECT_EQ(stats.max_abs, 0);
    EXPECT_EQ(scan(9, {-0.0, 0.0, NAN, 4.0, 0.25, INFINITY}), 0);
    EXPECT_EQ(stats.min_abs, 0.25);
    EXPECT_EQ(stats.max_abs, 4.0);
    EXPECT_EQ(stats.negatives, 0);
    EXPECT_EQ(stats.tiny, 0);
    EXPECT_EQ(scan(9, {3.0, -INFINITY}), 0);
    EXPECT_EQ(stats.negatives, 1); // a negative infinity counts
    EXPECT_EQ(stats.max_abs, 3.0);
    EXPECT_EQ(scan(8, {0x1p-20, 1.0}), 0);
    EXPECT_EQ(stats.tiny, 1);
    EXPECT_EQ(stats.min_abs, 0x1p-20);
    EXPECT_EQ(scan(10, {0x1p-1030}), 0);
    EXPECT_EQ(stats.tiny, 1);
    EXPECT_EQ(scan(5, {-7, 0, 300}), 0);
    EXPECT_EQ(stats.min_abs, 7);
    EXPECT_EQ(stats.negatives, 1);
    EXPECT_EQ(stats.tiny, 0);

    stats = {-1, -1, -1, -1};
    const uint8_t byte = 1;
    EXPECT_EQ(quant_log_scan(&byte, 11, 1, &stats), 1);
    EXPECT_EQ(quant_log_scan(&byte, uint32_t(-1), 1, &stats), 1);
    EXPECT_EQ(quant_log_scan(nullptr, 0, 1, &stats), 1);
    EXPECT_EQ(stats.max_abs, -1);
    EXPECT_EQ(quant_log_scan(&byte, 0, 1, nullptr), 1);
}

TEST(QuantLog, Resolve) {
    const auto message = [](const char *format, double a, double b) {
        char text[200];
        std::snprintf(text, sizeof text, format, a, b);
        return std::string(text);
    };
    const double c0_f16 = 40 * 0x1p-50;
    const struct {
        uint32_t dtype;
        double max_error;
        std::string message;
    } refusals[] = {
        {11, 0.01, "dtype 11 is not a type this codec knows"},
        {uint32_t(-3), 0.01, "dtype -3 is not a type this codec knows"},
        {9, 0.0, "MAX_ERROR must be positive"},
        {2, NAN, "MAX_ERROR must be positive"},
        {3, 1e-14, "a MAX_ERROR of 1e-12% is too tight for a whole-number reconstruction"},
        {8, 0.0001,
         message("a MAX_ERROR of %g%% is at or below what this type rebuilds to, which bottoms "
                 "out near %g%%",
                 0.01, 100 * (c0_f16 * 0.6931471805599453 + 0x1p-11))},
        {8, 0.0006, "a MAX_ERROR of 0.06% needs more levels than a 2-byte index carries"},
        {9, 1e-7, "a MAX_ERROR of 1e-05% needs more levels than a 4-byte index carries"},
    };
    for (const auto &r : refusals) {
        quant_spec spec{};
        spec.max_error = r.max_error;
        const quant_log_stats stats{1, 2, 0, 0};
        quant_grid grid = grid_of(3, 5.0);
        char err[200] = "";
        EXPECT_EQ(quant_log_resolve(&spec, r.dtype, &stats, &grid, err, sizeof err), 1);
        EXPECT_EQ(std::string(err), r.message);
        EXPECT_EQ(grid.step, 0.0);
    }
    EXPECT_NE(message("%g", 100 * (c0_f16 * 0.6931471805599453 + 0x1p-11), 0).find("0.0488"),
              std::string::npos);

    EXPECT_EQ(resolved(9, 0.01).step, 0.028710413970510246);
    EXPECT_EQ(resolved(9, 0.01).mode, 1);
    EXPECT_EQ(resolved(9, 0.01, 1).mode, 0);
    EXPECT_EQ(resolved(0, 0.01).step, 0.014355292977041401);
    EXPECT_EQ(resolved(0, 0.01).mode, 3);
    EXPECT_EQ(resolved(5, 0.01, 1).mode, 2);
}

TEST(QuantLog, WorkedValues) {
    // f32, E = 1%: K = ceil(277 / step) + 1 = 9650.
    const quant_grid f32 = resolved(9, 0.01);
    const std::vector<int64_t> indices =
        encode(9, {1.0, 0x1p200, -0x1p200, INFINITY, -INFINITY, 0x1p-149, 0.0, NAN}, f32);
    EXPECT_EQ(indices, (std::vector<int64_t>{5191, 9650, -9650, 9650, -9650, 1, 0, 0}));
    const int32_t index = 5191;
    float value = 0;
    ASSERT_EQ(quant_log_decode(&value, &index, &f32, 9, 1), 0);
    EXPECT_EQ(value, 1.0048975944519043f);

    // u8, E = 1%: A = 558, whole-number levels.
    const quant_grid u8 = resolved(0, 0.01);
    EXPECT_EQ(encode(0, {0, 1, 2, 3, 100, 254, 255}, u8),
              (std::vector<int64_t>{0, 1, 2, 3, 100, 253, 255}));
    // i8: -128 keeps its magnitude, the positive cap is 127.
    const std::vector<int64_t> i8 = encode(4, {-128, 127, -127}, resolved(4, 0.01, 1));
    EXPECT_GE(i8[0], -128);
    EXPECT_LE(i8[1], 127);
    EXPECT_EQ(i8[2], -127);
    EXPECT_EQ(encode(4, {127}, resolved(4, 0.2)), (std::vector<int64_t>{127}));

    // f16: zeros and NaN to 0, +inf to K, which decodes to the largest half.
    const quant_grid f16 = resolved(8, 0.01);
    const std::vector<int64_t> halves = encode(8, {0.0, -0.0, NAN, INFINITY}, f16);
    const int64_t top = int64_t(std::ceil(40 / f16.step)) + 1;
    EXPECT_EQ(halves, (std::vector<int64_t>{0, 0, 0, top}));
    const int16_t k = int16_t(top);
    uint16_t half = 0;
    ASSERT_EQ(quant_log_decode(&half, &k, &f16, 8, 1), 0);
    EXPECT_EQ(half, 0x7BFF);

    // Under mode 1 a negative index rebuilds as +0.0.
    const int32_t negative[] = {-5191, 5191};
    float out[2] = {1, 1};
    ASSERT_EQ(quant_log_decode(out, negative, &f32, 9, 2), 0);
    EXPECT_EQ(std::signbit(out[0]), false);
    EXPECT_EQ(out[0], 0.0f);
    EXPECT_EQ(out[1], 1.0048975944519043f);
}

TEST(QuantLog, RefusesBadGridsAndTypesWithoutWriting) {
    const struct {
        int dtype;
        uint8_t mode;
        double step;
    } bad[] = {
        {0, 0, 0.01}, {5, 1, 0.01},     {9, 4, 0.01},  {9, 0, 0.0},   {9, 0, -1.0},
        {9, 0, NAN},  {9, 0, INFINITY}, {11, 2, 0.01}, {-1, 2, 0.01}, {INT_MIN, 3, 0.01},
    };
    const Bytes src(64, 0x22);
    for (const auto &b : bad) {
        const quant_grid grid = grid_of(b.mode, b.step);
        auto dst = vt::canary(64);
        EXPECT_EQ(quant_log_encode(dst.data(), src.data(), &grid, uint32_t(b.dtype), 4), 1)
            << b.dtype;
        EXPECT_EQ(quant_log_decode(dst.data(), src.data(), &grid, b.dtype, 4), 1) << b.dtype;
        EXPECT_EQ(dst, vt::canary(64));
    }
    auto dst = vt::canary(64);
    EXPECT_EQ(quant_log_encode(dst.data(), src.data(), nullptr, 9, 4), 1);
    EXPECT_EQ(quant_log_decode(dst.data(), src.data(), nullptr, 9, 4), 1);
    EXPECT_EQ(dst, vt::canary(64));
}

// Resolving on the raster, encoding and decoding keeps every measurable
// sample within E of its own magnitude, for every dtype and a sweep of E.
TEST(QuantLog, BoundHoldsOnEveryDtype) {
    const vt::Raster kinds[] = {vt::Raster::bits, vt::Raster::mixed, vt::Raster::positive,
                                vt::Raster::subnormal};
    const double bounds[] = {2e-13, 1e-9, 1e-6, 3e-4, 0.001, 0.01, 0.05, 0.2, 0.5, 0.9, 0.999};
    size_t resolved_count = 0;
    for (uint32_t dtype : vt::dtypes) {
        for (const auto kind : kinds) {
            if (kind == vt::Raster::subnormal && !vt::dtype_is_float(dtype)) continue;
            const size_t count = 2000;
            const Bytes src = vt::random_raster(dtype, count, 41 + dtype, kind);
            quant_log_stats stats{};
            ASSERT_EQ(quant_log_scan(src.data(), dtype, count, &stats), 0);
            for (double max_error : bounds) {
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
                ASSERT_EQ(
                    quant_log_verify(src.data(), back.data(), &spec, dtype, count, &worst, &tiny),
                    0);
                ASSERT_LE(worst, 1.0)
                    << vt::dtype_names[dtype] << " kind " << int(kind) << " E " << max_error;
                if (!vt::dtype_is_float(dtype)) {
                    EXPECT_EQ(tiny, 0u);
                }
            }
        }
    }
    EXPECT_GT(resolved_count, 300u);
}

TEST(QuantLog, Verify) {
    quant_spec spec{};
    spec.max_error = 0.1;
    double worst = -1;
    size_t tiny = 99;
    const Bytes a = vt::raster_of(9, {10.0, 0x1p-130, 5.0, NAN, 0.0});
    EXPECT_EQ(quant_log_verify(a.data(), a.data(), &spec, 9, 5, &worst, &tiny), 0);
    EXPECT_EQ(worst, 0.0);
    EXPECT_EQ(tiny, 0u);
    const Bytes b = vt::raster_of(9, {10.5, 0.0, 5.0, 1.0, 0x1p-140});
    EXPECT_EQ(quant_log_verify(a.data(), b.data(), &spec, 9, 5, &worst, &tiny), 0);
    EXPECT_DOUBLE_EQ(worst, 0.5);
    EXPECT_EQ(tiny, 2u); // the subnormal and the zero are counted, not measured
    const Bytes c = vt::raster_of(9, {NAN, 0x1p-130, 5.0, 2.0, 0.0});
    EXPECT_EQ(quant_log_verify(a.data(), c.data(), &spec, 9, 5, &worst, nullptr), 0);
    EXPECT_EQ(worst, INFINITY);
    // An integer zero rebuilt as anything else is an infinite error.
    const int16_t zero = 0, one = 1;
    EXPECT_EQ(quant_log_verify(&zero, &one, &spec, 5, 1, &worst, &tiny), 0);
    EXPECT_EQ(worst, INFINITY);
    EXPECT_EQ(tiny, 0u);

    worst = -1;
    const quant_spec none{};
    EXPECT_EQ(quant_log_verify(a.data(), b.data(), &none, 9, 5, &worst, &tiny), 1);
    EXPECT_EQ(quant_log_verify(a.data(), b.data(), &spec, 11, 5, &worst, &tiny), 1);
    EXPECT_EQ(quant_log_verify(a.data(), b.data(), &spec, uint32_t(-1), 5, &worst, &tiny), 1);
    EXPECT_EQ(worst, -1.0);
}

// Tables (the encoder's levels, the decoder's per-tile indices) and the
// vector loops change speed only: against the direct element-wise path on
// random streams with extreme indices, every mode and many lengths.
TEST(QuantLog, TablesAndVectorLoopsMatchTheDirectPath) {
    std::mt19937_64 rng(11);
    for (uint32_t dtype : vt::dtypes) {
        const size_t es = vt::dtype_bytes(dtype);
        const bool is_float = vt::dtype_is_float(dtype);
        for (const double step : {1e-3, 0.0287, 0.7, 3.0, 1500.0}) {
            for (uint8_t mode = 0; mode < 4; ++mode) {
                if (!is_float && !(mode & 2)) continue;
                const quant_grid grid = grid_of(mode, step);
                for (const size_t count : {1, 7, 8, 9, 16, 17, 33, 300}) {
                    // Narrow streams keep the decoder's table in play.
                    const bool narrow = rng() & 1;
                    Bytes stream(count * es);
                    for (size_t i = 0; i < count; ++i) {
                        uint64_t v = rng();
                        if (narrow) v = uint64_t(int64_t(v % 4001) - 2000);
                        if (i % 5 == 0) {
                            v = (rng() & 1) ? uint64_t(1) << (8 * es - 1)
                                            : ~uint64_t(0) >> (65 - 8 * es);
                        }
                        std::memcpy(stream.data() + i * es, &v, es);
                    }
                    Bytes fast(count * es), slow(count * es);
                    ASSERT_EQ(
                        quant_log_decode(fast.data(), stream.data(), &grid, int(dtype), count), 0);
                    ASSERT_EQ(varda::quant_log_decode_with(slow.data(), stream.data(), &grid, dtype,
                                                           count, false, false),
                              0);
                    ASSERT_EQ(fast, slow) << vt::dtype_names[dtype] << " step " << step << " mode "
                                          << int(mode) << " count " << count;

                    const Bytes src =
                        vt::random_raster(dtype, count, uint32_t(rng()), vt::Raster::mixed);
                    Bytes tabled(count * es), direct(count * es);
                    ASSERT_EQ(quant_log_encode(tabled.data(), src.data(), &grid, dtype, count), 0);
                    ASSERT_EQ(varda::quant_log_encode_with(direct.data(), src.data(), &grid, dtype,
                                                           count, false),
                              0);
                    ASSERT_EQ(tabled, direct) << vt::dtype_names[dtype] << " step " << step;
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
    } golden[] = {
        {1, 0.01, 6288856496891141127ull},  {4, 0.05, 9267726168126336448ull},
        {7, 0.001, 9525808152764243965ull}, {8, 0.01, 2619649510720422879ull},
        {9, 0.001, 9869914863946048536ull}, {10, 1e-6, 4474201795798704428ull},
    };
    for (const auto &g : golden) {
        const size_t count = 512;
        const Bytes src = vt::random_raster(g.dtype, count, 7, vt::Raster::mixed);
        quant_log_stats stats{};
        ASSERT_EQ(quant_log_scan(src.data(), g.dtype, count, &stats), 0);
        quant_spec spec{};
        spec.max_error = g.max_error;
        quant_grid grid{};
        ASSERT_EQ(quant_log_resolve(&spec, g.dtype, &stats, &grid, nullptr, 0), 0);
        Bytes stream(src.size());
        ASSERT_EQ(quant_log_encode(stream.data(), src.data(), &grid, g.dtype, count), 0);
        EXPECT_EQ(vt::fnv1a(stream.data(), stream.size()), g.fnv) << vt::dtype_names[g.dtype];
    }
}

// Hostile grids on hostile samples: every conversion stays in range (the
// sanitizer build checks), indices stay within the type's levels, and
// whatever the encoder writes decodes.
TEST(QuantLog, ExtremeGridsAndSamplesStayDefined) {
    const double steps[] = {0x1p-1074, 1e-300, 1e-9, 1e-3, 0.5, 1, 3, 1023.5, 1e10, DBL_MAX};
    for (uint32_t dtype : vt::dtypes) {
        const size_t count = 300;
        for (const auto kind : {vt::Raster::bits, vt::Raster::mixed}) {
            const Bytes src = vt::random_raster(dtype, count, 29 + dtype, kind);
            for (double step : steps) {
                for (uint8_t mode = 0; mode < 4; ++mode) {
                    const quant_grid grid = grid_of(mode, step);
                    Bytes stream(src.size()), back(src.size());
                    if (quant_log_encode(stream.data(), src.data(), &grid, dtype, count) != 0)
                        continue;
                    ASSERT_EQ(
                        quant_log_decode(back.data(), stream.data(), &grid, int(dtype), count), 0);
                }
            }
        }
    }
    // Just below the level limit the level count passes the largest 16-bit
    // index; +inf must still encode as a positive index.
    const quant_grid edge = grid_of(0, 40.0 / 32766.5);
    const uint16_t infinity = 0x7C00;
    int16_t index = 0;
    ASSERT_EQ(quant_log_encode(&index, &infinity, &edge, 8, 1), 0);
    EXPECT_EQ(index, 32767);
}
