// Shared by the split and the join of interleaved runs: when the three
// buffers are apart, and how one element moves when they are not.
#pragma once

#include <cstring>

#include "frame/alias.h"
#include "frame/elem.h"

namespace varda {

// The run of `count` elements, its even half (count - count / 2 elements)
// and its odd half (count / 2), at these places.
inline bool run_halves_apart(const void *run, const void *even, const void *odd, size_t count,
                             size_t elem_size) {
    const size_t pairs = count / 2, run_bytes = count * elem_size;
    const size_t even_bytes = (count - pairs) * elem_size, odd_bytes = pairs * elem_size;
    return !overlaps(run, run_bytes, even, even_bytes) &&
           !overlaps(run, run_bytes, odd, odd_bytes) && !overlaps(even, even_bytes, odd, odd_bytes);
}

// One element, read whole before it is written, so that moves between
// overlapping places add up to a plain element-by-element copy.
template <Element T> inline void move_element(void *to, const void *from, size_t) {
    store<T>(to, 0, load<T>(from, 0));
}
inline void move_bytes(void *to, const void *from, size_t elem_size) {
    std::memmove(to, from, elem_size);
}

// Blocks pay off beyond a few pairs, and are right only when no buffer can
// see another's stores; otherwise the plain ascending copy runs.
template <Element T> constexpr bool use_blocks(size_t count, bool apart) {
    constexpr size_t short_run = sizeof(T) >= 4 ? 1 : 8 / sizeof(T) - 1;
    return apart && count / 2 > short_run;
}

} // namespace varda
