// North delta predictor, encoder: every row below the first less the row
// above it; the first row stays as it is.
#include <cstring>

#include "frame/alias.h"
#include "frame/elem.h"
#include "frame/tile.h"
#include "neighbours/lanewise.h"
#include "varda_kernels.h"

using namespace varda;

namespace {

// Rows go bottom-up, so a row's north neighbour is still a sample when it
// is read and `dst` may be `src`.
template <Element T>
void delta_n_encode_tile(void *dst, const void *src, size_t width, size_t count) {
    if (same_or_apart(dst, src, count * sizeof(T))) {
        for (size_t row = count - width; row > 0; row -= width)
            lanewise<T, true>(at<T>(dst, row), at<T>(src, row), at<T>(src, row - width), width);
        if (dst != src) std::memcpy(dst, src, width * sizeof(T));
        return;
    }
    // Buffers that partly overlap see each other's stores, so the element
    // order decides the result.
    for (size_t row = count - width; row > 0; row -= width)
        for (size_t i = row; i < row + width; ++i)
            store<T>(dst, i, sub(load<T>(src, i), load<T>(src, i - width)));
    for (size_t i = 0; i < width; ++i) store<T>(dst, i, load<T>(src, i));
}

} // namespace

extern "C" VARDA_API int delta_n_encode(void *dst, const void *src, uint64_t width, uint64_t count,
                                        uint64_t elem_size) {
    if (!valid_tile(width, count)) return 1;
    return with_width(elem_size, 1, [&]<Element T>() {
        delta_n_encode_tile<T>(dst, src, width, count);
        return 0;
    });
}
