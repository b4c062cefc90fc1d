// The shot-noise fit: block statistics against their definition, thinning,
// the solve on hand-made accumulators, allocation failures, and curves
// recovered from rasters of known noise.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "lossy/widen_row.h"
#include "support/quant_sqrt_oracle.h"
#include "support/support.h"
#include "wrap/failing_malloc.h"

namespace {

struct Accum {
    quant_sqrt_accum a;
    Accum() { quant_sqrt_accum_init(&a); }
    ~Accum() { quant_sqrt_accum_free(&a); }
};

std::vector<double> widened(const vt::Bytes &raster, uint32_t dtype) {
    std::vector<double> out(raster.size() / vt::dtype_bytes(dtype));
    for (size_t i = 0; i < out.size(); ++i) out[i] = vt::sample_at(dtype, raster, i);
    return out;
}

void expect_blocks(const quant_sqrt_accum &a, const std::vector<vt::RefBlock> &want) {
    ASSERT_EQ(a.count, want.size());
    for (size_t i = 0; i < want.size(); ++i) {
        ASSERT_EQ(a.means[i], want[i].mean) << i;
        ASSERT_EQ(a.variances[i], want[i].variance) << i;
    }
}

// A hand-made accumulator: `n` blocks per (mean, variance) pair, in order.
struct Blocks {
    std::vector<double> means, variances;
    void add(double mean, double variance, size_t n = 1) {
        means.insert(means.end(), n, mean);
        variances.insert(variances.end(), n, variance);
    }
    quant_sqrt_accum view() {
        return {means.data(), variances.data(), means.size(), means.size(), 1, means.size(), 0};
    }
};

int solve(Blocks &blocks, quant_sqrt_curve *curve, std::string *message) {
    char err[256] = "";
    const quant_sqrt_accum a = blocks.view();
    const int r = quant_sqrt_accum_solve(&a, curve, err, sizeof err);
    *message = err;
    return r;
}

} // namespace

TEST(QuantSqrtFit, RowWideningVectorMatchesPortable) {
    const vt::Elems bits = vt::random_field(8, 300, 5);
    for (unsigned dtype = 0; dtype < 11; ++dtype) {
        for (size_t n : {0, 1, 7, 8, 15, 16, 17, 33, 64, 100, 299}) {
            std::vector<double> fast(n + 1, -1.0), slow(n + 1, -1.0);
            varda::widen_row(fast.data(), bits.data(), dtype, n);
            varda::widen_row_portable(slow.data(), bits.data(), dtype, n);
            ASSERT_EQ(std::memcmp(fast.data(), slow.data(), (n + 1) * sizeof(double)), 0)
                << "dtype " << dtype << " n " << n;
        }
    }
}

// Shapes with and without remainders past the last block, every type,
// pushed whole and band by band.
TEST(QuantSqrtFit, BlocksMatchTheirDefinition) {
    const struct {
        size_t width, rows, blocks;
    } shapes[] = {{10, 10, 1}, {58, 58, 49}, {17, 10, 1},
                  {18, 18, 4}, {67, 35, 32}, {123, 91, 165}};
    for (unsigned dtype = 0; dtype < 11; ++dtype) {
        for (const auto &s : shapes) {
            const vt::Bytes raster = vt::shot_raster(dtype, s.width, s.rows, 20, 120, 4, 0.5, 11);
            const auto want = vt::ref_blocks(widened(raster, dtype), s.width, s.rows);
            ASSERT_EQ(want.size(), s.blocks);
            Accum whole;
            ASSERT_EQ(quant_sqrt_accum_push(&whole.a, raster.data(), dtype, s.width, s.rows), 0);
            expect_blocks(whole.a, want);
            EXPECT_EQ(whole.a.seen, s.blocks);

            Accum strips;
            const size_t row_bytes = s.width * vt::dtype_bytes(dtype);
            for (size_t top = 0; top + 10 <= s.rows; top += 8)
                ASSERT_EQ(quant_sqrt_accum_push(&strips.a, raster.data() + top * row_bytes, dtype,
                                                s.width, 10),
                          0);
            expect_blocks(strips.a, want);
        }
    }
}

