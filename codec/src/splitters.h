// What the codec adds to the host-side splitters of join_split.h: finding
// the structure a splitter needs in a tile, a floor-division split for
// signed integers, and the palette chain's table of distinct values.
#pragma once

#include <cstdint>
#include <vector>

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

// The most distinct values a palette holds.
constexpr uint64_t palette_limit = 4096;

// A sample's place in the palette's order: its value's order for the
// integers, the numeric order of the floats (negative ones by magnitude,
// below the positive ones) with every bit pattern kept apart, so that -0.0
// and each NaN payload has its own entry. `dtype` is a VARDA_DTYPE_* code.
uint64_t order_key(uint64_t bits, uint64_t elem_size, int dtype);
uint64_t bits_of_key(uint64_t key, uint64_t elem_size, int dtype);

// The distinct order keys of a tile's samples, up to a limit, and each
// one's rank among them once they are sorted.
class Palette {
  public:
    Palette(uint64_t elem_size, int dtype, uint64_t limit);
    // Adds the samples' keys; false when there are more than the limit
    // (wider keys stop at the first one past it, the rest unread).
    bool add(const unsigned char *samples, uint64_t count);
    // Sorts the keys and numbers them from 0.
    void rank();
    const std::vector<uint64_t> &keys() const { return keys_; }
    // The ranks of samples that were all added, in words of rank_size
    // (1 or 2) bytes; after rank().
    void ranks_of(unsigned char *ranks, uint64_t rank_size, const unsigned char *samples,
                  uint64_t count) const;

  private:
    uint64_t slot(uint64_t key) const;
    uint64_t elem_size_, limit_, mask_;
    int dtype_;
    bool direct_; // keys of 16 bits or fewer are their own slot
    std::vector<uint64_t> slot_keys_;
    std::vector<uint16_t> slot_ranks_; // rank + 1; 0 for a free slot
    std::vector<uint64_t> keys_;
};

// Whether a probe of the tile's samples finds few distinct values, lying
// far apart (sparse levels, classes, masks): what a palette needs to pay
// where its ranks would only be the samples less an offset. The probe
// looks at 4096 samples at most.
bool palette_may_pay(const unsigned char *samples, uint64_t count, uint64_t elem_size, int dtype);

// The width of a palette's ranks: a byte up to 256 entries, else two.
constexpr uint64_t rank_size(uint64_t entries) { return entries <= 256 ? 1 : 2; }

} // namespace varda::codec
