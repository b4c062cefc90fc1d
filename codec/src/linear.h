// A linear predictor trained on the tile it codes: ten causal neighbours,
// weighted in units of 2^-shift, the sum rounded and held to the range of
// the sample type. Least squares on a sample of rows picks the weights. On
// a smooth field under noise it averages several neighbours where the
// fixed predictors follow one, and it learns the directions of a terrain's
// or a photograph's edges.
//
// The neighbours, in the order of the weights, as (row, column) offsets:
// W (0,-1), N (-1,0), NW (-1,-1), NE (-1,1), WW (0,-2), NN (-2,0),
// NWW (-1,-2), NEE (-1,2), NNW (-2,-1), NNE (-2,1). The first row predicts
// from W (the first sample from 0), the first column of the other rows
// from N; elsewhere a neighbour past the tile's left or right edge takes
// the sample at the edge of its row, and the second row takes its own row
// above for the one two above.
#pragma once

#include <cstdint>

#include "chains.h"

namespace varda::codec {

constexpr unsigned linear_taps = 10;
// Weights beyond these bounds are refused: within them the sums of 16-bit
// samples stay within 32 bits.
constexpr int linear_max_weight = 2048;
constexpr unsigned linear_max_shift = 15;

struct LinearWeights {
    int16_t weight[linear_taps] = {};
    uint8_t shift = 0;
};

// Integer samples of up to 32 bits.
bool linear_applies(const Plane &plane);
bool linear_valid(const LinearWeights &weights);

// The planar predictor W + N - NW as weights.
LinearWeights planar_weights();

// Weights for these samples, always valid (those of the planar predictor
// where least squares finds nothing better to say).
LinearWeights train_linear(const Plane &plane, const unsigned char *samples);

// Zigzagged residuals in the samples' words, and the samples again from
// the residuals, zigzag undone (`out` may be `residuals`).
void linear_residuals(const LinearWeights &weights, const Plane &plane,
                      const unsigned char *samples, unsigned char *residuals);
void linear_rebuild(const LinearWeights &weights, const Plane &plane,
                    const unsigned char *residuals, unsigned char *out);

// The fitted predictor mixed with four that correct themselves by the
// errors they just made (W + NE - N, and N, W, N again less shares of the
// neighbours' errors): each part is weighed by the inverse square of its
// errors around the sample, so that the mix follows whichever part does
// best where it is. Samples of up to 16 bits; the weights need a shift of
// 3 or more (the mix works in eighths of a sample). `out` may not be the
// input.
bool mixed_applies(const Plane &plane);
bool mixed_valid(const LinearWeights &weights);
void mixed_residuals(const LinearWeights &weights, const Plane &plane, const unsigned char *samples,
                     unsigned char *residuals);
void mixed_rebuild(const LinearWeights &weights, const Plane &plane, const unsigned char *residuals,
                   unsigned char *out);

// Residuals handed to a rebuild one at a time, for a decoder whose next
// residual depends on the samples already rebuilt: `next(i)` gives sample
// i's residual (zigzag undone, in the samples' word) once every sample
// before i is in `out`, and is asked for i = 0, 1, 2, ... in turn.
class ResidualSource {
  public:
    virtual uint64_t next(uint64_t i) = 0;

  protected:
    ~ResidualSource() = default;
};
void linear_rebuild(const LinearWeights &weights, const Plane &plane, ResidualSource &residuals,
                    unsigned char *out);
void mixed_rebuild(const LinearWeights &weights, const Plane &plane, ResidualSource &residuals,
                   unsigned char *out);

} // namespace varda::codec
