// The square-root quantiser: worked values, refusals, the resolver's
// messages, and the bound held at every sample of many rasters.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "lossy/quant_sqrt_grid.h"
#include "support/quant_sqrt_oracle.h"
#include "support/support.h"
#include "wrap/failing_malloc.h"

namespace {

constexpr double inf = std::numeric_limits<double>::infinity();

quant_spec spec_ab(double n, double a, double b) { return {n, a, b, 1}; }

quant_sqrt_stats stats_of(const void *src, unsigned dtype, size_t count) {
    quant_sqrt_stats stats;
    EXPECT_EQ(quant_sqrt_scan(src, dtype, count, &stats), 0);
    return stats;
}

struct Resolved {
    int result;
    quant_grid grid;
    std::string message;
};

Resolved resolve(const quant_spec &spec, unsigned dtype, const quant_sqrt_stats &stats,
                 const quant_sqrt_curve *curve = nullptr) {
    Resolved r{0, {}, ""};
    char err[256] = "";
    r.result = quant_sqrt_resolve(&spec, dtype, &stats, curve, &r.grid, err, sizeof err);
    r.message = err;
    return r;
}

// Encodes, decodes and measures; the worst ratio of error to bound.
double round_trip(const vt::Bytes &raster, unsigned dtype, const quant_grid &grid,
                  const quant_spec &spec, vt::Bytes *stream = nullptr, vt::Bytes *out = nullptr) {
    const size_t count = raster.size() / vt::dtype_bytes(dtype);
    vt::Bytes codes(raster.size()), rebuilt(raster.size());
    EXPECT_EQ(quant_sqrt_encode(codes.data(), raster.data(), &grid, dtype, count), 0);
    EXPECT_EQ(quant_sqrt_decode(rebuilt.data(), codes.data(), &grid, dtype, count), 0);
    double worst = -1;
    EXPECT_EQ(
        quant_sqrt_verify(raster.data(), rebuilt.data(), &spec, nullptr, dtype, count, &worst), 0);
    if (stream) *stream = codes;
    if (out) *out = rebuilt;
    return worst;
}

} // namespace

TEST(QuantSqrt, WorkedU16Example) {
    const uint16_t raster[] = {100, 110, 0, 65535};
    const quant_spec spec = spec_ab(2, 0, 1);
    const Resolved r = resolve(spec, 1, stats_of(raster, 1, 4));
    ASSERT_EQ(r.result, 0) << r.message;
    EXPECT_EQ(r.grid.step, 1.0);
    EXPECT_EQ(r.grid.offset, 0.0);
    EXPECT_EQ(r.grid.mode, 1); // no negatives, index mode
    EXPECT_EQ(varda::sqrt_grid(r.grid, 1).top_index, 257u);

    uint16_t codes[4], back[4];
    ASSERT_EQ(quant_sqrt_encode(codes, raster, &r.grid, 1, 4), 0);
    EXPECT_EQ(codes[0], 10);
    EXPECT_EQ(codes[1], 10);
    EXPECT_EQ(codes[2], 0);
    EXPECT_EQ(codes[3], 256);
    ASSERT_EQ(quant_sqrt_decode(back, codes, &r.grid, 1, 4), 0);
    EXPECT_EQ(back[0], 100);
    EXPECT_EQ(back[1], 100);
    EXPECT_EQ(back[3], 65535); // 256^2 clamps
    EXPECT_NEAR(quant_sqrt_bound(&spec, nullptr, 110), 20.976, 1e-3);
    double worst;
    ASSERT_EQ(quant_sqrt_verify(raster, back, &spec, nullptr, 1, 4, &worst), 0);
    EXPECT_DOUBLE_EQ(worst, 10 / (2 * std::sqrt(110.0)));
}

// A step far below one grey level puts 8- and 16-bit integers in value
// mode: every sample survives and the stream is its own decode.
TEST(QuantSqrt, ValueModeForTinySteps) {
    for (unsigned dtype : {0u, 4u, 5u}) {
        vt::Bytes raster = vt::random_field(vt::dtype_bytes(dtype), 999, 3).bytes;
        // Under one grey level of bound everywhere: the samples must survive.
        const quant_spec spec = spec_ab(1e-3, 32768, 1);
        const Resolved r = resolve(spec, dtype, stats_of(raster.data(), dtype, 999));
        ASSERT_EQ(r.result, 0) << r.message;
        EXPECT_EQ(r.grid.mode & 2, 2);
        vt::Bytes stream, out;
        EXPECT_EQ(round_trip(raster, dtype, r.grid, spec, &stream, &out), 0.0);
        EXPECT_EQ(stream, raster);
        EXPECT_EQ(out, raster);
    }
}

