// The tile codec's C interface: products, the blob header and its
// sections, nodata and lossy steps around the chains, and the choice of
// chain for "auto".
#include "varda_codec.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>
#include <xxhash.h>
#include <zstd.h>

#include "blob.h"
#include "chains.h"
#include "dtype_names.h"
#include "entry.h"
#include "frame/sample.h"
#include "zstd_stream.h"

using namespace varda::codec;

namespace {

constexpr unsigned char magic[4] = {'V', 'R', 'D', 'T'};
constexpr size_t header_bytes = 16, checksum_bytes = 8;
constexpr uint64_t max_tile_bytes = uint64_t(1) << 30;
constexpr unsigned flag_nodata = 1, flag_lossy = 2, flag_nonfinite = 4;
// Tiles without a non-finite section keep the first format, byte for byte.
constexpr unsigned plain_version = 1;
constexpr size_t max_nonfinite_patterns = 255;
constexpr unsigned mask_plain = 0, mask_guarded = 1;

std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char *fmt, ...) {
    char text[256];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(text, sizeof text, fmt, args);
    va_end(args);
    return text;
}

bool valid_dtype(int dtype) { return dtype >= 0 && dtype <= 10; }

bool is_float(int dtype) { return dtype >= 8 && dtype <= 10; }
uint64_t elem_size_of(int dtype) { return dtype_sizes[dtype]; }

uint64_t width_mask(uint64_t elem_size) {
    return elem_size == 8 ? ~uint64_t(0) : (uint64_t(1) << (8 * elem_size)) - 1;
}

// The type a lossy product's quantised stream has: the integer of the
// sample's width, signed for the floats.
int coded_dtype(int dtype, bool lossy) {
    if (!lossy || !is_float(dtype)) return dtype;
    return dtype == 8 ? 5 : dtype == 9 ? 6 : 7;
}

bool is_lossy(const varda_codec_product &p) { return p.recipe.family != 0; }

// The product's chain, known and able to take the samples it codes (a
// lossy float product codes integers).
bool check_chain(const varda_codec_product *p, Error &err) {
    if (p->chain == VARDA_CHAIN_AUTO) return true;
    if (!chain_info(p->chain))
        return err.set(format("chain %d is not one the codec knows", p->chain));
    if (!chain_accepts(p->chain, coded_dtype(p->dtype, is_lossy(*p))))
        return err.set(format(is_lossy(*p) ? "chain %s does not take the quantised samples of "
                                             "a lossy %s product"
                                           : "chain %s does not take %s samples",
                              chain_info(p->chain)->name, dtype_names[p->dtype]));
    return true;
}

bool check_product(const varda_codec_product *p, Error &err) {
    if (!p) return err.set("no product given");
    if (!valid_dtype(p->dtype))
        return err.set(format("dtype %d is not a type the codec knows", p->dtype));
    if (!check_chain(p, err)) return false;
    if (p->effort < 0 || p->effort > 2)
        return err.set(format("effort %d is not 0, 1 or 2", p->effort));
    if (p->zstd_level < 1 || p->zstd_level > ZSTD_maxCLevel())
        return err.set(format("zstd level %d is not 1 .. %d", p->zstd_level, ZSTD_maxCLevel()));
    if (p->nodata < VARDA_NODATA_NONE || p->nodata > VARDA_NODATA_NAN)
        return err.set(format("nodata kind %d is not 0, 1 or 2", p->nodata));
    if (p->nodata == VARDA_NODATA_NAN && !is_float(p->dtype))
        return err.set("NaN marks nodata only in float rasters");
    if (p->recipe.family < 0 || p->recipe.family > 3)
        return err.set(format("lossy family %d is not one the codec knows", p->recipe.family));
    if (is_lossy(*p) && (!p->prepared || p->resolved.family != p->recipe.family))
        return err.set("a lossy product needs varda_codec_prepare on the whole raster first");
    return true;
}

