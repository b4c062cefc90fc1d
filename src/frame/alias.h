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

} // namespace varda
