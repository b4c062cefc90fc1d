// The tile codec from the encoder's side: a product of any dtype, chain,
// nodata convention and recipe text, prepared on an arbitrary tile, encodes
// that tile, and the blob must decode. Byte 0 picks the dtype, byte 1 the
// chain (auto past the last id), byte 2 the effort (bits 0-1), the nodata
// kind (bits 2-3), the zstd level (bit 4) and whether the stored grid is
// overwritten by raw bytes (bit 5), byte 3 the width; then the recipe text
// up to a NUL, then the grid bytes when asked for, then the tile.
//
// A lossless blob decodes to the tile bit for bit. A lossy one keeps every
// valid sample within the recipe's bound and away from the nodata
// sentinel, puts the sentinel (or NaN) back at every nodata sample and
// every other infinity or NaN back bit for bit. A refusal explains itself. A stored product whose
// grid was damaged is refused or encodes a blob that decodes.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "lossy_bound.h"
#include "varda_codec.h"

namespace {

using Bytes = std::vector<unsigned char>;

void require(bool ok) {
    if (!ok) std::abort();
}

constexpr size_t sizes[] = {1, 2, 4, 8, 1, 2, 4, 8, 2, 4, 8};

uint64_t bits_at(const Bytes &b, size_t i, size_t es) {
    uint64_t v = 0;
    std::memcpy(&v, b.data() + i * es, es);
    return v;
}

bool is_nan(uint64_t bits, int dtype) {
    if (dtype == 8) return (bits & 0x7FFF) > 0x7C00;
    if (dtype == 9) return (bits & 0x7FFFFFFF) > 0x7F800000;
    if (dtype == 10) return (bits & 0x7FFFFFFFFFFFFFFF) > 0x7FF0000000000000;
    return false;
}

bool is_nonfinite(uint64_t bits, int dtype) {
    if (dtype == 8) return (bits & 0x7C00) == 0x7C00;
    if (dtype == 9) return (bits & 0x7F800000) == 0x7F800000;
    if (dtype == 10) return (bits & 0x7FF0000000000000) == 0x7FF0000000000000;
    return false;
}

// Distinct infinities and NaN patterns, up to 256.
size_t nonfinite_patterns(const Bytes &tile, size_t count, size_t es, int dtype) {
    std::vector<uint64_t> seen;
    for (size_t i = 0; i < count && seen.size() <= 255; ++i) {
        const uint64_t bits = bits_at(tile, i, es);
        if (!is_nonfinite(bits, dtype)) continue;
        bool known = false;
        for (uint64_t b : seen) known |= b == bits;
        if (!known) seen.push_back(bits);
    }
    return seen.size();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 5) return 0;
    const int dtype = data[0] % 11;
    const size_t es = sizes[dtype];
    const int chain_pick = data[1] % (varda_codec_chain_count() + 1);
    const int chain = chain_pick == 0 ? VARDA_CHAIN_AUTO : chain_pick;
    const uint8_t options = data[2];
    const auto *text_end = static_cast<const uint8_t *>(std::memchr(data + 4, 0, size - 4));
    if (!text_end) return 0;
    const std::string recipe(reinterpret_cast<const char *>(data + 4), size_t(text_end - data - 4));
    const uint8_t *rest = text_end + 1;
    size_t rest_len = size_t(data + size - rest);
    quant_grid damaged{};
    const bool damage = options & 32;
    if (damage) {
        if (rest_len < 17) return 0;
        damaged.mode = rest[0];
        std::memcpy(&damaged.step, rest + 1, 8);
        std::memcpy(&damaged.offset, rest + 9, 8);
        rest += 17;
        rest_len -= 17;
    }
    const uint64_t width = 1 + data[3] % 48;
    const uint64_t height = rest_len / es / width;
    if (height == 0 || height > 64) return 0;
    const size_t count = size_t(width * height);
    const Bytes tile(rest, rest + count * es);

    varda_codec_product p;
    varda_codec_product_init(&p, dtype);
    p.chain = chain;
    p.effort = options & 3 ? 1 : 0;
    p.nodata = (options >> 2) % 3;
    if (p.nodata == VARDA_NODATA_NAN && dtype < 8) p.nodata = VARDA_NODATA_VALUE;
    p.nodata_value = bits_at(tile, 0, es); // the first sample marks nodata
    p.zstd_level = options & 16 ? 3 : 1;
    char err[512];
    if (varda_codec_prepare(&p, recipe.c_str(), tile.data(), width, count, err, sizeof err) != 0) {
        require(err[0] != 0);
        return 0;
    }
    if (damage) p.resolved.grid = damaged;

    Bytes blob(varda_codec_bound(&p, width, height));
    require(!blob.empty());
    uint64_t len = 0;
    if (varda_codec_encode(&p, tile.data(), width, height, blob.data(), blob.size(), &len, err,
                           sizeof err) != 0) {
        require(err[0] != 0);
        // Only a chain the tile does not suit, a damaged grid, or a lossy
        // tile with more distinct infinities and NaN than it can set aside
        // refuses.
        require(damage || chain == VARDA_CHAIN_INTMULT || chain == VARDA_CHAIN_FLOATQUANT ||
                chain == VARDA_CHAIN_FLOATMULT || chain == VARDA_CHAIN_FLOATMULT_WIDE ||
                chain == VARDA_CHAIN_PALETTE ||
                (p.recipe.family != 0 && nonfinite_patterns(tile, count, es, dtype) > 255));
        return 0;
    }
    require(len <= blob.size());
    blob.resize(len);
    varda_codec_info info;
    require(varda_codec_read_info(blob.data(), len, &info, err, sizeof err) == 0);
    require(info.dtype == dtype && info.width == width && info.height == height &&
            info.raw_bytes == count * es && info.lossy == p.recipe.family);
    Bytes out(count * es, 0xA5);
    require(varda_codec_decode(blob.data(), len, out.data(), out.size(), err, sizeof err) == 0);
    if (p.recipe.family == 0) {
        require(out == tile);
        return 0;
    }
    if (damage) return 0;

    // Nodata back in place, valid samples never on the sentinel, and the
    // valid samples within the bound.
    const uint64_t sentinel = p.nodata_value;
    Bytes rebuilt = out;
    for (size_t i = 0; i < count; ++i) {
        const uint64_t in = bits_at(tile, i, es), got = bits_at(out, i, es);
        bool nodata = false;
        if (p.nodata == VARDA_NODATA_VALUE) {
            nodata = in == sentinel;
            require(nodata == (got == sentinel));
        } else if (p.nodata == VARDA_NODATA_NAN) {
            nodata = is_nan(in, dtype);
            if (nodata) require(is_nan(got, dtype));
        }
        if (!nodata && is_nonfinite(in, dtype)) require(got == in);
        if (nodata) std::memcpy(rebuilt.data() + i * es, tile.data() + i * es, es);
    }
    require(lossy_worst_error(p.recipe, uint32_t(dtype), tile.data(), rebuilt.data(), count) <=
            1.0);
    return 0;
}
