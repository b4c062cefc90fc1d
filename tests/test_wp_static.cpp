// The static weighted predictor against its definition, and its training.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "support/oracle.h"
#include "support/support.h"
#include "support/wp_static_oracle.h"
#include "train/train_wp_static.h"

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

Elems decode(const Elems &e, size_t width, const Weights &k, unsigned shift) {
    Elems y(e.elem_size, e.count());
    EXPECT_EQ(
        wp_static_decode(y.data(), e.data(), width, e.count(), e.elem_size, k.w, uint8_t(shift)),
        0);
    return y;
}

// Shapes for the sweeps: one column, one row, two rows, and widths around
// the 16-byte blocks of every element size.
const vt::Shape sweep_shapes[] = {{1, 1},   {1, 9},   {7, 7},   {40, 40},  {5, 10},   {18, 36},
                                  {2, 6},   {3, 9},   {9, 27},  {10, 30},  {11, 44},  {17, 51},
                                  {18, 54}, {19, 57}, {33, 99}, {34, 102}, {35, 105}, {64, 192}};

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

TEST(WpStatic, PlanarWeightsGivePlanarResiduals) {
    for (uint64_t es : vt::widths) {
        for (const auto &shape : sweep_shapes) {
            const Elems x = vt::random_field(es, shape.count, unsigned(shape.width));
            Elems want(es, shape.count);
            ASSERT_EQ(planar_encode(want.data(), x.data(), shape.width, shape.count, es), 0);
            ASSERT_EQ(encode(x, shape.width, planar, 0), want) << es << " " << shape.width;
        }
    }
}

// Every element size, shape and shift, random and extreme weights, random
// bits (so every sum wraps somewhere) and smooth fields; decoded on every
// path, to a separate buffer and in place.
TEST(WpStatic, MatchesDefinitionAndRoundTripsOnEveryPath) {
    std::mt19937 rng(11);
    std::uniform_int_distribution<int> weight(-32768, 32767);
    for (uint64_t es : vt::widths) {
        for (const auto &shape : sweep_shapes) {
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
                        Elems in_place = e;
                        ASSERT_EQ(wp_static_decode(in_place.data(), in_place.data(), shape.width,
                                                   shape.count, es, k.w, uint8_t(shift)),
                                  0);
                        ASSERT_EQ(in_place, x) << "in place, es " << es << " path " << path;
                    }
                }
            }
        }
    }
}

