// The joins element by element, on 64-bit words masked to the element
// width: what the kernels' vector blocks and word-wise bit reader are held
// against.
#pragma once

#include <cstdint>

#include "support/support.h"

namespace vt {

// Bit k of the stream is bit k mod 8 of byte k / 8; bits past the end read
// as zero.
inline uint64_t ref_read_bits(const unsigned char *packed, uint64_t packed_len, uint64_t p,
                              unsigned w) {
    uint64_t v = 0;
    for (unsigned k = 0; k < w; ++k, ++p)
        if (p / 8 < packed_len && ((packed[p / 8] >> (p % 8)) & 1)) v |= uint64_t(1) << k;
    return v;
}

inline uint64_t ref_intmult(uint64_t quot, uint64_t rem, uint64_t es, uint64_t mult) {
    const uint64_t m = mult & mask_of(es);
    return (quot * m + rem) & mask_of(es);
}

inline uint64_t ref_floatquant(uint64_t high, uint64_t low, uint64_t es, uint32_t shift) {
    const unsigned w = unsigned(8 * es), s = shift % w;
    const uint64_t mask = mask_of(es), sign = uint64_t(1) << (w - 1);
    const uint64_t ones = (uint64_t(1) << s) - 1;
    const uint64_t key = ((high << s) + (high >= (sign >> s) ? low : ones - low)) & mask;
    return key & sign ? key ^ sign : ~key & mask;
}

// The scalar loop over one buffer holding all three streams, so that
// overlapping placements read what earlier elements wrote.
template <class Join>
void ref_join_in_buffer(Bytes &buf, size_t dst_at, size_t a_at, size_t b_at, size_t count,
                        uint64_t es, Join join) {
    for (size_t i = 0; i < count; ++i) {
        uint64_t a = 0, b = 0;
        std::memcpy(&a, buf.data() + a_at + i * es, es);
        std::memcpy(&b, buf.data() + b_at + i * es, es);
        const uint64_t v = join(a, b);
        std::memcpy(buf.data() + dst_at + i * es, &v, es);
    }
}

} // namespace vt