TEST(QuantSqrt, NonFiniteSamples) {
    const float f32[] = {std::nanf(""), -INFINITY, INFINITY, 1.0f};
    const quant_grid grid{1, 0.5, 2};
    const uint64_t top = varda::sqrt_grid(grid, 9).top_index;
    uint32_t codes[4];
    ASSERT_EQ(quant_sqrt_encode(codes, f32, &grid, 9, 4), 0);
    EXPECT_EQ(codes[0], 0u);
    EXPECT_EQ(codes[1], 0u);
    EXPECT_EQ(codes[2], top);
    float back[4];
    ASSERT_EQ(quant_sqrt_decode(back, codes, &grid, 9, 4), 0);
    EXPECT_EQ(back[0], 0.0f);               // -offset clamps at 0 under mode bit 0
    const double root = 2147483647.0 * 0.5; // J is the 4-byte limit here
    EXPECT_EQ(back[2], float(root * root - 2));

    const uint16_t f16[] = {0x7E00, 0xFC00, 0x7C00};
    const quant_grid half{0, 0.25, 0};
    uint16_t half_codes[3];
    ASSERT_EQ(quant_sqrt_encode(half_codes, f16, &half, 8, 3), 0);
    EXPECT_EQ(half_codes[0], 0);
    EXPECT_EQ(half_codes[1], 0);
    EXPECT_EQ(half_codes[2], varda::sqrt_grid(half, 8).top_index);
    EXPECT_EQ(varda::sqrt_grid(half, 8).top_index, 1025u); // ceil(sqrt(65504) / 0.25) + 1

    quant_sqrt_stats stats;
    EXPECT_EQ(quant_sqrt_scan(f32, 9, 3, &stats), 1);
    EXPECT_EQ(stats.min, inf);
    EXPECT_EQ(stats.max, -inf);
    EXPECT_EQ(stats.nonfinite, 1);
    EXPECT_EQ(quant_sqrt_scan(f32, 9, 4, &stats), 0);
    EXPECT_EQ(stats.min, 1.0);
    EXPECT_EQ(stats.negatives, 0);
}

TEST(QuantSqrt, EncoderAndDecoderRefuseBadGridsWithoutWriting) {
    const struct {
        quant_grid grid;
        unsigned dtype;
    } bad[] = {
        {{0, 1, 0}, 11},      {{0, 1, 0}, unsigned(-1)},
        {{8, 1, 0}, 1},       {{4, 1, 0}, 10},
        {{4, 1, 0}, 8},       {{5, 1, 0}, 1},
        {{0, 0, 0}, 1},       {{0, -1, 0}, 1},
        {{0, NAN, 0}, 9},     {{0, INFINITY, 0}, 9},
        {{0, 1e-155, 0}, 10}, {{0, 1, -1}, 1},
        {{0, 1, NAN}, 1},     {{0, 1, INFINITY}, 1},
    };
    const vt::Bytes src(64, 1);
    for (const auto &b : bad) {
        for (auto kernel : {quant_sqrt_encode, quant_sqrt_decode}) {
            auto dst = vt::canary(64);
            EXPECT_EQ(kernel(dst.data(), src.data(), &b.grid, b.dtype, 8), 1);
            EXPECT_EQ(dst, vt::canary(64));
        }
    }
    for (auto kernel : {quant_sqrt_encode, quant_sqrt_decode}) {
        auto dst = vt::canary(64);
        EXPECT_EQ(kernel(dst.data(), src.data(), nullptr, 1, 8), 1);
        EXPECT_EQ(dst, vt::canary(64));
    }
    // The smallest step whose square is normal is fine; mode bit 2 on f32.
    const quant_grid edge{4, 0x1p-511, 0};
    float out;
    const uint32_t index = 1;
    EXPECT_EQ(quant_sqrt_decode(&out, &index, &edge, 9, 1), 0);
}

TEST(QuantSqrt, IndexZeroWithModeBitZeroRebuildsZero) {
    for (unsigned dtype = 0; dtype < 11; ++dtype) {
        for (uint8_t mode : {0, 1}) {
            const quant_grid grid{mode, 1, 5};
            const uint64_t zero = 0;
            unsigned char out[8];
            ASSERT_EQ(quant_sqrt_decode(out, &zero, &grid, dtype, 1), 0);
            const bool clamps = mode == 1 || dtype < 4;
            const vt::Bytes rebuilt(out, out + vt::dtype_bytes(dtype));
            EXPECT_EQ(vt::sample_at(dtype, rebuilt, 0), clamps ? 0.0 : -5.0) << dtype;
        }
    }
}

