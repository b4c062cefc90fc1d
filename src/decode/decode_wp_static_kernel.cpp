// Static weighted predictor, decoder. W enters every prediction with weight
// one, so a row's correction terms depend only on the rows above: each row
// is first turned into residual + correction, element-wise, and then into
// its running sum.
#include <cstdint>

#include "frame/elem.h"
#include "frame/row_scan.h"
#include "frame/simd.h"
#include "frame/tile.h"
#include "varda_kernels.h"
#include "wp_static/wp_static.h"

using namespace varda;

namespace {

// Row r becomes residual + correction, column by column; the columns whose
// neighbours all lie inside the tile go in 16-byte blocks.
template <Element T>
void correct_row(void *row, const void *res, const void *north, const void *north2, size_t width,
                 const WpCoeffs &k, const WpVector &v) {
    const auto one = [&](size_t c) {
        const T term = wp_term<T>(k, wp_neighbours<T>(north, north2, width, c));
        store<T>(row, c, add(load<T>(res, c), term));
    };
    one(0);
    size_t c = 1;
#if VARDA_X86
    // Partly overlapping rows take the element-by-element path; the same
    // row (decoding in place) and separate rows take the blocks, each of
    // which loads its residuals before it stores.
    const auto dst_at = reinterpret_cast<uintptr_t>(row), src_at = reinterpret_cast<uintptr_t>(res);
    const size_t bytes = width * sizeof(T);
    if (dst_at == src_at || dst_at + bytes <= src_at || src_at + bytes <= dst_at) {
        c = wp_term_blocks<T>(v, north, north2, width, c, width, [&](size_t col, __m128i term) {
            vec::store16(at<T>(row, col), vec::add<T>(vec::load16(at<T>(res, col)), term));
        });
    }
#else
    (void)v;
#endif
    for (; c < width; ++c) one(c);
}

// The path is read before every scan; 8-byte rows are scanned portably on
// every path and never ask.
template <Element T> void scan(void *dst, const void *src, size_t width) {
    const bool avx2 = sizeof(T) < 8 && use_avx2();
    scan_row<T, false>(dst, src, nullptr, width, T(0), avx2);
}

template <Element T>
void decode_tile(void *dst, const void *src, size_t width, size_t count, const WpCoeffs &k) {
    const WpVector v(k, sizeof(T));
    scan<T>(dst, src, width);
    for (size_t row = width; row < count; row += width) {
        void *out = at<T>(dst, row);
        const void *north = at<T>(dst, row - width);
        const void *north2 = row >= 2 * width ? at<T>(dst, row - 2 * width) : nullptr;
        correct_row<T>(out, at<T>(src, row), north, north2, width, k, v);
        scan<T>(out, out, width);
    }
}

} // namespace

extern "C" VARDA_API int wp_static_decode(void *dst, const void *src, uint64_t width,
                                          uint64_t count, uint64_t elem_size,
                                          const int16_t *weights, uint8_t shift) {
    if (shift > 63 || count == 0 || !valid_tile(width, count)) return 1;
    return with_width(elem_size, 1, [&]<Element T>() {
        decode_tile<T>(dst, src, width, count, wp_coeffs(weights, shift));
        return 0;
    });
}
