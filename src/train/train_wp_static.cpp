// Training of the static weighted predictor: a ridge-regularised least
// squares fit of x - W on N, NW, NE and NN, rounded to fixed point at
// several precisions, each candidate measured by the order-0 entropy of the
// residual bytes it would give on this tile. Floating-point steps keep a
// fixed order, so that the same tile always gives the same choice.
#include "train/train_wp_static.h"

#include <cmath>
#include <cstdlib>
#include <utility>

#include "frame/elem.h"
#include "frame/tile.h"
#include "frame/wp_static.h"
#include "frame/zigzag.h"
#include "varda_kernels.h"

namespace varda::wp_train {

namespace {

constexpr int16_t fallback_weights[4] = {1, -1, 0, 0};

// lround(v) lies in -32768 .. 32767 (halves round away from zero); false
// for NaN.
bool fits16(double v) { return v > -32768.5 && v < 32767.5; }

bool round_into(const double fitted[4], int k, Candidate &out) {
    int16_t rounded[4];
    for (int i = 0; i < 4; ++i) {
        const double scaled = std::ldexp(fitted[i], k);
        if (!fits16(scaled)) return false;
        rounded[i] = static_cast<int16_t>(std::lround(scaled));
    }
    for (int i = 0; i < 4; ++i) out.weights[i] = rounded[i];
    out.shift = static_cast<uint8_t>(k);
    out.bias = k ? int32_t(1) << (k - 1) : 0;
    return true;
}

// Largest of 1 and every x, N, NW, NE, NN at a training position.
template <Element T> double scale_of(const void *src, size_t width, size_t count) {
    double largest = 1.0;
    const auto take = [&](T v) {
        const double d = double(v);
        if (d > largest) largest = d;
    };
    for (size_t row = 2 * width; row < count; row += width) {
        for (size_t c = 1; c + 1 < width; ++c) {
            take(load<T>(src, row + c));
            take(load<T>(src, row - width + c));
            take(load<T>(src, row - width + c - 1));
            take(load<T>(src, row - width + c + 1));
            take(load<T>(src, row - 2 * width + c));
        }
    }
    return largest;
}

// Sums of feature products (N, NW, NE, NN) and of features times x - W,
// over the training positions in row order. Scaled features are value x
// (1 / D); unscaled ones skip the exact multiplication by 1.
template <Element T, bool Scaled>
void normal_equations(const void *src, size_t width, size_t count, double inv_scale,
                      double a[4][4], double b[4]) {
    double s[4][4] = {}, t[4] = {};
    const auto value = [&](size_t i) {
        if constexpr (Scaled)
            return double(load<T>(src, i)) * inv_scale;
        else
            return double(load<T>(src, i));
    };
    for (size_t row = 2 * width; row < count; row += width) {
        const size_t up = row - width, up2 = row - 2 * width;
        for (size_t c = 1; c + 1 < width; ++c) {
            const double f[4] = {value(up + c), value(up + c - 1), value(up + c + 1),
                                 value(up2 + c)};
            double y = double(load<T>(src, row + c)) - double(load<T>(src, row + c - 1));
            if constexpr (Scaled) y = y * inv_scale;
            for (int i = 0; i < 4; ++i) {
                for (int j = i; j < 4; ++j) s[i][j] += f[i] * f[j];
                t[i] += f[i] * y;
            }
        }
    }
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 4; ++j) a[i][j] = j >= i ? s[i][j] : s[j][i];
        b[i] = t[i];
    }
}

template <Element T>
void count_residual_bytes(const void *src, size_t width, size_t count, const WpCoeffs *coeffs,
                          size_t n, uint32_t *histograms) {
    for (size_t row = 0; row < count; row += width) {
        const void *north = row ? at<T>(src, row - width) : nullptr;
        const void *north2 = row >= 2 * width ? at<T>(src, row - 2 * width) : nullptr;
        T west = 0;
        for (size_t c = 0; c < width; ++c) {
            const T x = load<T>(src, row + c);
            const WpNeighbours nb = wp_neighbours<T>(north, north2, width, c);
            for (size_t i = 0; i < n; ++i) {
                const T code = zigzag(wp_residual(x, west, wp_term<T>(coeffs[i], nb)));
                uint32_t *hist = histograms + i * histogram_words;
                for (size_t byte = 0; byte < sizeof(T); ++byte)
                    ++hist[byte * 256 + ((code >> (8 * byte)) & 0xFFu)];
            }
            west = x;
        }
    }
}

double entropy_bits(const uint32_t *hist, uint64_t count) {
    const double inv_count = 1.0 / double(count);
    double sum = 0.0;
    for (size_t v = 0; v < 256; ++v) {
        if (hist[v] == 0) continue;
        const double p = double(hist[v]) * inv_count;
        sum += p * std::log2(p);
    }
    return -sum;
}

