/* The public header through a strict C99 compiler: it must compile, and its
   records' sizes and offsets are what hosts store and exchange. */
#include <stddef.h>

#include "varda_kernels.h"

const size_t vt_c99_layout[] = {
    sizeof(quant_spec), offsetof(quant_spec, a), offsetof(quant_spec, b),
    offsetof(quant_spec, has_ab),
    sizeof(varda_lossy_recipe), offsetof(varda_lossy_recipe, spec),
    sizeof(quant_grid), offsetof(quant_grid, step), offsetof(quant_grid, offset),
    sizeof(quant_linear_stats), offsetof(quant_linear_stats, negatives),
    sizeof(quant_log_stats), offsetof(quant_log_stats, max_abs),
    offsetof(quant_log_stats, negatives), offsetof(quant_log_stats, tiny),
    sizeof(quant_sqrt_stats), offsetof(quant_sqrt_stats, max),
    offsetof(quant_sqrt_stats, negatives), offsetof(quant_sqrt_stats, nonfinite),
    sizeof(varda_lossy_resolved), offsetof(varda_lossy_resolved, grid),
    offsetof(varda_lossy_resolved, stats),
    sizeof(quant_sqrt_accum), offsetof(quant_sqrt_accum, variances),
    offsetof(quant_sqrt_accum, count), offsetof(quant_sqrt_accum, capacity),
    offsetof(quant_sqrt_accum, stride), offsetof(quant_sqrt_accum, seen),
    offsetof(quant_sqrt_accum, failed),
    sizeof(quant_sqrt_curve), offsetof(quant_sqrt_curve, b), offsetof(quant_sqrt_curve, held),
    offsetof(quant_sqrt_curve, blocks), offsetof(quant_sqrt_curve, bins),
    offsetof(quant_sqrt_curve, range), offsetof(quant_sqrt_curve, collinearity),
    offsetof(quant_sqrt_curve, residual),
};
const size_t vt_c99_layout_count = sizeof vt_c99_layout / sizeof vt_c99_layout[0];
