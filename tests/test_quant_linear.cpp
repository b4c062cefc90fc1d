// LINEAR quantiser: scan, resolve, encode, decode and verify; the bound on
// every dtype; the decoder's vector loops against its element-wise rules.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>

#include "lossy/quant_linear.h"
#include "support/lossy_support.h"

using vt::Bytes;
using vt::grid_of;

namespace {

// The stream and the rebuilt samples of `values` on `grid`.
std::pair<std::vector<int64_t>, std::vector<double>>
round_trip(uint32_t dtype, const std::vector<double> &values, quant_grid grid) {
    const Bytes src = vt::raster_of(dtype, values);
    Bytes stream(src.size()), back(src.size());
    EXPECT_EQ(quant_linear_encode(stream.data(), src.data(), &grid, dtype, values.size()), 0);
    EXPECT_EQ(quant_linear_decode(back.data(), stream.data(), &grid, dtype, values.size()), 0);
    std::vector<double> rebuilt;
    for (size_t i = 0; i < values.size(); ++i) rebuilt.push_back(vt::sample_at(dtype, back, i));
    return {vt::stream_values(dtype, stream), rebuilt};
}

// Scan, resolve, encode, decode, verify; -1 when resolve refuses.
double worst_after_round_trip(uint32_t dtype, const Bytes &src, double max_error) {
    const size_t count = src.size() / vt::dtype_bytes(dtype);
    quant_linear_stats stats{};
    quant_spec spec{};
    spec.max_error = max_error;
    quant_grid grid{};
    if (quant_linear_scan(src.data(), dtype, count, &stats) != 0 ||
        quant_linear_resolve(&spec, dtype, &stats, &grid, nullptr, 0) != 0)
        return -1;
    Bytes stream(src.size()), back(src.size());
    // A step below the smallest normal double resolves but is no grid.
    if (quant_linear_encode(stream.data(), src.data(), &grid, dtype, count) != 0) return -1;
    EXPECT_EQ(quant_linear_decode(back.data(), stream.data(), &grid, dtype, count), 0);
    double worst = -1;
    EXPECT_EQ(quant_linear_verify(src.data(), back.data(), &spec, dtype, count, &worst), 0);
    return worst;
}

} // namespace

TEST(QuantLinear, RefusesBadGridsAndTypesWithoutWriting) {
    const struct {
        uint32_t dtype;
        uint8_t mode;
        double step;
    } bad[] = {
        {9, 4, 1},   {9, 0, 0},   {9, 0, NAN}, {9, 0, INFINITY},     {10, 0, 1e-309},
        {1, 0, 1.5}, {9, 2, 1.5}, {11, 0, 1},  {uint32_t(-1), 0, 1}, {uint32_t(INT32_MIN), 1, 2}};
    const Bytes src(64, 0x11);
    for (const auto &b : bad) {
        const quant_grid grid = grid_of(b.mode, b.step);
        auto dst = vt::canary(64);
        EXPECT_EQ(quant_linear_encode(dst.data(), src.data(), &grid, b.dtype, 4), 1) << b.dtype;
        EXPECT_EQ(quant_linear_decode(dst.data(), src.data(), &grid, b.dtype, 4), 1) << b.dtype;
        EXPECT_EQ(quant_linear_decode(dst.data(), src.data(), nullptr, 1, 4), 1);
        EXPECT_EQ(dst, vt::canary(64));
    }
}