TEST(QuantSqrt, BoundAndVerifyChooseTheirCurve) {
    const quant_spec given = spec_ab(2, 4, 0.5), none{2, 9, 9, 0};
    quant_sqrt_curve held{-3, 0.25, 1, 100, 24, 10, 1, 0.01};
    quant_sqrt_curve failed = held;
    failed.held = 0;
    quant_sqrt_curve flat = held;
    flat.b = 0;
    EXPECT_DOUBLE_EQ(quant_sqrt_bound(&given, nullptr, 10), 2 * 3);
    EXPECT_DOUBLE_EQ(quant_sqrt_bound(&given, &held, 10), 2 * 3); // the recipe's own A and B win
    EXPECT_EQ(quant_sqrt_bound(&given, nullptr, -8), 0.0);
    EXPECT_EQ(quant_sqrt_bound(&none, nullptr, 10), 0.0);
    EXPECT_DOUBLE_EQ(quant_sqrt_bound(&none, &held, 16), 2 * 2); // a raised to 0
    EXPECT_EQ(quant_sqrt_bound(&none, &failed, 16), 0.0);
    EXPECT_EQ(quant_sqrt_bound(&none, &flat, 16), 0.0);
    EXPECT_EQ(quant_sqrt_bound(nullptr, &held, 16), 0.0);

    const double orig[] = {10, 16, -8, NAN, 1};
    const double rebuilt[] = {13, 16, 0, 5, NAN};
    double worst = -1;
    EXPECT_EQ(quant_sqrt_verify(orig, rebuilt, &given, nullptr, 10, 4, &worst), 0);
    EXPECT_DOUBLE_EQ(worst, 0.5); // 3 / 6; -8 has no bound, a NaN original none either
    // A finite sample rebuilt as NaN kept no bound.
    EXPECT_EQ(quant_sqrt_verify(orig, rebuilt, &given, nullptr, 10, 5, &worst), 0);
    EXPECT_EQ(worst, INFINITY);
    EXPECT_EQ(quant_sqrt_verify(orig, orig, &given, nullptr, 10, 5, &worst), 0);
    EXPECT_EQ(worst, 0.0);
    EXPECT_EQ(quant_sqrt_verify(orig, rebuilt, &given, nullptr, 10, 5, nullptr), 0);
    const quant_spec zero = spec_ab(0, 4, 0.5);
    EXPECT_EQ(quant_sqrt_verify(orig, rebuilt, &zero, nullptr, 10, 5, &worst), 1);
    EXPECT_EQ(quant_sqrt_verify(orig, rebuilt, &none, &failed, 10, 5, &worst), 1);
    EXPECT_EQ(quant_sqrt_verify(orig, rebuilt, &given, nullptr, 11, 5, &worst), 1);
}

TEST(QuantSqrt, ResolveMessages) {
    const quant_sqrt_stats pos{0, 1000, 0, 0}, neg{-30, 1000, 1, 0};
    const quant_sqrt_curve not_held{0, -0.5, 0, 480, 7, 3.25, 12.5, 0.1234};
    const struct {
        quant_spec spec;
        unsigned dtype;
        quant_sqrt_stats stats;
        const quant_sqrt_curve *curve;
        const char *message;
    } cases[] = {
        {spec_ab(2, 0, 1), 11, pos, nullptr, "dtype 11 is not a type this codec knows"},
        {spec_ab(2, 0, 1), unsigned(-1), pos, nullptr, "dtype -1 is not a type this codec knows"},
        {spec_ab(0, 0, 1), 1, pos, nullptr, "MAX_ERROR must be positive"},
        {spec_ab(NAN, 0, 1), 1, pos, nullptr, "MAX_ERROR must be positive"},
        {spec_ab(2, 4, -1), 1, pos, nullptr,
         "a MAX_ERROR of 2 with A=4 and B=-1 does not give a curve"},
        {spec_ab(2, 4, 0), 1, pos, nullptr,
         "a MAX_ERROR of 2 with A=4 and B=0 does not give a curve"},
        {spec_ab(2, -4, 1), 1, pos, nullptr,
         "a MAX_ERROR of 2 with A=-4 and B=1 does not give a curve"},
        {spec_ab(2, 1e300, 1e-300), 1, pos, nullptr,
         "a MAX_ERROR of 2 with A=1e+300 and B=1e-300 does not give a curve"},
        {{2, 0, 0, 0},
         1,
         pos,
         nullptr,
         "this recipe carries no A and B, so it needs a curve from quant_sqrt_fit"},
        {{2, 0, 0, 0},
         1,
         pos,
         &not_held,
         "the fit did not hold: 480 blocks over 7 bins, range 3.2x, collinearity 12.5, residual "
         "0.123"},
        {spec_ab(2, 20, 1), 5, neg, nullptr,
         "a shot bound is defined at or above -A/B, which is -20, and this raster reaches -30"},
        {spec_ab(1e-12, 0, 1),
         2,
         {0, 4e9, 0, 0},
         nullptr,
         "this bound needs 1.26491e+17 levels over this raster, past the 7.506e+14 the "
         "arithmetic that finds one resolves"},
        {spec_ab(1e-3, 0, 1),
         9,
         {0, 1e30, 0, 0},
         nullptr,
         "this bound is at or below the rounding of the output type between 0 and 1e+30, where "
         "the type resolves 5.96046e+07 and the bound asks for 0.001"},
        {spec_ab(0.00226934, 0, 1.76752e-09),
         3,
         {0, 7.6543e14, 0, 0},
         nullptr,
         "this bound stays under one unit up to 1.09859e+14, past the 4.1943e+06 where this "
         "grid rebuilds whole numbers exactly"},
        {spec_ab(2, 4, 1),
         10,
         {-4, 5, 1, 0},
         nullptr, // at -A/B a float has no grid
         "this bound is at or below the rounding of the output type between -4 and 5, where the "
         "type resolves inf and the bound asks for 2"},
        {spec_ab(0.0489, 0, 1),
         8,
         {0, 10000, 0, 0},
         nullptr,
         "this bound needs more levels than a 2-byte index carries"},
    };
    for (const auto &c : cases) {
        const Resolved r = resolve(c.spec, c.dtype, c.stats, c.curve);
        EXPECT_EQ(r.result, 1) << c.message;
        EXPECT_EQ(r.message, c.message);
    }
    // The fitted curve's intercept counts from 0 when it is negative.
    const quant_sqrt_curve held{-7, 0.5, 1, 480, 24, 3, 1, 0.01};
    const Resolved fitted = resolve({2, 0, 0, 0}, 9, pos, &held);
    ASSERT_EQ(fitted.result, 0) << fitted.message;
    EXPECT_EQ(fitted.grid.offset, 0.0);
}

