// A tile to its blob and back: nodata and non-finite samples set aside,
// the lossy grid, the chain section, the header and the checksum.
#include "tile.h"

#include <algorithm>
#include <cinttypes>
#include <cstring>
#include <vector>
#include <xxhash.h>

#include "chains.h"
#include "splitters.h"
#include "zstd_stream.h"

namespace varda::codec {

bool decode_blob(const void *blob, uint64_t blob_len, void *dst, uint64_t dst_capacity,
                 Error &err) {
    Header h;
    Reader in(nullptr, nullptr);
    Sections s;
    if (!read_header(blob, blob_len, true, h, in, err) || !read_sections(in, h, s, err))
        return false;
    const uint64_t raw = h.count * h.elem_size;
    if (!dst || dst_capacity < raw)
        return err.set(format("the tile needs %" PRIu64 " bytes, the destination holds %" PRIu64,
                              raw, dst ? dst_capacity : 0),
                       VARDA_CODEC_REFUSED);
    auto *out = static_cast<unsigned char *>(dst);
    const bool lossy = s.family != VARDA_LOSSY_NONE;
    const Plane plane{h.width, h.height, h.count, h.elem_size, coded_dtype(h.dtype, lossy)};
    // The quantised stream has the samples' width: it is decoded into `out`
    // and rebuilt there.
    if (!decode_chain(in, plane, out, false, err)) return false;
    if (!in.done()) return err.set("corrupt tile: bytes are left over after the chain");
    if (lossy && !rewrite_in_blocks(
                     out, h.count, h.elem_size,
                     [&](unsigned char *rebuilt, const unsigned char *codes, uint64_t, uint64_t k) {
                         return dequantise(int(s.family), s.grid, h.dtype, rebuilt, codes, k) == 0;
                     }))
        return err.set("corrupt tile: the lossy grid is not one the quantiser takes");
    if ((h.flags & flag_nodata) && s.mask_kind != mask_in_samples) {
        Scratch mask;
        if (!zstd_unpack_new(s.mask_frame, s.mask_frame_size, h.count, mask, "nodata mask", err))
            return false;
        if (s.mask_kind == mask_plain) {
            nodata_restore(out, out, mask.data(), h.count, h.elem_size, s.sentinel);
        } else {
            nodata_guard guard;
            nodata_guard_values(&guard, h.dtype, s.sentinel);
            if (nodata_restore_guarded(out, out, mask.data(), h.count, h.elem_size, s.sentinel,
                                       &guard) != 0)
                return err.set("corrupt tile: a nodata mask code cannot be honoured");
        }
    }
    if (h.flags & flag_nonfinite) {
        Scratch index;
        if (!zstd_unpack_new(s.index_frame, s.index_frame_size, h.count, index, "non-finite index",
                             err))
            return false;
        for (uint64_t i = 0; i < h.count; ++i) {
            if (index[i] == 0) continue;
            if (index[i] > s.pattern_count)
                return err.set("corrupt tile: a non-finite index names no pattern");
            std::memcpy(out + i * h.elem_size, &s.patterns[index[i] - 1], size_t(h.elem_size));
        }
    }
    // Given back in the order the samples came in.
    if (h.flags & flag_big_endian) swap_bytes(out, h.count, h.elem_size);
    return true;
}

namespace {

// A lossless tile gives its nodata samples back as they are, so it may
// keep them in the coded samples, with an empty mask: a sea of sentinels
// next to heights near zero is one more value in a palette's ranks, where
// the mask and the filled sea cost more. Effort 2 codes the samples once
// more with every chain, effort 1 with the palette where its probe finds
// few values, its ranks through the context chain; `section` stays empty
// where nothing was tried or applied.
bool encode_unmasked(const varda_codec_product &p, const Plane &plane, const unsigned char *samples,
                     Bytes &section, Error &err) {
    if (p.chain != VARDA_CHAIN_AUTO || p.effort == 0) return true;
    if (p.effort >= 2) return encode_samples(p, plane, samples, section, err);
    if (!palette_may_pay(samples, plane.count, plane.elem_size, plane.dtype)) return true;
    Writer out(section);
    Error quiet; // a palette that does not apply is no failure here
    // The ranks through the context chain alone: a trial beside the masked
    // coding, which costs a whole "auto" already.
    if (!encode_chain(VARDA_CHAIN_PALETTE, plane, samples, {p.zstd_level, p.effort, true}, out,
                      quiet)) {
        section.clear();
        if (quiet.kind == VARDA_CODEC_NO_MEMORY) return err.set(quiet);
    }
    return true;
}

// How a lossless tile with nodata is coded: with its mask, with the
// nodata kept in the samples, or both ways, the smaller kept.
enum class NodataWays { masked, unmasked, both };

// The two ways are weighed on a few bands of rows where both apply (effort
// 1 on a tall tile whose palette may pay), each coded on the bands alone,
// and a clear winner is then the only one to code the whole tile: either
// way costs a whole "auto" on the tile, the bands about an eighth of one.
// The masked way's bands are the best of every chain the effort tries,
// the other's of one chain, so the bands favour the mask: on terrains with
// a sea or a lake in tiles of 256 to 512, nodata in the samples came out
// up to 0.4 % larger on the bands and 11 to 25 % smaller on the tile.
constexpr double unmasked_margin = 1.05, masked_margin = 1.15;
constexpr double least_weighed = 1024;

bool weigh_nodata_ways(const varda_codec_product &p, const Plane &plane,
                       const unsigned char *samples, const unsigned char *filled, const Bytes &mask,
                       NodataWays &ways, Error &err) {
    ways = NodataWays::both;
    Plane bands, mask_bands;
    Bytes rows, filled_rows, mask_rows;
    const Plane mask_plane{plane.width, plane.height, plane.count, 1, VARDA_DTYPE_U8};
    if (p.chain != VARDA_CHAIN_AUTO || p.effort != 1 ||
        !palette_may_pay(samples, plane.count, plane.elem_size, plane.dtype) ||
        !sample_rows(plane, samples, bands, rows))
        return true;
    sample_rows(plane, filled, bands, filled_rows);
    sample_rows(mask_plane, mask.data(), mask_bands, mask_rows);
    Bytes masked, mask_frame, unmasked;
    if (!encode_samples(p, bands, filled_rows.data(), masked, err) ||
        !zstd_pack(mask_rows.data(), mask_rows.size(), p.zstd_level, mask_frame, err) ||
        !encode_unmasked(p, bands, rows.data(), unmasked, err))
        return false;
    const double with_mask = double(masked.size() + mask_frame.size());
    // Bands that code to a few hundred bytes, or where the palette does not
    // apply, say too little of the tile (a sea with an island the bands
    // miss, a value the bands lack).
    if (unmasked.empty() || std::min(double(unmasked.size()), with_mask) < least_weighed)
        return true;
    if (double(unmasked.size()) > masked_margin * with_mask)
        ways = NodataWays::masked;
    else if (double(unmasked.size()) <= unmasked_margin * with_mask)
        ways = NodataWays::unmasked;
    return true;
}

} // namespace

bool encode_tile(const varda_codec_product &p, const void *src, uint64_t width, uint64_t height,
                 EncodedTile &tile, Error &err) {
    if (!check_product(&p, err)) return false;
    const uint64_t es = varda_dtype_size(p.dtype);
    if (!src) return err.set("no samples given");
    if (!check_shape(width, height, es, err)) return false;
    const uint64_t count = width * height, raw = count * es;
    const auto *samples = static_cast<const unsigned char *>(src);
    const bool lossy = is_lossy(p);

    Bytes mask, filled, quantised;
    unsigned mask_kind = mask_plain;
    uint64_t sentinel = 0;
    bool has_nodata =
        p.nodata != VARDA_NODATA_NONE && build_mask(p, samples, count, mask, mask_kind, sentinel);
    Bytes index;
    std::vector<uint64_t> patterns;
    bool has_nonfinite = false;
    if (!find_nonfinite(p, samples, count, has_nodata ? &mask : nullptr, index, patterns,
                        has_nonfinite, err))
        return false;
    if (lossy) {
        char message[512] = "";
        if (varda_lossy_check_domain(&p.resolved, samples, p.dtype, count,
                                     p.nodata == VARDA_NODATA_VALUE, p.nodata_value, message,
                                     sizeof message) != 0)
            return err.set(message);
    }
    if (has_nodata || has_nonfinite) {
        // Set-aside samples take their neighbours' values, which the grid
        // codes cheaply and which the decoder overwrites.
        const Bytes *aside = &mask;
        Bytes both;
        if (has_nonfinite) {
            both.resize(count);
            for (uint64_t i = 0; i < count; ++i)
                both[i] = (has_nodata && mask[i] == 0) || index[i] != 0 ? 0 : 0xFF;
            aside = &both;
        }
        filled.resize(raw);
        nodata_fill(filled.data(), samples, aside->data(), width, count, es);
        samples = filled.data();
    }
    // The product as this tile is cut: its own grid.
    varda_codec_product cut = p;
    if (lossy) {
        cut.resolved.grid = tile_grid(p);
        quantised.resize(raw);
        if (quantise(cut, quantised.data(), samples, count) != 0)
            return err.set("the quantiser refused the product's grid");
        samples = quantised.data();
        // A tile without nodata still needs its guarded mask when the grid
        // rebuilds a valid sample as the sentinel: the codes move it off.
        if (!has_nodata && mask_kind == mask_guarded &&
            rebuilds_sentinel(cut, quantised.data(), count, sentinel))
            has_nodata = true;
    }
    const Plane plane{width, height, count, es, coded_dtype(p.dtype, lossy)};
    const auto *given = static_cast<const unsigned char *>(src);
    NodataWays ways = NodataWays::masked;
    if (has_nodata && !lossy && !has_nonfinite &&
        !weigh_nodata_ways(p, plane, given, samples, mask, ways, err))
        return false;
    // Kept in the samples where weighed so, or where coded both ways and
    // smaller; the masked coding also stands in where the palette turned
    // out not to apply to the whole tile.
    Bytes mask_frame, unmasked;
    if (ways != NodataWays::masked && !encode_unmasked(p, plane, given, unmasked, err))
        return false;
    if ((ways != NodataWays::unmasked || unmasked.empty()) &&
        (!encode_samples(p, plane, samples, tile.section, err) ||
         (has_nodata && !zstd_pack(mask.data(), mask.size(), p.zstd_level, mask_frame, err))))
        return false;
    if (!unmasked.empty() &&
        (tile.section.empty() || unmasked.size() < tile.section.size() + mask_frame.size())) {
        tile.section.swap(unmasked);
        mask_kind = mask_in_samples;
        mask_frame.clear();
    }

    Writer out(tile.head);
    out.bytes(magic, 4);
    out.u8(has_nonfinite ? nonfinite_version : plain_version);
    out.u8(unsigned(p.dtype));
    out.u8((has_nodata ? flag_nodata : 0) | (lossy ? flag_lossy : 0) |
           (has_nonfinite ? flag_nonfinite : 0));
    out.u8(0);
    out.u32(uint32_t(width));
    out.u32(uint32_t(height));
    if (has_nodata) {
        out.u8(mask_kind);
        out.u64(sentinel);
        out.stream(mask_frame);
    }
    if (lossy) {
        out.u8(unsigned(p.recipe.family));
        out.u8(cut.resolved.grid.mode);
        out.f64(cut.resolved.grid.step);
        out.f64(cut.resolved.grid.offset);
    }
    if (has_nonfinite) {
        Bytes frame;
        if (!zstd_pack(index.data(), index.size(), p.zstd_level, frame, err)) return false;
        out.u8(unsigned(patterns.size()));
        for (uint64_t bits : patterns)
            for (uint64_t b = 0; b < es; ++b) out.u8(unsigned(bits >> (8 * b)) & 0xFF);
        out.stream(frame);
    }
    return true;
}

void write_blob(const EncodedTile &tile, unsigned char *dst) {
    const size_t body = tile.head.size() + tile.section.size();
    std::memcpy(dst, tile.head.data(), tile.head.size());
    std::memcpy(dst + tile.head.size(), tile.section.data(), tile.section.size());
    const uint64_t sum = XXH3_64bits(dst, body);
    for (size_t i = 0; i < checksum_bytes; ++i)
        dst[body + i] = static_cast<unsigned char>(sum >> (8 * i));
}

} // namespace varda::codec
