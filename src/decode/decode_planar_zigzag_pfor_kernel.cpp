// A PFOR stream of planar zigzag codes back to samples. Blocks are unpacked
// straight into dst, where their codes wait until a few whole rows are
// there; the streaming decoder then rebuilds those rows in place, two at a
// time where it can. A short last block goes through a scratch block, so
// nothing is written past the tile. A refused stream leaves codes and
// samples mixed in dst, which the host discards in any case.
#include <cstring>

#include "frame/elem.h"
#include "frame/tile.h"
#include "varda_kernels.h"

using namespace varda;

namespace {

constexpr uint64_t block_len = 256;
// Rows are rebuilt once this many codes wait (and at least two rows): few
// enough to stay in the first-level cache, enough that the streaming
// decoder's set-up is paid rarely.
constexpr uint64_t batch_codes = 4096;

} // namespace

extern "C" VARDA_API int planar_zigzag_pfor_decode(void *dst, uint64_t width, uint64_t count,
                                                   uint64_t elem_size, uint32_t planes,
                                                   const void *src, uint64_t src_len) {
    if (dst == nullptr || src == nullptr) return 1;
    if (!valid_plane_stack(width, count, planes)) return 1;
    // Room for a block of the widest elements; a bad size is refused by the
    // block decoder.
    alignas(32) unsigned char block[block_len * 8];
    auto *const out = static_cast<unsigned char *>(dst);
    const auto *stream = static_cast<const unsigned char *>(src);
    const uint64_t plane = count / planes;
    uint64_t remaining = src_len, rebuilt = 0;
    for (uint64_t s = 0; s < count; s += block_len) {
        const uint64_t n = count - s < block_len ? count - s : block_len;
        unsigned char *codes = out + s * elem_size;
        const uint64_t used =
            pfor_decode_block(n == block_len ? codes : block, elem_size, stream, remaining);
        if (used == 0 || used > remaining) return 1;
        if (n < block_len) std::memcpy(codes, block, n * elem_size);
        stream += used;
        remaining -= used;
        const uint64_t ready = s + n == count ? count : (s + n) / width * width;
        const uint64_t waiting = ready - rebuilt;
        if (ready == count || (waiting >= 2 * width && waiting >= batch_codes)) {
            if (planar_zigzag_decode_stream(dst, out + rebuilt * elem_size, rebuilt, waiting,
                                            width, plane, elem_size) != 0)
                return 1;
            rebuilt = ready;
        }
    }
    return remaining == 0 ? 0 : 1;
}