TEST(QuantSqrtFit, BlocksWithNonFiniteDifferencesAreSkippedUncounted) {
    const size_t width = 34, rows = 26; // 4 x 3 blocks
    for (unsigned dtype : {8u, 9u, 10u}) {
        std::vector<double> values =
            widened(vt::shot_raster(dtype, width, rows, 20, 120, 4, 0.5, 3), dtype);
        // A NaN inside a block, an infinity on a shared border, and in f64 a
        // finite value whose difference overflows.
        values[3 * width + 4] = std::nan("");
        values[9 * width + 9] = std::numeric_limits<double>::infinity();
        if (dtype == 10) values[20 * width + 30] = 1e308;
        const vt::Bytes raster = vt::raster_of(dtype, values);
        const auto want = vt::ref_blocks(widened(raster, dtype), width, rows);
        ASSERT_LT(want.size(), 12u);
        Accum acc;
        ASSERT_EQ(quant_sqrt_accum_push(&acc.a, raster.data(), dtype, width, rows), 0);
        expect_blocks(acc.a, want);
        EXPECT_EQ(acc.a.seen, want.size());
    }
}

// Full arrays of 262144 blocks halve, keeping the even ones, and from then
// on every second block is kept. Block means are constant blocks' values,
// so they name the block.
TEST(QuantSqrtFit, ThinsAtTheCapAndDoublesTheStride) {
    const size_t per_row = 256, per_col = 64, width = 8 * per_row + 2, rows = 8 * per_col + 2;
    std::vector<float> tile(width * rows);
    Accum acc;
    float id = 0;
    for (int push = 0; push < 17; ++push) {
        for (size_t r = 0; r < rows; ++r) {
            for (size_t c = 0; c < width; ++c) {
                const size_t br = r == 0 ? 0 : std::min((r - 1) / 8, per_col - 1);
                const size_t bc = c == 0 ? 0 : std::min((c - 1) / 8, per_row - 1);
                tile[r * width + c] = id + float(br * per_row + bc);
            }
        }
        ASSERT_EQ(quant_sqrt_accum_push(&acc.a, tile.data(), 9, width, rows), 0);
        id += float(per_row * per_col);
        if (push == 15) {
            ASSERT_EQ(acc.a.count, 262144u);
            ASSERT_EQ(acc.a.stride, 1u);
        }
    }
    EXPECT_EQ(acc.a.seen, 17u * 16384);
    EXPECT_EQ(acc.a.stride, 2u);
    EXPECT_EQ(acc.a.capacity, 262144u);
    ASSERT_EQ(acc.a.count, 131072u + 8192);
    for (size_t i = 0; i < acc.a.count; ++i) ASSERT_EQ(acc.a.means[i], 2.0 * double(i)) << i;
}

