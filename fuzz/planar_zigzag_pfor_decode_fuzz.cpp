// Arbitrary streams, shapes and plane counts for the fused decoder. The
// first bytes choose the shape and the path; the rest is the stream.
// Whatever the decoder accepts must survive a re-encode and decode
// unchanged, and the other path must reach the same verdict and leave the
// same bytes, a refusal included.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "varda_kernels.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 5) return 0;
    static const uint64_t sizes[] = {1, 2, 4, 8, 3, 0};
    const uint64_t elem_size = sizes[data[0] % 6];
    const uint64_t width = data[1] % 40; // 0 is refused, which is worth feeding too
    const uint64_t rows = 1 + data[2] % 24;
    const uint32_t planes = data[3] % 9;
    const uint64_t count = (width ? width : 1) * rows * (planes ? planes : 1) + (data[4] & 1);
    const uint8_t *stream = data + 5;
    const size_t stream_len = size - 5;

    const bool avx2 = (varda_simd_cpu() & 4u) != 0;
    varda_simd_path = avx2 && (data[0] / 6) % 2 ? 2 : 1;

    const size_t bytes = size_t(count) * 8;
    const size_t used = size_t(count) * (elem_size <= 8 ? elem_size : 0);
    std::vector<unsigned char> out(bytes + 16, 0xA5);
    const int result =
        planar_zigzag_pfor_decode(out.data(), width, count, elem_size, planes, stream, stream_len);
    for (size_t i = used; i < out.size(); ++i)
        if (out[i] != 0xA5) std::abort(); // wrote past the samples
    if (avx2) {
        // The other path reaches the same verdict and leaves the same bytes.
        varda_simd_path = 3 - varda_simd_path;
        std::vector<unsigned char> other(bytes + 16, 0xA5);
        if (planar_zigzag_pfor_decode(other.data(), width, count, elem_size, planes, stream,
                                      stream_len) != result)
            std::abort();
        if (std::memcmp(other.data(), out.data(), used) != 0) std::abort();
    }
    if (result != 0) return 0;

    std::vector<unsigned char> again(planar_zigzag_pfor_bound(count, elem_size));
    uint64_t len = 0;
    if (planar_zigzag_pfor_encode(again.data(), again.size(), &len, out.data(), width, count,
                                  elem_size, planes) != 0)
        std::abort();
    std::vector<unsigned char> back(bytes);
    if (planar_zigzag_pfor_decode(back.data(), width, count, elem_size, planes, again.data(),
                                  len) != 0)
        std::abort();
    if (std::memcmp(back.data(), out.data(), size_t(count * elem_size)) != 0) std::abort();
    return 0;
}
