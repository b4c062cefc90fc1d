// Planar predictor, decoder: each row is a running sum of its residuals,
// plus the row above on rows below the first.
#include "frame/elem.h"
#include "frame/row_scan.h"
#include "frame/simd.h"
#include "frame/tile.h"
#include "varda_kernels.h"

using namespace varda;

namespace {

template <Element T>
void planar_decode_tile(void *dst, const void *src, size_t width, size_t count) {
    scan_rows<T, false>(dst, src, nullptr, width, count / width);
}

} // namespace

extern "C" VARDA_API int planar_decode(void *dst, const void *src, uint64_t width, uint64_t count,
                                       uint64_t elem_size) {
    if (!valid_tile(width, count)) return 1;
    return with_width(elem_size, 1, [&]<Element T>() {
        planar_decode_tile<T>(dst, src, width, count);
        return 0;
    });
}
