// The lossy families' quantisers, by the product's family, and the grid a
// tile is cut on.
#include <cmath>

#include "dtypes.h"
#include "tile.h"

namespace varda::codec {

// Whole numbers round to a grid of step h within floor(h / 2) of
// themselves, so the widest grid that keeps an integer product within
// MAX_ERROR E has step 2 floor(E) + 1: wider than the product's floor(2 E)
// wherever E's fraction is below a half (MAX_ERROR 1, 2 and 4 give steps 3,
// 5 and 9 rather than 2, 4 and 8, some 0.58, 0.32 and 0.17 bits a sample
// fewer). Every tile records its grid, so decoders take it as they take
// any other.
quant_grid tile_grid(const varda_codec_product &p) {
    quant_grid grid = p.resolved.grid;
    if (p.recipe.family != VARDA_LOSSY_LINEAR || !is_integer(p.dtype) || (grid.mode & 2) != 0)
        return grid;
    const double wide = 2 * std::floor(p.recipe.spec.max_error) + 1;
    if (wide > grid.step && wide < 0x1p63) grid.step = wide;
    return grid;
}

int quantise(const varda_codec_product &p, void *dst, const void *src, uint64_t count) {
    const auto dtype = unsigned(p.dtype);
    switch (p.recipe.family) {
    case VARDA_LOSSY_LINEAR: return quant_linear_encode(dst, src, &p.resolved.grid, dtype, count);
    case VARDA_LOSSY_LOG: return quant_log_encode(dst, src, &p.resolved.grid, dtype, count);
    default: return quant_sqrt_encode(dst, src, &p.resolved.grid, dtype, count);
    }
}

int dequantise(int family, const quant_grid &grid, int dtype, void *dst, const void *src,
               uint64_t count) {
    switch (family) {
    case VARDA_LOSSY_LINEAR: return quant_linear_decode(dst, src, &grid, unsigned(dtype), count);
    case VARDA_LOSSY_LOG: return quant_log_decode(dst, src, &grid, dtype, count);
    default: return quant_sqrt_decode(dst, src, &grid, unsigned(dtype), count);
    }
}

} // namespace varda::codec
