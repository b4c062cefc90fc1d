// The static weighted predictor against its definition, and its training.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "support/support.h"
#include "support/wp_static_oracle.h"
#include "train/train_wp_static.h"
#include "wrap/failing_malloc.h"

using vt::Elems;
namespace wt = varda::wp_train;

namespace {

struct Weights {
    int16_t w[4];
};

constexpr Weights planar{{1, -1, 0, 0}};

Elems encode(const Elems &x, size_t width, const Weights &k, unsigned shift) {
    Elems e(x.elem_size, x.count());
    EXPECT_EQ(
        wp_static_encode(e.data(), x.data(), width, x.count(), x.elem_size, k.w, uint8_t(shift)),
        0);
    return e;
}

// Decodes into a separate buffer and in place; both must agree.
Elems decode(const Elems &e, size_t width, const Weights &k, unsigned shift) {
    Elems y(e.elem_size, e.count()), in_place = e;
    const auto run = [&](void *dst, const void *src) {
        EXPECT_EQ(wp_static_decode(dst, src, width, e.count(), e.elem_size, k.w, uint8_t(shift)),
                  0);
    };
    run(y.data(), e.data());
    run(in_place.data(), in_place.data());
    EXPECT_EQ(in_place, y) << "in place";
    return y;
}

// One column, one row, two rows, and widths around the 16-byte blocks of
// every element size.
const vt::Shape sweep_shapes[] = {{1, 1},   {1, 9},   {40, 40}, {5, 10},   {2, 6},
                                  {3, 9},   {9, 27},  {10, 30}, {11, 44},  {17, 51},
                                  {18, 54}, {19, 57}, {33, 99}, {34, 102}, {64, 192}};

} // namespace

TEST(WpStatic, RefusesBadArgumentsWithoutWriting) {
    const struct {
        uint64_t width, count, elem_size;
        unsigned shift;
    } bad[] = {{0, 8, 1, 0},  {1, 0, 1, 0}, {9, 8, 2, 0},  {3, 8, 4, 0},   {2, 8, 3, 0},
               {2, 8, 16, 0}, {2, 8, 0, 0}, {2, 8, 1, 64}, {2, 8, 8, 200}, {2, 8, 2, 255}};
    const Elems src = vt::random_field(8, 8, 1);
    for (const auto &b : bad) {
        for (auto kernel : {wp_static_encode, wp_static_decode}) {
            auto dst = vt::canary(64);
            EXPECT_EQ(kernel(dst.data(), src.data(), b.width, b.count, b.elem_size, planar.w,
                             uint8_t(b.shift)),
                      1)
                << b.width << " " << b.count << " " << b.elem_size << " " << b.shift;
            EXPECT_EQ(dst, vt::canary(64));
        }
    }
}

// Every element size, shape and shift, random and extreme weights, random
// bits (so that sums wrap) and smooth fields, decoded on every path.
TEST(WpStatic, MatchesDefinitionAndRoundTripsOnEveryPath) {
    std::mt19937 rng(11);
    std::uniform_int_distribution<int> weight(-32768, 32767);
    for (uint64_t es : vt::widths) {
        for (const auto &shape : sweep_shapes) {
            const Elems bits = vt::random_field(es, shape.count, unsigned(shape.width));
            Elems want(es, shape.count);
            ASSERT_EQ(planar_encode(want.data(), bits.data(), shape.width, shape.count, es), 0);
            ASSERT_EQ(encode(bits, shape.width, planar, 0), want) << "planar weights, es " << es;
            for (unsigned shift = 0; shift < 64; ++shift) {
                Weights random{};
                for (auto &w : random.w) w = int16_t(weight(rng));
                const Weights extreme = shift % 2 ? Weights{{32767, -32768, 32767, -32768}}
                                                  : Weights{{-32768, -32768, -32768, -32768}};
                const Elems x = shift % 3 ? vt::random_field(es, shape.count, shift)
                                          : vt::smooth_field(es, shape.width, shape.count, shift);
                for (const Weights &k : {random, extreme}) {
                    const Elems e = encode(x, shape.width, k, shift);
                    ASSERT_EQ(e, vt::ref_wp_encode(x, shape.width, k.w, shift))
                        << "es " << es << " width " << shape.width << " shift " << shift;
                    for (int path : vt::paths()) {
                        const vt::PathScope scope(path);
                        ASSERT_EQ(decode(e, shape.width, k, shift), x)
                            << "es " << es << " width " << shape.width << " shift " << shift
                            << " path " << path;
                    }
                }
            }
        }
    }
}

