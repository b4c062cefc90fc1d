// Planar zigzag codes packed straight into a PFOR stream, 256 at a time,
// with no buffer the size of the tile.
#include "frame/elem.h"
#include "frame/planar_row.h"
#include "frame/tile.h"
#include "varda_kernels.h"

using namespace varda;

namespace {

template <Element T>
uint64_t encode_stack(unsigned char *dst, const void *src, size_t width, size_t count,
                      size_t plane) {
    constexpr size_t block_len = 256;
    T block[block_len];
    size_t fill = 0;
    uint64_t written = 0;
    for (size_t p = 0; p < count; p += plane) {
        const void *plane_src = at<T>(src, p);
        for (size_t r = 0; r < plane / width; ++r) {
            // A row may straddle blocks and a block may straddle rows.
            for (size_t c = 0; c < width;) {
                const size_t piece = width - c < block_len - fill ? width - c : block_len - fill;
                planar_codes_band<T, true, 1>(ElementSink<T>{block + fill, r * width + c},
                                              plane_src, width, r, c, c + piece);
                fill += piece;
                c += piece;
                if (fill == block_len) {
                    written += pfor_encode_block(dst + written, block, sizeof(T));
                    fill = 0;
                }
            }
        }
    }
    if (fill > 0) {
        for (size_t i = fill; i < block_len; ++i) block[i] = 0;
        written += pfor_encode_block(dst + written, block, sizeof(T));
    }
    return written;
}

} // namespace

extern "C" VARDA_API uint64_t planar_zigzag_pfor_bound(uint64_t count, uint64_t elem_size) {
    return pfor_bound(count, elem_size);
}

extern "C" VARDA_API int planar_zigzag_pfor_encode(void *dst, uint64_t dst_capacity,
                                                   uint64_t *out_len, const void *src,
                                                   uint64_t width, uint64_t count,
                                                   uint64_t elem_size, uint32_t planes) {
    if (dst == nullptr || src == nullptr || out_len == nullptr) return 1;
    if (!valid_plane_stack(width, count, planes)) return 1;
    const uint64_t bound = planar_zigzag_pfor_bound(count, elem_size);
    if (bound == 0 || dst_capacity < bound) return 1;
    return with_width(elem_size, 1, [&]<Element T>() {
        *out_len =
            encode_stack<T>(static_cast<unsigned char *>(dst), src, width, count, count / planes);
        return 0;
    });
}
