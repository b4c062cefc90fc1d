// The host's side of the joins: the byte shuffle and the four splitters,
// each the exact inverse of its join kernel. Elements are `elem_size`-byte
// words; nothing here allocates beyond the buffers it is given, except the
// packed offsets.
#pragma once

#include <cstdint>

#include "blob.h"

namespace varda::codec {

// Byte j of element i goes to planes[j * count + i];
// blocked_transpose_zstd_unshuffle undoes it.
void shuffle(unsigned char *planes, const unsigned char *samples, uint64_t count,
             uint64_t elem_size);

// The largest m >= 2 such that every sample differs from the first by a
// multiple of m (signed or unsigned integers of elem_size bytes); 0 when
// there is none, or when m does not fit the element.
uint64_t common_multiplier(const unsigned char *samples, uint64_t count, uint64_t elem_size,
                           bool is_signed);
// samples = quotient x m + remainder with 0 <= remainder < m: floor
// division, so that intmult_join rebuilds every sample.
void intmult_split(unsigned char *quot, unsigned char *rem, const unsigned char *samples,
                   uint64_t count, uint64_t elem_size, bool is_signed, uint64_t m);

// Bit-length classes: class c holds the values with c significant bits,
// as 2^(c - 1) plus an offset of c - 1 bits (class 0 holds 0).
struct BinTable {
    uint64_t bases[65];
    unsigned char widths[65];
    uint32_t nbins;
};
BinTable bit_length_table(uint64_t elem_size);
// One selector byte per value, and the offsets bit-packed least
// significant bit first, as binoffset_unpack_join reads them.
void binoffset_split(unsigned char *selectors, Bytes &packed, const unsigned char *values,
                     uint64_t count, uint64_t elem_size);
// The packed length the selectors call for, in bytes.
uint64_t binoffset_packed_bytes(const unsigned char *selectors, uint64_t count,
                                const BinTable &table);

// Float keys cut at `shift` bits (elem_size 4 or 8): the high part, and
// the low part, complemented for keys of negative floats.
void floatquant_split(unsigned char *high, unsigned char *low, const unsigned char *samples,
                      uint64_t count, uint64_t elem_size, unsigned shift);

// The coarsest step 10^-k (k = 0, 1, ...) on which most finite samples lie
// exactly, as floatmult_join rebuilds them; 0 when there is none.
double decimal_step(const unsigned char *samples, uint64_t count, uint64_t elem_size);
// Each float as an index of `step` and a correction of its ordered key.
void floatmult_split(unsigned char *index, unsigned char *residual, const unsigned char *samples,
                     uint64_t count, uint64_t elem_size, double step);

} // namespace varda::codec