bool check_shape(uint64_t width, uint64_t height, uint64_t elem_size, Error &err) {
    if (width == 0 || height == 0)
        return err.set("a tile needs a width and a height of at least 1");
    if (width > UINT32_MAX || height > UINT32_MAX || width * height > max_tile_bytes ||
        width * height * elem_size > max_tile_bytes)
        return err.set(format("a tile of %" PRIu64 " x %" PRIu64 " samples is larger than the "
                              "codec's limit of 2^30 bytes",
                              width, height));
    return true;
}

// The sentinel's value, for the guard radius.
double sentinel_value(int dtype, uint64_t bits) {
    return varda::with_dtype(uint64_t(dtype), 0.0, [&]<varda::Sample S>() {
        return varda::to_double(varda::load_sample<S>(&bits, 0));
    });
}

// The mask of one tile, or of a whole raster. Returns false when nothing
// needs a mask: no nodata sample, or (lossless) NaN patterns that a single
// restored pattern would not give back bit for bit.
bool build_mask(const varda_codec_product &p, const unsigned char *samples, uint64_t count,
                Bytes &mask, unsigned &kind, uint64_t &sentinel) {
    const uint64_t es = elem_size_of(p.dtype);
    mask.resize(count);
    kind = mask_plain;
    if (p.nodata == VARDA_NODATA_VALUE) {
        sentinel = p.nodata_value & width_mask(es);
        if (is_lossy(p)) {
            const double radius =
                varda_lossy_guard_radius(&p.recipe, sentinel_value(p.dtype, sentinel));
            const int result =
                nodata_mark_guarded(mask.data(), samples, count, p.dtype, sentinel, radius);
            kind = result == 0 ? mask_guarded : mask_plain;
        } else {
            nodata_mark_value(mask.data(), samples, count, es, sentinel);
        }
    } else {
        uint64_t nan_bits = 0;
        if (!nodata_find_nan(&nan_bits, samples, count, es)) return false;
        sentinel = nan_bits;
        nodata_mark_nan(mask.data(), samples, count, es);
        if (!is_lossy(p))
            for (uint64_t i = 0; i < count; ++i) {
                uint64_t bits = 0;
                std::memcpy(&bits, samples + i * es, es);
                if (mask[i] == 0 && bits != nan_bits) return false;
            }
    }
    return std::memchr(mask.data(), 0, count) != nullptr;
}

int quantise(const varda_codec_product &p, void *dst, const void *src, uint64_t count) {
    const auto dtype = unsigned(p.dtype);
    switch (p.recipe.family) {
    case 1: return quant_linear_encode(dst, src, &p.resolved.grid, dtype, count);
    case 2: return quant_log_encode(dst, src, &p.resolved.grid, dtype, count);
    default: return quant_sqrt_encode(dst, src, &p.resolved.grid, dtype, count);
    }
}

int dequantise(int family, const quant_grid &grid, int dtype, void *dst, const void *src,
               uint64_t count) {
    switch (family) {
    case 1: return quant_linear_decode(dst, src, &grid, unsigned(dtype), count);
    case 2: return quant_log_decode(dst, src, &grid, dtype, count);
    default: return quant_sqrt_decode(dst, src, &grid, unsigned(dtype), count);
    }
}

bool is_nonfinite(int dtype, uint64_t bits) {
    switch (dtype) {
    case 8: return (bits & 0x7C00u) == 0x7C00u;
    case 9: return (bits & 0x7F800000u) == 0x7F800000u;
    default: return (bits & 0x7FF0000000000000ull) == 0x7FF0000000000000ull;
    }
}

// The non-finite samples of a lossy float tile that are not its nodata: a
// grid has no index for them, so they travel beside it. `index` gets 0 for
// a sample of the grid and k for the k-th distinct bit pattern in
// `patterns`; `found` says whether there are any. False when there are too
// many patterns.
bool find_nonfinite(const varda_codec_product &p, const unsigned char *samples, uint64_t count,
                    const Bytes *nodata_mask, Bytes &index, std::vector<uint64_t> &patterns,
                    bool &found, Error &err) {
    found = false;
    if (!is_lossy(p) || !is_float(p.dtype)) return true;
    const uint64_t es = elem_size_of(p.dtype);
    for (uint64_t i = 0; i < count; ++i) {
        uint64_t bits = 0;
        std::memcpy(&bits, samples + i * es, es);
        if (!is_nonfinite(p.dtype, bits) || (nodata_mask && (*nodata_mask)[i] == 0)) continue;
        if (!found) index.assign(count, 0);
        found = true;
        size_t k = 0;
        while (k < patterns.size() && patterns[k] != bits) ++k;
        if (k == patterns.size()) {
            if (k == max_nonfinite_patterns)
                return err.set("the tile holds more than 255 distinct non-finite bit patterns "
                               "(infinities and NaN payloads); a lossy tile keeps at most 255");
            patterns.push_back(bits);
        }
        index[i] = static_cast<unsigned char>(k + 1);
    }
    return true;
}

