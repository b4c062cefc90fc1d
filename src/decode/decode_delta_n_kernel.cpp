// North delta predictor, decoder: each row is its residuals plus the row
// rebuilt above it.
#include <cstring>

#include "frame/alias.h"
#include "frame/elem.h"
#include "frame/tile.h"
#include "neighbours/lanewise.h"
#include "varda_kernels.h"

using namespace varda;

namespace {

template <Element T>
void delta_n_decode_tile(void *dst, const void *src, size_t width, size_t count) {
    if (same_or_apart(dst, src, count * sizeof(T))) {
        if (dst != src) std::memcpy(dst, src, width * sizeof(T));
        for (size_t row = width; row < count; row += width)
            lanewise<T, false>(at<T>(dst, row), at<T>(src, row), at<T>(dst, row - width), width);
        return;
    }
    // Buffers that partly overlap see each other's stores, so the element
    // order decides the result.
    for (size_t i = 0; i < width; ++i) store<T>(dst, i, load<T>(src, i));
    for (size_t i = width; i < count; ++i)
        store<T>(dst, i, add(load<T>(src, i), load<T>(dst, i - width)));
}

} // namespace

extern "C" VARDA_API int delta_n_decode(void *dst, const void *src, uint64_t width, uint64_t count,
                                        uint64_t elem_size) {
    if (!valid_tile(width, count)) return 1;
    return with_width(elem_size, 1, [&]<Element T>() {
        delta_n_decode_tile<T>(dst, src, width, count);
        return 0;
    });
}