TEST(WpStatic, UnalignedBuffersAndLongRows) {
    const size_t width = 301, count = 301 * 4;
    const Weights k{{700, -300, 250, -90}};
    for (uint64_t es : vt::widths) {
        const Elems x = vt::smooth_field(es, width, count, 5, 200);
        for (unsigned shift : {0u, 9u, 16u, 17u, 40u}) {
            const Elems want = vt::ref_wp_encode(x, width, k.w, shift);
            std::vector<unsigned char> in(count * es + 1), mid(count * es + 3), out(count * es + 5);
            std::memcpy(in.data() + 1, x.data(), count * es);
            for (int path : vt::paths()) {
                const vt::PathScope scope(path);
                ASSERT_EQ(wp_static_encode(mid.data() + 3, in.data() + 1, width, count, es, k.w,
                                           uint8_t(shift)),
                          0);
                ASSERT_EQ(std::memcmp(mid.data() + 3, want.data(), count * es), 0);
                ASSERT_EQ(wp_static_decode(out.data() + 5, mid.data() + 3, width, count, es, k.w,
                                           uint8_t(shift)),
                          0);
                ASSERT_EQ(std::memcmp(out.data() + 5, x.data(), count * es), 0)
                    << "es " << es << " shift " << shift << " path " << path;
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
    return t.weights.w[0] == 1 && t.weights.w[1] == -1 && t.weights.w[2] == 0 &&
           t.weights.w[3] == 0 && t.shift == 0;
}

// Rows that shift one column left per row, so that x = NE up to noise:
// x - W = NE - N, which the plane predictor cannot follow.
Elems diagonal_field(uint64_t es, size_t width, size_t count, uint32_t seed) {
    std::mt19937_64 rng(seed);
    const int64_t lo = es == 1 ? 20 : 100, hi = es == 1 ? 230 : 60000;
    std::uniform_int_distribution<int> step(es == 1 ? -6 : -3000, es == 1 ? 6 : 3000), noise(-1, 1);
    const size_t rows = count / width;
    std::vector<int64_t> profile(width + rows);
    int64_t level = (lo + hi) / 2;
    for (auto &p : profile) {
        level += step(rng);
        if (level < lo || level > hi) level = 2 * (level < lo ? lo : hi) - level;
        p = level;
    }
    Elems x(es, count);
    for (size_t i = 0; i < count; ++i) {
        const size_t r = i / width, c = i % width;
        x.set(i, uint64_t(profile[r + c] + noise(rng)) & vt::mask_of(es));
    }
    return x;
}

} // namespace

TEST(WpStaticTrain, FallsBackWhereThereIsNothingToFit) {
    const struct {
        const char *name;
        size_t width, count;
        uint64_t es;
        int value; // -1: random samples
        int result;
    } cases[] = {
        {"two rows", 10, 20, 2, -1, 0},       {"width 2", 2, 40, 4, -1, 0},
        {"width 1", 1, 40, 8, -1, 0},         {"element size 3", 10, 40, 3, -1, 1},
        {"element size 0", 10, 40, 0, -1, 1}, {"width 0", 0, 40, 1, -1, 1},
        {"ragged", 7, 40, 1, -1, 1},          {"all zero 1", 16, 160, 1, 0, 0},
        {"all zero 8", 16, 160, 8, 0, 0},     {"constant 2", 16, 160, 2, 77, 0},
        {"constant 4", 16, 160, 4, 77, 0},    {"constant 1", 16, 160, 1, 77, 0},
    };
    for (const auto &c : cases) {
        const uint64_t es = c.es == 2 || c.es == 4 || c.es == 8 ? c.es : 1;
        Elems x = vt::random_field(es, c.count, 3);
        if (c.value >= 0)
            for (size_t i = 0; i < c.count; ++i) x.set(i, uint64_t(c.value));
        const Trained t = train(x, c.width, c.es);
        EXPECT_EQ(t.result, c.result) << c.name;
        EXPECT_TRUE(is_fallback(t)) << c.name;
    }
}

TEST(WpStaticTrain, CandidateTable) {
    wt::Candidate table[wt::max_candidates];
    const double fitted[4] = {0.6, -0.3, 0.25, 0.5};
    ASSERT_EQ(wt::build_candidates(fitted, table), 10u);
    const int16_t fallback[4] = {1, -1, 0, 0}, shift0[4] = {1, 0, 0, 1},
                  shift8[4] = {154, -77, 64, 128};
    EXPECT_EQ(std::memcmp(table[0].weights, fallback, 8), 0);
    EXPECT_EQ(std::memcmp(table[1].weights, shift0, 8), 0); // halves away from zero
    EXPECT_EQ(std::memcmp(table[9].weights, shift8, 8), 0);
    for (unsigned i = 1; i < 10; ++i) {
        EXPECT_EQ(table[i].shift, i - 1);
        EXPECT_EQ(table[i].bias, i > 1 ? 1 << (i - 2) : 0);
    }

    // 200 x 2^k fits 16 bits up to k = 7; -32768.5 rounds out of range.
    const double large[4] = {200.0, 0, 0, 0}, edge[4] = {-32768.5, 0, 0, 0},
                 inside[4] = {-32768.49, 32767.49, 0, 0}, huge[4] = {0, 0, 0, 1e300};
    EXPECT_EQ(wt::build_candidates(large, table), 9u);
    EXPECT_EQ(table[8].shift, 7);
    EXPECT_EQ(table[8].weights[0], 25600);
    EXPECT_EQ(wt::build_candidates(edge, table), 1u);
    EXPECT_EQ(wt::build_candidates(inside, table), 2u);
    EXPECT_EQ(table[1].weights[0], -32768);
    EXPECT_EQ(table[1].weights[1], 32767);
    EXPECT_EQ(wt::build_candidates(huge, table), 1u);
    const double nan[4] = {std::nan(""), 0, 0, 0};
    EXPECT_EQ(wt::build_candidates(nan, table), 1u);
}

TEST(WpStaticTrain, SelectionMarginAndTies) {
    const double c0 = 5.4321;
    const double threshold = c0 - 0.003 * c0;
    const double below = std::nextafter(threshold, 0.0);
    const struct {
        uint64_t es;
        std::vector<double> costs;
        size_t chosen;
    } cases[] = {
        {4, {c0, threshold}, 0}, {8, {c0, threshold}, 0},
        {4, {c0, below}, 1},     {8, {c0, 5.0, below, 5.0}, 1},
        {2, {c0, threshold}, 1}, {1, {c0, std::nextafter(c0, 0.0)}, 1},
        {1, {c0, c0}, 0},        {2, {c0, 3.0, 2.0, 2.0, 3.0}, 2},
        {1, {0.0, 0.0, 0.0}, 0}, {4, {c0}, 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(wt::select(c.costs.data(), c.costs.size(), c.es), c.chosen)
            << c.es << " " << c.costs.size();
}

// The SSE2 sums are those of the portable loop, bit for bit; both are the
// plain sums of products in row order.
TEST(WpStaticTrain, NormalEquations) {
    for (uint64_t es : vt::widths) {
        for (const vt::Shape &shape : {vt::Shape{3, 9}, vt::Shape{5, 40}, vt::Shape{57, 57 * 7}}) {
            const Elems x = vt::random_field(es, shape.count, unsigned(shape.width));
            const double inv_scale = es >= 4 ? 1.0 / 3e9 : 1.0;
            double a[4][4], b[4], va[4][4], vb[4];
            wt::normal_equations(x.data(), shape.width, shape.count, es, inv_scale, false, a, b);
            wt::normal_equations(x.data(), shape.width, shape.count, es, inv_scale, true, va, vb);
            EXPECT_EQ(std::memcmp(a, va, sizeof a), 0) << es << " " << shape.width;
            EXPECT_EQ(std::memcmp(b, vb, sizeof b), 0) << es << " " << shape.width;
            const auto value = [&](size_t i) {
                return es >= 4 ? double(x.get(i)) * inv_scale : double(x.get(i));
            };
            double first = 0, target = 0; // N x NE and NN x (x - W), summed by hand
            for (size_t r = 2; r < shape.count / shape.width; ++r) {
                for (size_t c = 1; c + 1 < shape.width; ++c) {
                    const size_t i = r * shape.width + c;
                    double y = double(x.get(i)) - double(x.get(i - 1));
                    if (es >= 4) y = y * inv_scale;
                    first += value(i - shape.width) * value(i - shape.width + 1);
                    target += value(i - 2 * shape.width) * y;
                }
            }
            EXPECT_EQ(a[0][2], first);
            EXPECT_EQ(a[2][0], first);
            EXPECT_EQ(b[3], target);
        }
    }
}

TEST(WpStaticTrain, SingularSystems) {
    double a[4][4] = {{1, 2, 0, 0}, {2, 4, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}};
    double b[4] = {1, 2, 3, 4}, w[4];
    EXPECT_FALSE(wt::solve(a, b, w));
    // A small but clear pivot, found below the diagonal.
    double c[4][4] = {{0, 0, 0, 1e-6}, {0, 0, 1e-6, 0}, {0, 1e-6, 0, 0}, {1e-6, 0, 0, 0}};
    double d[4] = {4e-6, 3e-6, 2e-6, 1e-6};
    ASSERT_TRUE(wt::solve(c, d, w));
    EXPECT_DOUBLE_EQ(w[0], 1.0);
    EXPECT_DOUBLE_EQ(w[3], 4.0);
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
                    EXPECT_EQ(costs[i],
                              vt::ref_entropy_cost(encode(x, shape.width, k, table[i].shift)))
                        << "es " << es << " candidate " << i;
                }
            }
        }
    }
}

