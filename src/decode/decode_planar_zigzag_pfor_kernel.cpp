// A PFOR stream of planar zigzag codes back to samples. Each block is
// unpacked straight into dst, already unzigzagged into residuals; once a
// few whole rows are there, they are rebuilt in place, two at a time where
// they can, with the plain running sums. A short last block goes through a
// scratch block, so nothing is written past the tile. A refused block
// leaves dst as a block-by-block decoder would: the samples of the blocks
// before it rebuilt, the rest untouched.
#include <cstring>

#include "frame/elem.h"
#include "frame/pfor_layout.h"
#include "frame/planar_row.h"
#include "frame/tile.h"
#include "varda_kernels.h"

using namespace varda;

namespace {

// Rows are rebuilt once this many residuals wait (and at least two rows):
// few enough to stay in the first-level cache, enough to pay the set-up of
// a run rarely.
constexpr uint64_t batch_values = 4096;

template <Element T>
int decode_stack(unsigned char *dst, uint64_t width, uint64_t count, uint64_t plane,
                 const unsigned char *stream, uint64_t remaining) {
    constexpr uint64_t block_len = pfor::block_values;
    alignas(32) T block[block_len];
    uint64_t rebuilt = 0;
    for (uint64_t s = 0; s < count; s += block_len) {
        const uint64_t n = count - s < block_len ? count - s : block_len;
        void *residuals = at<T>(dst, s);
        const uint64_t used = pfor::decode_residual_block(
            n == block_len ? residuals : static_cast<void *>(block), sizeof(T), stream, remaining);
        if (used == 0 || used > remaining) {
            if (s > rebuilt)
                decode_planar_run<T, false>(dst, at<T>(dst, rebuilt), rebuilt, s - rebuilt, width,
                                            plane);
            return 1;
        }
        if (n < block_len) std::memcpy(residuals, block, n * sizeof(T));
        stream += used;
        remaining -= used;
        const uint64_t ready = s + n == count ? count : (s + n) / width * width;
        const uint64_t waiting = ready - rebuilt;
        if (ready == count || (waiting >= 2 * width && waiting >= batch_values)) {
            decode_planar_run<T, false>(dst, at<T>(dst, rebuilt), rebuilt, waiting, width, plane);
            rebuilt = ready;
        }
    }
    return remaining == 0 ? 0 : 1;
}

} // namespace

extern "C" VARDA_API int planar_zigzag_pfor_decode(void *dst, uint64_t width, uint64_t count,
                                                   uint64_t elem_size, uint32_t planes,
                                                   const void *src, uint64_t src_len) {
    if (dst == nullptr || src == nullptr) return 1;
    if (!valid_plane_stack(width, count, planes)) return 1;
    // A bad element size is refused where the first block would be decoded.
    return with_width(elem_size, 1, [&]<Element T>() {
        return decode_stack<T>(static_cast<unsigned char *>(dst), width, count, count / planes,
                               static_cast<const unsigned char *>(src), src_len);
    });
}
