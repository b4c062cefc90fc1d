// The tile codec's C interface: chains by name, products, bounds, and
// tiles encoded, decoded and described.
#include "varda_codec.h"

#include <algorithm>
#include <cinttypes>
#include <cstring>
#include <exception>
#include <zstd.h>

#include "entry.h"
#include "tile.h"

using namespace varda::codec;

extern "C" {

VARDA_CODEC_API int varda_codec_chain_count(void) { return chain_count; }

VARDA_CODEC_API const char *varda_codec_chain_name(int chain) {
    if (chain == VARDA_CHAIN_AUTO) return "auto";
    const ChainInfo *info = chain_info(chain);
    return info ? info->name : nullptr;
}

VARDA_CODEC_API int varda_codec_chain_id(const char *name) {
    if (!name) return -1;
    if (std::strcmp(name, "auto") == 0) return VARDA_CHAIN_AUTO;
    for (int id = 1; id <= chain_count; ++id)
        if (std::strcmp(name, chain_info(id)->name) == 0) return id;
    return -1;
}

VARDA_CODEC_API int varda_codec_chain_accepts(int chain, int dtype) {
    return chain_accepts(chain, dtype) ? 1 : 0;
}

VARDA_CODEC_API void varda_codec_product_init(varda_codec_product *product, int dtype) {
    if (!product) return;
    std::memset(product, 0, sizeof *product);
    product->dtype = dtype;
    product->chain = VARDA_CHAIN_AUTO;
    product->effort = 1;
    product->zstd_level = VARDA_CODEC_DEFAULT_ZSTD_LEVEL;
    product->prepared = 1; // lossless needs no preparation
}

VARDA_CODEC_API int varda_codec_prepare(varda_codec_product *product, const char *recipe,
                                        const void *raster, uint64_t width, uint64_t count,
                                        char *err, size_t err_size) {
    return guarded(VARDA_CODEC_REFUSED, err, err_size, [&](Error &error) {
        if (!product) return error.set("no product to prepare");
        return prepare(*product, recipe, raster, width, count, error);
    });
}

VARDA_CODEC_API int varda_codec_product_check(const varda_codec_product *product, char *err,
                                              size_t err_size) {
    return guarded(VARDA_CODEC_REFUSED, err, err_size, [&](Error &error) {
        if (!check_product(product, error)) return false;
        // A grid the quantiser refuses would fail every tile: no samples
        // are enough for it to say so.
        uint64_t probe = 0;
        return !is_lossy(*product) || quantise(*product, &probe, &probe, 0) == 0 ||
               error.set("the product's lossy grid is not one its quantiser takes");
    });
}

VARDA_CODEC_API uint64_t varda_codec_bound(const varda_codec_product *product, uint64_t width,
                                           uint64_t height) {
    // The checks word their refusals, which may fail to allocate; the
    // answer is 0 either way.
    try {
        Error error;
        if (!check_product(product, error)) return 0;
        if (!check_shape(width, height, varda_dtype_size(product->dtype), error)) return 0;
    } catch (const std::exception &) {
        return 0;
    }
    const uint64_t es = varda_dtype_size(product->dtype);
    const uint64_t count = width * height, raw = count * es;
    const uint64_t widest = std::max<uint64_t>(raw, planar_zigzag_pfor_bound(count, es));
    // Header, sections and checksum, the mask, then the widest chain: a
    // splitter's two streams, selectors and packed offsets, or a palette's
    // table (under half the samples) and ranks.
    // A lossy float tile may add its non-finite patterns and their index.
    const uint64_t nonfinite = is_lossy(*product) && is_float(product->dtype)
                                   ? 5 + max_nonfinite_patterns * es + ZSTD_compressBound(count)
                                   : 0;
    return 256 + max_fields_bytes + ZSTD_compressBound(count) + 2 * ZSTD_compressBound(widest) +
           count + nonfinite;
}

VARDA_CODEC_API int varda_codec_encode(const varda_codec_product *product, const void *src,
                                       uint64_t width, uint64_t height, void *dst,
                                       uint64_t dst_capacity, uint64_t *out_len, char *err,
                                       size_t err_size) {
    return varda_codec_encode_tile(product, src, width, height, nullptr, dst, dst_capacity, out_len,
                                   err, err_size);
}

VARDA_CODEC_API int varda_codec_encode_tile(const varda_codec_product *product, const void *src,
                                            uint64_t width, uint64_t height,
                                            const varda_codec_tile_meta *meta, void *dst,
                                            uint64_t dst_capacity, uint64_t *out_len, char *err,
                                            size_t err_size) {
    return guarded(VARDA_CODEC_REFUSED, err, err_size, [&](Error &error) {
        if (!product) return error.set("no product given");
        if (!out_len) return error.set("no place for the blob's length");
        EncodedTile tile;
        if (!encode_tile_meta(*product, src, width, height, meta, tile, error)) return false;
        if (!dst || dst_capacity < tile.size())
            return error.set(format("the blob needs %" PRIu64
                                    " bytes, the destination holds %" PRIu64,
                                    tile.size(), dst ? dst_capacity : 0));
        write_blob(tile, static_cast<unsigned char *>(dst));
        *out_len = tile.size();
        return true;
    });
}

VARDA_CODEC_API int varda_codec_decode(const void *blob, uint64_t blob_len, void *dst,
                                       uint64_t dst_capacity, char *err, size_t err_size) {
    return guarded(VARDA_CODEC_CORRUPT, err, err_size, [&](Error &error) {
        return decode_blob(blob, blob_len, dst, dst_capacity, error);
    });
}

VARDA_CODEC_API int varda_codec_read_info(const void *blob, uint64_t blob_len,
                                          varda_codec_info *info, char *err, size_t err_size) {
    return guarded(VARDA_CODEC_CORRUPT, err, err_size, [&](Error &error) {
        if (!info) return error.set("no place for the tile's description", VARDA_CODEC_REFUSED);
        return describe(blob, blob_len, true, *info, error);
    });
}

VARDA_CODEC_API int varda_codec_peek_info(const void *blob, uint64_t blob_len,
                                          varda_codec_info *info, char *err, size_t err_size) {
    return guarded(VARDA_CODEC_CORRUPT, err, err_size, [&](Error &error) {
        if (!info) return error.set("no place for the tile's description", VARDA_CODEC_REFUSED);
        return describe(blob, blob_len, false, *info, error);
    });
}

VARDA_CODEC_API int varda_codec_read_tile_meta(const void *blob, uint64_t blob_len, int verify,
                                               varda_codec_tile_meta *meta, char *err,
                                               size_t err_size) {
    return guarded(VARDA_CODEC_CORRUPT, err, err_size, [&](Error &error) {
        if (!meta) return error.set("no place for the tile's fields", VARDA_CODEC_REFUSED);
        Header h;
        Reader body(nullptr, nullptr);
        if (!read_header(blob, blob_len, verify != 0, h, body, error)) return false;
        *meta = h.meta;
        return true;
    });
}

} // extern "C"
