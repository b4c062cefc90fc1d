// A context chain's section on its own, for the fuzz targets of both
// context chains: bytes are a dtype, a width and a height (one byte each),
// then the section after the chain id. The target wraps them in a sealed
// lossless tile, so every mutation reaches the predictor byte, the
// frequency tables and the streams. The decoder must refuse with a message
// or decode repeatably; what it decodes must encode again (small tiles at
// effort 2) and come back the same.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>
#include <xxhash.h>

#include "varda_codec.h"

namespace fuzz_context {

inline void require(bool ok) {
    if (!ok) std::abort();
}

inline int section(int chain, const uint8_t *data, size_t size) {
    static const uint64_t sizes[] = {1, 2, 4, 8, 1, 2, 4, 8, 2, 4, 8};
    if (size < 3) return 0;
    const int dtype = data[0] % 11;
    const uint32_t width = uint32_t(data[1]) + 1, height = uint32_t(data[2]) + 1;
    // A lossless tile is written as format version 1; version 2 is for
    // tiles with a non-finite section only, and the decoder refuses one
    // without it before it reaches the chain.
    constexpr unsigned char plain_version = 1;
    std::vector<unsigned char> blob = {'V', 'R', 'D', 'T', plain_version, uint8_t(dtype), 0, 0};
    for (uint32_t v : {width, height})
        for (int i = 0; i < 4; ++i) blob.push_back(uint8_t(v >> (8 * i)));
    blob.push_back(uint8_t(chain));
    blob.insert(blob.end(), data + 3, data + size);
    const uint64_t sum = XXH3_64bits(blob.data(), blob.size());
    for (int i = 0; i < 8; ++i) blob.push_back(uint8_t(sum >> (8 * i)));

    const uint64_t raw = uint64_t(width) * height * sizes[dtype];
    std::vector<unsigned char> out(raw), again(raw);
    char err[256];
    if (varda_codec_decode(blob.data(), blob.size(), out.data(), out.size(), err, sizeof err) !=
        0) {
        require(err[0] != '\0');
        return 0;
    }
    require(varda_codec_decode(blob.data(), blob.size(), again.data(), again.size(), err,
                               sizeof err) == 0);
    require(out == again);
    varda_codec_product p;
    varda_codec_product_init(&p, dtype);
    p.chain = chain;
    // Small tiles go through effort 2 too, whose trials (the mixed
    // predictor, serial contexts) then meet every shape.
    if (uint64_t(width) * height <= 4096) p.effort = 2;
    std::vector<unsigned char> coded(varda_codec_bound(&p, width, height));
    uint64_t len = 0;
    require(varda_codec_encode(&p, out.data(), width, height, coded.data(), coded.size(), &len, err,
                               sizeof err) == 0);
    std::fill(again.begin(), again.end(), 0);
    require(varda_codec_decode(coded.data(), len, again.data(), again.size(), err, sizeof err) ==
            0);
    require(out == again);
    return 0;
}

} // namespace fuzz_context
