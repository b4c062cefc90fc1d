// The noise fit's block statistics straight from their definition, and
// rasters with shot noise of a chosen curve in every sample type.
#pragma once

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "support/lossy_support.h"

namespace vt {

struct RefBlock {
    double mean, variance;
};

// Every 8 x 8 block of a raster of doubles whose second differences are all
// finite, band by band, left to right.
inline std::vector<RefBlock> ref_blocks(const std::vector<double> &px, size_t width, size_t rows) {
    std::vector<RefBlock> out;
    auto at = [&](size_t r, size_t c) { return px[r * width + c]; };
    for (size_t top = 1; top + 8 < rows; top += 8) {
        for (size_t left = 1; left + 8 < width; left += 8) {
            double sum = 0, total = 0;
            bool finite = true;
            for (size_t r = top; r < top + 8; ++r) {
                for (size_t c = left; c < left + 8; ++c) {
                    const double d =
                        4 * at(r, c) -
                        2 * (at(r - 1, c) + at(r + 1, c) + at(r, c - 1) + at(r, c + 1)) +
                        (at(r - 1, c - 1) + at(r - 1, c + 1) + at(r + 1, c - 1) + at(r + 1, c + 1));
                    finite = finite && std::isfinite(d);
                    sum += at(r, c);
                    total += d * d;
                }
            }
            if (finite) out.push_back({sum / 64, total / 2304 / 0.624732});
        }
    }
    return out;
}

// A ramp from `lo` to `hi` along the columns plus Gaussian noise of
// variance a + b x. A linear ramp is invisible to the second difference.
// Integer samples are rounded to nearest.
inline Bytes shot_raster(uint32_t dtype, size_t width, size_t rows, double lo, double hi, double a,
                         double b, uint32_t seed) {
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> unit(0.0, 1.0);
    std::vector<double> values(width * rows);
    for (size_t r = 0; r < rows; ++r) {
        for (size_t c = 0; c < width; ++c) {
            const double signal = lo + (hi - lo) * double(c) / double(width - 1);
            const double x = signal + unit(rng) * std::sqrt(a + b * signal);
            values[r * width + c] = dtype >= 8 ? x : std::round(x);
        }
    }
    return raster_of(dtype, values);
}

} // namespace vt