TEST(QuantSqrtFit, RefusalsChangeNothing) {
    const std::vector<uint16_t> raster(100 * 100, 7);
    struct {
        bool null_accum, null_src;
        unsigned dtype;
        size_t width, rows;
    } bad[] = {{true, false, 1, 100, 100},   {false, true, 1, 100, 100},
               {false, false, 11, 100, 100}, {false, false, unsigned(-1), 100, 100},
               {false, false, 1, 9, 100},    {false, false, 1, 100, 9}};
    for (const auto &b : bad) {
        Accum acc;
        EXPECT_EQ(quant_sqrt_accum_push(b.null_accum ? nullptr : &acc.a,
                                        b.null_src ? nullptr : raster.data(), b.dtype, b.width,
                                        b.rows),
                  1);
        EXPECT_EQ(acc.a.means, nullptr);
        EXPECT_EQ(acc.a.seen, 0u);
        EXPECT_EQ(acc.a.failed, 0);
    }
    // quant_sqrt_fit explains them all the same way, a negative dtype too.
    for (int dtype : {1, 11, -1, -2147483647 - 1}) {
        char err[96];
        quant_sqrt_curve curve;
        const size_t width = dtype == 1 ? 9 : 100;
        EXPECT_EQ(quant_sqrt_fit(raster.data(), dtype, width, 100, &curve, err, sizeof err), 1);
        EXPECT_EQ(std::string(err), "a raster of " + std::to_string(width) +
                                        "x100 is too small to measure blocks on");
    }
    // Rasters that measure but cannot be fitted.
    const struct {
        size_t side;
        double lo, hi;
        const char *message;
    } unfit[] = {
        {10, 20, 120,
         "1 blocks is not enough to fit a curve, a raster needs to be at least a few hundred "
         "blocks across"},
        {58, 500, 500, "the raster has no dynamic range to fit against"}, // 49 blocks pass
    };
    for (const auto &u : unfit) {
        const vt::Bytes flat = vt::shot_raster(1, u.side, u.side, u.lo, u.hi, 0, 0, 1);
        char message[128];
        quant_sqrt_curve curve;
        EXPECT_EQ(quant_sqrt_fit(flat.data(), 1, u.side, u.side, &curve, message, sizeof message),
                  1);
        EXPECT_STREQ(message, u.message);
    }

    char err[8] = "keep";
    quant_sqrt_curve curve;
    EXPECT_EQ(quant_sqrt_accum_solve(nullptr, &curve, err, 1), 1);
    EXPECT_STREQ(err, "");
    EXPECT_EQ(quant_sqrt_accum_solve(nullptr, &curve, err, sizeof err), 1);
    EXPECT_STREQ(err, "no accu"); // cut to the buffer
}

// A width whose ten-row work buffer overflows size_t is out of memory, and
// nothing is read or allocated.
TEST(QuantSqrtFit, UnsizableWorkBufferIsAnAllocationFailure) {
    const uint8_t sample = 0;
    for (size_t width : {SIZE_MAX / 80 + 1, SIZE_MAX / 8, SIZE_MAX}) {
        Accum acc;
        const vt::MallocWatch none(true, 0);
        EXPECT_EQ(quant_sqrt_accum_push(&acc.a, &sample, 0, width, 10), 1);
        EXPECT_EQ(none.calls(), 0u);
        EXPECT_EQ(acc.a.failed, 1);
        char err[64];
        quant_sqrt_curve curve;
        EXPECT_EQ(quant_sqrt_accum_solve(&acc.a, &curve, err, sizeof err), 1);
        EXPECT_STREQ(err, "the fit ran out of memory");
    }
}

// Every allocation of push, solve and fit failing in turn: the failure is
// reported, blocks already stored stay, and nothing leaks.
TEST(QuantSqrtFit, AllocationFailures) {
    const size_t width = 8 * 130 + 2, rows = 8 * 40 + 2; // 5200 blocks: one growth
    const vt::Bytes raster = vt::shot_raster(1, width, rows, 100, 3000, 20, 0.5, 5);
    size_t allocations;
    {
        const vt::MallocWatch count(false);
        Accum acc;
        ASSERT_EQ(quant_sqrt_accum_push(&acc.a, raster.data(), 1, width, rows), 0);
        allocations = count.calls();
    }
    ASSERT_EQ(allocations, 5u); // work buffer, two arrays of 4096, both grown to 8192
    for (size_t allowed = 0; allowed < allocations; ++allowed) {
        Accum acc;
        {
            const vt::MallocWatch fail(true, allowed);
            EXPECT_EQ(quant_sqrt_accum_push(&acc.a, raster.data(), 1, width, rows), 1);
        }
        EXPECT_EQ(acc.a.failed, 1);
        EXPECT_EQ(acc.a.count, allowed >= 3 ? 4096u : 0u) << allowed;
        char err[64] = "";
        quant_sqrt_curve curve;
        EXPECT_EQ(quant_sqrt_accum_solve(&acc.a, &curve, err, sizeof err), 1);
        EXPECT_STREQ(err, "the fit ran out of memory");
    }
    // The solve's scratch array, and the fit as a whole.
    Accum acc;
    ASSERT_EQ(quant_sqrt_accum_push(&acc.a, raster.data(), 1, width, rows), 0);
    for (size_t allowed = 0; allowed <= allocations; ++allowed) {
        char err[64] = "";
        quant_sqrt_curve curve;
        int solved, fitted;
        {
            const vt::MallocWatch fail(true, allowed);
            solved = quant_sqrt_accum_solve(&acc.a, &curve, err, sizeof err);
            fitted = quant_sqrt_fit(raster.data(), 1, width, rows, &curve, err, sizeof err);
        }
        EXPECT_EQ(solved, allowed == 0 ? 1 : 0);
        EXPECT_EQ(fitted, 1) << allowed;
        EXPECT_STREQ(err, "the fit ran out of memory");
    }
}

