// Rows of samples widened to double, as the noise fit reads them. The 8- and
// 16-bit integer types go through 128-bit vectors on x86; every type has the
// portable loop, which is the definition (the widening is exact for all but
// the 64-bit integers, which round to nearest).
#pragma once

#include <cstddef>
#include <cstdint>

namespace varda {

void widen_row(double *dst, const void *src, uint32_t dtype, size_t n);
void widen_row_portable(double *dst, const void *src, uint32_t dtype, size_t n);

} // namespace varda
