// The fitted linear predictor (linear.h) and a median predictor, rebuilt
// by sixteen strips at once. A tile's columns are cut into sixteen strips
// of strip_width(width) columns; strip k runs one row behind strip k - 1,
// so that when strip k starts a row, the strip to its left has finished
// that row and the strip to its right the row above. Every neighbour of
// the plain predictor in sample order is then there, and the strips of a
// vector rebuild side by side, each waiting only on itself: the samples
// are exactly those of the predictor in sample order, at a fraction of
// its chain of dependent steps.
//
// The median predictor takes the median of W, N and W + N - NW, with the
// fitted predictor's edges: the first row predicts W (its first sample
// 0), the first column of the other rows N. It keeps the edges between
// flat classes and coastlines that any mix of neighbours blurs.
#pragma once

#include <cstdint>

#include "chains.h"
#include "linear.h"

namespace varda::codec {

constexpr unsigned strip_count = 16;

inline uint64_t strip_width(uint64_t width) { return (width + strip_count - 1) / strip_count; }

struct StripPredictor {
    bool median = false;
    LinearWeights weights; // where it is not the median
};

// Integer samples of up to 32 bits: their codes, zigzagged residuals in
// the samples' words.
void strip_residuals(const StripPredictor &predictor, const Plane &plane,
                     const unsigned char *samples, unsigned char *codes);
// The samples from their codes, in place; with `zigzagged` false (the
// fitted predictor only) the codes are the residuals themselves, zigzag
// already undone.
void strip_rebuild(const StripPredictor &predictor, const Plane &plane, unsigned char *codes,
                   bool zigzagged = true);
// Whether strip_rebuild takes its vector path on this plane (and is then
// worth more than the plain pass).
bool strips_vectorise(const Plane &plane);

} // namespace varda::codec
