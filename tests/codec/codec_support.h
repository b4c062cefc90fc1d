// Products, encoding and decoding for the codec's tests: an empty blob
// stands for a refused encode, with its message where one is asked for.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <xxhash.h>

#include "support/support.h"
#include "varda_codec.h"

namespace vt {

inline varda_codec_product product_for(int dtype, int chain) {
    varda_codec_product p;
    varda_codec_product_init(&p, dtype);
    p.chain = chain;
    return p;
}

inline Bytes encode(const varda_codec_product &p, const Bytes &tile, size_t width, size_t height,
                    std::string *message = nullptr) {
    Bytes blob(varda_codec_bound(&p, width, height));
    uint64_t len = 0;
    char err[256] = "";
    if (varda_codec_encode(&p, tile.data(), width, height, blob.data(), blob.size(), &len, err,
                           sizeof err) != 0) {
        if (message) *message = err;
        return {};
    }
    blob.resize(len);
    return blob;
}

inline int decode(const Bytes &blob, Bytes &out, std::string *message = nullptr) {
    char err[256] = "";
    const int rc =
        varda_codec_decode(blob.data(), blob.size(), out.data(), out.size(), err, sizeof err);
    if (message) *message = err;
    return rc;
}

// Samples of width es from a generator of 64-bit values.
template <class F> Bytes tile_of(uint64_t es, size_t count, F &&value) {
    Bytes out(count * es);
    for (size_t i = 0; i < count; ++i) {
        const uint64_t v = value(i);
        std::memcpy(out.data() + i * es, &v, es); // little-endian hosts and the emulator alike
    }
    return out;
}

inline Bytes read_file(const std::string &path) {
    Bytes out;
    if (FILE *f = std::fopen(path.c_str(), "rb")) {
        for (int c; (c = std::fgetc(f)) != EOF;) out.push_back(static_cast<unsigned char>(c));
        std::fclose(f);
    }
    return out;
}

// Writes a golden blob anew where VARDA_WRITE_GOLDEN names a folder (after
// a deliberate change of what an encoder makes); false where it does not.
inline bool write_golden(const std::string &name, const Bytes &blob) {
    const char *folder = std::getenv("VARDA_WRITE_GOLDEN");
    if (!folder) return false;
    if (FILE *f = std::fopen((std::string(folder) + "/" + name).c_str(), "wb")) {
        std::fwrite(blob.data(), 1, blob.size(), f);
        std::fclose(f);
    }
    return true;
}

// Re-seal a blob after an edit, so that the decoder gets past the checksum.
inline void seal(Bytes &blob) {
    const uint64_t sum = XXH3_64bits(blob.data(), blob.size() - 8);
    for (int i = 0; i < 8; ++i)
        blob[blob.size() - 8 + i] = static_cast<unsigned char>(sum >> (8 * i));
}

} // namespace vt
