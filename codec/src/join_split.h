// The host's side of the decode-side joins: each splitter turns elements
// into the streams its join takes, and the join gives the elements back bit
// for bit. Plain functions over caller-owned buffers, in the kernels'
// argument conventions (element size in bytes, little-endian elements). The
// codec's splitter chains use them, and the kernels' tests hold the joins
// against them; they need nothing but the standard library.
#pragma once

#include <cstdint>

namespace host {

// Implicit-leading-one classes: widths[i] is the bit length of element i,
// low[i] the element without its top bit. Returns 1 for an element size
// other than 1, 2, 4, 8.
int binoffset_split(uint8_t *widths, void *low, const void *src, uint64_t count,
                    uint64_t elem_size);

// The bin table of those classes: bin w holds 2^(w-1) + offset, offset of
// w - 1 bits, and bin 0 the value 0. Fills 8 * elem_size + 1 bins and
// returns their count.
uint32_t binoffset_class_table(uint64_t *bases, uint8_t *widths, uint64_t elem_size);

// For each element the narrowest bin that holds it (element - base below
// 2^width, wrapping), its selector and offset. Returns 1 when some element
// fits no bin (its selector is then 0) or the table or size is refused.
int binoffset_split_table(uint8_t *bins, void *offsets, const void *src, uint64_t count,
                          uint64_t elem_size, const uint64_t *bases, const uint8_t *widths,
                          uint32_t nbins);

// Bytes that the offsets of these selectors take when packed.
uint64_t binoffset_packed_size(const uint8_t *bins, uint64_t count, const uint8_t *widths);

// Offsets back to back, widths[bins[i]] bits each, least significant bit
// first; writes binoffset_packed_size bytes. Offset bits above the width are
// dropped.
void binoffset_pack(void *packed, const uint8_t *bins, const void *offsets, uint64_t count,
                    uint64_t elem_size, const uint8_t *widths);

// quot = element / mult, rem = element % mult. Returns 1 when mult is below
// 2 or does not fit the element, or for a bad element size.
int intmult_split(void *quot, void *rem, const void *src, uint64_t count, uint64_t elem_size,
                  uint64_t mult);

// The order-preserving key of each float cut at `shift` bits (taken modulo
// the float's width): high = key >> shift, low = the key's low bits,
// complemented for negative floats. Returns 1 unless elem_size is 4 or 8.
int floatquant_split(void *high, void *low, const void *src, uint64_t count, uint64_t elem_size,
                     uint32_t shift);

// index = the nearest integer to element / step (zero when that is not
// finite), as the join reads indices; residual = what the join adds to the
// key of index * step to reach the element. Returns 1 unless elem_size is 4
// or 8.
int floatmult_split(void *index, void *residual, const void *src, uint64_t count,
                    uint64_t elem_size, double step);

// The same for binary32 samples with the prediction computed in binary64
// and rounded once: float(k x 0.04) written from decimal data then rebuilds
// on the step 0.01, where single-precision products miss a quarter of the
// samples. The join is the codec's own, in the same arithmetic.
void floatmult_split_wide(void *index, void *residual, const void *src, uint64_t count,
                          double step);
void floatmult_join_wide(void *dst, const void *index, const void *residual, uint64_t count,
                         double step);

// Byte j of every element, then byte j + 1, ...: plane j at j * count.
void blocked_transpose_zstd_shuffle(void *dst, const void *src, uint64_t count, uint64_t elem_size);

} // namespace host