// 16-bit samples enter the sum zero-extended: N = 65535 with weight 1 and
// shift 1 predicts (1 + 65535) >> 1 = 32768, where -1 would predict 0.
TEST(WpStatic, SixteenBitSamplesEnterUnsigned) {
    const size_t width = 20;
    Elems x(2, 2 * width);
    for (size_t c = 0; c < width; ++c) {
        x.set(c, 65535);
        x.set(width + c, 32768);
    }
    const Weights k{{1, 0, 0, 0}};
    const Elems e = encode(x, width, k, 1);
    EXPECT_EQ(e.get(width), 0u);
    for (size_t c = 1; c < width; ++c) EXPECT_EQ(e.get(width + c), 32768u) << c;
    for (int path : vt::paths()) {
        const vt::PathScope scope(path);
        EXPECT_EQ(decode(e, width, k, 1), x);
    }
}

// Residual bytes are stored by hosts: a change that alters them must fail.
TEST(WpStatic, GoldenResiduals) {
    const Weights k{{3, -2, 1, -1}};
    const struct {
        uint64_t es;
        unsigned shift;
        uint64_t fnv;
    } golden[] = {{1, 1, 7862639056831254883ull},
                  {2, 5, 9040096458831871623ull},
                  {4, 0, 16090572172478476314ull},
                  {8, 17, 17349078421220961975ull}};
    for (const auto &g : golden) {
        const Elems x = vt::smooth_field(g.es, 23, 23 * 7, 42, 9);
        const Elems e = encode(x, 23, k, g.shift);
        EXPECT_EQ(vt::fnv1a(e.bytes.data(), e.bytes.size()), g.fnv) << g.es;
    }
}

// ---- Training -------------------------------------------------------------

namespace {

struct Trained {
    int result;
    Weights weights;
    unsigned shift;
};

Trained train(const Elems &x, size_t width, uint64_t elem_size) {
    Trained t{0, {{7, 7, 7, 7}}, 99};
    uint8_t shift = 99;
    t.result = wp_static_train(t.weights.w, &shift, x.data(), width, x.count(), elem_size);
    t.shift = shift;
    return t;
}

bool is_fallback(const Trained &t) {
    return std::memcmp(t.weights.w, planar.w, sizeof planar.w) == 0 && t.shift == 0;
}

// Rows shifted one column left per row, so that x = NE up to noise and
// x - W = NE - N, which the plane predictor cannot follow.
Elems diagonal_field(uint64_t es, size_t width, size_t count, uint32_t seed) {
    std::mt19937_64 rng(seed);
    const int64_t lo = es == 1 ? 20 : 100, hi = es == 1 ? 230 : 60000;
    std::uniform_int_distribution<int> step(es == 1 ? -6 : -3000, es == 1 ? 6 : 3000), noise(-1, 1);
    std::vector<int64_t> profile(width + count / width);
    int64_t level = (lo + hi) / 2;
    for (auto &p : profile) {
        level += step(rng);
        if (level < lo || level > hi) level = 2 * (level < lo ? lo : hi) - level;
        p = level;
    }
    Elems x(es, count);
    for (size_t i = 0; i < count; ++i)
        x.set(i, uint64_t(profile[i / width + i % width] + noise(rng)) & vt::mask_of(es));
    return x;
}

} // namespace

