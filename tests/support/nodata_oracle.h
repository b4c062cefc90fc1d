// Nodata definitions, one sample at a time on 64-bit words, and fields with
// nodata in runs and singles.
#pragma once

#include <cstdint>
#include <random>

#include "support/support.h"

namespace vt {

inline bool ref_is_nan(uint64_t bits, uint64_t elem_size) {
    const uint64_t magnitude = bits & (mask_of(elem_size) >> 1);
    switch (elem_size) {
    case 2: return magnitude > 0x7C00;
    case 4: return magnitude > 0x7F800000;
    case 8: return magnitude > 0x7FF0000000000000;
    default: return false;
    }
}

inline Bytes ref_mark_nan(const Elems &x) {
    Bytes mask(x.count());
    for (size_t i = 0; i < x.count(); ++i) mask[i] = ref_is_nan(x.get(i), x.elem_size) ? 0 : 0xFF;
    return mask;
}

inline Bytes ref_mark_value(const Elems &x, uint64_t sentinel) {
    Bytes mask(x.count());
    const uint64_t s = sentinel & mask_of(x.elem_size);
    for (size_t i = 0; i < x.count(); ++i) mask[i] = x.get(i) == s ? 0 : 0xFF;
    return mask;
}

inline Elems ref_fill(const Elems &x, const Bytes &mask, size_t width) {
    const size_t count = x.count();
    const size_t row = width >= 1 && width <= count && count % width == 0 ? width : count;
    Elems out(x.elem_size, count);
    for (size_t i = 0; i < count; ++i) {
        if (mask[i]) {
            out.set(i, x.get(i));
            continue;
        }
        const size_t row_start = i - i % row;
        size_t left = i;
        while (left > row_start && !mask[left - 1]) --left;
        if (left > row_start)
            out.set(i, x.get(left - 1)); // the last valid sample of the row
        else
            out.set(i, i < row ? 0 : out.get(i - row));
    }
    return out;
}

inline Elems ref_restore(const Elems &x, const Bytes &mask, uint64_t sentinel) {
    Elems out(x.elem_size, x.count());
    for (size_t i = 0; i < x.count(); ++i) out.set(i, mask[i] ? x.get(i) : sentinel);
    return out;
}

// The guarded restore: returns the result and rewrites `x` in place.
inline int ref_restore_guarded(Elems &x, const Bytes &mask, uint64_t sentinel,
                               const nodata_guard &g) {
    const uint64_t m = mask_of(x.elem_size), s = sentinel & m;
    const uint64_t value[4] = {s, g.up & m, g.down & m, g.alias & m};
    int flag = 0;
    for (size_t i = 0; i < x.count(); ++i) {
        const uint8_t b = mask[i];
        if (b == 0) x.set(i, s);
        if (b > 3 || (b > 0 && value[b] == s)) flag = 1;
        if (b >= 1 && b <= 3 && x.get(i) == s) x.set(i, value[b]);
    }
    return flag;
}

// A nodata mask of `count` bytes with roughly `percent` % nodata, half in
// runs of up to 40 samples and half as single samples. Valid bytes are
// `valid` (0 for a random pick among 1, 2, 3 and 0xFF).
inline Bytes holey_mask(size_t count, unsigned percent, uint32_t seed, uint8_t valid = 0xFF) {
    std::mt19937 rng(seed);
    Bytes mask(count);
    const uint8_t picks[] = {1, 2, 3, 0xFF};
    for (auto &b : mask) b = valid ? valid : picks[rng() % 4];
    size_t holes = count * percent / 100;
    while (holes > 0 && count > 0) {
        const size_t at = rng() % count;
        const size_t len = rng() % 2 ? 1 : 1 + rng() % 40;
        for (size_t k = at; k < count && k < at + len && holes > 0; ++k, --holes) mask[k] = 0;
    }
    return mask;
}

} // namespace vt
