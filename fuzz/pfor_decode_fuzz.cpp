// Arbitrary bytes as a PFOR stream. Byte 0 picks the element size and the
// path, bytes 1-2 the value count; the rest is the stream. Whatever the
// decoder accepts must survive a re-encode and decode unchanged, and the
// other path must reach the same verdict and values.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "varda_kernels.h"

namespace {

void require(bool ok) {
    if (!ok) std::abort();
}

void check_reencodes(const std::vector<unsigned char> &values, uint64_t count, uint64_t es) {
    std::vector<unsigned char> stream(pfor_bound(count, es));
    uint64_t len = 0;
    require(pfor_encode(stream.data(), stream.size(), &len, values.data(), count, es) == 0);
    require(len <= stream.size());
    std::vector<unsigned char> again(values.size());
    require(pfor_decode(again.data(), count, es, stream.data(), len) == 0);
    require(again == values);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 3) return 0;
    const uint64_t es = uint64_t(1) << (data[0] & 3);
    varda_simd_path = (data[0] >> 2) % 3;
    if (varda_simd_path == 2 && !(varda_simd_cpu() & 4u)) varda_simd_path = 1;
    const uint64_t count = 1 + ((uint64_t(data[1]) | uint64_t(data[2]) << 8) & 0x7FF);
    const unsigned char *stream = data + 3;
    const size_t stream_len = size - 3;

    // Exactly sized copies, so that ASan sees any read past the end.
    std::vector<unsigned char> src(stream, stream + stream_len);
    std::vector<unsigned char> out(count * es);
    const int result = pfor_decode(out.data(), count, es, src.data(), src.size());
    if (result == 0) check_reencodes(out, count, es);

    // The SSE2 and AVX2 unpackers agree on every stream.
    if (varda_simd_cpu() & 4u) {
        const int path = varda_simd_path;
        varda_simd_path = path == 2 ? 1 : 2;
        std::vector<unsigned char> other(count * es);
        require(pfor_decode(other.data(), count, es, src.data(), src.size()) == result);
        require(result != 0 || other == out);
        varda_simd_path = path;
    }

    std::vector<unsigned char> block(256 * es);
    const uint64_t used = pfor_decode_block(block.data(), es, src.data(), src.size());
    if (used != 0) {
        require(used <= src.size());
        check_reencodes(block, 256, es);
    }
    return 0;
}