// 8- and 16-bit integer tiles decode through a table once they hold more
// than twice as many samples as levels; the table, the direct rule and a
// failed table allocation agree, indices above the top included.
TEST(QuantSqrt, DecodeTableMatchesDirectRule) {
    for (unsigned dtype : {0u, 1u, 4u, 5u}) {
        for (const quant_grid grid : {quant_grid{0, 0.75, 3.5}, quant_grid{1, 0.75, 3.5},
                                      quant_grid{0, 7.5, 0}, quant_grid{1, 0.02, 100}}) {
            const size_t size = vt::dtype_bytes(dtype), count = 5000;
            const vt::Bytes codes = vt::random_field(size, count, dtype).bytes;
            vt::Bytes table(codes.size()), direct(codes.size()), fallback(codes.size());
            ASSERT_EQ(quant_sqrt_decode(table.data(), codes.data(), &grid, dtype, count), 0);
            for (size_t i = 0; i < count; ++i)
                ASSERT_EQ(quant_sqrt_decode(direct.data() + i * size, codes.data() + i * size,
                                            &grid, dtype, 1),
                          0);
            {
                const vt::MallocWatch fail(true, 0);
                ASSERT_EQ(quant_sqrt_decode(fallback.data(), codes.data(), &grid, dtype, count), 0);
            }
            EXPECT_EQ(table, direct) << dtype;
            EXPECT_EQ(fallback, direct) << dtype;
        }
    }
}

// Float value streams hold signed integers of the sample's width; a grid
// that rebuilds past them saturates instead of overflowing.
TEST(QuantSqrt, FloatValueStreamsSaturate) {
    const quant_grid up{2, 1e-3, 0}, down{2, 1e-3, 1e19}; // down rebuilds index 0 to -1e19
    const float f32[] = {3e38f, 2.0f, 1e5f, -3e38f};
    int32_t values[4];
    ASSERT_EQ(quant_sqrt_encode(values, f32, &up, 9, 3), 0);
    ASSERT_EQ(quant_sqrt_encode(values + 3, f32 + 3, &down, 9, 1), 0);
    EXPECT_EQ(values[0], 2147483647);
    EXPECT_EQ(values[1], 2);
    EXPECT_EQ(values[2], 100000);
    EXPECT_EQ(values[3], -2147483647 - 1);
    // f16 rebuilds in binary32, where -65504's own level on `down` lands
    // above the type; -inf takes index 0, which rebuilds to -1e19.
    const uint16_t f16[] = {0x7BFF, 0xFC00};
    int16_t half_values[2];
    ASSERT_EQ(quant_sqrt_encode(half_values, f16, &up, 8, 1), 0);
    ASSERT_EQ(quant_sqrt_encode(half_values + 1, f16 + 1, &down, 8, 1), 0);
    EXPECT_EQ(half_values[0], 32767);
    EXPECT_EQ(half_values[1], -32768);
    const double f64[] = {1e300, -1e300};
    int64_t wide[2];
    ASSERT_EQ(quant_sqrt_encode(wide, f64, &up, 10, 1), 0);
    ASSERT_EQ(quant_sqrt_encode(wide + 1, f64 + 1, &down, 10, 1), 0);
    EXPECT_EQ(wide[0], 9223372036854774784);
    EXPECT_EQ(wide[1], INT64_MIN);
    // The value stream decodes by conversion, clamped at 0 under mode bit 0.
    const quant_grid clamped{3, 1e-3, 0};
    const int32_t stream[] = {2147483647, -5, 7};
    float back[3];
    ASSERT_EQ(quant_sqrt_decode(back, stream, &clamped, 9, 3), 0);
    EXPECT_EQ(back[0], 2147483648.0f);
    EXPECT_EQ(back[1], 0.0f);
    EXPECT_EQ(back[2], 7.0f);
}

