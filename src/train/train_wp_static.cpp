// Training of the static weighted predictor: a ridge-regularised least
// squares fit of x - W on N, NW, NE and NN, rounded to fixed point at
// several precisions, each candidate measured by the order-0 entropy of the
// residual bytes it would give on this tile. Floating-point steps keep a
// fixed order, so that the same tile always gives the same choice.
#include "train/train_wp_static.h"

#include <bit>
#include <cmath>
#include <cstdlib>
#include <utility>

#include "frame/elem.h"
#include "frame/planar_row.h"
#include "frame/tile.h"
#include "frame/zigzag.h"
#include "varda_kernels.h"
#include "wp_static/wp_static.h"

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

// One position's contribution to the sums of feature products (N, NW, NE,
// NN) and of features times the target x - W.
struct Sums {
    double s[4][4] = {}, t[4] = {};

    void add(const double f[4], double y) {
        for (int i = 0; i < 4; ++i) {
            for (int j = i; j < 4; ++j) s[i][j] += f[i] * f[j];
            t[i] += f[i] * y;
        }
    }
};

// A training position's features and target, scaled by 1 / D where the
// element size asks for it (for the others the factor would be an exact 1).
template <Element T, bool Scaled> struct Features {
    const void *src;
    size_t width;
    double inv_scale;

    double value(size_t i) const {
        if constexpr (Scaled)
            return double(load<T>(src, i)) * inv_scale;
        else
            return double(load<T>(src, i));
    }
    void at(size_t row, size_t c, double f[4], double &y) const {
        const size_t up = row - width, up2 = row - 2 * width;
        f[0] = value(up + c);
        f[1] = value(up + c - 1);
        f[2] = value(up + c + 1);
        f[3] = value(up2 + c);
        y = double(load<T>(src, row + c)) - double(load<T>(src, row + c - 1));
        if constexpr (Scaled) y = y * inv_scale;
    }
};

template <Element T, bool Scaled>
void sums_portable(const Features<T, Scaled> &in, size_t count, Sums &sums) {
    const size_t width = in.width;
    for (size_t row = 2 * width; row < count; row += width) {
        for (size_t c = 1; c + 1 < width; ++c) {
            double f[4], y;
            in.at(row, c, f, y);
            sums.add(f, y);
        }
    }
}

#if VARDA_X86
// The same sums, two of them per SSE2 register: each lane still adds its
// own products in position order, so the results are bit for bit those of
// the portable loop.
template <Element T, bool Scaled>
void sums_sse2(const Features<T, Scaled> &in, size_t count, Sums &sums) {
    const size_t width = in.width;
    __m128d diag01 = _mm_setzero_pd(), diag23 = diag01, n_nw_ne = diag01, n_nn_nw_ne = diag01,
            nw_ne_nn = diag01, target01 = diag01, target23 = diag01;
    for (size_t row = 2 * width; row < count; row += width) {
        for (size_t c = 1; c + 1 < width; ++c) {
            double f[4], y;
            in.at(row, c, f, y);
            const __m128d f01 = _mm_set_pd(f[1], f[0]), f23 = _mm_set_pd(f[3], f[2]);
            const __m128d f12 = _mm_shuffle_pd(f01, f23, 1), f32 = _mm_shuffle_pd(f23, f23, 1);
            const __m128d yy = _mm_set1_pd(y);
            diag01 = _mm_add_pd(diag01, _mm_mul_pd(f01, f01));                   // s00 s11
            diag23 = _mm_add_pd(diag23, _mm_mul_pd(f23, f23));                   // s22 s33
            n_nw_ne = _mm_add_pd(n_nw_ne, _mm_mul_pd(_mm_set1_pd(f[0]), f12));   // s01 s02
            n_nn_nw_ne = _mm_add_pd(n_nn_nw_ne, _mm_mul_pd(f01, f32));           // s03 s12
            nw_ne_nn = _mm_add_pd(nw_ne_nn, _mm_mul_pd(f12, _mm_set1_pd(f[3]))); // s13 s23
            target01 = _mm_add_pd(target01, _mm_mul_pd(f01, yy));
            target23 = _mm_add_pd(target23, _mm_mul_pd(f23, yy));
        }
    }
    double pair[2];
    const auto take = [&](__m128d v, double &lo, double &hi) {
        _mm_storeu_pd(pair, v);
        lo = pair[0];
        hi = pair[1];
    };
    take(diag01, sums.s[0][0], sums.s[1][1]);
    take(diag23, sums.s[2][2], sums.s[3][3]);
    take(n_nw_ne, sums.s[0][1], sums.s[0][2]);
    take(n_nn_nw_ne, sums.s[0][3], sums.s[1][2]);
    take(nw_ne_nn, sums.s[1][3], sums.s[2][3]);
    take(target01, sums.t[0], sums.t[1]);
    take(target23, sums.t[2], sums.t[3]);
}
#endif

template <Element T, bool Scaled>
Sums sums_of(const void *src, size_t width, size_t count, double inv_scale, bool vector) {
    const Features<T, Scaled> in{src, width, inv_scale};
    Sums sums;
#if VARDA_X86
    if (vector) {
        sums_sse2(in, count, sums);
        return sums;
    }
#endif
    (void)vector;
    sums_portable(in, count, sums);
    return sums;
}

