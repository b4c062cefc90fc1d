// When a vector loop over buffers that may overlap still gives the
// element-by-element result.
#pragma once

#include <cstddef>
#include <cstdint>

namespace varda {

// A block that reads all its inputs before it writes gives the scalar
// loop's result unless the output starts less than a block after an input:
// the scalar loop would then read, later in the block, what it has just
// written.
inline bool block_safe(const void *out, const void *in, size_t block_bytes) {
    const auto o = reinterpret_cast<uintptr_t>(out), n = reinterpret_cast<uintptr_t>(in);
    return o <= n || o - n >= block_bytes;
}

// True when [a, a + a_bytes) and [b, b + b_bytes) share a byte.
inline bool overlaps(const void *a, size_t a_bytes, const void *b, size_t b_bytes) {
    if (a_bytes == 0 || b_bytes == 0) return false;
    const auto x = reinterpret_cast<uintptr_t>(a), y = reinterpret_cast<uintptr_t>(b);
    return x <= y ? y - x < a_bytes : x - y < b_bytes;
}

// Same-sized buffers that are one buffer or lie apart: the two cases in
// which the kernels that allow dst == src may run their blocks in any order.
inline bool same_or_apart(const void *dst, const void *src, size_t bytes) {
    return dst == src || !overlaps(dst, bytes, src, bytes);
}

} // namespace varda
