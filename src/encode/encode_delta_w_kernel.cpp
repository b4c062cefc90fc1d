// West delta predictor, encoder: every sample after the first of its row
// less its left neighbour.
#include "frame/alias.h"
#include "frame/elem.h"
#include "frame/tile.h"
#include "neighbours/lanewise.h"
#include "varda_kernels.h"

using namespace varda;

namespace {

// Columns go right to left, so each left neighbour is still a sample when
// it is read and `dst` may be `src`.
template <Element T>
void delta_w_encode_tile(void *dst, const void *src, size_t width, size_t count) {
    // Buffers that partly overlap see each other's stores; then only the
    // element order gives a defined result.
    const bool blocks = same_or_apart(dst, src, count * sizeof(T));
    for (size_t row = 0; row < count; row += width) {
        if (blocks) {
            lanewise<T, true>(at<T>(dst, row + 1), at<T>(src, row + 1), at<T>(src, row), width - 1);
        } else {
            for (size_t i = row + width - 1; i > row; --i)
                store<T>(dst, i, sub(load<T>(src, i), load<T>(src, i - 1)));
        }
        store<T>(dst, row, load<T>(src, row));
    }
}

} // namespace

extern "C" VARDA_API int delta_w_encode(void *dst, const void *src, uint64_t width, uint64_t count,
                                        uint64_t elem_size) {
    if (!valid_tile(width, count)) return 1;
    return with_width(elem_size, 1, [&]<Element T>() {
        delta_w_encode_tile<T>(dst, src, width, count);
        return 0;
    });
}