// Whether the quantised stream decodes any sample to the sentinel's bits.
bool rebuilds_sentinel(const varda_codec_product &p, const unsigned char *quantised, uint64_t count,
                       uint64_t sentinel) {
    const uint64_t es = elem_size_of(p.dtype);
    Bytes rebuilt(count * es);
    if (dequantise(p.recipe.family, p.resolved.grid, p.dtype, rebuilt.data(), quantised, count) !=
        0)
        return true; // keep the mask when in doubt
    for (uint64_t i = 0; i < count; ++i) {
        uint64_t bits = 0;
        std::memcpy(&bits, rebuilt.data() + i * es, es);
        if (bits == sentinel) return true;
    }
    return false;
}

// The chains "auto" tries at each effort, where they take the samples.
// Ties go to the earlier chain, so the faster decoders come first.
const int effort0[] = {VARDA_CHAIN_MED_ZIGZAG};
const int effort1[] = {
    VARDA_CHAIN_PLANAR_LANES_ZSTD, VARDA_CHAIN_MED_ZIGZAG,   VARDA_CHAIN_AVERAGE,
    VARDA_CHAIN_SHUFFLE_ZSTD,      VARDA_CHAIN_CONTEXT_RANS, VARDA_CHAIN_INTMULT,
    VARDA_CHAIN_FLOATQUANT,        VARDA_CHAIN_FLOATMULT,    VARDA_CHAIN_FLOATMULT_WIDE};
// Effort 2 tries every chain, fastest decoders first.
const int effort2[] = {VARDA_CHAIN_PLANAR_PFOR,  VARDA_CHAIN_PLANAR_PFOR_ZSTD,
                       VARDA_CHAIN_SHUFFLE_ZSTD, VARDA_CHAIN_PLANAR_LANES_ZSTD,
                       VARDA_CHAIN_DELTA_W,      VARDA_CHAIN_DELTA_N,
                       VARDA_CHAIN_PLANAR,       VARDA_CHAIN_MED_ZIGZAG,
                       VARDA_CHAIN_MED,          VARDA_CHAIN_AVERAGE,
                       VARDA_CHAIN_WP,           VARDA_CHAIN_CONTEXT_RANS,
                       VARDA_CHAIN_ZSTD,         VARDA_CHAIN_INTMULT,
                       VARDA_CHAIN_BINOFFSET,    VARDA_CHAIN_FLOATQUANT,
                       VARDA_CHAIN_FLOATMULT,    VARDA_CHAIN_FLOATMULT_WIDE};

// At effort 1 a tall tile is first coded by every chain on a few bands of
// its rows, and only the chains that did best there code the whole tile:
// the choice then costs a fraction of one trial per chain.
constexpr uint64_t sample_bands = 4, sample_band_rows = 16;
// The bands rank chains of one back end well, but the context chain's
// tables weigh more on them than on the whole tile, and a splitter's
// streams change with what the bands hold: the best chain of another back
// end is tried on the whole tile too when its bands came within this
// share of the leader's.
constexpr double sample_margin = 1.10;

enum BackEnd { back_zstd, back_context, back_split };

// The level effort 2 codes its best zstd chain with once more, where that
// chain came within this share of the best.
constexpr int strong_zstd_level = 19;
constexpr double lz_margin = 1.15;

// Which coder a chain ends in (PFOR alone counts with zstd).
BackEnd back_end_of(int id) {
    if (id == VARDA_CHAIN_CONTEXT_RANS) return back_context;
    const ChainInfo *info = chain_info(id);
    return info && info->kind == kind_splitter ? back_split : back_zstd;
}

