// Average predictor, encoder: residuals against the mean of the west and
// north neighbours, a missing neighbour counting as 0.
#include "frame/alias.h"
#include "frame/elem.h"
#include "frame/tile.h"
#include "neighbours/average.h"
#include "varda_kernels.h"

using namespace varda;

namespace {

template <Element T>
T average_code(const void *src, size_t i, size_t column, size_t width, bool north) {
    const T x = load<T>(src, i);
    if (column == 0) return north ? sub(x, T(load<T>(src, i - width) >> 1)) : x;
    if (!north) return sub(x, T(load<T>(src, i - 1) >> 1));
    return sub(x, average_of(load<T>(src, i - 1), load<T>(src, i - width)));
}

// Rows top-down, each left to right. Overlapping buffers see the codes
// already written in place of samples, so they keep to that element order
// and skip the blocks.
template <Element T>
void average_encode_tile(void *dst, const void *src, size_t width, size_t count) {
    [[maybe_unused]] const bool blocks = !overlaps(dst, count * sizeof(T), src, count * sizeof(T));
    for (size_t row = 0; row < count; row += width) {
        const bool north = row != 0;
        store<T>(dst, row, average_code<T>(src, row, 0, width, north));
        size_t c = 1;
#if VARDA_X86
        constexpr size_t lanes = 16 / sizeof(T);
        for (; blocks && c + lanes <= width; c += lanes) {
            const size_t i = row + c;
            const __m128i west = vec::load16(at<T>(src, i - 1));
            const __m128i prediction =
                north ? vec::average_of<T>(west, vec::load16(at<T>(src, i - width)))
                      : vec::shr1<T>(west);
            vec::store16(at<T>(dst, i), vec::sub<T>(vec::load16(at<T>(src, i)), prediction));
        }
#endif
        for (; c < width; ++c)
            store<T>(dst, row + c, average_code<T>(src, row + c, c, width, north));
    }
}

} // namespace

extern "C" VARDA_API int average_encode(void *dst, const void *src, uint64_t width, uint64_t count,
                                        uint64_t elem_size) {
    if (!valid_tile(width, count)) return 1;
    return with_width(elem_size, 1, [&]<Element T>() {
        average_encode_tile<T>(dst, src, width, count);
        return 0;
    });
}
