// Planar zigzag predictor, decoder: whole tiles, and any run of samples of a
// stack of planes once the samples before the run are rebuilt.
#include "frame/elem.h"
#include "frame/row_scan.h"
#include "frame/simd.h"
#include "frame/tile.h"
#include "varda_kernels.h"

using namespace varda;

namespace {

// Codes are consumed in row pieces; each piece is one running sum. Every
// code is read before the sample at its place is written and predictions
// read only rebuilt samples, so `codes` may be `dst` + `start`.
template <Element T>
void decode_run(void *dst, const void *codes, uint64_t start, uint64_t n, uint64_t width,
                uint64_t plane) {
    for (uint64_t k = 0; k < n;) {
        const uint64_t s = start + k, d = s % plane, c = d % width;
        if (c == 0) {
            // Whole rows of one plane go through the row-pair loop.
            const uint64_t left = n - k < plane - d ? n - k : plane - d;
            if (const uint64_t rows = left / width; rows >= 2) {
                scan_rows<T, true>(at<T>(dst, s), at<T>(codes, k),
                                   d ? at<T>(dst, s - width) : nullptr, width, rows);
                k += rows * width;
                continue;
            }
        }
        const uint64_t m = width - c < n - k ? width - c : n - k;
        const T west = c ? load<T>(dst, s - 1) : T(0);
        const void *north = nullptr;
        T seed = west;
        if (d >= width) {
            north = at<T>(dst, s - width);
            // Along a later row N - NW telescopes; what is left of it is
            // W - NW at the piece's start.
            seed = c ? sub(west, load<T>(dst, s - width - 1)) : T(0);
        }
        scan_row<T, true>(at<T>(dst, s), at<T>(codes, k), north, m, seed, use_avx2());
        k += m;
    }
}

} // namespace

extern "C" VARDA_API int planar_zigzag_decode_stream(void *dst, const void *src, uint64_t start,
                                                     uint64_t n, uint64_t width, uint64_t plane,
                                                     uint64_t elem_size) {
    if (dst == nullptr || src == nullptr || n == 0 || width == 0 || plane == 0) return 1;
    if (plane < width || plane % width != 0 || start + n < start) return 1;
    return with_width(elem_size, 1, [&]<Element T>() {
        decode_run<T>(dst, src, start, n, width, plane);
        return 0;
    });
}

extern "C" VARDA_API int planar_zigzag_decode(void *dst, const void *src, uint64_t width,
                                              uint64_t count, uint64_t elem_size) {
    if (!valid_tile(width, count)) return 1;
    return planar_zigzag_decode_stream(dst, src, 0, count, width, count, elem_size);
}