// Bands of rows spread evenly down the tile, one after the other, as a tile
// of their own; false when the tile is too short to be worth sampling.
bool sample_rows(const Plane &plane, const unsigned char *samples, Plane &sample, Bytes &rows) {
    const uint64_t height = plane.count / plane.width;
    if (height < 4 * sample_bands * sample_band_rows) return false;
    const uint64_t row_bytes = plane.width * plane.elem_size,
                   band_bytes = sample_band_rows * row_bytes;
    rows.resize(sample_bands * band_bytes);
    for (uint64_t b = 0; b < sample_bands; ++b) {
        const uint64_t first = (2 * b + 1) * height / (2 * sample_bands) - sample_band_rows / 2;
        std::memcpy(rows.data() + b * band_bytes, samples + first * row_bytes, band_bytes);
    }
    sample = plane;
    sample.height = sample_bands * sample_band_rows;
    sample.count = sample.height * plane.width;
    return true;
}

bool encode_samples(const varda_codec_product &p, const Plane &plane, const unsigned char *samples,
                    Bytes &section, Error &err) {
    EncodeOptions options{p.zstd_level, p.effort};
    if (p.chain != VARDA_CHAIN_AUTO) {
        Writer out(section);
        return encode_chain(p.chain, plane, samples, options, out, err);
    }
    // A chain's coding of these samples, left empty where the chain does not
    // apply; false only when memory runs out.
    const auto trial = [&](int id, const Plane &of, const unsigned char *data, Bytes &candidate) {
        candidate.clear();
        if (!chain_accepts(id, of.dtype)) return true;
        Writer out(candidate);
        Error quiet; // a splitter with nothing to split is no failure here
        if (!encode_chain(id, of, data, options, out, quiet)) {
            candidate.clear();
            if (quiet.kind == VARDA_CODEC_NO_MEMORY) return err.set(quiet);
        }
        return true;
    };
    // Keeps the smaller of the section and this chain's coding; `coded` is
    // the coding's size, 0 where the chain did not apply.
    const auto attempt = [&](int id, size_t *coded = nullptr) {
        Bytes candidate;
        if (!trial(id, plane, samples, candidate)) return false;
        if (coded) *coded = candidate.size();
        if (!candidate.empty() && (section.empty() || candidate.size() < section.size()))
            section.swap(candidate);
        return true;
    };
    Plane sample;
    Bytes rows;
    if (p.effort == 0) {
        for (int id : effort0)
            if (!attempt(id)) return false;
    } else if (p.effort == 1 && sample_rows(plane, samples, sample, rows)) {
        struct Ranked {
            int id;
            size_t size;
        };
        std::vector<Ranked> ranked;
        Bytes candidate;
        for (int id : effort1) {
            if (!trial(id, sample, rows.data(), candidate)) return false;
            if (!candidate.empty()) ranked.push_back({id, candidate.size()});
        }
        // Ties keep the list's order, which puts the faster decoders first.
        std::stable_sort(ranked.begin(), ranked.end(),
                         [](const Ranked &a, const Ranked &b) { return a.size < b.size; });
        // A splitter may find on the bands what the whole tile lacks; the
        // next chain down then takes its place.
        const Ranked *leader = nullptr;
        for (const Ranked &r : ranked) {
            if (leader && (back_end_of(r.id) == back_end_of(leader->id) ||
                           double(r.size) > sample_margin * double(leader->size)))
                continue;
            size_t coded = 0;
            if (!attempt(r.id, &coded)) return false;
            if (!coded) continue;
            if (leader) break;
            leader = &r;
        }
        if (section.empty())
            for (int id : effort1)
                if (!attempt(id)) return false;
    } else if (p.effort == 1) {
        for (int id : effort1)
            if (!attempt(id)) return false;
    } else {
        // The zstd chain that came out smallest, if it applied.
        size_t lz_size = 0;
        int lz_chain = 0;
        for (int id : effort2) {
            size_t coded = 0;
            if (!attempt(id, &coded)) return false;
            if (coded && back_end_of(id) == back_zstd && id != VARDA_CHAIN_PLANAR_PFOR &&
                (!lz_size || coded < lz_size))
                lz_size = coded, lz_chain = id;
        }
        // Where LZ matches come close to the best (posterised plates, masks,
        // repeated rows), zstd's strongest levels find many more of them.
        if (lz_size && options.zstd_level < strong_zstd_level &&
            double(lz_size) <= lz_margin * double(section.size())) {
            options.zstd_level = strong_zstd_level;
            if (!attempt(lz_chain)) return false;
        }
    }
    return !section.empty() || err.set("no chain could code the tile", VARDA_CODEC_NOT_APPLICABLE);
}

