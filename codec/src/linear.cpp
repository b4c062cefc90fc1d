#include "linear.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <type_traits>
#include <vector>

#include "dtypes.h"
#include "words.h"

namespace varda::codec {

namespace {

// Rows are held as sums are taken, two columns of the edge sample on
// either side, so that the neighbours past an edge need no test.
constexpr uint64_t pad = 2;

template <class S> struct Sample {
    using Word = std::make_unsigned_t<S>;
    static constexpr bool narrow = sizeof(S) <= 2;
    using Acc = std::conditional_t<narrow, int32_t, int64_t>;
    // Rows are held in 16 bits where they fit, unsigned 16-bit samples
    // less 2^15, so that the sums over the rows above are products of
    // 16-bit numbers, which every vector unit widens cheaply.
    using Held = std::conditional_t<narrow, int16_t, int64_t>;
    static constexpr Acc bias = std::is_same_v<S, uint16_t> ? 32768 : 0;

    static Acc at(const unsigned char *base, uint64_t index) {
        S value;
        std::memcpy(&value, base + index * sizeof(S), sizeof(S));
        return value;
    }
    // The type's range, worked out in Acc from the type's width.
    static constexpr unsigned bits = 8 * sizeof(S);
    static constexpr Acc lo = std::is_signed_v<S> ? -(Acc(1) << (bits - 1)) : 0,
                         hi = std::is_signed_v<S> ? (Acc(1) << (bits - 1)) - 1
                                                  : Acc((int64_t(1) << bits) - 1);
    static Held held(Acc value) { return Held(value - bias); }
};

// One tile's rows in flight: the two above and the current one, padded.
template <class Held> struct Window {
    uint64_t width;
    std::vector<Held> storage;
    Held *up2, *up1, *cur;

    explicit Window(uint64_t w)
        : width(w), storage(3 * (w + 2 * pad)), up2(storage.data() + pad), up1(up2 + w + 2 * pad),
          cur(up1 + w + 2 * pad) {}

    void pad_row() {
        cur[-1] = cur[-2] = cur[0];
        cur[width] = cur[width + 1] = cur[width - 1];
    }
    // The current row becomes the row above; the second row reuses the
    // first as the row two above.
    void advance(uint64_t row) {
        if (row == 0) {
            std::copy_n(cur - pad, width + 2 * pad, up1 - pad);
            std::copy_n(cur - pad, width + 2 * pad, up2 - pad);
            return;
        }
        std::swap(up2, up1);
        std::swap(up1, cur);
    }
};

template <class S> struct Taps {
    using Acc = typename Sample<S>::Acc;
    // 16-bit factors, so that a product of two is a widening multiply.
    int16_t n, nw, ne, nww, nee, nn, nnw, nne;
    Acc w, ww, base;
    unsigned shift;

    explicit Taps(const LinearWeights &lw)
        : n(lw.weight[1]), nw(lw.weight[2]), ne(lw.weight[3]), nww(lw.weight[6]), nee(lw.weight[7]),
          nn(lw.weight[5]), nnw(lw.weight[8]), nne(lw.weight[9]), w(lw.weight[0]), ww(lw.weight[4]),
          shift(lw.shift) {
        const Acc above = Acc(n) + nw + ne + nww + nee + nn + nnw + nne;
        base = (shift ? Acc(1) << (shift - 1) : 0) + Sample<S>::bias * above;
    }

    // What the rows above give every column of the current row, with the
    // rounding term: no sample of the current row takes part, so these
    // sums vectorise.
    template <class Held> void above(const Window<Held> &rows, Acc *sums) const {
        // Each neighbour's row from its own first column, so that no index
        // goes below zero.
        const Held *a = rows.up1, *b = rows.up2, *a_w = a - 1, *a_ww = a - 2, *b_w = b - 1;
        for (uint64_t c = 0; c < rows.width; ++c)
            sums[c] = base + Acc(a[c]) * n + Acc(a_w[c]) * nw + Acc(a[c + 1]) * ne +
                      Acc(a_ww[c]) * nww + Acc(a[c + 2]) * nee + Acc(b[c]) * nn +
                      Acc(b_w[c]) * nnw + Acc(b[c + 1]) * nne;
    }

    // The encoder knows the whole current row too: every prediction of a
    // row at once (column 0's is of no use).
    template <class Held> void predictions(const Window<Held> &rows, Acc *sums) const {
        above(rows, sums);
        const Held *w1 = rows.cur - 1, *w2 = rows.cur - 2;
        const auto w16 = int16_t(w), ww16 = int16_t(ww);
        const Acc row_base = Sample<S>::bias * (w + ww);
        for (uint64_t c = 0; c < rows.width; ++c)
            sums[c] =
                held_to_range((sums[c] + row_base + Acc(w1[c]) * w16 + Acc(w2[c]) * ww16) >> shift);
    }

    // The prediction, held to the type's range: samples on a floor or a
    // ceiling (a dark background, saturation) are then predicted exactly.
    static Acc held_to_range(Acc p) { return std::clamp(p, Sample<S>::lo, Sample<S>::hi); }
    // In the decoder's chain from one sample to the next the range is a
    // branch, almost never taken, rather than two selects.
    Acc predict(Acc above_sum, Acc west, Acc west2) const {
        const Acc p = (above_sum + w * west + ww * west2) >> shift;
        if (__builtin_expect(p < Sample<S>::lo || p > Sample<S>::hi, 0)) return held_to_range(p);
        return p;
    }
};

// What both directions share: the weights, the rows in flight and the
// sums from the rows above.
template <class S> struct Pass {
    using T = Sample<S>;
    using Word = typename T::Word;
    using Acc = typename T::Acc;
    Taps<S> taps;
    uint64_t width, height;
    Window<typename T::Held> rows;
    std::vector<Acc> sums;

    Pass(const LinearWeights &lw, const Plane &plane)
        : taps(lw), width(plane.width), height(plane.count / plane.width), rows(width),
          sums(width) {}

    // A row's first sample is predicted by N.
    Acc north() const { return Acc(rows.up1[0]) + T::bias; }
};

template <class S>
void residuals_of(const LinearWeights &lw, const Plane &plane, const unsigned char *samples,
                  unsigned char *residuals) {
    Pass<S> pass(lw, plane);
    using T = typename Pass<S>::T;
    using Word = typename Pass<S>::Word;
    using Acc = typename Pass<S>::Acc;
    for (uint64_t r = 0; r < pass.height; ++r) {
        const uint64_t base = r * pass.width;
        auto *held = pass.rows.cur;
        for (uint64_t c = 0; c < pass.width; ++c) held[c] = T::held(T::at(samples, base + c));
        pass.rows.pad_row();
        Acc *prediction = pass.sums.data();
        if (r == 0) {
            prediction[0] = 0;
            for (uint64_t c = 1; c < pass.width; ++c) prediction[c] = Acc(held[c - 1]) + T::bias;
        } else {
            pass.taps.predictions(pass.rows, prediction);
            prediction[0] = pass.north();
        }
        for (uint64_t c = 0; c < pass.width; ++c)
            store<Word>(residuals, base + c,
                        zigzag(Word(Word(Acc(held[c]) + T::bias) - Word(prediction[c]))));
        pass.rows.advance(r);
    }
}

// `residual(i)` gives sample i's residual, asked in sample order.
template <class S, class Residual>
void rebuild(const LinearWeights &lw, const Plane &plane, Residual &&residual, unsigned char *out) {
    Pass<S> pass(lw, plane);
    using Acc = typename Pass<S>::Acc;
    for (uint64_t r = 0; r < pass.height; ++r) {
        const uint64_t base = r * pass.width;
        auto *held = pass.rows.cur;
        // The sample just rebuilt, from its prediction.
        const auto take = [&](uint64_t c, Acc prediction) {
            using Word = typename Pass<S>::Word;
            const S value = S(Word(Word(prediction) + Word(residual(base + c))));
            std::memcpy(out + (base + c) * sizeof(S), &value, sizeof(S));
            held[c] = Pass<S>::T::held(value);
            return Acc(value);
        };
        Acc west = 0, west2 = 0;
        if (r == 0) {
            west = take(0, 0);
            for (uint64_t c = 1; c < pass.width; ++c) west = take(c, west);
        } else {
            pass.taps.above(pass.rows, pass.sums.data());
            west2 = west = take(0, pass.north());
            for (uint64_t c = 1; c < pass.width; ++c) {
                const Acc x = take(c, pass.taps.predict(pass.sums[c], west, west2));
                west2 = west, west = x;
            }
        }
        pass.rows.pad_row();
        pass.rows.advance(r);
    }
}

// The mixed predictor's state: for the row above and the current one, the
// mix's own error and each part's, in eighths of a sample, padded so that
// the neighbours past either edge read as errors of zero.
constexpr unsigned mix_parts = 5;
constexpr uint32_t mix_part_weight[mix_parts] = {13, 12, 12, 12, 48};
// A part's error sum is held below this, so that its weight is a 32-bit
// division.
constexpr uint32_t mix_sum_cap = 1u << 15;
// Parts and mix are held within this many eighths beyond the type's range,
// so that errors fed back stay bounded whatever the residuals say.
constexpr int64_t mix_slack = int64_t(1) << 19;

struct MixRow {
    std::vector<int64_t> storage;
    int64_t *mix, *part[mix_parts];
    explicit MixRow(uint64_t width) : storage((mix_parts + 1) * (width + 2 * pad), 0) {
        mix = storage.data() + pad;
        for (unsigned k = 0; k < mix_parts; ++k) part[k] = mix + (k + 1) * (width + 2 * pad);
    }
};

inline int64_t floor_div(int64_t num, int64_t den) {
    const int64_t q = num / den;
    return q - ((num % den != 0) && ((num < 0) != (den < 0)));
}

// One pass in sample order, both ways: `rebuild` false turns samples `in`
// into zigzagged residuals, true residuals (zigzag undone, sample i's from
// `residual(i)`, asked in sample order) into samples.
template <class S, bool rebuild, class Residual>
void mix_pass(const LinearWeights &lw, const Plane &plane, const unsigned char *in,
              Residual &&residual, unsigned char *out) {
    using T = Sample<S>;
    using Word = typename T::Word;
    const uint64_t width = plane.width, height = plane.count / width;
    Window<int64_t> rows(width); // the samples themselves, not biased
    MixRow up(width), cur(width);
    const int64_t lo = int64_t(T::lo) * 8 - mix_slack, hi = int64_t(T::hi) * 8 + mix_slack;
    const auto bounded = [&](int64_t v) { return std::clamp(v, lo, hi); };
    int64_t wt[linear_taps];
    std::copy(std::begin(lw.weight), std::end(lw.weight), wt);
    // The fitted part in eighths, rounded.
    const unsigned to_eighths = lw.shift - 3;
    const int64_t rounding = to_eighths ? int64_t(1) << (to_eighths - 1) : 0;
    for (uint64_t r = 0; r < height; ++r) {
        const uint64_t base = r * width;
        int64_t *x = rows.cur;
        // The sample at column c once its prediction is known.
        const auto settle = [&](uint64_t c, int64_t prediction) {
            if constexpr (rebuild) {
                const S value = S(Word(Word(prediction) + Word(residual(base + c))));
                std::memcpy(out + (base + c) * sizeof(S), &value, sizeof(S));
                x[c] = T::at(out, base + c);
            } else {
                x[c] = T::at(in, base + c);
                store<Word>(out, base + c, zigzag(Word(Word(x[c]) - Word(prediction))));
            }
            return x[c] * 8;
        };
        if (r == 0) {
            // The first row from W, its errors left at zero.
            for (uint64_t c = 0; c < width; ++c) settle(c, c ? x[c - 1] : 0);
        } else {
            // Neighbours two columns left are read through pointers to
            // their row's padding, never by an index below zero.
            const int64_t *n = rows.up1, *nn = rows.up2, *n_left2 = rows.up1 - 2;
            const int64_t x8 = settle(0, n[0]);
            cur.mix[0] = n[0] * 8 - x8;
            for (unsigned k = 0; k < mix_parts; ++k)
                cur.part[k][0] = (std::abs(cur.mix[0]) + 4) >> 3;
            for (uint64_t c = 1; c < width; ++c) {
                const int64_t w = x[c - 1], north = n[c], nw = n[c - 1], ne = n[c + 1];
                const int64_t te_w = cur.mix[c - 1], te_n = up.mix[c], te_nw = up.mix[c - 1],
                              te_ne = up.mix[c + 1];
                // Column 1 takes column 0 for WW, as the fitted predictor does.
                const int64_t ww = x[c >= 2 ? c - 2 : 0];
                const int64_t fitted = wt[0] * w + wt[1] * north + wt[2] * nw + wt[3] * ne +
                                       wt[4] * ww + wt[5] * nn[c] + wt[6] * n_left2[c] +
                                       wt[7] * n[c + 2] + wt[8] * nn[c - 1] + wt[9] * nn[c + 1];
                const int64_t part[mix_parts] = {
                    bounded((w + ne - north) * 8),
                    bounded(north * 8 - (((te_w + te_n + te_ne) * 16) >> 5)),
                    bounded(w * 8 - (((te_w + te_n + te_nw) * 10) >> 5)),
                    bounded(north * 8 - (((te_nw + te_n + te_ne) * 7) >> 5)),
                    bounded((fitted + rounding) >> to_eighths)};
                int64_t num = 0, den = 0;
                for (unsigned k = 0; k < mix_parts; ++k) {
                    const int64_t *e = cur.part[k], *u = up.part[k], *e_left2 = e - 2;
                    const auto sum = uint32_t(std::min<int64_t>(
                        u[c] + e[c - 1] + u[c - 1] + e_left2[c] + u[c + 1] + 1, mix_sum_cap - 1));
                    const int64_t weight =
                        std::max<uint32_t>(1, (mix_part_weight[k] << 24) / (sum * sum));
                    num += weight * part[k];
                    den += weight;
                }
                int64_t mix8 = floor_div(num + den / 2, den);
                // Where the neighbours' errors disagree in sign, the mix stays
                // between the neighbours.
                if (((te_n ^ te_w) | (te_n ^ te_nw)) <= 0)
                    mix8 = std::clamp(mix8, std::min({w, north, ne}) * 8,
                                      std::max({w, north, ne}) * 8);
                const int64_t prediction = std::clamp<int64_t>((mix8 + 4) >> 3, T::lo, T::hi);
                const int64_t actual8 = settle(c, prediction);
                cur.mix[c] = mix8 - actual8;
                for (unsigned k = 0; k < mix_parts; ++k)
                    cur.part[k][c] = (std::abs(part[k] - actual8) + 4) >> 3;
            }
        }
        rows.pad_row();
        rows.advance(r);
        std::swap(up, cur);
    }
}

} // namespace

// The planar predictor W + N - NW, for tiles too small to train on.
LinearWeights planar_weights() {
    LinearWeights lw;
    lw.shift = 8;
    lw.weight[0] = 256, lw.weight[1] = 256, lw.weight[2] = -256;
    return lw;
}

namespace {

constexpr unsigned free_taps = linear_taps - 1; // W takes what the others leave
// The weights are fitted on this many rows spread evenly down the tile,
// and on at most this many samples of each: enough for ten weights, and a
// small part of the tile's coding time.
constexpr uint64_t training_rows = 32, training_columns = 128;

// Least squares for the weights of the neighbours other than W on
// (x - W) against (neighbour - W), so that the weights sum to one and a
// flat area is predicted exactly. For samples of up to 16 bits every
// product and sum is an exact integer in binary64, and the solution takes
// the same steps on every machine (no contraction into fused operations).
template <class S> LinearWeights train(const Plane &plane, const unsigned char *samples) {
    using Acc = typename Sample<S>::Acc;
    const uint64_t width = plane.width, height = plane.count / width;
    if (height < 3 || width < 5) return planar_weights();
    // The normal equations' sums, the target beside the neighbours so that
    // one square gathers them all, two columns at a time in the portable
    // vectors (each lane adds in the samples' order, as plain code would).
    typedef double pair __attribute__((vector_size(16)));
    constexpr unsigned terms = free_taps + 1, pairs = (terms + 1) / 2;
    pair m[terms][pairs] = {};
    const uint64_t step = std::max<uint64_t>(1, (height - 2) / training_rows),
                   column_step = (width - 4 + training_columns - 1) / training_columns;
    const auto x = [&](uint64_t r, uint64_t c) { return Sample<S>::at(samples, r * width + c); };
    for (uint64_t r = 2; r < height; r += step)
        for (uint64_t c = 2; c + 2 < width; c += column_step) {
            const Acc west = x(r, c - 1);
            const double d[2 * pairs] = {
                double(x(r - 1, c) - west),     double(x(r - 1, c - 1) - west),
                double(x(r - 1, c + 1) - west), double(x(r, c - 2) - west),
                double(x(r - 2, c) - west),     double(x(r - 1, c - 2) - west),
                double(x(r - 1, c + 2) - west), double(x(r - 2, c - 1) - west),
                double(x(r - 2, c + 1) - west), double(x(r, c) - west)};
            pair dv[pairs];
            std::memcpy(dv, d, sizeof dv);
            // The sums are symmetric: each row from the pair that holds
            // its diagonal on.
#pragma GCC unroll 10
            for (unsigned i = 0; i < terms; ++i) {
                const pair di = {d[i], d[i]};
#pragma GCC unroll 5
                for (unsigned j = i / 2; j < pairs; ++j) m[i][j] += di * dv[j];
            }
        }
    const auto sum = [&](unsigned i, unsigned j) {
        return i <= j ? m[i][j / 2][j % 2] : m[j][i / 2][i % 2];
    };
    double a[free_taps][free_taps], b[free_taps];
    for (unsigned i = 0; i < free_taps; ++i) {
        for (unsigned j = 0; j < free_taps; ++j) a[i][j] = sum(i, j);
        b[i] = sum(i, free_taps);
    }
    // A little ridge keeps the system solvable where neighbours move
    // together (a constant or a one-dimensional tile).
    double trace = 0;
    for (unsigned i = 0; i < free_taps; ++i) trace += a[i][i];
    if (!(trace > 0) || !std::isfinite(trace)) return planar_weights();
    for (unsigned i = 0; i < free_taps; ++i) a[i][i] += 1e-6 * trace / free_taps;
    // Cholesky: a = L L^T, L kept in the lower triangle.
    double l[free_taps][free_taps] = {};
    for (unsigned j = 0; j < free_taps; ++j) {
        double diag = a[j][j];
        for (unsigned k = 0; k < j; ++k) diag -= l[j][k] * l[j][k];
        if (!(diag > 0)) return planar_weights();
        l[j][j] = std::sqrt(diag);
        for (unsigned i = j + 1; i < free_taps; ++i) {
            double v = a[j][i];
            for (unsigned k = 0; k < j; ++k) v -= l[i][k] * l[j][k];
            l[i][j] = v / l[j][j];
        }
    }
    double y[free_taps], coef[free_taps];
    for (unsigned i = 0; i < free_taps; ++i) {
        double v = b[i];
        for (unsigned k = 0; k < i; ++k) v -= l[i][k] * y[k];
        y[i] = v / l[i][i];
    }
    for (unsigned i = free_taps; i-- > 0;) {
        double v = y[i];
        for (unsigned k = i + 1; k < free_taps; ++k) v -= l[k][i] * coef[k];
        coef[i] = v / l[i][i];
    }
    LinearWeights lw;
    lw.shift = 8;
    const double unit = double(1 << lw.shift);
    int rest = 1 << lw.shift;
    for (unsigned i = 0; i < free_taps; ++i) {
        if (!std::isfinite(coef[i])) return planar_weights();
        const double scaled =
            std::clamp(coef[i] * unit, -double(linear_max_weight), double(linear_max_weight));
        lw.weight[i + 1] = int16_t(std::lround(scaled));
        rest -= lw.weight[i + 1];
    }
    if (rest < -linear_max_weight || rest > linear_max_weight) return planar_weights();
    lw.weight[0] = int16_t(rest);
    return lw;
}

} // namespace

bool linear_applies(const Plane &plane) { return is_integer(plane.dtype) && plane.elem_size <= 4; }

bool linear_valid(const LinearWeights &lw) {
    return lw.shift <= linear_max_shift &&
           std::all_of(std::begin(lw.weight), std::end(lw.weight),
                       [](int16_t w) { return w >= -linear_max_weight && w <= linear_max_weight; });
}

LinearWeights train_linear(const Plane &plane, const unsigned char *samples) {
    LinearWeights lw = planar_weights();
    with_sample_type(plane.dtype, [&]<class S>() { lw = train<S>(plane, samples); });
    return lw;
}

void linear_residuals(const LinearWeights &weights, const Plane &plane,
                      const unsigned char *samples, unsigned char *residuals) {
    with_sample_type(plane.dtype,
                     [&]<class S>() { residuals_of<S>(weights, plane, samples, residuals); });
}

void linear_rebuild(const LinearWeights &weights, const Plane &plane,
                    const unsigned char *residuals, unsigned char *out) {
    with_sample_type(plane.dtype, [&]<class S>() {
        rebuild<S>(
            weights, plane,
            [&](uint64_t i) { return load<typename Sample<S>::Word>(residuals, i); }, out);
    });
}

void linear_rebuild(const LinearWeights &weights, const Plane &plane, ResidualSource &residuals,
                    unsigned char *out) {
    with_sample_type(plane.dtype, [&]<class S>() {
        rebuild<S>(
            weights, plane, [&](uint64_t i) { return residuals.next(i); }, out);
    });
}

bool mixed_applies(const Plane &plane) { return is_integer(plane.dtype) && plane.elem_size <= 2; }

bool mixed_valid(const LinearWeights &weights) {
    return linear_valid(weights) && weights.shift >= 3;
}

void mixed_residuals(const LinearWeights &weights, const Plane &plane, const unsigned char *samples,
                     unsigned char *residuals) {
    with_sample_type(plane.dtype, [&]<class S>() {
        mix_pass<S, false>(
            weights, plane, samples, [](uint64_t) { return 0; }, residuals);
    });
}

void mixed_rebuild(const LinearWeights &weights, const Plane &plane, const unsigned char *residuals,
                   unsigned char *out) {
    with_sample_type(plane.dtype, [&]<class S>() {
        mix_pass<S, true>(
            weights, plane, residuals,
            [&](uint64_t i) { return load<typename Sample<S>::Word>(residuals, i); }, out);
    });
}

void mixed_rebuild(const LinearWeights &weights, const Plane &plane, ResidualSource &residuals,
                   unsigned char *out) {
    with_sample_type(plane.dtype, [&]<class S>() {
        mix_pass<S, true>(
            weights, plane, nullptr, [&](uint64_t i) { return residuals.next(i); }, out);
    });
}

} // namespace varda::codec