TEST(WpStaticTrain, BeatsPlanarWhereNortheastPredictsAndRoundTrips) {
    const size_t width = 96, count = 96 * 64;
    for (uint64_t es : vt::widths) {
        const Elems x = diagonal_field(es, width, count, 21);
        const Trained t = train(x, width, es);
        ASSERT_EQ(t.result, 0);
        EXPECT_FALSE(is_fallback(t)) << es;
        const Elems e = encode(x, width, t.weights, t.shift);
        const double trained = vt::ref_entropy_cost(e);
        const double fallback = vt::ref_entropy_cost(encode(x, width, planar, 0));
        EXPECT_LT(trained, fallback * 0.8) << es;
        for (int path : vt::paths()) {
            const vt::PathScope scope(path);
            EXPECT_EQ(decode(e, width, t.weights, t.shift), x) << es;
        }
    }
}

// Whatever training picks, the predictor round-trips with it.
TEST(WpStaticTrain, ChoicesRoundTrip) {
    for (uint64_t es : vt::widths) {
        for (const auto &shape :
             {vt::Shape{3, 9}, vt::Shape{37, 37 * 6}, vt::Shape{128, 128 * 4}}) {
            for (int field = 0; field < 2; ++field) {
                const Elems x = field ? vt::random_field(es, shape.count, 8)
                                      : vt::smooth_field(es, shape.width, shape.count, 8, 30);
                const Trained t = train(x, shape.width, es);
                ASSERT_EQ(t.result, 0);
                EXPECT_LE(t.shift, 8u);
                EXPECT_EQ(decode(encode(x, shape.width, t.weights, t.shift), shape.width, t.weights,
                                 t.shift),
                          x);
            }
        }
    }
}