struct Header {
    unsigned version = plain_version;
    int dtype = 0;
    unsigned flags = 0;
    uint64_t width = 0, height = 0, count = 0, elem_size = 0;
};

// Magic, version, checksum and the fixed header; on success `body` spans
// the sections between the header and the checksum.
bool read_header(const void *blob, uint64_t blob_len, Header &h, Reader &body, Error &err) {
    const auto *bytes = static_cast<const unsigned char *>(blob);
    if (!blob || blob_len < header_bytes + checksum_bytes || std::memcmp(bytes, magic, 4) != 0)
        return err.set("not a varda tile: the blob does not start with the tile magic");
    if (bytes[4] < plain_version || bytes[4] > VARDA_CODEC_FORMAT_VERSION)
        return err.set(format("tile format version %u is not one this build reads (it reads %u "
                              "to %d)",
                              bytes[4], plain_version, VARDA_CODEC_FORMAT_VERSION),
                       VARDA_CODEC_REFUSED);
    const uint64_t stored = Reader::read_le(bytes + blob_len - checksum_bytes, 8);
    if (XXH3_64bits(bytes, size_t(blob_len - checksum_bytes)) != stored)
        return err.set("corrupt tile: the checksum does not match");
    h.version = bytes[4];
    h.dtype = bytes[5];
    h.flags = bytes[6];
    h.width = Reader::read_le(bytes + 8, 4);
    h.height = Reader::read_le(bytes + 12, 4);
    if (!valid_dtype(h.dtype))
        return err.set(format("corrupt tile: dtype %d is not a type", h.dtype));
    if ((h.flags & ~(flag_nodata | flag_lossy | flag_nonfinite)) != 0 || bytes[7] != 0)
        return err.set("corrupt tile: unknown header flags");
    // The non-finite section came with version 2, which marks the tiles
    // that hold one.
    if (((h.flags & flag_nonfinite) != 0) != (h.version != plain_version))
        return err.set(format("corrupt tile: a version %u tile %s non-finite samples", h.version,
                              h.version == plain_version ? "cannot carry" : "must carry"));
    if ((h.flags & flag_nonfinite) && (!(h.flags & flag_lossy) || !is_float(h.dtype)))
        return err.set("corrupt tile: non-finite samples set aside in a tile that is not lossy "
                       "floats");
    h.elem_size = elem_size_of(h.dtype);
    if (!check_shape(h.width, h.height, h.elem_size, err)) return false;
    h.count = h.width * h.height;
    body = Reader(bytes + header_bytes, bytes + blob_len - checksum_bytes);
    return true;
}

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

