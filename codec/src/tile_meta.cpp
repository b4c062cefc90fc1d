// What a blob records beside its samples (format version 3): that the
// samples came big-endian, and the fields that say where the tile belongs.
#include <cstring>

#include "tile.h"

namespace varda::codec {

void swap_bytes(unsigned char *data, uint64_t count, uint64_t elem_size) {
    if (elem_size < 2) return;
    for (uint64_t i = 0; i < count; ++i) {
        unsigned char *e = data + i * elem_size;
        for (uint64_t a = 0, b = elem_size - 1; a < b; ++a, --b) {
            const unsigned char t = e[a];
            e[a] = e[b];
            e[b] = t;
        }
    }
}

bool encode_tile_meta(const varda_codec_product &p, const void *src, uint64_t width,
                      uint64_t height, const varda_codec_tile_meta *meta, EncodedTile &tile,
                      Error &err) {
    if (!meta) return encode_tile(p, src, width, height, tile, err);
    if (meta->big_endian != 0 && meta->big_endian != 1)
        return err.set("big_endian is 0 or 1", VARDA_CODEC_REFUSED);
    if (meta->position_count > VARDA_CODEC_POSITION_MAX)
        return err.set(format("a grid position has at most %d indices, not %u",
                              VARDA_CODEC_POSITION_MAX, meta->position_count),
                       VARDA_CODEC_REFUSED);
    if (meta->has_array != 0 && meta->has_array != 1)
        return err.set("has_array is 0 or 1", VARDA_CODEC_REFUSED);
    const uint64_t es = varda_dtype_size(p.dtype);
    // Bytes have no order: a 1-byte tile is the same either way.
    const bool big = meta->big_endian == 1 && es > 1;
    if (big) {
        if (!src) return err.set("no samples given");
        if (!check_shape(width, height, es, err)) return false;
        // The samples as this machine holds them, one copy of the tile.
        Scratch values(size_t(width * height * es));
        std::memcpy(values.data(), src, values.size());
        swap_bytes(values.data(), width * height, es);
        if (!encode_tile(p, values.data(), width, height, tile, err)) return false;
    } else if (!encode_tile(p, src, width, height, tile, err)) {
        return false;
    }
    const bool fields = meta->position_count > 0 || meta->has_array == 1;
    if (!big && !fields) return true;
    tile.head[4] = static_cast<unsigned char>(fields_version);
    tile.head[6] |=
        static_cast<unsigned char>((big ? flag_big_endian : 0) | (fields ? flag_fields : 0));
    if (fields) {
        Bytes section;
        Writer out(section);
        out.u8(unsigned(meta->position_count > 0) + unsigned(meta->has_array == 1));
        if (meta->position_count > 0) {
            out.u8(tag_position);
            out.u8(4 * meta->position_count);
            for (uint32_t k = 0; k < meta->position_count; ++k) out.u32(meta->position[k]);
        }
        if (meta->has_array == 1) {
            out.u8(tag_array);
            out.u8(8);
            out.u64(meta->array);
        }
        tile.head.insert(tile.head.begin() + long(header_bytes), section.begin(), section.end());
    }
    return true;
}

} // namespace varda::codec
