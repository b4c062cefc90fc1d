// The lossy families' quantisers, by the product's family.
#include "tile.h"

namespace varda::codec {

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
