// Planar zigzag predictor, decoder: whole tiles, and any run of samples of a
// stack of planes once the samples before the run are rebuilt.
#include "frame/elem.h"
#include "frame/planar_row.h"
#include "frame/tile.h"
#include "varda_kernels.h"

using namespace varda;

extern "C" VARDA_API int planar_zigzag_decode_stream(void *dst, const void *src, uint64_t start,
                                                     uint64_t n, uint64_t width, uint64_t plane,
                                                     uint64_t elem_size) {
    if (dst == nullptr || src == nullptr || n == 0 || width == 0 || plane == 0) return 1;
    if (plane < width || plane % width != 0 || start + n < start) return 1;
    return with_width(elem_size, 1, [&]<Element T>() {
        decode_planar_run<T, true>(dst, src, start, n, width, plane);
        return 0;
    });
}

extern "C" VARDA_API int planar_zigzag_decode(void *dst, const void *src, uint64_t width,
                                              uint64_t count, uint64_t elem_size) {
    if (!valid_tile(width, count)) return 1;
    return planar_zigzag_decode_stream(dst, src, 0, count, width, count, elem_size);
}
