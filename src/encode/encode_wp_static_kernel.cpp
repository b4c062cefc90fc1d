// Static weighted predictor, encoder: residuals against W plus a weighted,
// fixed-point combination of N, NW, NE and NN.
#include "frame/elem.h"
#include "frame/planar_row.h"
#include "frame/tile.h"
#include "varda_kernels.h"
#include "wp_static/wp_static.h"

using namespace varda;

namespace {

// Row 0 has no vertical neighbours, so its correction is bias >> shift = 0
// for every shift: a plain west delta.
template <Element T> void encode_first_row(void *dst, const void *src, size_t width) {
    size_t c = 0;
#if VARDA_X86
    constexpr size_t lanes = 16 / sizeof(T);
    for (; c + lanes <= width; c += lanes) vec::store16(at<T>(dst, c), west_delta<T>(src, 0, c));
#endif
    for (; c < width; ++c) store<T>(dst, c, sub(load<T>(src, c), c ? load<T>(src, c - 1) : T(0)));
}

template <Element T>
void encode_tile(void *dst, const void *src, size_t width, size_t count, const WpCoeffs &k) {
    encode_first_row<T>(dst, src, width);
    for (size_t row = width; row < count; row += width) {
        const void *north = at<T>(src, row - width);
        const void *north2 = row >= 2 * width ? at<T>(src, row - 2 * width) : nullptr;
        T west = 0;
        for (size_t c = 0; c < width; ++c) {
            const T x = load<T>(src, row + c);
            const T term = wp_term<T>(k, wp_neighbours<T>(north, north2, width, c));
            store<T>(dst, row + c, wp_residual(x, west, term));
            west = x;
        }
    }
}

} // namespace

extern "C" VARDA_API int wp_static_encode(void *dst, const void *src, uint64_t width,
                                          uint64_t count, uint64_t elem_size,
                                          const int16_t *weights, uint8_t shift) {
    // A shift of 64 or more has no meaning (and would be undefined in the
    // fixed-point step); refuse it as the decoder does.
    if (shift > 63) return 1;
    if (!valid_tile(width, count)) return 1;
    return with_width(elem_size, 1, [&]<Element T>() {
        encode_tile<T>(dst, src, width, count, wp_coeffs(weights, shift));
        return 0;
    });
}