// A float value stream holds the whole number nearest to what the index
// decoder rebuilds: binary32 arithmetic for f16 and single-precision f32,
// double otherwise. Checked against that arithmetic written out, on every
// f16 pattern and on random f32 samples, over random grids.
TEST(QuantSqrt, FloatValueStreamsRoundTheDecodersRebuild) {
    auto expected = [](double x, const quant_grid &grid, unsigned dtype, bool binary32) {
        const varda::SqrtGrid g = varda::sqrt_grid(grid, dtype);
        const uint64_t k = varda::sqrt_index(x, g, 1.0 / (grid.step * grid.step));
        const double low = grid.mode & 1 ? 0.0 : varda::sqrt_lowest(dtype);
        const double high = varda::sqrt_largest(dtype);
        double y;
        if (binary32) {
            const float root = float(k) * float(grid.step);
            const float level = root * root - float(grid.offset);
            y = float(low) < level ? std::fmin(level, float(high)) : float(low);
        } else {
            const double root = double(k) * grid.step, level = root * root - grid.offset;
            y = low < level ? std::fmin(level, high) : low;
        }
        const double limit = dtype == 8 ? 32768.0 : 0x1p31;
        return std::fmin(std::fmax(varda::round_half_away(y), -limit), limit - 1);
    };
    std::mt19937_64 rng(20);
    std::uniform_real_distribution<double> unit(0, 1);
    std::vector<uint16_t> halves;
    for (uint32_t bits = 0; bits < 0x10000; ++bits)
        if ((bits & 0x7C00) != 0x7C00) halves.push_back(uint16_t(bits));
    std::vector<float> floats(20000);
    int differ_from_double = 0;
    for (int trial = 0; trial < 40; ++trial) {
        const uint8_t mode = uint8_t(2 | (trial & 1));
        const double step = std::pow(10.0, -3 + 4 * unit(rng));
        const double offset = trial % 3 == 0 ? 0.0 : std::pow(10.0, -2 + 6 * unit(rng));
        const quant_grid grid{mode, step, offset};
        std::vector<int16_t> half_values(halves.size());
        ASSERT_EQ(quant_sqrt_encode(half_values.data(), halves.data(), &grid, 8, halves.size()), 0);
        for (size_t i = 0; i < halves.size(); ++i) {
            const double x = varda::half_to_float(halves[i]);
            ASSERT_EQ(half_values[i], expected(x, grid, 8, true))
                << x << " step " << step << " offset " << offset;
            differ_from_double += half_values[i] != expected(x, grid, 8, false);
        }
        const quant_grid single{uint8_t(mode | 4), step, offset};
        for (float &x : floats) x = float((unit(rng) - 0.25) * std::pow(10.0, 9 * unit(rng)));
        std::vector<int32_t> values(floats.size());
        ASSERT_EQ(quant_sqrt_encode(values.data(), floats.data(), &single, 9, floats.size()), 0);
        for (size_t i = 0; i < floats.size(); ++i)
            ASSERT_EQ(values[i], expected(floats[i], single, 9, true))
                << floats[i] << " step " << step << " offset " << offset;
    }
    EXPECT_GT(differ_from_double, 0); // the grids reach the cases that tell the two apart

    // The worked case, and a step whose binary32 rounding is infinite:
    // index 0 rebuilds as 0 x inf, NaN, which the clamp sends to the low end.
    const uint16_t f16[] = {varda::float_to_half(23296.0f), varda::float_to_half(5.0f), 0xC200};
    int16_t out[3];
    const quant_grid worked{2, 0.04458186000012198, 0};
    ASSERT_EQ(quant_sqrt_encode(out, f16, &worked, 8, 1), 0);
    EXPECT_EQ(out[0], 23301); // 23301.498 in binary32; 23301.5 in double
    for (uint8_t mode : {2, 3}) {
        const quant_grid huge{mode, 1e300, 0};
        ASSERT_EQ(quant_sqrt_encode(out, f16, &huge, 8, 3), 0);
        for (int16_t v : out) EXPECT_EQ(v, mode == 2 ? -32768 : 0);
    }
}

// Below the smallest normal, floats round by a fixed spacing, which the
// step does not leave room for. Over every f16 value of each range, a
// grid is refused for that exactly when some value comes back outside its
// bound, and the Part's own refusals come first.
TEST(QuantSqrt, SubnormalRefusalExactlyWhereAHalfValueMissesItsBound) {
    const char *prefix = "this bound is at or below the rounding of the output type between ";
    std::vector<uint16_t> every;
    for (uint32_t bits = 0; bits < 0x10000; ++bits)
        if ((bits & 0x7C00) != 0x7C00) every.push_back(uint16_t(bits));
    std::mt19937_64 rng(14);
    std::uniform_real_distribution<double> unit(0, 1);
    int refused = 0, kept = 0;
    for (int trial = 0; trial < 300; ++trial) {
        const double sigmas = std::pow(10.0, -4 + 4 * unit(rng));
        const double b = std::pow(10.0, -4 + 5 * unit(rng));
        const double a = trial % 3 ? 0.0 : b * std::pow(10.0, -9 + 6 * unit(rng));
        const double hi = std::pow(10.0, -7.5 + 6 * unit(rng));
        const double lo = trial % 4 == 1 ? -std::fmin(a / b, hi) * unit(rng) : 0.0;
        const quant_spec spec = spec_ab(sigmas, a, b);
        std::vector<uint16_t> raster;
        for (uint16_t bits : every) {
            const double x = varda::half_to_float(bits);
            if (x >= lo && x <= hi) raster.push_back(bits);
        }
        const Resolved r = resolve(spec, 8, stats_of(raster.data(), 8, raster.size()));
        const bool tried = r.result == 1 && r.grid.step > 0 && r.message.rfind(prefix, 0) == 0;
        if (r.result == 1 && !tried) continue;
        vt::Bytes bytes(raster.size() * 2);
        std::memcpy(bytes.data(), raster.data(), bytes.size());
        const double worst = round_trip(bytes, 8, r.grid, spec);
        const std::string grid = "N " + std::to_string(sigmas) + " A " + std::to_string(a) + " B " +
                                 std::to_string(b) + " to " + std::to_string(hi);
        if (tried) {
            EXPECT_GT(worst, 1.0) << grid << ": " << r.message;
            ++refused;
        } else {
            EXPECT_LE(worst, 1.0) << grid;
            kept += hi < 0x1p-14;
        }
    }
    EXPECT_GT(refused, 10);
    EXPECT_GT(kept, 10);

    // Refused for its levels, whatever the subnormal spacing would say.
    Resolved r = resolve(spec_ab(5e-4, 0, 1), 8, {0, 1, 0, 0});
    EXPECT_EQ(r.message, "this bound needs more levels than a 2-byte index carries");
    // Reaches only into the subnormal spacing and keeps the bound there.
    r = resolve(spec_ab(0.01, 0, 1), 8, {0, 9.954e-6, 0, 0});
    ASSERT_EQ(r.result, 0) << r.message;
    EXPECT_NEAR(r.grid.step, 0.00999846, 5e-9);
    // The figures compared: half a spacing of error against the bound at
    // the value that missed it.
    r = resolve(spec_ab(1.6e-4, 0, 0.185), 8, {0, 9e-5, 0, 0});
    EXPECT_EQ(r.message, std::string(prefix) +
                             "0 and 9e-05, where the type resolves 5.96046e-08 and the bound "
                             "asks for 3.75691e-08 at 2.98023e-07");
}