TEST(QuantLinear, ScanAndResolve) {
    quant_linear_stats stats{-1, -1};
    const Bytes nan = vt::raster_of(9, {NAN, INFINITY});
    EXPECT_EQ(quant_linear_scan(nan.data(), 9, 2, &stats), 1);
    EXPECT_EQ(stats.max_abs, 0);
    EXPECT_EQ(quant_linear_scan(nan.data(), 9, 0, &stats), 1);
    const Bytes f32 = vt::raster_of(9, {-0.0, 3.0, -INFINITY, NAN, 2.5});
    EXPECT_EQ(quant_linear_scan(f32.data(), 9, 5, &stats), 0);
    EXPECT_EQ(stats.max_abs, 3.0);
    EXPECT_EQ(stats.negatives, 0); // neither -0.0 nor -inf counts
    const Bytes i8 = vt::raster_of(4, {5, -128});
    EXPECT_EQ(quant_linear_scan(i8.data(), 4, 2, &stats), 0);
    EXPECT_EQ(stats.max_abs, 128);
    EXPECT_EQ(stats.negatives, 1);
    stats = {-1, -1};
    for (uint32_t dtype : {11u, uint32_t(-1)})
        EXPECT_EQ(quant_linear_scan(i8.data(), dtype, 2, &stats), 1);
    EXPECT_EQ(quant_linear_scan(nullptr, 0, 2, &stats), 1);
    EXPECT_EQ(stats.max_abs, -1); // refusals write nothing

    const struct {
        uint32_t dtype;
        double max_error, max_abs;
        const char *message; // null: resolves to `step`
        double step = 0;
    } cases[] = {
        {0, 0.4, 255, nullptr, 1},
        {0, 1.0, 255, nullptr, 2},
        {5, 7.9, 100, nullptr, 15},
        {6, 1e308, 1, "a MAX_ERROR of 1e+308 makes the grid step too large"},
        {9, 0.5, 1000, nullptr, 2 * (0.5 - 2 * 0x1p-24 * 1000)},
        {9, 1.0, 8.38e6, "a MAX_ERROR of 1 needs more levels than a 4-byte stream carries"},
        {10, 0.5, 0x1.ep50, "a MAX_ERROR of 0.5 needs more levels than a 8-byte stream carries"},
        {8, 0.01, 30, "a MAX_ERROR of 0.01 is at or below the rounding of the output type at 30"},
        {11, 1, 1, "dtype 11 is not a type this codec knows"},
        {uint32_t(-1), 1, 1, "dtype -1 is not a type this codec knows"},
    };
    for (const auto &c : cases) {
        quant_spec spec{};
        spec.max_error = c.max_error;
        const quant_linear_stats domain{c.max_abs, 0};
        quant_grid grid = grid_of(7, 99);
        grid.offset = 42;
        char err[200] = "";
        const int result = quant_linear_resolve(&spec, c.dtype, &domain, &grid, err, sizeof err);
        EXPECT_EQ(result, c.message ? 1 : 0) << err;
        EXPECT_STREQ(err, c.message ? c.message : "");
        if (c.message) continue;
        EXPECT_EQ(grid.step, c.step);
        EXPECT_EQ(grid.mode, 1);
        EXPECT_EQ(grid.offset, 42); // left alone
    }
}

TEST(QuantLinear, WorkedValues) {
    using V = std::vector<int64_t>;
    using D = std::vector<double>;
    EXPECT_EQ(round_trip(0, {0, 1, 254, 255}, grid_of(1, 1)).first, (V{0, 1, 254, 255}));
    EXPECT_EQ(round_trip(0, {255, 3}, grid_of(1, 2)), std::make_pair(V{128, 2}, D{255, 4}));
    // Halves round away from zero; the decoder saturates.
    EXPECT_EQ(round_trip(5, {-3, 3, -32768, 32767}, grid_of(0, 2)),
              std::make_pair(V{-2, 2, -16384, 16384}, D{-4, 4, -32768, 32767}));
    EXPECT_EQ(round_trip(0, {255, 5}, grid_of(3, 2)).first, (V{255, 6}));  // value mode
    EXPECT_EQ(round_trip(3, {0x1p64}, grid_of(2, 0x1p63)).first, (V{-1})); // saturates at 2^64 - 1
    EXPECT_EQ(round_trip(6, {-5}, grid_of(1, 3)).second, (D{0})); // no negatives: clamp at 0
    // Ties to even, NaN to 0, infinities to the ends of the index range.
    EXPECT_EQ(round_trip(10, {2.5, 3.5, NAN, INFINITY, -INFINITY}, grid_of(0, 1)),
              std::make_pair(V{2, 4, 0, int64_t(1) << 53, -(int64_t(1) << 53)},
                             D{2, 4, 0, 0x1p53, -0x1p53}));
    EXPECT_EQ(round_trip(9, {10.9, -7.0}, grid_of(2, 4)).first, (V{12, -8}));
    // f16 under mode 1: negative indices rebuild as +0.0, the top clamps.
    const int16_t indices[] = {-3, 32767};
    uint16_t halves[2] = {1, 1};
    const quant_grid half_grid = grid_of(1, 1000);
    ASSERT_EQ(quant_linear_decode(halves, indices, &half_grid, 8, 2), 0);
    EXPECT_EQ(halves[0], 0x0000);
    EXPECT_EQ(halves[1], 0x7BFF);
}

