// The tile shape every spatial kernel accepts: 1 <= width <= count and
// count a whole multiple of width.
#pragma once

#include <cstdint>

namespace varda {

constexpr bool valid_tile(uint64_t width, uint64_t count) {
    return width - 1 < count && count % width == 0;
}

// A stack of `planes` equally shaped tiles of `count / planes` samples.
constexpr bool valid_plane_stack(uint64_t width, uint64_t count, uint64_t planes) {
    if (planes == 0 || count == 0 || count % planes != 0 || count < planes) return false;
    return valid_tile(width, count / planes);
}

} // namespace varda