// The same for f32, where the values below the smallest normal are too
// many to try them all: grids accepted keep the bound on a sample of
// them, and a refusal always has a value that misses it.
TEST(QuantSqrt, SubnormalRefusalOnSingleFloats) {
    constexpr double spacing = 0x1p-149;
    std::mt19937_64 rng(32);
    std::uniform_real_distribution<double> unit(0, 1);
    int refused = 0, kept = 0;
    for (int trial = 0; trial < 120; ++trial) {
        const double units = std::floor(std::pow(2.0, 4 + 20 * unit(rng)));
        const double hi = units * spacing;
        const double b = hi * std::pow(10.0, -3 + 3 * unit(rng));
        const double sigmas = std::pow(10.0, -3 + 3 * unit(rng));
        const double a = trial % 3 ? 0.0 : b * hi * unit(rng);
        const quant_spec spec = spec_ab(sigmas, a, b);
        const Resolved r = resolve(spec, 9, {0, hi, 0, 0});
        const bool tried =
            r.result == 1 && r.grid.step > 0 && r.message.find(" at ") != std::string::npos;
        if (r.result == 1 && !tried) continue;
        // Every value when they are few, else random ones and those beside
        // the lower edges of the levels, where a bin's error peaks.
        std::vector<double> values;
        if (units <= 65536 || tried) {
            if (units > 65536) continue;
            for (double j = 0; j <= units; ++j) values.push_back(j * spacing);
        } else {
            const double step = r.grid.step, offset = r.grid.offset;
            const double levels = std::sqrt(hi + offset) / step;
            for (int i = 0; i < 30000; ++i) {
                double j = std::floor(unit(rng) * units);
                if (i % 2) {
                    const double k = std::ceil(unit(rng) * levels);
                    j = std::floor((((k - 0.5) * (k - 0.5) + 0.25) * step * step - offset) /
                                   spacing) +
                        double(i % 5) - 2;
                }
                values.push_back(std::fmin(std::fmax(j, 0.0), units) * spacing);
            }
        }
        const double worst = round_trip(vt::raster_of(9, values), 9, r.grid, spec);
        if (tried) {
            EXPECT_GT(worst, 1.0) << r.message;
            ++refused;
        } else {
            EXPECT_LE(worst, 1.0) << "N " << sigmas << " A " << a << " B " << b << " to " << hi;
            ++kept;
        }
    }
    EXPECT_GT(refused, 5);
    EXPECT_GT(kept, 20);
}

// The promise: every finite sample comes back within N sigmas of its noise,
// for every type, over rasters from gentle to extreme.
TEST(QuantSqrt, EverySampleWithinTheBound) {
    std::mt19937_64 rng(2024);
    std::uniform_real_distribution<double> unit(0, 1);
    int resolved = 0, trials = 0;
    for (unsigned dtype = 0; dtype < 11; ++dtype) {
        const double top = dtype == 10 ? 1.7976931348623157e308 : varda::sqrt_largest(dtype);
        for (int trial = 0; trial < 60; ++trial) {
            const double sigmas = std::pow(10.0, -3 + 5 * unit(rng));
            const double b = std::pow(10.0, -8 + 12 * unit(rng));
            const double a = trial % 3 == 0 ? 0 : b * std::pow(10.0, -2 + 8 * unit(rng));
            const double hi = top * std::pow(10.0, -12 * unit(rng) * unit(rng));
            // Down to -A/B itself now and then, where floats have no grid.
            const double reach = trial % 4 == 1 ? 1 : unit(rng);
            const double lo = std::fmax(-a / b * reach, varda::sqrt_lowest(dtype));
            std::vector<double> values(4096);
            for (size_t i = 0; i < 4096; ++i) {
                double x = lo + (hi - lo) * std::pow(unit(rng), 4);
                if (i % 97 == 0) x = i % 2 ? hi : lo;
                values[i] = dtype >= 8 ? x : std::round(x);
            }
            if (dtype >= 8 && trial % 5 == 0) values[0] = NAN;
            const vt::Bytes raster = vt::raster_of(dtype, values);
            const quant_spec spec = spec_ab(sigmas, a, b);
            quant_sqrt_stats stats;
            if (quant_sqrt_scan(raster.data(), dtype, 4096, &stats) != 0) continue;
            ++trials;
            const Resolved r = resolve(spec, dtype, stats);
            if (r.result != 0) continue;
            ++resolved;
            const double worst = round_trip(raster, dtype, r.grid, spec);
            ASSERT_LE(worst, 1.0) << "dtype " << dtype << " N " << sigmas << " A " << a << " B "
                                  << b << " mode " << int(r.grid.mode);
        }
    }
    EXPECT_GT(resolved, trials / 2);
}

