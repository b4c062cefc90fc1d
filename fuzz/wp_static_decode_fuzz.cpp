// Arbitrary residuals through the weighted decoder. Byte 0 picks the
// element size and the path, byte 1 the width, byte 2 the shift (refused
// above 63), bytes 3-10 the weights; the rest are the residuals, cut to
// whole rows. Decoding then encoding must give the residuals back, and an
// in-place decode the same samples.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "varda_kernels.h"

namespace {

void require(bool ok) {
    if (!ok) std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 11) return 0;
    const uint64_t es = uint64_t(1) << (data[0] & 3);
    varda_simd_path = (data[0] >> 2) % 3;
    if (varda_simd_path == 2 && !(varda_simd_cpu() & 4u)) varda_simd_path = 1;
    const uint64_t width = 1 + data[1] % 64;
    const uint8_t shift = data[2];
    int16_t weights[4];
    std::memcpy(weights, data + 3, sizeof weights);
    const size_t row_bytes = width * es;
    const size_t count = (size - 11) / row_bytes * width;
    if (count == 0) return 0;
    const std::vector<unsigned char> residuals(data + 11, data + 11 + count * es);

    std::vector<unsigned char> samples(count * es, 0xA5);
    const int result =
        wp_static_decode(samples.data(), residuals.data(), width, count, es, weights, shift);
    if (shift > 63) {
        require(result == 1 && samples == std::vector<unsigned char>(count * es, 0xA5));
        return 0;
    }
    require(result == 0);
    std::vector<unsigned char> again(count * es);
    require(wp_static_encode(again.data(), samples.data(), width, count, es, weights, shift) == 0);
    require(again == residuals);
    std::vector<unsigned char> in_place = residuals;
    require(wp_static_decode(in_place.data(), in_place.data(), width, count, es, weights, shift) ==
            0);
    require(in_place == samples);
    return 0;
}