bool read_sections(Reader &in, const Header &h, Sections &s, Error &err) {
    if (h.flags & flag_nodata) {
        if (!in.u8(s.mask_kind, "nodata mask kind", err) || !in.u64(s.sentinel, "sentinel", err) ||
            !in.stream(s.mask_frame, s.mask_frame_size, "nodata mask", err))
            return false;
        if (s.mask_kind > mask_guarded) return err.set("corrupt tile: unknown nodata mask kind");
        if ((s.sentinel & ~width_mask(h.elem_size)) != 0)
            return err.set("corrupt tile: the sentinel is wider than the samples");
    }
    if (h.flags & flag_lossy) {
        unsigned mode = 0;
        if (!in.u8(s.family, "lossy family", err) || !in.u8(mode, "grid", err) ||
            !in.f64(s.grid.step, "grid", err) || !in.f64(s.grid.offset, "grid", err))
            return false;
        if (s.family < 1 || s.family > 3) return err.set("corrupt tile: unknown lossy family");
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

bool decode_blob(const void *blob, uint64_t blob_len, void *dst, uint64_t dst_capacity,
                 Error &err) {
    Header h;
    Reader in(nullptr, nullptr);
    Sections s;
    if (!read_header(blob, blob_len, h, in, err) || !read_sections(in, h, s, err)) return false;
    const uint64_t raw = h.count * h.elem_size;
    if (!dst || dst_capacity < raw)
        return err.set(format("the tile needs %" PRIu64 " bytes, the destination holds %" PRIu64,
                              raw, dst ? dst_capacity : 0),
                       VARDA_CODEC_REFUSED);
    auto *out = static_cast<unsigned char *>(dst);
    const bool lossy = s.family != 0;
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
    if (h.flags & flag_nodata) {
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
    return true;
}

bool encode_tile(const varda_codec_product &p, const void *src, uint64_t width, uint64_t height,
                 Bytes &blob, Error &err) {
    if (!check_product(&p, err)) return false;
    const uint64_t es = elem_size_of(p.dtype);
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
    if (lossy) {
        quantised.resize(raw);
        if (quantise(p, quantised.data(), samples, count) != 0)
            return err.set("the quantiser refused the product's grid");
        samples = quantised.data();
        // A tile without nodata still needs its guarded mask when the grid
        // rebuilds a valid sample as the sentinel: the codes move it off.
        if (!has_nodata && mask_kind == mask_guarded &&
            rebuilds_sentinel(p, quantised.data(), count, sentinel))
            has_nodata = true;
    }
    const Plane plane{width, height, count, es, coded_dtype(p.dtype, lossy)};
    Bytes section;
    if (!encode_samples(p, plane, samples, section, err)) return false;

    Writer out(blob);
    out.bytes(magic, 4);
    out.u8(has_nonfinite ? VARDA_CODEC_FORMAT_VERSION : plain_version);
    out.u8(unsigned(p.dtype));
    out.u8((has_nodata ? flag_nodata : 0) | (lossy ? flag_lossy : 0) |
           (has_nonfinite ? flag_nonfinite : 0));
    out.u8(0);
    out.u32(uint32_t(width));
    out.u32(uint32_t(height));
    if (has_nodata) {
        Bytes frame;
        if (!zstd_pack(mask.data(), mask.size(), p.zstd_level, frame, err)) return false;
        out.u8(mask_kind);
        out.u64(sentinel);
        out.stream(frame);
    }
    if (lossy) {
        out.u8(unsigned(p.recipe.family));
        out.u8(p.resolved.grid.mode);
        out.f64(p.resolved.grid.step);
        out.f64(p.resolved.grid.offset);
    }
    if (has_nonfinite) {
        Bytes frame;
        if (!zstd_pack(index.data(), index.size(), p.zstd_level, frame, err)) return false;
        out.u8(unsigned(patterns.size()));
        for (uint64_t bits : patterns)
            for (uint64_t b = 0; b < es; ++b) out.u8(unsigned(bits >> (8 * b)) & 0xFF);
        out.stream(frame);
    }
    out.bytes(section.data(), section.size());
    out.u64(XXH3_64bits(blob.data(), blob.size()));
    return true;
}

bool prepare(varda_codec_product &p, const char *recipe, const void *raster, uint64_t width,
             uint64_t count, Error &error) {
    p.prepared = 0;
    std::memset(&p.resolved, 0, sizeof p.resolved);
    const int saved_family = p.recipe.family;
    p.recipe.family = 0; // checked as lossless until the recipe is read
    if (!check_product(&p, error)) {
        p.recipe.family = saved_family;
        return false;
    }
    char message[512] = "";
    if (varda_lossy_parse(recipe, &p.recipe, message, sizeof message) != 0)
        return error.set(message);
    if (!is_lossy(p)) {
        p.prepared = 1;
        return true;
    }
    if (!check_chain(&p, error)) return false;
    if (!raster || count == 0)
        return error.set("a lossy recipe is resolved on the whole raster: give its samples");
    if (width == 0 || count % width != 0)
        return error.set(
            format("%" PRIu64 " samples do not divide into rows of %" PRIu64, count, width));
    const uint64_t es = elem_size_of(p.dtype);
    const auto *samples = static_cast<const unsigned char *>(raster);
    Bytes mask, filled;
    unsigned kind;
    uint64_t sentinel;
    const bool has_nodata =
        p.nodata != VARDA_NODATA_NONE && build_mask(p, samples, count, mask, kind, sentinel);
    if (p.recipe.family == 3 && !p.recipe.spec.has_ab) {
        // The fit skips blocks that hold NaN: nodata samples become NaN in a
        // binary64 copy, so that they take no part in the noise measure.
        int rc;
        if (has_nodata) {
            std::vector<double> values(count);
            varda::with_dtype(uint64_t(p.dtype), 0, [&]<varda::Sample S>() {
                for (uint64_t i = 0; i < count; ++i)
                    values[i] = mask[i] ? varda::to_double(varda::load_sample<S>(samples, i)) : NAN;
                return 0;
            });
            rc = varda_lossy_fit(&p.recipe, values.data(), 10, width, count, message,
                                 sizeof message);
        } else {
            rc =
                varda_lossy_fit(&p.recipe, samples, p.dtype, width, count, message, sizeof message);
        }
        if (rc != 0) return error.set(message);
    }
    if (has_nodata) {
        filled.resize(count * es);
        nodata_fill(filled.data(), samples, mask.data(), width, count, es);
        samples = filled.data();
    }
    if (varda_lossy_resolve(&p.recipe, samples, unsigned(p.dtype), count, &p.resolved, message,
                            sizeof message) != 0)
        return error.set(message);
    p.prepared = 1;
    return true;
}

} // namespace

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
        if (!check_shape(width, height, elem_size_of(product->dtype), error)) return 0;
    } catch (const std::exception &) {
        return 0;
    }
    const uint64_t es = elem_size_of(product->dtype);
    const uint64_t count = width * height, raw = count * es;
    const uint64_t widest = std::max<uint64_t>(raw, planar_zigzag_pfor_bound(count, es));
    // Header, sections and checksum, the mask, then the widest chain: a
    // splitter's two streams, or selectors and packed offsets.
    // A lossy float tile may add its non-finite patterns and their index.
    const uint64_t nonfinite = is_lossy(*product) && is_float(product->dtype)
                                   ? 5 + max_nonfinite_patterns * es + ZSTD_compressBound(count)
                                   : 0;
    return 256 + ZSTD_compressBound(count) + 2 * ZSTD_compressBound(widest) + count + nonfinite;
}