// Samples on the edges between levels, where the index search can be off
// and, for integers, the bound is near one grey level: without the
// encoder's check against the grid's error these came back one unit off.
TEST(QuantSqrt, LevelEdgesStayWithinTheBound) {
    const struct {
        unsigned dtype;
        quant_spec spec;
        double lo, hi;
    } cases[] = {
        {3, spec_ab(1e-3, 0, 0.3), 0, 2e14},           {7, spec_ab(1e-3, 3, 0.3), -5, 2e14},
        {2, spec_ab(0.05, 0, 0.2), 1e4, 4e9},          {6, spec_ab(0.05, 5, 0.3), -15, 2e9},
        {1, spec_ab(1e-3, 4e5, 1), 0, 65535},          {1, spec_ab(0.05, 0, 0.4), 0, 65535},
        {8, spec_ab(0.007, 1.6e-2, 7.98e-4), 0, 5e-4}, {8, spec_ab(0.00236, 93, 0.228), 0, 0.065},
        {9, spec_ab(1e-3, 1e-6, 1e-4), 0, 1e3},        {9, spec_ab(0.1, 0, 1e-2), 0, 1e3},
    };
    std::mt19937_64 rng(77);
    for (const auto &c : cases) {
        const quant_sqrt_stats stats{c.lo, c.hi, c.lo < 0, 0};
        const Resolved r = resolve(c.spec, c.dtype, stats);
        ASSERT_EQ(r.result, 0) << r.message;
        const double step = r.grid.step, offset = r.grid.offset;
        const double first = std::ceil(std::sqrt(c.lo + offset) / step);
        const double last = std::floor(std::sqrt(c.hi + offset) / step) - 1;
        std::uniform_real_distribution<double> level(first, last);
        std::vector<double> values(20000);
        for (size_t i = 0; i < values.size(); ++i) {
            const double k = std::floor(level(rng));
            const double edge = ((k + 0.5) * (k + 0.5) + 0.25) * step * step - offset;
            const double x = i % 3 == 0 ? edge : std::nextafter(edge, i % 3 == 1 ? -inf : inf);
            const double inside = std::fmin(std::fmax(x, c.lo), c.hi);
            values[i] = c.dtype >= 8 ? inside : std::round(inside);
        }
        const vt::Bytes raster = vt::raster_of(c.dtype, values);
        EXPECT_LE(round_trip(raster, c.dtype, r.grid, c.spec), 1.0) << "dtype " << c.dtype;
    }
}

// An f32 grid rebuilt in binary32 arithmetic leaves room for that rounding
// in its step, so samples at level edges keep the index of the formula.
TEST(QuantSqrt, SinglePrecisionEdgesKeepTheFormulaIndex) {
    const struct {
        quant_spec spec;
        double lo, hi;
    } cases[] = {
        {spec_ab(2, 0, 1), 0, 1e3},      {spec_ab(1, 4, 0.5), -8, 1e4},
        {spec_ab(0.1, 0, 1e-2), 0, 1e3}, {spec_ab(3, 100, 0.01), -1e4, 1e6},
        {spec_ab(1e-3, 5, 1), -5, 1e5},  {spec_ab(1, 0, 1e-4), 0, 1e6},
    };
    std::mt19937_64 rng(31);
    for (const auto &c : cases) {
        const Resolved r = resolve(c.spec, 9, quant_sqrt_stats{c.lo, c.hi, c.lo < 0, 0});
        ASSERT_EQ(r.result, 0) << r.message;
        ASSERT_EQ(r.grid.mode & 4, 4);
        const double step = r.grid.step, offset = r.grid.offset;
        std::uniform_real_distribution<double> level(std::sqrt(c.lo + offset) / step,
                                                     std::sqrt(c.hi + offset) / step - 1);
        std::vector<float> samples;
        for (int i = 0; i < 3000; ++i) {
            const double k = std::floor(level(rng));
            float x = float(((k + 0.5) * (k + 0.5) + 0.25) * step * step - offset);
            for (int j = 0; j < 2; ++j) x = std::nextafter(x, -INFINITY);
            for (int j = 0; j < 5; ++j, x = std::nextafter(x, INFINITY))
                if (x >= c.lo && x <= c.hi) samples.push_back(x);
        }
        std::vector<uint32_t> codes(samples.size());
        ASSERT_EQ(quant_sqrt_encode(codes.data(), samples.data(), &r.grid, 9, samples.size()), 0);
        const double top = double(varda::sqrt_grid(r.grid, 9).top_index);
        int moved = 0;
        for (size_t i = 0; i < samples.size(); ++i) {
            const double q = (double(samples[i]) + offset) * (1.0 / (step * step));
            const double root = std::sqrt(q - 0.25) + 0.5;
            const double formula = q > 0.25 ? (root >= top ? top : std::trunc(root)) : 0;
            moved += double(codes[i]) != formula;
        }
        EXPECT_EQ(moved, 0) << "N " << c.spec.max_error << " A " << c.spec.a << " B " << c.spec.b;
    }
}

