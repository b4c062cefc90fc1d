// Reading the blob: the magic, version and checksum, the fixed header, and
// the nodata, lossy and non-finite sections before the chain.
#include "tile.h"

#include <cstring>
#include <xxhash.h>

namespace varda::codec {

// Magic, version, checksum (when `verify`) and the fixed header; on
// success `body` spans the sections between the header and the checksum.
bool read_header(const void *blob, uint64_t blob_len, bool verify, Header &h, Reader &body,
                 Error &err) {
    const auto *bytes = static_cast<const unsigned char *>(blob);
    if (!blob || blob_len < header_bytes + checksum_bytes || std::memcmp(bytes, magic, 4) != 0)
        return err.set("not a varda tile: the blob does not start with the tile magic");
    if (bytes[4] < plain_version || bytes[4] > VARDA_CODEC_FORMAT_VERSION)
        return err.set(format("tile format version %u is not one this build reads (it reads %u "
                              "to %d)",
                              bytes[4], plain_version, VARDA_CODEC_FORMAT_VERSION),
                       VARDA_CODEC_REFUSED);
    const uint64_t stored = Reader::read_le(bytes + blob_len - checksum_bytes, 8);
    if (verify && XXH3_64bits(bytes, size_t(blob_len - checksum_bytes)) != stored)
        return err.set("corrupt tile: the checksum does not match");
    h.version = bytes[4];
    h.dtype = bytes[5];
    h.flags = bytes[6];
    h.width = Reader::read_le(bytes + 8, 4);
    h.height = Reader::read_le(bytes + 12, 4);
    if (!valid_dtype(h.dtype))
        return err.set(format("corrupt tile: dtype %d is not a type", h.dtype));
    if ((h.flags & ~known_flags) != 0 || bytes[7] != 0)
        return err.set("corrupt tile: unknown header flags");
    // The non-finite section came with version 2, which marks the tiles
    // that hold one; version 3 marks big-endian samples and the fields.
    if (h.version == fields_version) {
        if (!(h.flags & (flag_big_endian | flag_fields)))
            return err.set("corrupt tile: a version 3 tile must record big-endian samples or "
                           "fields");
    } else {
        if (h.flags & (flag_big_endian | flag_fields))
            return err.set(format("corrupt tile: a version %u tile cannot record big-endian "
                                  "samples or fields",
                                  h.version));
        if (((h.flags & flag_nonfinite) != 0) != (h.version != plain_version))
            return err.set(format("corrupt tile: a version %u tile %s non-finite samples",
                                  h.version,
                                  h.version == plain_version ? "cannot carry" : "must carry"));
    }
    if ((h.flags & flag_nonfinite) && (!(h.flags & flag_lossy) || !is_float(h.dtype)))
        return err.set("corrupt tile: non-finite samples set aside in a tile that is not lossy "
                       "floats");
    h.elem_size = varda_dtype_size(h.dtype);
    if (!check_shape(h.width, h.height, h.elem_size, err)) return false;
    h.count = h.width * h.height;
    body = Reader(bytes + header_bytes, bytes + blob_len - checksum_bytes);
    h.meta = varda_codec_tile_meta{};
    h.meta.big_endian = (h.flags & flag_big_endian) ? 1 : 0;
    return !(h.flags & flag_fields) || read_fields(body, h, err);
}

// The fields: a count (1 .. 255), then each field's tag, length and bytes.
// A tag this build does not know is skipped: no field changes how the
// samples decode.
bool read_fields(Reader &in, Header &h, Error &err) {
    unsigned count = 0;
    if (!in.u8(count, "field count", err)) return false;
    if (count == 0) return err.set("corrupt tile: a fields section without fields");
    bool seen_position = false, seen_array = false;
    for (unsigned i = 0; i < count; ++i) {
        unsigned tag = 0, length = 0;
        const unsigned char *at = nullptr;
        if (!in.u8(tag, "field tag", err) || !in.u8(length, "field length", err) ||
            !in.bytes(at, length, "field", err))
            return false;
        if (tag == tag_position) {
            if (seen_position || length == 0 || length % 4 != 0 ||
                length > 4 * VARDA_CODEC_POSITION_MAX)
                return err.set("corrupt tile: a grid position field of a wrong length, or two");
            seen_position = true;
            h.meta.position_count = length / 4;
            for (unsigned k = 0; k < length / 4; ++k)
                h.meta.position[k] = uint32_t(Reader::read_le(at + 4 * k, 4));
        } else if (tag == tag_array) {
            if (seen_array || length != 8)
                return err.set("corrupt tile: an array field of a wrong length, or two");
            seen_array = true;
            h.meta.has_array = 1;
            h.meta.array = Reader::read_le(at, 8);
        }
    }
    return true;
}

bool read_sections(Reader &in, const Header &h, Sections &s, Error &err) {
    if (h.flags & flag_nodata) {
        if (!in.u8(s.mask_kind, "nodata mask kind", err) || !in.u64(s.sentinel, "sentinel", err) ||
            !in.stream(s.mask_frame, s.mask_frame_size, "nodata mask", err))
            return false;
        if (s.mask_kind > mask_in_samples) return err.set("corrupt tile: unknown nodata mask kind");
        if (s.mask_kind == mask_in_samples && (s.mask_frame_size != 0 || (h.flags & flag_lossy)))
            return err.set("corrupt tile: nodata kept in the samples needs a lossless tile and "
                           "an empty mask stream");
        if ((s.sentinel & ~width_mask(h.elem_size)) != 0)
            return err.set("corrupt tile: the sentinel is wider than the samples");
    }
    if (h.flags & flag_lossy) {
        unsigned mode = 0;
        if (!in.u8(s.family, "lossy family", err) || !in.u8(mode, "grid", err) ||
            !in.f64(s.grid.step, "grid", err) || !in.f64(s.grid.offset, "grid", err))
            return false;
        if (s.family < VARDA_LOSSY_LINEAR || s.family > VARDA_LOSSY_SQRT)
            return err.set("corrupt tile: unknown lossy family");
        s.grid.mode = uint8_t(mode);
    }
    if (h.flags & flag_nonfinite) {
        if (!in.u8(s.pattern_count, "non-finite pattern count", err)) return false;
        if (s.pattern_count == 0)
            return err.set("corrupt tile: a non-finite section without patterns");
        for (unsigned k = 0; k < s.pattern_count; ++k) {
            const unsigned char *at = nullptr;
            if (!in.bytes(at, size_t(h.elem_size), "non-finite patterns", err)) return false;
            s.patterns[k] = Reader::read_le(at, int(h.elem_size));
            if (!is_nonfinite(h.dtype, s.patterns[k]))
                return err.set("corrupt tile: a set-aside pattern is a finite number");
        }
        if (!in.stream(s.index_frame, s.index_frame_size, "non-finite index", err)) return false;
    }
    return true;
}

bool describe(const void *blob, uint64_t blob_len, bool verify, varda_codec_info &info,
              Error &err) {
    Header h;
    Reader in(nullptr, nullptr);
    Sections s;
    unsigned chain = 0;
    if (!read_header(blob, blob_len, verify, h, in, err) || !read_sections(in, h, s, err) ||
        !in.u8(chain, "chain id", err))
        return false;
    info = varda_codec_info{};
    info.version = h.version;
    info.dtype = h.dtype;
    info.width = h.width;
    info.height = h.height;
    info.chain = int32_t(chain);
    info.lossy = int32_t(s.family);
    info.nodata = (h.flags & flag_nodata) ? 1 : 0;
    info.nonfinite = (h.flags & flag_nonfinite) ? 1 : 0;
    info.raw_bytes = h.count * h.elem_size;
    info.blob_bytes = blob_len;
    return true;
}

} // namespace varda::codec