// Resolved on the raster itself, a round trip never costs more than
// MAX_ERROR at any sample: every dtype, every kind of raster, bounds from
// far below the type's resolution to loose.
TEST(QuantLinear, BoundHoldsOnEveryDtype) {
    size_t resolved = 0;
    for (uint32_t dtype : vt::dtypes) {
        for (const auto kind : {vt::Raster::bits, vt::Raster::mixed, vt::Raster::subnormal}) {
            if (kind == vt::Raster::subnormal && dtype < 8) continue;
            const Bytes src = vt::random_raster(dtype, 1000, 17 + dtype, kind);
            quant_linear_stats stats{};
            quant_linear_scan(src.data(), dtype, 1000, &stats);
            std::vector<double> bounds = {0.25, 0.5, 1.0, 1.5, 7.3, 1000.5, 0x1p-20, 0x1p-140};
            for (double r : {1e-12, 1e-7, 1e-4, 0.01, 0.3, 2.0})
                bounds.push_back(r * stats.max_abs);
            for (double max_error : bounds) {
                const double worst = worst_after_round_trip(dtype, src, max_error);
                ASSERT_LE(worst, 1.0) << vt::dtype_names[dtype] << " E " << max_error;
                resolved += worst >= 0;
            }
        }
    }
    EXPECT_GT(resolved, 200u);

    // Binary16 subnormals alone: rounding into the type costs half a
    // subnormal unit, which a budget scaled by the largest magnitude misses.
    const double unit = 0x1p-24;
    std::vector<double> values;
    for (int k = 0; k <= 100; ++k) values.push_back(k * unit);
    const Bytes src = vt::raster_of(8, values);
    quant_spec spec{};
    spec.max_error = 0.75 * unit;
    const quant_grid scaled = grid_of(1, 2 * (spec.max_error - 2 * 0x1p-11 * 100 * unit));
    Bytes stream(src.size()), back(src.size());
    quant_linear_encode(stream.data(), src.data(), &scaled, 8, values.size());
    quant_linear_decode(back.data(), stream.data(), &scaled, 8, values.size());
    double worst = 0;
    quant_linear_verify(src.data(), back.data(), &spec, 8, values.size(), &worst);
    EXPECT_GT(worst, 1.0);
    EXPECT_EQ(worst_after_round_trip(8, src, spec.max_error), -1); // refused instead
    EXPECT_LE(worst_after_round_trip(8, src, 1.5 * unit), 1.0);
    EXPECT_GE(worst_after_round_trip(8, src, 1.5 * unit), 0.0);
}

