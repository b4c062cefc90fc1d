/* The public header through a strict C99 compiler: it must compile, and the
   records must have the layout the C++ side sees. */
#include <stddef.h>

#include "varda_kernels.h"

#define FIELD(record, field) offsetof(record, field)

const size_t vt_c99_layout[] = {
    sizeof(quant_spec),           FIELD(quant_spec, max_error),
    FIELD(quant_spec, a),         FIELD(quant_spec, b),
    FIELD(quant_spec, has_ab),    sizeof(varda_lossy_recipe),
    FIELD(varda_lossy_recipe, family), FIELD(varda_lossy_recipe, spec),
    sizeof(quant_grid),           FIELD(quant_grid, mode),
    FIELD(quant_grid, step),      FIELD(quant_grid, offset),
    sizeof(quant_linear_stats),   FIELD(quant_linear_stats, max_abs),
    FIELD(quant_linear_stats, negatives), sizeof(quant_log_stats),
    FIELD(quant_log_stats, min_abs), FIELD(quant_log_stats, max_abs),
    FIELD(quant_log_stats, negatives), FIELD(quant_log_stats, tiny),
    sizeof(quant_sqrt_stats),     FIELD(quant_sqrt_stats, min),
    FIELD(quant_sqrt_stats, max), FIELD(quant_sqrt_stats, negatives),
    FIELD(quant_sqrt_stats, nonfinite), sizeof(varda_lossy_resolved),
    FIELD(varda_lossy_resolved, family), FIELD(varda_lossy_resolved, grid),
    FIELD(varda_lossy_resolved, stats), sizeof(quant_sqrt_accum),
    FIELD(quant_sqrt_accum, means), FIELD(quant_sqrt_accum, variances),
    FIELD(quant_sqrt_accum, count), FIELD(quant_sqrt_accum, capacity),
    FIELD(quant_sqrt_accum, stride), FIELD(quant_sqrt_accum, seen),
    FIELD(quant_sqrt_accum, failed), sizeof(quant_sqrt_curve),
    FIELD(quant_sqrt_curve, a),   FIELD(quant_sqrt_curve, b),
    FIELD(quant_sqrt_curve, held), FIELD(quant_sqrt_curve, blocks),
    FIELD(quant_sqrt_curve, bins), FIELD(quant_sqrt_curve, range),
    FIELD(quant_sqrt_curve, collinearity), FIELD(quant_sqrt_curve, residual),
};
const size_t vt_c99_layout_count = sizeof vt_c99_layout / sizeof vt_c99_layout[0];