TEST(WpStaticTrain, FallsBackWhereThereIsNothingToFit) {
    const struct {
        size_t width, count;
        uint64_t es;
        int value; // -1: random samples
        int result;
    } cases[] = {{10, 20, 2, -1, 0}, {2, 40, 4, -1, 0},   {1, 40, 8, -1, 0},   {10, 40, 3, -1, 1},
                 {10, 40, 0, -1, 1}, {0, 40, 1, -1, 1},   {7, 40, 1, -1, 1},   {16, 160, 1, 0, 0},
                 {16, 160, 8, 0, 0}, {16, 160, 1, 77, 0}, {16, 160, 2, 77, 0}, {16, 160, 4, 77, 0}};
    for (const auto &c : cases) {
        Elems x = vt::random_field(c.es == 2 || c.es == 4 || c.es == 8 ? c.es : 1, c.count, 3);
        if (c.value >= 0)
            for (size_t i = 0; i < c.count; ++i) x.set(i, uint64_t(c.value));
        const Trained t = train(x, c.width, c.es);
        EXPECT_EQ(t.result, c.result) << c.width << " " << c.count << " " << c.es;
        EXPECT_TRUE(is_fallback(t)) << c.width << " " << c.count << " " << c.es;
    }
}

TEST(WpStaticTrain, SolveAndCandidateTable) {
    double singular[4][4] = {{1, 2, 0, 0}, {2, 4, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}};
    double b[4] = {1, 2, 3, 4}, w[4];
    EXPECT_FALSE(wt::solve(singular, b, w));

    wt::Candidate table[wt::max_candidates];
    const double fitted[4] = {0.6, -0.3, 0.25, 0.5};
    ASSERT_EQ(wt::build_candidates(fitted, table), 10u);
    const int16_t shift0[4] = {1, 0, 0, 1}, shift8[4] = {154, -77, 64, 128};
    EXPECT_EQ(std::memcmp(table[0].weights, planar.w, 8), 0);
    EXPECT_EQ(std::memcmp(table[1].weights, shift0, 8), 0); // halves away from zero
    EXPECT_EQ(std::memcmp(table[9].weights, shift8, 8), 0);
    for (unsigned i = 1; i < 10; ++i) EXPECT_EQ(table[i].shift, i - 1);
    EXPECT_EQ(table[9].bias, 128);

    // 200 x 2^k fits 16 bits up to k = 7; -32768.5 rounds out of range.
    const struct {
        double first;
        size_t n;
    } ranges[] = {{200.0, 9}, {-32768.49, 2}, {32767.49, 2}, {-32768.5, 1}, {1e300, 1}, {NAN, 1}};
    for (const auto &r : ranges) {
        const double one[4] = {r.first, 0, 0, 0};
        EXPECT_EQ(wt::build_candidates(one, table), r.n) << r.first;
    }
}

TEST(WpStaticTrain, SelectionMarginAndTies) {
    const double c0 = 5.4321, threshold = c0 - 0.003 * c0;
    const double below = std::nextafter(threshold, 0.0);
    const struct {
        uint64_t es;
        std::vector<double> costs;
        size_t chosen;
    } cases[] = {{4, {c0, threshold}, 0}, {8, {c0, threshold}, 0},
                 {4, {c0, below}, 1},     {8, {c0, 5.0, below, 5.0}, 1},
                 {2, {c0, threshold}, 1}, {1, {c0, std::nextafter(c0, 0.0)}, 1},
                 {1, {c0, c0}, 0},        {2, {c0, 3.0, 2.0, 2.0, 3.0}, 2},
                 {1, {0.0, 0.0, 0.0}, 0}, {4, {c0}, 0}};
    for (const auto &c : cases)
        EXPECT_EQ(wt::select(c.costs.data(), c.costs.size(), c.es), c.chosen)
            << c.es << " " << c.costs.size();
}

