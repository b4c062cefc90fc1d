// What the LINEAR encoder and decoder share: the grid tests and the
// whole-number step of the integer types.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "frame/dtype.h"
#include "varda_kernels.h"

namespace varda {

// The mode bits, a finite step no smaller than the smallest normal double,
// and a whole step wherever samples or stream values are whole numbers.
inline bool linear_grid_valid(const quant_grid *grid, uint64_t dtype) {
    if (grid == nullptr || !valid_dtype(dtype) || grid->mode > 3) return false;
    const double step = grid->step;
    if (!std::isfinite(step) || step < 0x1p-1022) return false;
    if ((!is_float(uint32_t(dtype)) || (grid->mode & 2) != 0) && std::floor(step) != step)
        return false;
    return true;
}

// The step of an integer grid as a 64-bit count; steps of 2^64 and more act
// as the largest one.
inline uint64_t integer_step(double step) { return step >= 0x1p64 ? UINT64_MAX : uint64_t(step); }

// The decoder with its vector loops on or off; the exported decoder runs
// them wherever they are built. Both give the same bytes.
int quant_linear_decode_with(void *dst, const void *src, const quant_grid *grid, uint64_t dtype,
                             size_t count, bool vector);

} // namespace varda