// Codes of columns first .. end - 1 of one row for one candidate, into
// out[0 ..]: the zigzag of the residual the encoder would write.
template <Element T>
void row_codes(T *out, const void *line, const void *north, const void *north2, size_t width,
               size_t first, size_t end, const WpCoeffs &k, const WpVector &v) {
    const auto one = [&](size_t c) {
        const T west = c ? load<T>(line, c - 1) : T(0);
        const T term = wp_term<T>(k, wp_neighbours<T>(north, north2, width, c));
        out[c - first] = zigzag(wp_residual(load<T>(line, c), west, term));
    };
    size_t c = first;
    if (c == 0) one(c++);
#if VARDA_X86
    if (north != nullptr) {
        c = wp_term_blocks<T>(v, north, north2, width, c, end, [&](size_t col, __m128i term) {
            const __m128i residual = vec::sub<T>(west_delta<T>(line, 0, col), term);
            vec::store16(out + (col - first), vec::zigzag<T>(residual));
        });
    }
#else
    (void)v;
#endif
    for (; c < end; ++c) one(c);
}

template <Element T> size_t significant_bytes(T v) {
    size_t n = 0;
    for (; v; v = T(v >> 8)) ++n;
    return n;
}

// Counts byte `byte` of each code.
template <Element T> void count_bytes(uint32_t *hist, const T *codes, size_t len, size_t byte) {
    if constexpr (std::endian::native == std::endian::little) {
        const auto *bytes = reinterpret_cast<const unsigned char *>(codes) + byte;
        for (size_t c = 0; c < len; ++c) ++hist[bytes[c * sizeof(T)]];
    } else {
        for (size_t c = 0; c < len; ++c) ++hist[(codes[c] >> (8 * byte)) & 0xFFu];
    }
}

// Rows are taken in pieces, and each candidate's codes of a piece are made
// in a small buffer and counted there. High bytes that are zero in every
// code of a piece (most of them, on smooth data) are counted in one step.
template <Element T>
void count_residual_bytes(const void *src, size_t width, size_t count, const WpCoeffs *coeffs,
                          const WpVector *vectors, size_t n, uint32_t *histograms) {
    constexpr size_t piece = 256;
    T codes[piece];
    for (size_t row = 0; row < count; row += width) {
        const void *line = at<T>(src, row);
        const void *north = row ? at<T>(src, row - width) : nullptr;
        const void *north2 = row >= 2 * width ? at<T>(src, row - 2 * width) : nullptr;
        for (size_t first = 0; first < width; first += piece) {
            const size_t end = width - first < piece ? width : first + piece;
            const size_t len = end - first;
            for (size_t i = 0; i < n; ++i) {
                row_codes<T>(codes, line, north, north2, width, first, end, coeffs[i], vectors[i]);
                uint32_t *hist = histograms + i * histogram_words;
                T any = 0;
                for (size_t c = 0; c < len; ++c) any |= codes[c];
                const size_t bytes = significant_bytes(any);
                for (size_t byte = 0; byte < bytes; ++byte, hist += 256)
                    count_bytes<T>(hist, codes, len, byte);
                for (size_t byte = bytes; byte < sizeof(T); ++byte, hist += 256)
                    hist[0] += uint32_t(len);
            }
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
    normal_equations(src, width, count, sizeof(T), 1.0 / scale, true, a, b);

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

void normal_equations(const void *src, uint64_t width, uint64_t count, uint64_t elem_size,
                      double inv_scale, bool vector, double a[4][4], double b[4]) {
    const Sums sums = with_width(elem_size, Sums{}, [&]<Element T>() {
        if constexpr (sizeof(T) >= 4)
            return sums_of<T, true>(src, width, count, inv_scale, vector);
        else
            return sums_of<T, false>(src, width, count, inv_scale, vector);
    });
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 4; ++j) a[i][j] = j >= i ? sums.s[i][j] : sums.s[j][i];
        b[i] = sums.t[i];
    }
}

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
    table[0] = Candidate{
        {fallback_weights[0], fallback_weights[1], fallback_weights[2], fallback_weights[3]}, 0, 0};
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
    WpCoeffs coeffs[max_candidates]{}; // every entry feeds a WpVector below, used or not
    for (size_t i = 0; i < n; ++i) coeffs[i] = wp_coeffs(table[i].weights, table[i].shift);
    const WpVector vectors[max_candidates] = {{coeffs[0], elem_size}, {coeffs[1], elem_size},
                                              {coeffs[2], elem_size}, {coeffs[3], elem_size},
                                              {coeffs[4], elem_size}, {coeffs[5], elem_size},
                                              {coeffs[6], elem_size}, {coeffs[7], elem_size},
                                              {coeffs[8], elem_size}, {coeffs[9], elem_size}};
    with_width(elem_size, 0, [&]<Element T>() {
        count_residual_bytes<T>(src, width, count, coeffs, vectors, n, histograms);
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

extern "C" VARDA_API int wp_static_train(int16_t *weights_out, uint8_t *shift_out, const void *src,
                                         uint64_t width, uint64_t count, uint64_t elem_size) {
    for (int i = 0; i < 4; ++i) weights_out[i] = wp_train::fallback_weights[i];
    *shift_out = 0;
    if (!valid_elem_size(elem_size) || !valid_tile(width, count)) return 1;
    if (count / width <= 2 || width <= 2) return 0;
    return with_width(elem_size, 1, [&]<Element T>() {
        return wp_train::train<T>(weights_out, shift_out, src, width, count);
    });
}