TEST(QuantSqrtFit, SolveMessagesAndQuality) {
    const double inf = std::numeric_limits<double>::infinity();
    quant_sqrt_curve curve;
    std::string message;

    Blocks few;
    few.add(1, 1, 47);
    few.add(2, 1);
    EXPECT_EQ(solve(few, &curve, &message), 1); // 48 blocks pass, on to the bins
    EXPECT_EQ(curve.blocks, 48);
    EXPECT_EQ(curve.bins, 1);
    few.means.pop_back();
    few.variances.pop_back();
    EXPECT_EQ(solve(few, &curve, &message), 1);
    EXPECT_EQ(message, "47 blocks is not enough to fit a curve, a raster needs to be at least a "
                       "few hundred blocks across");
    EXPECT_EQ(curve.blocks, 47);

    Blocks flat;
    flat.add(5, 1, 100);
    EXPECT_EQ(solve(flat, &curve, &message), 1);
    EXPECT_EQ(message, "the raster has no dynamic range to fit against");

    // Means 0 .. 24 put bin i's blocks at mean i; the top edge goes to the
    // last bin. Three bins of 12 and one of 11 make three bins.
    Blocks bins;
    for (int i = 0; i < 3; ++i) bins.add(2.0 * i, 1 + i, 12);
    bins.add(10, 9, 11);
    bins.add(24, 30, 1);
    EXPECT_EQ(solve(bins, &curve, &message), 1);
    EXPECT_EQ(message, "only 3 intensity bins held enough blocks, the raster does not cover "
                       "enough of its range");
    EXPECT_EQ(curve.bins, 3);
    bins.add(24, 30, 11); // the 12th block at hi fills bin 23
    EXPECT_EQ(solve(bins, &curve, &message), 0) << message;
    EXPECT_EQ(curve.bins, 4);

    // Variances exactly A + B x on the 10th percentile, larger ones above it.
    Blocks line;
    for (int i = 0; i < 24; ++i) {
        const double x = 100.0 + 50.0 * i;
        line.add(x, 3 + 0.25 * x, 2);             // positions 0, 1 of 20
        line.add(x, 3 + 0.25 * x + 1, 1);         // position 2: floor(0.1 x 20)
        line.add(x, 3 + 0.25 * x + 1000 + i, 17); // edges and texture
    }
    EXPECT_EQ(solve(line, &curve, &message), 0) << message;
    EXPECT_EQ(curve.held, 1);
    EXPECT_EQ(curve.blocks, 480);
    EXPECT_EQ(curve.bins, 24);
    EXPECT_NEAR(curve.b, 0.25, 1e-12);
    EXPECT_NEAR(curve.a, 4, 1e-9);
    EXPECT_NEAR(curve.residual, 0, 1e-12);
    EXPECT_DOUBLE_EQ(curve.range, 1250.0 / 100.0);
    EXPECT_NEAR(curve.collinearity, 675 / (50 * std::sqrt((24.0 * 24 - 1) / 12)), 1e-9);
    // Solve reads the accumulator and leaves it as it was.
    quant_sqrt_curve again;
    EXPECT_EQ(solve(line, &again, &message), 0);
    EXPECT_EQ(std::memcmp(&curve, &again, sizeof curve), 0);

    // Falling variance: no shot noise, but the figures are there; a
    // negative intercept is raised to 0.
    Blocks falling;
    for (int i = 0; i < 24; ++i) falling.add(10.0 * i, 500 - 2.0 * i, 12);
    EXPECT_EQ(solve(falling, &curve, &message), 1);
    EXPECT_EQ(message, "the local variance does not grow with the signal, so this is not shot "
                       "noise");
    EXPECT_EQ(curve.held, 0);
    EXPECT_NEAR(curve.b, -0.2, 1e-12);
    EXPECT_NEAR(curve.a, 500, 1e-9);
    EXPECT_EQ(curve.range, inf); // the first bin's mean is 0
    Blocks negative_intercept;
    for (int i = 0; i < 24; ++i) negative_intercept.add(10.0 + i, 2.0 * i, 12);
    EXPECT_EQ(solve(negative_intercept, &curve, &message), 0);
    EXPECT_EQ(curve.a, 0.0);
}