VARDA_CODEC_API int varda_codec_encode(const varda_codec_product *product, const void *src,
                                       uint64_t width, uint64_t height, void *dst,
                                       uint64_t dst_capacity, uint64_t *out_len, char *err,
                                       size_t err_size) {
    return guarded(VARDA_CODEC_REFUSED, err, err_size, [&](Error &error) {
        if (!product) return error.set("no product given");
        if (!out_len) return error.set("no place for the blob's length");
        Bytes blob;
        if (!encode_tile(*product, src, width, height, blob, error)) return false;
        if (!dst || dst_capacity < blob.size())
            return error.set(format("the blob needs %zu bytes, the destination holds %" PRIu64,
                                    blob.size(), dst ? dst_capacity : 0));
        std::memcpy(dst, blob.data(), blob.size());
        *out_len = blob.size();
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
        Header h;
        Reader in(nullptr, nullptr);
        Sections s;
        unsigned chain = 0;
        if (!read_header(blob, blob_len, h, in, error) || !read_sections(in, h, s, error) ||
            !in.u8(chain, "chain id", error))
            return false;
        *info = varda_codec_info{};
        info->version = h.version;
        info->dtype = h.dtype;
        info->width = h.width;
        info->height = h.height;
        info->chain = int32_t(chain);
        info->lossy = int32_t(s.family);
        info->nodata = (h.flags & flag_nodata) ? 1 : 0;
        info->nonfinite = (h.flags & flag_nonfinite) ? 1 : 0;
        info->raw_bytes = h.count * h.elem_size;
        info->blob_bytes = blob_len;
        return true;
    });
}

} // extern "C"