TEST(QuantLinear, Verify) {
    const Bytes a = vt::raster_of(9, {1.0, 2.0, NAN, INFINITY, 5.0});
    const Bytes b = vt::raster_of(9, {1.25, 2.0, 7.0, 1.0, 4.0});
    const Bytes c = vt::raster_of(9, {1.0, NAN, 2.0, 2.0, 5.0});
    quant_spec spec{};
    spec.max_error = 0.5;
    double worst = -1;
    EXPECT_EQ(quant_linear_verify(a.data(), a.data(), &spec, 9, 5, &worst), 0);
    EXPECT_EQ(worst, 0.0);
    EXPECT_EQ(quant_linear_verify(a.data(), b.data(), &spec, 9, 5, &worst), 0);
    EXPECT_EQ(worst, 2.0); // non-finite originals are not measured
    EXPECT_EQ(quant_linear_verify(a.data(), c.data(), &spec, 9, 5, &worst), 0);
    EXPECT_EQ(worst, INFINITY); // a NaN where a value stood keeps no bound
    // 64-bit samples two apart measure as two apart, not as a double's ulp.
    const uint64_t big = (uint64_t(1) << 63) + 1023, next = big + 2;
    spec.max_error = 2;
    EXPECT_EQ(quant_linear_verify(&big, &next, &spec, 3, 1, &worst), 0);
    EXPECT_EQ(worst, 1.0);

    worst = -1;
    const quant_spec zero{};
    EXPECT_EQ(quant_linear_verify(a.data(), b.data(), &zero, 9, 5, &worst), 1);
    EXPECT_EQ(quant_linear_verify(a.data(), b.data(), &spec, uint32_t(-2), 5, &worst), 1);
    EXPECT_EQ(quant_linear_verify(nullptr, b.data(), &spec, 9, 5, &worst), 1);
    EXPECT_EQ(worst, -1.0);
}

// The exported decoder (vector loops wherever built) against the
// element-wise rules on random streams with the extreme indices mixed in,
// steps on both sides of every saturation point, every mode, all tails.
// Hostile samples through the encoder on the same grids must stay defined
// (the sanitizer build checks every conversion).
TEST(QuantLinear, VectorDecoderEqualsElementRules) {
    const double steps[] = {1,     2,     3,     127,    128,    255,     256,  32767,
                            32768, 65535, 65536, 0x1p40, 0x1p64, DBL_MAX, 0.37, 1e-300};
    std::mt19937_64 rng(5);
    for (uint32_t dtype : vt::dtypes) {
        const size_t es = vt::dtype_bytes(dtype);
        for (double step : steps) {
            for (uint8_t mode = 0; mode < 4; ++mode) {
                const quant_grid grid = grid_of(mode, step);
                for (size_t count : {1, 15, 16, 17, 100, 257}) {
                    Bytes stream(count * es);
                    for (auto &byte : stream) byte = static_cast<unsigned char>(rng());
                    const uint64_t extremes[] = {0, 1, ~uint64_t(0), uint64_t(1) << (8 * es - 1)};
                    for (size_t i = 0; i < count; i += 3)
                        std::memcpy(stream.data() + i * es, &extremes[rng() % 4], es);
                    Bytes fast(count * es), slow(count * es);
                    const int result =
                        quant_linear_decode(fast.data(), stream.data(), &grid, dtype, count);
                    ASSERT_EQ(varda::quant_linear_decode_with(slow.data(), stream.data(), &grid,
                                                              dtype, count, false),
                              result);
                    ASSERT_EQ(fast, slow) << vt::dtype_names[dtype] << " step " << step << " mode "
                                          << int(mode) << " count " << count;
                    const Bytes src =
                        vt::random_raster(dtype, count, uint32_t(rng()),
                                          rng() & 1 ? vt::Raster::bits : vt::Raster::mixed);
                    quant_linear_encode(stream.data(), src.data(), &grid, dtype, count);
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
        {1, grid_of(1, 7), 791584840669184048ull},       {6, grid_of(0, 3), 7370329711315505527ull},
        {8, grid_of(0, 0.01), 4923502279776723856ull},   {9, grid_of(2, 5), 6104148963776376214ull},
        {10, grid_of(0, 1e-3), 13004505375985867722ull},
    };
    for (const auto &g : golden) {
        const Bytes src = vt::random_raster(g.dtype, 512, 99, vt::Raster::mixed);
        Bytes stream(src.size());
        ASSERT_EQ(quant_linear_encode(stream.data(), src.data(), &g.grid, g.dtype, 512), 0);
        EXPECT_EQ(vt::fnv1a(stream.data(), stream.size()), g.fnv) << vt::dtype_names[g.dtype];
    }
}
