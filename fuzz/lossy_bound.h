// The worst error of a rebuilt raster in units of its recipe's bound, as
// the recipe's family measures it; above 1 the bound was broken. Aborts
// when the family refuses to measure.
#pragma once

#include <cstdint>
#include <cstdlib>

#include "varda_kernels.h"

inline double lossy_worst_error(const varda_lossy_recipe &recipe, uint32_t dtype,
                                const unsigned char *orig, const unsigned char *rebuilt,
                                size_t count) {
    double worst = 0;
    int result = 1;
    if (recipe.family == 1)
        result = quant_linear_verify(orig, rebuilt, &recipe.spec, dtype, count, &worst);
    else if (recipe.family == 2)
        result = quant_log_verify(orig, rebuilt, &recipe.spec, dtype, count, &worst, nullptr);
    else
        result = quant_sqrt_verify(orig, rebuilt, &recipe.spec, nullptr, dtype, count, &worst);
    if (result != 0) std::abort();
    return worst;
}
