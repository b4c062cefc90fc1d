// Arbitrary codes for the planar family's decoders: planar_decode,
// planar_zigzag_decode (also in place and streamed in pieces over a plane
// stack), planar_zigzag_pivco_unlanes and the byte unshuffle. Byte 0 picks
// the element size and the path, bytes 1-3 the width, rows and planes,
// byte 4 the length of the streamed pieces; the rest fills the codes.
//
// Every one of these is a bijection on tiles, so whatever a decoder
// rebuilds must encode back to the codes it was given; the streamed pieces,
// the in-place decode and every path must rebuild the same samples.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "join_split.h"
#include "varda_kernels.h"

namespace {

using Bytes = std::vector<unsigned char>;

void require(bool ok) {
    if (!ok) std::abort();
}

Bytes fill(const uint8_t *data, size_t size, size_t bytes) {
    Bytes out(bytes);
    for (size_t i = 0; i < bytes && size > 0; ++i) out[i] = data[i % size];
    return out;
}

int other_path(int path) {
    const bool avx2 = (varda_simd_cpu() & 4u) != 0;
    return path == 2 || !avx2 ? (path + 1) % 2 : 2;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 5) return 0;
    const uint64_t es = uint64_t(1) << (data[0] & 3);
    int path = (data[0] >> 2) % 3;
    if (path == 2 && !(varda_simd_cpu() & 4u)) path = 1;
    const uint64_t width = 1 + data[1] % 70, rows = 1 + data[2] % 12;
    const uint32_t planes = 1 + data[3] % 4;
    const uint64_t piece = 1 + data[4];
    const uint64_t plane = width * rows, count = plane * planes;
    const Bytes codes = fill(data + 5, size - 5, count * es);

    // planar_decode and planar_zigzag_decode on the first plane.
    varda_simd_path = path;
    Bytes samples(plane * es), again(plane * es);
    require(planar_decode(samples.data(), codes.data(), width, plane, es) == 0);
    require(planar_encode(again.data(), samples.data(), width, plane, es) == 0);
    require(std::memcmp(again.data(), codes.data(), plane * es) == 0);
    varda_simd_path = other_path(path);
    require(planar_decode(again.data(), codes.data(), width, plane, es) == 0);
    require(again == samples);

    varda_simd_path = path;
    Bytes stack(count * es, 0xA5);
    for (uint32_t p = 0; p < planes; ++p)
        require(planar_zigzag_decode(stack.data() + p * plane * es, codes.data() + p * plane * es,
                                     width, plane, es) == 0);
    Bytes back(count * es);
    for (uint32_t p = 0; p < planes; ++p)
        require(planar_zigzag_encode(back.data() + p * plane * es, stack.data() + p * plane * es,
                                     width, plane, es) == 0);
    require(back == codes);

    // The same stack streamed in pieces that cross rows and planes, on the
    // other path, and decoded in place.
    varda_simd_path = other_path(path);
    Bytes streamed(count * es, 0x5A);
    for (uint64_t start = 0; start < count; start += piece) {
        const uint64_t n = start + piece < count ? piece : count - start;
        require(planar_zigzag_decode_stream(streamed.data(), codes.data() + start * es, start, n,
                                            width, plane, es) == 0);
    }
    require(streamed == stack);
    Bytes in_place(codes.begin(), codes.begin() + long(plane * es));
    require(planar_zigzag_decode(in_place.data(), in_place.data(), width, plane, es) == 0);
    require(std::memcmp(in_place.data(), stack.data(), plane * es) == 0);

    // The codes as byte lanes: unlaning rebuilds the stack, laning gives
    // the lanes back.
    Bytes lanes(count * es);
    host::blocked_transpose_zstd_shuffle(lanes.data(), codes.data(), count, es);
    Bytes unlaned(count * es);
    require(planar_zigzag_pivco_unlanes(unlaned.data(), lanes.data(), width, count, es, planes) ==
            0);
    require(unlaned == stack);
    Bytes relaned(count * es);
    require(planar_zigzag_pivco_lanes(relaned.data(), unlaned.data(), width, count, es, planes) ==
            0);
    require(relaned == lanes);

    // The unshuffle, of any element size, inverts the shuffle.
    const uint64_t any_size = data[0] >> 5 ? data[0] >> 5 : 1; // 1 .. 7
    const uint64_t n = (size - 5) / any_size;
    const Bytes raw(data + 5, data + 5 + n * any_size);
    Bytes shuffled(raw.size()), unshuffled(raw.size(), 0xA5);
    host::blocked_transpose_zstd_shuffle(shuffled.data(), raw.data(), n, any_size);
    blocked_transpose_zstd_unshuffle(unshuffled.data(), shuffled.data(), n, any_size);
    require(unshuffled == raw);
    return 0;
}
