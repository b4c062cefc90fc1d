// Where two caller buffers lie relative to each other. Kernels that accept
// overlapping input and output take their block loops only when no block can
// see another's stores, and otherwise keep to the element order that defines
// them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace varda {

// True when [a, a + a_bytes) and [b, b + b_bytes) share a byte.
inline bool overlaps(const void *a, size_t a_bytes, const void *b, size_t b_bytes) {
    if (a_bytes == 0 || b_bytes == 0) return false;
    const uintptr_t x = reinterpret_cast<uintptr_t>(a), y = reinterpret_cast<uintptr_t>(b);
    return x <= y ? y - x < a_bytes : x - y < b_bytes;
}

// Same-sized buffers that are either one buffer or apart.
inline bool same_or_apart(const void *dst, const void *src, size_t bytes) {
    return dst == src || !overlaps(dst, bytes, src, bytes);
}

} // namespace varda
