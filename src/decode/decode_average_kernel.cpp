// Average predictor, decoder. A later row splits into a part that needs
// only the row above, h = N / 2 + e and b = N & 1, formed a block at a time,
// and the recurrence along the row, y = h + W / 2 + (W & b), which is
// e + mean(W, N) rearranged.
#include <cstdlib>

#include "frame/elem.h"
#include "frame/tile.h"
#include "frame/vec.h"
#include "neighbours/average.h"
#include "varda_kernels.h"

using namespace varda;

namespace {

template <Element T>
void average_row_split(void *dst, const void *src, size_t row, size_t width, void *half,
                       void *parity) {
    size_t c = 0;
#if VARDA_X86
    constexpr size_t lanes = 16 / sizeof(T);
    for (; c + lanes <= width; c += lanes) {
        const __m128i north = vec::load16(at<T>(dst, row - width + c));
        vec::store16(at<T>(half, c),
                     vec::add<T>(vec::shr1<T>(north), vec::load16(at<T>(src, row + c))));
        vec::store16(at<T>(parity, c), _mm_and_si128(north, vec::splat<T>(1)));
    }
#endif
    for (; c < width; ++c) {
        const T north = load<T>(dst, row - width + c);
        store<T>(half, c, add(T(north >> 1), load<T>(src, row + c)));
        store<T>(parity, c, T(north & 1u));
    }
    T west = load<T>(half, 0);
    store<T>(dst, row, west);
    for (c = 1; c < width; ++c) {
        west = add(add(load<T>(half, c), T(west >> 1)), T(west & load<T>(parity, c)));
        store<T>(dst, row + c, west);
    }
}

// Each residual is read before the sample at its place is written, so
// `src` may be `dst`. Without scratch every sample takes the plain formula.
template <Element T>
void average_decode_tile(void *dst, const void *src, size_t width, size_t count, void *scratch) {
    T west = load<T>(src, 0);
    store<T>(dst, 0, west);
    for (size_t c = 1; c < width; ++c) {
        west = add(T(west >> 1), load<T>(src, c));
        store<T>(dst, c, west);
    }
    for (size_t row = width; row < count; row += width) {
        if (scratch) {
            average_row_split<T>(dst, src, row, width, scratch, at<T>(scratch, width));
            continue;
        }
        west = add(load<T>(src, row), T(load<T>(dst, row - width) >> 1));
        store<T>(dst, row, west);
        for (size_t c = 1; c < width; ++c) {
            west = add(load<T>(src, row + c), average_of(west, load<T>(dst, row - width + c)));
            store<T>(dst, row + c, west);
        }
    }
}

} // namespace

extern "C" VARDA_API int average_decode(void *dst, const void *src, uint64_t width, uint64_t count,
                                        uint64_t elem_size) {
    if (!valid_tile(width, count)) return 1;
    // One row of h and b. Decoding goes on without it when it cannot be had.
    void *scratch = nullptr;
    size_t bytes = 0;
    if (!__builtin_mul_overflow(width, elem_size, &bytes) &&
        !__builtin_mul_overflow(bytes, size_t(2), &bytes))
        scratch = std::malloc(bytes);
    const int result = with_width(elem_size, 1, [&]<Element T>() {
        average_decode_tile<T>(dst, src, width, count, scratch);
        return 0;
    });
    std::free(scratch);
    return result;
}