// Below the smallest normal, floats round by a fixed spacing; a grid whose
// step leaves no room for it there is refused. Zeros alone do not count.
TEST(QuantSqrt, SubnormalReachRefusedWhenTheStepLeavesNoRoom) {
    const struct {
        unsigned dtype;
        quant_spec spec;
        quant_sqrt_stats stats;
        bool refused;
    } cases[] = {
        {8, spec_ab(1.6e-4, 0, 0.185), {0, 9e-5, 0, 0}, true},
        {8, spec_ab(1.6e-4, 0, 0.185), {1e-4, 9e-3, 0, 0}, false}, // stays normal
        {8, spec_ab(2, 0, 0.5), {0, 1000, 0, 0}, false},
        {9, spec_ab(0.0086, 0, 6.1e-42), {0, 3.6e-42, 0, 0}, true},
        {9, spec_ab(1e-3, 0, 1e-4), {0, 1, 0, 0}, false},
        {10, spec_ab(1e-3, 0, 1e-300), {0, 1e-300, 0, 0}, false},
        // The room left for rounding is tiny beside the step, but there.
        {10, spec_ab(2, 0, 1), {0, 1, 0, 0}, false},
        {10, spec_ab(1, 0, 4), {-0.0, 4, 0, 0}, false},
        // Zeros alone without offset rebuild exactly.
        {8, spec_ab(2, 0, 1), {0, 0, 0, 0}, false},
        {10, spec_ab(2, 0, 1), {0, 0, 0, 0}, false},
    };
    for (const auto &c : cases) {
        const Resolved r = resolve(c.spec, c.dtype, c.stats);
        EXPECT_EQ(r.result, c.refused ? 1 : 0) << r.message;
        if (c.refused) {
            EXPECT_EQ(r.message.rfind("this bound is at or below the rounding of the output "
                                      "type between ",
                                      0),
                      0u);
        }
    }
    const Resolved unit = resolve(spec_ab(2, 0, 1), 10, {0, 1, 0, 0});
    EXPECT_EQ(unit.grid.step, 2 - 0x1p-53 - 6.661338147750939e-16);
}

// Stored streams must not change: checksums of a few deterministic ones,
// index and value mode, f32 in single and double precision.
TEST(QuantSqrt, GoldenStreams) {
    const struct {
        unsigned dtype;
        quant_spec spec;
        double lo, hi;
        uint64_t stream, rebuilt;
    } cases[] = {
        {1, spec_ab(2, 40, 0.8), 50, 60000, 0xdf44fb72cc2b8771, 0xaece47aee371407d},
        {4, spec_ab(0.05, 400, 1), -40, 120, 0xa9464a728d836854, 0xa9464a728d836854},
        {8, spec_ab(1, 1, 0.01), 10, 1500, 0xff20463ff3f8af3f, 0x5f5114b3303714f6},
        {9, spec_ab(2, 1e-6, 2e-4), 0.001, 1, 0x343c179bbdea944c, 0x81f4aaa06b222585},
        {9, spec_ab(0.1, 0, 1e-4), 0.001, 1e6, 0xcb05e28517e6501f, 0x10f9cd7d57ca1567},
        {10, spec_ab(0.5, 4e-6, 2e-4), -1e-3, 1, 0xf5df419aa04d8cfa, 0x4d55171224c8ff2e},
    };
    for (const auto &c : cases) {
        const vt::Bytes raster =
            vt::shot_raster(c.dtype, 64, 16, c.lo, c.hi, c.spec.a, c.spec.b, 9);
        const Resolved r = resolve(c.spec, c.dtype, stats_of(raster.data(), c.dtype, 1024));
        ASSERT_EQ(r.result, 0) << r.message;
        vt::Bytes stream, out;
        EXPECT_LE(round_trip(raster, c.dtype, r.grid, c.spec, &stream, &out), 1.0);
        EXPECT_EQ(vt::fnv1a(stream.data(), stream.size()), c.stream) << c.dtype;
        EXPECT_EQ(vt::fnv1a(out.data(), out.size()), c.rebuilt) << c.dtype;
    }
    // Value streams of float grids, whose levels rebuild in binary32: f16,
    // and f32 on a single-precision grid.
    const struct {
        unsigned dtype;
        quant_grid grid;
        double hi;
        uint64_t stream;
    } values[] = {
        {8, {2, 0.04458186000012198, 0}, 30000, 0x8e23c80d03c18fc7},
        {9, {6, 0.0123, 35.5}, 3e7, 0x7c2b15103e3881a},
    };
    for (const auto &c : values) {
        const vt::Bytes raster = vt::shot_raster(c.dtype, 64, 16, -30, c.hi, 36, 1, 5);
        const size_t count = raster.size() / vt::dtype_bytes(c.dtype);
        vt::Bytes stream(raster.size());
        ASSERT_EQ(quant_sqrt_encode(stream.data(), raster.data(), &c.grid, c.dtype, count), 0);
        EXPECT_EQ(vt::fnv1a(stream.data(), stream.size()), c.stream) << c.dtype;
    }
}
