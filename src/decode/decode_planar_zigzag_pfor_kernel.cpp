// A PFOR stream of planar zigzag codes back to samples, one block at a time:
// unpack 256 codes, then rebuild their samples with the streaming decoder.
#include "frame/elem.h"
#include "frame/tile.h"
#include "varda_kernels.h"

using namespace varda;

extern "C" VARDA_API int planar_zigzag_pfor_decode(void *dst, uint64_t width, uint64_t count,
                                                   uint64_t elem_size, uint32_t planes,
                                                   const void *src, uint64_t src_len) {
    if (dst == nullptr || src == nullptr) return 1;
    if (!valid_plane_stack(width, count, planes)) return 1;
    constexpr uint64_t block_len = 256;
    // Room for a block of the widest elements; a bad size is refused by the
    // block decoder.
    alignas(16) unsigned char block[block_len * 8];
    const auto *stream = static_cast<const unsigned char *>(src);
    uint64_t remaining = src_len;
    for (uint64_t s = 0; s < count; s += block_len) {
        const uint64_t used = pfor_decode_block(block, elem_size, stream, remaining);
        if (used == 0 || used > remaining) return 1;
        const uint64_t n = count - s < block_len ? count - s : block_len;
        if (planar_zigzag_decode_stream(dst, block, s, n, width, count / planes, elem_size) != 0)
            return 1;
        stream += used;
        remaining -= used;
    }
    return remaining == 0 ? 0 : 1;
}
