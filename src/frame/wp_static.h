// The correction term of the static weighted predictor: a fixed-point
// combination of N, NW, NE and NN that, added to W, predicts a sample. The
// encoder, the decoder and the trainer all compute it here, so the trainer
// measures exactly the residuals the encoder will write.
#pragma once

#include <cstddef>
#include <cstdint>

#include "frame/elem.h"

namespace varda {

// Four weights (N, NW, NE, NN) sign-extended to 64 bits, the rounding bias
// 2^(shift - 1) (0 for shift 0) and the shift, at most 63.
struct WpCoeffs {
    uint64_t w[4];
    uint64_t bias;
    unsigned shift;
};

inline WpCoeffs wp_coeffs(const int16_t weights[4], unsigned shift) {
    WpCoeffs k{};
    for (int i = 0; i < 4; ++i) k.w[i] = uint64_t(int64_t(weights[i]));
    k.bias = shift ? uint64_t(1) << (shift - 1) : 0;
    k.shift = shift;
    return k;
}

// Neighbour values zero-extended to 64 bits; 0 where outside the tile.
struct WpNeighbours {
    uint64_t n, nw, ne, nn;
};

// Neighbours of column c of a row, given the row above (`north`, null on
// the first row) and the one above that (`north2`, null on the first two).
template <Element T>
inline WpNeighbours wp_neighbours(const void *north, const void *north2, size_t width, size_t c) {
    WpNeighbours nb{0, 0, 0, 0};
    if (north == nullptr) return nb;
    nb.n = load<T>(north, c);
    if (c > 0) nb.nw = load<T>(north, c - 1);
    if (c + 1 < width) nb.ne = load<T>(north, c + 1);
    if (north2 != nullptr) nb.nn = load<T>(north2, c);
    return nb;
}

// The 64-bit sum wraps; the shift is arithmetic on the wrapped value; the
// result is truncated to the element width.
template <Element T> inline T wp_term(const WpCoeffs &k, const WpNeighbours &nb) {
    const uint64_t sum = k.bias + k.w[0] * nb.n + k.w[1] * nb.nw + k.w[2] * nb.ne + k.w[3] * nb.nn;
    return static_cast<T>(uint64_t(int64_t(sum) >> k.shift));
}

// The residual of sample x with west neighbour `west` (0 in column 0).
template <Element T> inline T wp_residual(T x, T west, T term) { return sub(sub(x, west), term); }

} // namespace varda
