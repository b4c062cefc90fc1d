// West delta predictor, decoder: each row is the running sum of its
// residuals.
#include "frame/elem.h"
#include "frame/row_scan.h"
#include "frame/simd.h"
#include "frame/tile.h"
#include "varda_kernels.h"

using namespace varda;

namespace {

template <Element T>
void delta_w_decode_tile(void *dst, const void *src, size_t width, size_t count) {
    // Rows are independent running sums, which the row scans take two at a
    // time, reading the path once per row. 8-byte rows have no vector scan,
    // so they leave the path alone.
    if constexpr (sizeof(T) < 8) {
        scan_rows<T, false, false>(dst, src, nullptr, width, count / width);
    } else {
        for (size_t row = 0; row < count; row += width)
            scan_row<T, false>(at<T>(dst, row), at<T>(src, row), nullptr, width, T(0), false);
    }
}

} // namespace

extern "C" VARDA_API int delta_w_decode(void *dst, const void *src, uint64_t width, uint64_t count,
                                        uint64_t elem_size) {
    if (!valid_tile(width, count)) return 1;
    return with_width(elem_size, 1, [&]<Element T>() {
        delta_w_decode_tile<T>(dst, src, width, count);
        return 0;
    });
}