// Rasters with noise of variance A + B x in every type, A being half the
// growth over the range: the fit finds the curve (over many seeds within
// 5 per cent on B and 7 on A), and strips pushed one by one fit exactly
// what one push does.
TEST(QuantSqrtFit, RecoversShotNoiseCurves) {
    const struct {
        unsigned dtype;
        double lo, hi, b;
    } cases[] = {
        {0, 5, 240, 0.1},    {1, 50, 60000, 0.8},    {2, 1000, 1e6, 2},    {3, 1000, 1e6, 2},
        {4, -40, 120, 0.05}, {5, -2000, 30000, 0.5}, {6, -1e5, 1e6, 2},    {7, -1e5, 1e6, 2},
        {8, 10, 1500, 0.01}, {9, 0.001, 1, 2e-4},    {10, -1e-3, 1, 2e-4},
    };
    const size_t width = 1026, rows = 514;
    for (const auto &c : cases) {
        const double a_true = c.b * c.hi / 2;
        const vt::Bytes raster = vt::shot_raster(c.dtype, width, rows, c.lo, c.hi, a_true, c.b, 17);
        // Whole-number samples carry a rounding variance of 1/12 on top.
        const double a = a_true + (c.dtype < 8 ? 1.0 / 12 : 0.0);
        quant_sqrt_curve curve;
        char err[256] = "";
        ASSERT_EQ(quant_sqrt_fit(raster.data(), int(c.dtype), width, rows, &curve, err, sizeof err),
                  0)
            << "dtype " << c.dtype << ": " << err;
        EXPECT_NEAR(curve.b, c.b, 0.06 * c.b) << "dtype " << c.dtype;
        EXPECT_NEAR(curve.a, a, 0.08 * a) << "dtype " << c.dtype;
        EXPECT_EQ(curve.bins, 24);
        EXPECT_LT(curve.residual, 0.05);

        Accum strips;
        const size_t row_bytes = width * vt::dtype_bytes(c.dtype);
        for (size_t top = 0; top + 10 <= rows; top += 64)
            ASSERT_EQ(quant_sqrt_accum_push(&strips.a, raster.data() + top * row_bytes, c.dtype,
                                            width, std::min<size_t>(66, rows - top)),
                      0);
        quant_sqrt_curve pieced;
        ASSERT_EQ(quant_sqrt_accum_solve(&strips.a, &pieced, err, sizeof err), 0);
        EXPECT_EQ(std::memcmp(&pieced, &curve, sizeof curve), 0);
    }
}
