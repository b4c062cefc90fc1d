// Median edge predictor with zigzag codes, decoder.
#include "frame/elem.h"
#include "frame/tile.h"
#include "neighbours/med_row.h"
#include "varda_kernels.h"

using namespace varda;

extern "C" VARDA_API int med_zigzag_decode(void *dst, const void *src, uint64_t width,
                                           uint64_t count, uint64_t elem_size) {
    if (!valid_tile(width, count)) return 1;
    return with_width(elem_size, 1, [&]<Element T>() {
        med_decode_tile<T, true>(dst, src, width, count);
        return 0;
    });
}
