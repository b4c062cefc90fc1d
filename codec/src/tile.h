// What the tile codec's files share beside the chains: the blob's layout,
// the element types as the codec sees them, and the steps between a
// product's samples and the chain section.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "blob.h"
#include "chains.h"
#include "dtypes.h"
#include "varda_codec.h"

namespace varda::codec {

constexpr unsigned char magic[4] = {'V', 'R', 'D', 'T'};
constexpr size_t header_bytes = 16, checksum_bytes = 8;
constexpr uint64_t max_tile_bytes = uint64_t(1) << 30;
constexpr unsigned flag_nodata = 1, flag_lossy = 2, flag_nonfinite = 4;
// Version 3: the samples were given big-endian and are given back so; a
// section of tagged fields (the tile's grid position, its array) follows
// the fixed header.
constexpr unsigned flag_big_endian = 8, flag_fields = 16;
constexpr unsigned known_flags =
    flag_nodata | flag_lossy | flag_nonfinite | flag_big_endian | flag_fields;
// Tiles without a non-finite section keep the first format, byte for byte;
// version 2 marks the non-finite section, version 3 either flag above.
constexpr unsigned plain_version = 1, nonfinite_version = 2, fields_version = 3;
// The field tags of a version 3 tile; a reader skips a tag it does not know.
constexpr unsigned tag_position = 1, tag_array = 2;
// The most bytes the fields this build writes take: the count, then a
// position of VARDA_CODEC_POSITION_MAX indices and an array's identity.
constexpr size_t max_fields_bytes = 1 + 2 + 4 * VARDA_CODEC_POSITION_MAX + 2 + 8;
constexpr size_t max_nonfinite_patterns = 255;
// Mask kinds; a lossless tile may keep its nodata samples in the coded
// samples themselves, with an empty mask stream.
constexpr unsigned mask_plain = 0, mask_guarded = 1, mask_in_samples = 2;

std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
inline std::string format(const char *fmt, ...) {
    char text[256];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(text, sizeof text, fmt, args);
    va_end(args);
    return text;
}

inline uint64_t width_mask(uint64_t elem_size) {
    return elem_size == 8 ? ~uint64_t(0) : (uint64_t(1) << (8 * elem_size)) - 1;
}

// The type a lossy product's quantised stream has: the integer of the
// sample's width, signed for the floats.
inline int coded_dtype(int dtype, bool lossy) {
    if (!lossy || !is_float(dtype)) return dtype;
    return dtype == VARDA_DTYPE_F16   ? VARDA_DTYPE_I16
           : dtype == VARDA_DTYPE_F32 ? VARDA_DTYPE_I32
                                      : VARDA_DTYPE_I64;
}

inline bool is_lossy(const varda_codec_product &p) { return p.recipe.family != VARDA_LOSSY_NONE; }

// Product checks and preparation (prepare.cpp).
bool check_chain(const varda_codec_product *p, Error &err);
bool check_product(const varda_codec_product *p, Error &err);
bool check_shape(uint64_t width, uint64_t height, uint64_t elem_size, Error &err);
bool prepare(varda_codec_product &p, const char *recipe, const void *raster, uint64_t width,
             uint64_t count, Error &error);

// Nodata masks and the non-finite samples set aside (masks.cpp).
bool build_mask(const varda_codec_product &p, const unsigned char *samples, uint64_t count,
                Bytes &mask, unsigned &kind, uint64_t &sentinel);
bool is_nonfinite(int dtype, uint64_t bits);
bool find_nonfinite(const varda_codec_product &p, const unsigned char *samples, uint64_t count,
                    const Bytes *nodata_mask, Bytes &index, std::vector<uint64_t> &patterns,
                    bool &found, Error &err);
bool rebuilds_sentinel(const varda_codec_product &p, const unsigned char *quantised, uint64_t count,
                       uint64_t sentinel);

// The lossy family's quantiser and its inverse, and the grid a tile of the
// product is cut on (quantise.cpp).
quant_grid tile_grid(const varda_codec_product &p);
int quantise(const varda_codec_product &p, void *dst, const void *src, uint64_t count);
int dequantise(int family, const quant_grid &grid, int dtype, void *dst, const void *src,
               uint64_t count);

// The section of coded samples for the product's chain; for "auto", the
// smallest of the chains its effort tries (auto_search.cpp).
bool encode_samples(const varda_codec_product &p, const Plane &plane, const unsigned char *samples,
                    Bytes &section, Error &err);
// At effort 1 a tall tile is first coded on a few bands of its rows: the
// bands, one after the other, as a tile of their own; false when the tile
// is too short to be worth sampling.
bool sample_rows(const Plane &plane, const unsigned char *samples, Plane &sample, Bytes &rows);

// The blob's fixed header and the sections before the chain (header.cpp).
struct Header {
    unsigned version = plain_version;
    int dtype = 0;
    unsigned flags = 0;
    uint64_t width = 0, height = 0, count = 0, elem_size = 0;
    // The fields of a version 3 tile that this build knows.
    varda_codec_tile_meta meta{};
};

struct Sections {
    unsigned mask_kind = 0;
    uint64_t sentinel = 0;
    const unsigned char *mask_frame = nullptr;
    size_t mask_frame_size = 0;
    unsigned family = 0;
    quant_grid grid{};
    uint64_t patterns[max_nonfinite_patterns] = {};
    unsigned pattern_count = 0;
    const unsigned char *index_frame = nullptr;
    size_t index_frame_size = 0;
};

bool read_header(const void *blob, uint64_t blob_len, bool verify, Header &h, Reader &body,
                 Error &err);
bool read_sections(Reader &in, const Header &h, Sections &s, Error &err);
// What the header and sections say; the checksum is verified when `verify`.
bool describe(const void *blob, uint64_t blob_len, bool verify, varda_codec_info &info, Error &err);

// Whole tiles (tile.cpp). An encoded tile is kept in two parts, so that
// the blob is put together once, where the caller wants it: the fixed header
// with the sections before the chain, then the chain's section; the checksum
// over both follows them.
struct EncodedTile {
    Bytes head, section;
    uint64_t size() const { return head.size() + section.size() + checksum_bytes; }
};
bool encode_tile(const varda_codec_product &p, const void *src, uint64_t width, uint64_t height,
                 EncodedTile &tile, Error &err);
// Writes the blob, tile.size() bytes, at `dst`.
void write_blob(const EncodedTile &tile, unsigned char *dst);
bool decode_blob(const void *blob, uint64_t blob_len, void *dst, uint64_t dst_capacity, Error &err);

// A tile given with what its blob records besides the samples (tile_meta.cpp):
// big-endian samples are coded as their values, and the blob becomes a
// version 3 one with the flag and the fields. `meta` may be null.
bool encode_tile_meta(const varda_codec_product &p, const void *src, uint64_t width,
                      uint64_t height, const varda_codec_tile_meta *meta, EncodedTile &tile,
                      Error &err);
// The fields section of a version 3 tile, read into `h.meta`.
bool read_fields(Reader &in, Header &h, Error &err);
// Every element of `count` of `elem_size` bytes byte-reversed in place.
void swap_bytes(unsigned char *data, uint64_t count, uint64_t elem_size);

} // namespace varda::codec
