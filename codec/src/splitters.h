// What the codec adds to the host-side splitters of join_split.h: finding
// the structure a splitter needs in a tile, and a floor-division split for
// signed integers.
#pragma once

#include <cstdint>

namespace varda::codec {

// The largest m >= 2 such that every sample differs from the first by a
// multiple of m (signed or unsigned integers of elem_size bytes); 0 when
// there is none, or when m does not fit the element.
uint64_t common_multiplier(const unsigned char *samples, uint64_t count, uint64_t elem_size,
                           bool is_signed);

// Signed samples = quotient x m + remainder with 0 <= remainder < m: floor
// division, so that negative samples on the multiple's grid get the same
// remainder as positive ones. intmult_join rebuilds them all the same.
void intmult_split_signed(unsigned char *quot, unsigned char *rem, const unsigned char *samples,
                          uint64_t count, uint64_t elem_size, uint64_t m);

// The coarsest step 10^-k (k = 0, 1, ...) on which nineteen in twenty of
// the finite samples lie exactly, as floatmult_join rebuilds them (float
// widths 4 and 8); 0 when there is none. `wide`: for binary32 samples, as
// floatmult_join_wide rebuilds them.
double decimal_step(const unsigned char *samples, uint64_t count, uint64_t elem_size,
                    bool wide = false);

} // namespace varda::codec
