/* Prints the size and field offsets of every record the Python binding
   declares, one "record field offset" line each ("record - size" for the
   size), for the binding's layout test to compare its ctypes declarations
   with. */
#include <stddef.h>
#include <stdio.h>

#include "varda_codec.h"

#define SIZE(type) printf(#type " - %zu\n", sizeof(type))
#define FIELD(type, field) printf(#type " " #field " %zu\n", offsetof(type, field))

int main(void) {
    SIZE(quant_spec);
    FIELD(quant_spec, max_error);
    FIELD(quant_spec, a);
    FIELD(quant_spec, b);
    FIELD(quant_spec, has_ab);
    SIZE(varda_lossy_recipe);
    FIELD(varda_lossy_recipe, family);
    FIELD(varda_lossy_recipe, spec);
    SIZE(quant_grid);
    FIELD(quant_grid, mode);
    FIELD(quant_grid, step);
    FIELD(quant_grid, offset);
    SIZE(quant_linear_stats);
    FIELD(quant_linear_stats, max_abs);
    FIELD(quant_linear_stats, negatives);
    SIZE(quant_log_stats);
    FIELD(quant_log_stats, min_abs);
    FIELD(quant_log_stats, max_abs);
    FIELD(quant_log_stats, negatives);
    FIELD(quant_log_stats, tiny);
    SIZE(quant_sqrt_stats);
    FIELD(quant_sqrt_stats, min);
    FIELD(quant_sqrt_stats, max);
    FIELD(quant_sqrt_stats, negatives);
    FIELD(quant_sqrt_stats, nonfinite);
    SIZE(varda_lossy_resolved);
    FIELD(varda_lossy_resolved, family);
    FIELD(varda_lossy_resolved, grid);
    FIELD(varda_lossy_resolved, stats);
    SIZE(quant_sqrt_curve);
    FIELD(quant_sqrt_curve, a);
    FIELD(quant_sqrt_curve, b);
    FIELD(quant_sqrt_curve, held);
    FIELD(quant_sqrt_curve, blocks);
    FIELD(quant_sqrt_curve, bins);
    FIELD(quant_sqrt_curve, range);
    FIELD(quant_sqrt_curve, collinearity);
    FIELD(quant_sqrt_curve, residual);
    SIZE(nodata_guard);
    FIELD(nodata_guard, up);
    FIELD(nodata_guard, down);
    FIELD(nodata_guard, alias);
    SIZE(varda_codec_product);
    FIELD(varda_codec_product, dtype);
    FIELD(varda_codec_product, chain);
    FIELD(varda_codec_product, effort);
    FIELD(varda_codec_product, zstd_level);
    FIELD(varda_codec_product, nodata);
    FIELD(varda_codec_product, nodata_value);
    FIELD(varda_codec_product, recipe);
    FIELD(varda_codec_product, resolved);
    FIELD(varda_codec_product, prepared);
    SIZE(varda_codec_info);
    FIELD(varda_codec_info, version);
    FIELD(varda_codec_info, dtype);
    FIELD(varda_codec_info, width);
    FIELD(varda_codec_info, height);
    FIELD(varda_codec_info, chain);
    FIELD(varda_codec_info, lossy);
    FIELD(varda_codec_info, nodata);
    FIELD(varda_codec_info, raw_bytes);
    FIELD(varda_codec_info, blob_bytes);
    SIZE(varda_codec_tile_meta);
    FIELD(varda_codec_tile_meta, big_endian);
    FIELD(varda_codec_tile_meta, position_count);
    FIELD(varda_codec_tile_meta, position);
    FIELD(varda_codec_tile_meta, has_array);
    FIELD(varda_codec_tile_meta, array);
    return 0;
}
