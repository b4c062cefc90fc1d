// Median edge predictor, encoder: residuals against the median of W, N and
// the plane value W + N - NW.
#include "frame/elem.h"
#include "frame/tile.h"
#include "neighbours/med_row.h"
#include "varda_kernels.h"

using namespace varda;

extern "C" VARDA_API int med_encode(void *dst, const void *src, uint64_t width, uint64_t count,
                                    uint64_t elem_size) {
    if (!valid_tile(width, count)) return 1;
    return with_width(elem_size, 1, [&]<Element T>() {
        med_codes_tile<T, false>(dst, src, width, count);
        return 0;
    });
}