template <Element T>
int train(int16_t *weights_out, uint8_t *shift_out, const void *src, size_t width, size_t count) {
    double scale = 1.0;
    if constexpr (sizeof(T) >= 4) scale = scale_of<T>(src, width, count);
    double a[4][4], b[4], fitted[4];
    if constexpr (sizeof(T) >= 4)
        normal_equations<T, true>(src, width, count, 1.0 / scale, a, b);
    else
        normal_equations<T, false>(src, width, count, 1.0, a, b);

    // A millionth of the mean diagonal entry, plus a floor.
    const double ridge = ((a[1][1] + a[0][0] + a[2][2] + a[3][3]) * 0.25) * 1e-6 + 1e-9;
    for (int i = 0; i < 4; ++i) a[i][i] += ridge;
    if (!solve(a, b, fitted)) return 0;

    Candidate table[max_candidates];
    const size_t n = build_candidates(fitted, table);
    double costs[max_candidates];
    if (!candidate_costs(src, width, count, sizeof(T), table, n, costs)) return 0;
    const Candidate &chosen = table[select(costs, n, sizeof(T))];
    for (int i = 0; i < 4; ++i) weights_out[i] = chosen.weights[i];
    *shift_out = chosen.shift;
    return 0;
}

} // namespace

bool solve(double a[4][4], double b[4], double w[4]) {
    for (int k = 0; k < 4; ++k) {
        int pivot = k;
        for (int i = k + 1; i < 4; ++i)
            if (std::fabs(a[i][k]) > std::fabs(a[pivot][k])) pivot = i;
        if (std::fabs(a[pivot][k]) < 1e-12) return false;
        if (pivot != k) {
            for (int j = 0; j < 4; ++j) std::swap(a[k][j], a[pivot][j]);
            std::swap(b[k], b[pivot]);
        }
        for (int i = k + 1; i < 4; ++i) {
            const double factor = a[i][k] / a[k][k];
            for (int j = k; j < 4; ++j) a[i][j] -= factor * a[k][j];
            b[i] -= factor * b[k];
        }
    }
    for (int i = 3; i >= 0; --i) {
        double rest = b[i];
        for (int j = i + 1; j < 4; ++j) rest -= a[i][j] * w[j];
        w[i] = rest / a[i][i];
    }
    return true;
}

size_t build_candidates(const double fitted[4], Candidate table[max_candidates]) {
    table[0] = Candidate{{fallback_weights[0], fallback_weights[1], fallback_weights[2],
                          fallback_weights[3]},
                         0,
                         0};
    size_t n = 1;
    for (int k = 0; k <= 8; ++k)
        if (round_into(fitted, k, table[n])) ++n;
    return n;
}

bool candidate_costs(const void *src, uint64_t width, uint64_t count, uint64_t elem_size,
                     const Candidate *table, size_t n, double *costs) {
    auto *histograms =
        static_cast<uint32_t *>(std::calloc(max_candidates, histogram_words * sizeof(uint32_t)));
    if (histograms == nullptr) return false;
    WpCoeffs coeffs[max_candidates];
    for (size_t i = 0; i < n; ++i) coeffs[i] = wp_coeffs(table[i].weights, table[i].shift);
    with_width(elem_size, 0, [&]<Element T>() {
        count_residual_bytes<T>(src, width, count, coeffs, n, histograms);
        return 0;
    });
    for (size_t i = 0; i < n; ++i) {
        double cost = 0.0;
        for (size_t byte = 0; byte < elem_size; ++byte)
            cost += entropy_bits(histograms + i * histogram_words + byte * 256, count);
        costs[i] = cost;
    }
    std::free(histograms);
    return true;
}

size_t select(const double *costs, size_t n, uint64_t elem_size) {
    const double fallback = costs[0];
    const double threshold = elem_size >= 4 ? fallback - 0.003 * fallback : fallback;
    double best = fallback;
    size_t chosen = 0;
    for (size_t i = 1; i < n; ++i) {
        if (costs[i] < threshold && costs[i] < best) {
            best = costs[i];
            chosen = i;
        }
    }
    return chosen;
}

} // namespace varda::wp_train

using namespace varda;

extern "C" VARDA_API int wp_static_train(int16_t *weights_out, uint8_t *shift_out,
                                         const void *src, uint64_t width, uint64_t count,
                                         uint64_t elem_size) {
    for (int i = 0; i < 4; ++i) weights_out[i] = wp_train::fallback_weights[i];
    *shift_out = 0;
    if (!valid_elem_size(elem_size) || !valid_tile(width, count)) return 1;
    if (count / width <= 2 || width <= 2) return 0;
    return with_width(elem_size, 1, [&]<Element T>() {
        return wp_train::train<T>(weights_out, shift_out, src, width, count);
    });
}
