// Short, obviously correct scalar definitions the kernels are held against.
// Values are 64-bit words masked to the element width.
#pragma once

#include <cstdint>
#include <vector>

#include "support/support.h"

namespace vt {

inline uint64_t ref_zigzag(uint64_t e, uint64_t elem_size) {
    const unsigned w = unsigned(8 * elem_size);
    const uint64_t m = mask_of(elem_size);
    const bool negative = (e >> (w - 1)) & 1;
    return ((e << 1) ^ (negative ? m : 0)) & m;
}

// Planar residuals of one tile, straight from the definition.
inline Elems ref_planar(const Elems &x, size_t width, bool zig) {
    const uint64_t m = mask_of(x.elem_size);
    Elems e(x.elem_size, x.count());
    for (size_t i = 0; i < x.count(); ++i) {
        const size_t r = i / width, c = i % width;
        uint64_t v = x.get(i);
        if (r == 0 && c > 0) v -= x.get(i - 1);
        if (r > 0 && c == 0) v -= x.get(i - width);
        if (r > 0 && c > 0) v = v - x.get(i - 1) - x.get(i - width) + x.get(i - width - 1);
        v &= m;
        e.set(i, zig ? ref_zigzag(v, x.elem_size) : v);
    }
    return e;
}

// The same over a stack of planes of `plane` samples.
inline Elems ref_planar_stack(const Elems &x, size_t width, size_t plane, bool zig) {
    Elems e(x.elem_size, x.count());
    for (size_t p = 0; p < x.count(); p += plane) {
        Elems one(x.elem_size, plane);
        std::memcpy(one.data(), x.bytes.data() + p * x.elem_size, plane * x.elem_size);
        const Elems codes = ref_planar(one, width, zig);
        std::memcpy(e.bytes.data() + p * x.elem_size, codes.data(), plane * x.elem_size);
    }
    return e;
}

} // namespace vt
