// Arbitrary residuals for the neighbour predictors' decoders, and arbitrary
// halves for the interleave join. Byte 0 picks the kernel, the element size
// and the path, bytes 1-2 the shape; the rest fills the input. Every
// predictor is a bijection on tiles, so whatever a decoder rebuilds must
// encode back to the very residuals it was given, on every path and in
// place where that is allowed.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "varda_kernels.h"

namespace {

using Kernel = int (*)(void *, const void *, uint64_t, uint64_t, uint64_t);

struct Predictor {
    Kernel encode, decode;
    bool decodes_in_place;
};

const Predictor predictors[] = {
    {delta_n_encode, delta_n_decode, true},        {delta_w_encode, delta_w_decode, true},
    {average_encode, average_decode, true},        {med_encode, med_decode, false},
    {med_zigzag_encode, med_zigzag_decode, false},
};

void require(bool ok) {
    if (!ok) std::abort();
}

std::vector<unsigned char> fill(const uint8_t *data, size_t size, size_t bytes) {
    std::vector<unsigned char> out(bytes);
    for (size_t i = 0; i < bytes && size > 0; ++i) out[i] = data[i % size];
    return out;
}

int pick_path(unsigned choice) {
    const int path = int(choice % 3);
    return path == 2 && !(varda_simd_cpu() & 4u) ? 1 : path;
}

void check_predictor(const Predictor &p, uint64_t es, uint64_t width, uint64_t count,
                     const uint8_t *data, size_t size, int path) {
    const std::vector<unsigned char> residuals = fill(data, size, count * es);
    // Exactly sized, so that ASan sees any access past the tile.
    std::vector<unsigned char> samples(count * es, 0xA5);
    varda_simd_path = path;
    require(p.decode(samples.data(), residuals.data(), width, count, es) == 0);

    std::vector<unsigned char> codes(count * es);
    require(p.encode(codes.data(), samples.data(), width, count, es) == 0);
    require(codes == residuals);

    std::vector<unsigned char> again(count * es);
    varda_simd_path = pick_path(unsigned(path) + 1);
    require(p.decode(again.data(), residuals.data(), width, count, es) == 0);
    require(again == samples);
    if (p.decodes_in_place) {
        again = residuals;
        require(p.decode(again.data(), again.data(), width, count, es) == 0);
        require(again == samples);
    }
}

void check_join(uint64_t es, size_t count, const uint8_t *data, size_t size) {
    const size_t odd_count = count / 2, even_count = count - odd_count;
    const std::vector<unsigned char> even = fill(data, size, even_count * es);
    const std::vector<unsigned char> odd = fill(data + size / 2, size - size / 2, odd_count * es);
    std::vector<unsigned char> run(count * es);
    deinterleave_join(run.data(), even.data(), odd.data(), count, es);
    std::vector<unsigned char> even_back(even.size()), odd_back(odd.size());
    deinterleave_split(even_back.data(), odd_back.data(), run.data(), count, es);
    require(even_back == even && odd_back == odd);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 3) return 0;
    const unsigned kernel = data[0] % 6, choice = data[0] / 6;
    const uint64_t width = data[1] % 48, rows = 1 + data[2] % 16;
    data += 3;
    size -= 3;
    if (kernel == 5) {
        check_join(choice % 11, size_t(width * rows), data, size);
        return 0;
    }
    const uint64_t es = uint64_t(1) << (choice & 3);
    const int path = pick_path(choice >> 2);
    if (width == 0) {
        // Refused before anything is written.
        unsigned char dst[8] = {};
        require(predictors[kernel].decode(dst, data, 0, rows, es) == 1);
        for (unsigned char b : dst) require(b == 0);
        return 0;
    }
    check_predictor(predictors[kernel], es, width, width * rows, data, size, path);
    return 0;
}
