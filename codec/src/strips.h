// The fitted linear predictor over vertical strips, for decoders that
// rebuild many samples at once. A tile's columns are cut into `lanes`
// strips of strip_width(width, lanes) columns (the last may be narrower,
// or empty on a narrow tile); lane k owns columns [k s, (k + 1) s). When a
// row starts, the rows above are whole, so every strip has its N, NW, NE
// and the rest; only the row's own W and WW left of a strip's first
// column are missing, and they take the samples above them. The strips of
// a row then rebuild side by side, each waiting only on itself.
//
// The neighbours and weights are those of linear.h: W, N, NW, NE, WW, NN,
// NWW, NEE, NNW, NNE. In rows 1 on, a neighbour in a row above past the
// tile's left or right edge takes the sample at that end of its row, the
// second row takes the first as the row two above, and the current row's
// W and WW left of the strip take the samples above them (as NW and NWW,
// edges held as before). The prediction is floor((sum + 2^(s-1)) / 2^s)
// (no rounding term when s = 0) held to the sample type's range; the code
// is the sample less the prediction in the type's width, zigzagged. The
// first row predicts W, its first sample 0, across the whole row.
//
// In place of the weights, the median predictor: the median of W, N and
// W + N - NW, from the same neighbours (edge terrain and coastlines, where
// a fixed mix of neighbours blurs the edge).
#pragma once

#include <cstdint>

#include "chains.h"
#include "linear.h"

namespace varda::codec {

constexpr unsigned max_strip_lanes = 32;

inline uint64_t strip_width(uint64_t width, unsigned lanes) { return (width + lanes - 1) / lanes; }

struct StripPredictor {
    bool median = false;
    LinearWeights weights; // where it is not the median
};

// Integer samples of up to 32 bits, as the fitted predictor takes.
void strip_residuals(const StripPredictor &predictor, const Plane &plane, unsigned lanes,
                     const unsigned char *samples, unsigned char *codes);
// The samples from their codes, in place.
void strip_rebuild(const StripPredictor &predictor, const Plane &plane, unsigned lanes,
                   unsigned char *codes);

} // namespace varda::codec
