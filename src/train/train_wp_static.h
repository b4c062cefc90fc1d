// The steps of weighted-predictor training, for the trainer and its tests.
#pragma once

#include <cstddef>
#include <cstdint>

#include "wp_static/wp_static.h"

namespace varda::wp_train {

inline constexpr size_t max_candidates = 10;
// Per candidate: one histogram of 256 counters per byte of a residual.
inline constexpr size_t histogram_words = 8 * 256;

struct Candidate {
    int16_t weights[4];
    uint8_t shift;
    int32_t bias;
};

// Sums of feature products over the training positions in row order, a
// (symmetric) and b, of features and targets times `inv_scale` for 4- and
// 8-byte samples. `vector` picks the SSE2 loop where there is one; both
// give the same bits.
void normal_equations(const void *src, uint64_t width, uint64_t count, uint64_t elem_size,
                      double inv_scale, bool vector, double a[4][4], double b[4]);

// Solves a.w = b (a and b are overwritten) by Gaussian elimination with
// partial pivoting; false when a pivot's magnitude is below 1e-12.
bool solve(double a[4][4], double b[4], double w[4]);

// The fallback, then the fitted weights rounded at shifts 0 .. 8 where
// they fit 16 bits. Returns the number of entries.
size_t build_candidates(const double fitted[4], Candidate table[max_candidates]);

// Bits per sample of the zigzag residual bytes of every candidate on the
// tile, exactly as the encoder would write them. False when the histogram
// workspace cannot be had.
bool candidate_costs(const void *src, uint64_t width, uint64_t count, uint64_t elem_size,
                     const Candidate *table, size_t n, double *costs);

// Index of the chosen candidate: the cheapest below the fallback's cost,
// less 0.3 % of it for 4- and 8-byte samples; the earlier one on ties.
size_t select(const double *costs, size_t n, uint64_t elem_size);

} // namespace varda::wp_train