// The SSE2 sums are those of the portable loop, bit for bit.
TEST(WpStaticTrain, VectorSumsEqualPortable) {
    for (uint64_t es : vt::widths) {
        for (const vt::Shape &shape : {vt::Shape{3, 9}, vt::Shape{57, 57 * 7}}) {
            const Elems x = vt::random_field(es, shape.count, unsigned(shape.width));
            const double inv_scale = es >= 4 ? 1.0 / 3e9 : 1.0;
            double a[4][4], b[4], va[4][4], vb[4];
            wt::normal_equations(x.data(), shape.width, shape.count, es, inv_scale, false, a, b);
            wt::normal_equations(x.data(), shape.width, shape.count, es, inv_scale, true, va, vb);
            EXPECT_EQ(std::memcmp(a, va, sizeof a), 0) << es << " " << shape.width;
            EXPECT_EQ(std::memcmp(b, vb, sizeof b), 0) << es << " " << shape.width;
        }
    }
}

// The trainer's costs are those of the residuals the encoder writes.
TEST(WpStaticTrain, CostsAreThoseOfTheEncodersResiduals) {
    std::mt19937 rng(5);
    std::uniform_int_distribution<int> weight(-600, 600), shift(0, 8);
    for (uint64_t es : vt::widths) {
        for (const vt::Shape &shape : {vt::Shape{13, 13 * 9}, vt::Shape{64, 64 * 5}}) {
            for (int field = 0; field < 3; ++field) {
                const Elems x = field == 0   ? vt::random_field(es, shape.count, 4)
                                : field == 1 ? vt::smooth_field(es, shape.width, shape.count, 4)
                                             : diagonal_field(es, shape.width, shape.count, 4);
                wt::Candidate table[wt::max_candidates];
                for (auto &cand : table) {
                    for (auto &w : cand.weights) w = int16_t(weight(rng));
                    cand.shift = uint8_t(shift(rng));
                    cand.bias = cand.shift ? 1 << (cand.shift - 1) : 0;
                }
                double costs[wt::max_candidates];
                ASSERT_TRUE(wt::candidate_costs(x.data(), shape.width, shape.count, es, table,
                                                wt::max_candidates, costs));
                for (size_t i = 0; i < wt::max_candidates; ++i) {
                    Weights k;
                    std::memcpy(k.w, table[i].weights, 8);
                    const Elems e = encode(x, shape.width, k, table[i].shift);
                    EXPECT_EQ(costs[i], vt::ref_entropy_cost(e)) << "es " << es << " #" << i;
                }
            }
        }
    }
}

// Where a north-east predictor fits, training finds it; on noise it may
// pick anything, and the predictor round-trips with whatever it picks.
TEST(WpStaticTrain, BeatsPlanarWhereNortheastPredictsAndRoundTrips) {
    const size_t width = 96, count = 96 * 64;
    for (uint64_t es : vt::widths) {
        for (int field = 0; field < 2; ++field) {
            const Elems x =
                field ? vt::random_field(es, count, 8) : diagonal_field(es, width, count, 21);
            const Trained t = train(x, width, es);
            ASSERT_EQ(t.result, 0);
            EXPECT_LE(t.shift, 8u);
            const Elems e = encode(x, width, t.weights, t.shift);
            if (field == 0) {
                EXPECT_FALSE(is_fallback(t)) << es;
                EXPECT_LT(vt::ref_entropy_cost(e),
                          0.8 * vt::ref_entropy_cost(encode(x, width, planar, 0)))
                    << es;
            }
            EXPECT_EQ(decode(e, width, t.weights, t.shift), x) << es;
        }
    }
}

// Without its histogram workspace training returns the fallback, and takes
// nothing else from the heap.
TEST(WpStaticTrain, FallsBackWhenItsWorkspaceIsRefused) {
    for (uint64_t es : vt::widths) {
        const Elems x = diagonal_field(es, 96, 96 * 64, 21);
        Trained normal, starved;
        size_t allocations;
        {
            const vt::MallocWatch count(false);
            normal = train(x, 96, es);
            allocations = count.calls();
        }
        {
            const vt::MallocWatch fail(true, 0);
            starved = train(x, 96, es);
        }
        EXPECT_EQ(allocations, 1u) << es;
        EXPECT_FALSE(is_fallback(normal)) << es;
        EXPECT_EQ(starved.result, 0) << es;
        EXPECT_TRUE(is_fallback(starved)) << es;
    }
}
