#include "chains.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <span>
#include <string>

#include "context_lanes.h"
#include "context_rans.h"
#include "dtypes.h"
#include "join_split.h"
#include "splitters.h"
#include "tile.h"
#include "varda_codec.h"
#include "varda_kernels.h"
#include "words.h"
#include "zstd_stream.h"

namespace varda::codec {

namespace {

const ChainInfo chains[chain_count] = {
    {VARDA_CHAIN_ZSTD, "zstd", kind_bytes},
    {VARDA_CHAIN_SHUFFLE_ZSTD, "shuffle-zstd", kind_bytes},
    {VARDA_CHAIN_DELTA_W, "delta_w", kind_predictor},
    {VARDA_CHAIN_DELTA_N, "delta_n", kind_predictor},
    {VARDA_CHAIN_PLANAR, "planar", kind_predictor},
    {VARDA_CHAIN_AVERAGE, "average", kind_predictor},
    {VARDA_CHAIN_MED, "med", kind_predictor},
    {VARDA_CHAIN_MED_ZIGZAG, "med_zigzag", kind_predictor},
    {VARDA_CHAIN_WP, "wp", kind_predictor},
    {VARDA_CHAIN_PLANAR_LANES_ZSTD, "planar-lanes-zstd", kind_fused},
    {VARDA_CHAIN_PLANAR_PFOR, "planar-pfor", kind_fused},
    {VARDA_CHAIN_PLANAR_PFOR_ZSTD, "planar-pfor-zstd", kind_fused},
    {VARDA_CHAIN_INTMULT, "intmult", kind_splitter},
    {VARDA_CHAIN_BINOFFSET, "binoffset", kind_splitter},
    {VARDA_CHAIN_FLOATQUANT, "floatquant", kind_splitter},
    {VARDA_CHAIN_FLOATMULT, "floatmult", kind_splitter},
    {VARDA_CHAIN_CONTEXT_RANS, "context-rans", kind_fused},
    {VARDA_CHAIN_FLOATMULT_WIDE, "floatmult-wide", kind_splitter},
    {VARDA_CHAIN_PALETTE, "palette", kind_splitter},
    {VARDA_CHAIN_CONTEXT_LANES, "context-lanes", kind_fused},
};

uint64_t raw_bytes(const Plane &plane) { return plane.count * plane.elem_size; }

// The dtype of a split-off stream: unsigned words of the same width.
int word_dtype(uint64_t elem_size) {
    return elem_size == 1   ? VARDA_DTYPE_U8
           : elem_size == 2 ? VARDA_DTYPE_U16
           : elem_size == 4 ? VARDA_DTYPE_U32
                            : VARDA_DTYPE_U64;
}

bool corrupt(const std::string &why, Error &err) { return err.set("corrupt tile: " + why); }

// The bit-length classes of the binoffset chain, padded to 256 entries so
// that any selector byte indexes it.
struct ClassTable {
    uint64_t bases[256] = {};
    uint8_t widths[256] = {};
    uint32_t nbins;
    explicit ClassTable(uint64_t elem_size)
        : nbins(host::binoffset_class_table(bases, widths, elem_size)) {}
};

// Residuals of the predictors that do not zigzag them themselves are
// zigzag-mapped before the shuffle: small residuals of either sign then have
// zero high bytes, which is what the byte planes and zstd feed on.
bool zigzagged(int id) { return id != VARDA_CHAIN_MED_ZIGZAG; }

void zigzag_words(unsigned char *words, uint64_t count, uint64_t elem_size, bool forward) {
    with_width(elem_size, 0, [&]<Element T>() {
        for (uint64_t i = 0; i < count; ++i) {
            const T w = load<T>(words, i);
            store<T>(words, i, forward ? zigzag(w) : unzigzag(w));
        }
        return 0;
    });
}

bool pack_planes(const unsigned char *samples, const Plane &plane, int level, Writer &out,
                 Error &err) {
    Scratch planes(raw_bytes(plane));
    Bytes frame;
    host::blocked_transpose_zstd_shuffle(planes.data(), samples, plane.count, plane.elem_size);
    if (!zstd_pack(planes.data(), planes.size(), level, frame, err)) return false;
    out.stream(frame);
    return true;
}

bool pack_bytes(const unsigned char *data, size_t size, int level, Writer &out, Error &err) {
    Bytes frame;
    if (!zstd_pack(data, size, level, frame, err)) return false;
    out.stream(frame);
    return true;
}

// A stream of byte planes, decompressed into `planes` (raw_bytes long) but
// left shuffled.
bool read_planes(Reader &in, const Plane &plane, Scratch &planes, const char *what, Error &err) {
    const unsigned char *frame = nullptr;
    size_t size = 0;
    return in.stream(frame, size, what, err) &&
           zstd_unpack_new(frame, size, raw_bytes(plane), planes, what, err);
}

// A stream of byte planes into `out` as elements; `planes` keeps the
// scratch, for a decoder that needs a second tile-sized buffer.
bool unpack_planes(Reader &in, const Plane &plane, unsigned char *out, Scratch &planes,
                   const char *what, Error &err) {
    if (!read_planes(in, plane, planes, what, err)) return false;
    blocked_transpose_zstd_unshuffle(out, planes.data(), plane.count, plane.elem_size);
    return true;
}

bool unpack_planes(Reader &in, const Plane &plane, unsigned char *out, const char *what,
                   Error &err) {
    Scratch planes;
    return unpack_planes(in, plane, out, planes, what, err);
}

// A splitter's second stream, byte planes, joined onto its first stream,
// already decoded into `out`. The join runs a block at a time, so that a
// decode holds one tile-sized buffer beside `out` and no more.
template <class Join>
bool join_planes(Reader &in, const Plane &plane, unsigned char *out, const char *what,
                 const char *mismatch, Error &err, Join &&join) {
    Scratch planes;
    if (!read_planes(in, plane, planes, what, err)) return false;
    const uint64_t n = plane.count, es = plane.elem_size;
    Scratch gathered(std::min(n, block_elements) * es), second(gathered.size());
    const bool ok = rewrite_in_blocks(
        out, n, es, [&](unsigned char *dst, const unsigned char *first, uint64_t at, uint64_t k) {
            for (uint64_t j = 0; j < es; ++j)
                std::memcpy(gathered.data() + j * k, planes.data() + j * n + at, k);
            blocked_transpose_zstd_unshuffle(second.data(), gathered.data(), k, es);
            return join(dst, first, second.data(), k) == 0;
        });
    return ok || corrupt(mismatch, err);
}

// The smallest coding of a splitter's main stream among `ids`, as a
// nested chain section.
// The lane chain decodes several times faster than the context chain:
// the context chain takes a tile from it only where it codes more than
// this share smaller.
constexpr double lanes_margin = 1.01;

// `sizes`, where set, takes the best coding's size and chain, and the
// same of the best through a chain that ends in zstd.
bool encode_best(const Plane &plane, const unsigned char *samples, std::span<const int> ids,
                 const EncodeOptions &options, Writer &out, Error &err,
                 RankSizes *sizes = nullptr) {
    Bytes best;
    for (int id : ids) {
        Bytes candidate;
        Writer w(candidate);
        Error ignored;
        if (!encode_chain(id, plane, samples, options, w, ignored)) {
            if (ignored.kind == VARDA_CODEC_NO_MEMORY) return err.set(ignored);
            continue;
        }
        if (sizes && lz_coded(id) && (!sizes->lz || candidate.size() < sizes->lz))
            sizes->lz = candidate.size(), sizes->lz_chain = id;
        if (best.empty() || displaces(id, candidate.size(), best[0], best.size()))
            best.swap(candidate);
    }
    if (best.empty())
        return err.set("no chain could code the split-off stream", VARDA_CODEC_NOT_APPLICABLE);
    if (sizes) sizes->best = best.size(), sizes->best_chain = best[0];
    out.bytes(best.data(), best.size());
    return true;
}

// The main stream of a splitter: planar unless the effort asks for a
// search, which includes the context chain.
bool encode_nested(const Plane &plane, const unsigned char *samples, const EncodeOptions &options,
                   Writer &out, Error &err) {
    static const int searched[] = {VARDA_CHAIN_PLANAR,       VARDA_CHAIN_MED,
                                   VARDA_CHAIN_DELTA_W,      VARDA_CHAIN_AVERAGE,
                                   VARDA_CHAIN_SHUFFLE_ZSTD, VARDA_CHAIN_CONTEXT_LANES,
                                   VARDA_CHAIN_CONTEXT_RANS};
    if (options.effort < 2)
        return encode_chain(VARDA_CHAIN_PLANAR, plane, samples, options, out, err);
    return encode_best(plane, samples, searched, options, out, err);
}

// A palette count with this bit set is followed by the first value and a
// zstd frame of the gaps between the sorted values, not by the table.
constexpr unsigned gap_coded_table = 0x8000;

// A palette's ranks: the context chains for maps and masks (flat areas,
// edges between classes), med_zigzag and the byte planes for plates whose
// ranks follow a smooth picture; effort 2 adds the other predictors and
// plain zstd for repeated patterns.
bool encode_ranks(const Plane &plane, const unsigned char *ranks, const EncodeOptions &options,
                  Writer &out, Error &err) {
    static const int searched[] = {VARDA_CHAIN_MED_ZIGZAG,    VARDA_CHAIN_SHUFFLE_ZSTD,
                                   VARDA_CHAIN_CONTEXT_LANES, VARDA_CHAIN_CONTEXT_RANS,
                                   VARDA_CHAIN_ZSTD,          VARDA_CHAIN_PLANAR,
                                   VARDA_CHAIN_DELTA_W,       VARDA_CHAIN_AVERAGE};
    // Below effort 2 the lane chain alone stands for the context chains:
    // on ranks the two differ by little more than the lane chain's states.
    const std::span<const int> ids =
        options.ranks_by_context ? std::span<const int>(searched + 2, 1)
        : options.ranks_chains[0]
            ? std::span<const int>(options.ranks_chains.data(), options.ranks_chains[1] ? 2 : 1)
        : options.effort < 2 ? std::span<const int>(searched, 3)
                             : std::span<const int>(searched);
    return encode_best(plane, ranks, ids, options, out, err, options.rank_sizes);
}

// The palette's ranks as a plane of their own: unsigned words of the
// narrowest width that holds them.
Plane rank_plane(const Plane &plane, uint64_t entries) {
    Plane ranks = plane;
    ranks.elem_size = rank_size(entries);
    ranks.dtype = word_dtype(ranks.elem_size);
    return ranks;
}

bool encode_palette(const Plane &plane, const unsigned char *samples, const EncodeOptions &options,
                    Writer &out, Error &err) {
    const uint64_t n = plane.count, es = plane.elem_size;
    Palette palette(es, plane.dtype, palette_limit);
    if (!palette.add(samples, n))
        return err.set("palette: the tile has more than 4096 distinct values",
                       VARDA_CODEC_NOT_APPLICABLE);
    const uint64_t entries = palette.keys().size();
    // Past half the samples the table alone outweighs what the ranks save.
    if (2 * (entries - 1) > n)
        return err.set("palette: most of the tile's values occur once", VARDA_CODEC_NOT_APPLICABLE);
    palette.rank();
    const std::vector<uint64_t> &keys = palette.keys();
    if (options.skip_shifted_palette && is_integer(plane.dtype) && rank_size(entries) == es &&
        keys.back() - keys.front() == entries - 1)
        return err.set("palette: the ranks would be the samples shifted",
                       VARDA_CODEC_NOT_APPLICABLE);
    const auto put = [&](Writer &to, uint64_t value) {
        for (uint64_t b = 0; b < es; ++b) to.u8(unsigned(value >> (8 * b)) & 0xFF);
    };
    // The gaps between neighbouring keys, less one: runs of whole numbers
    // (a terrain's heights, a plate's levels) are runs of one gap.
    Bytes gaps, frame;
    Writer gap_out(gaps);
    for (uint64_t r = 1; r < entries; ++r) put(gap_out, keys[r] - keys[r - 1] - 1);
    if (entries > 1 && !zstd_pack(gaps.data(), gaps.size(), options.zstd_level, frame, err))
        return false;
    if (entries > 1 && 4 + frame.size() < gaps.size()) {
        out.u16(uint16_t(entries | gap_coded_table));
        put(out, bits_of_key(keys[0], es, plane.dtype));
        out.stream(frame);
    } else {
        out.u16(uint16_t(entries));
        for (uint64_t key : keys) put(out, bits_of_key(key, es, plane.dtype));
    }
    const Plane ranks = rank_plane(plane, entries);
    Scratch coded(raw_bytes(ranks));
    palette.ranks_of(coded.data(), ranks.elem_size, samples, n);
    return encode_ranks(ranks, coded.data(), options, out, err);
}

// The table is checked before the ranks are decoded into the start of
// `out`; they are then replaced by their values from the last one back,
// so that no value overwrites a rank still to be read.
bool decode_palette(Reader &in, const Plane &plane, unsigned char *out, Error &err) {
    const uint64_t n = plane.count, es = plane.elem_size;
    unsigned count = 0;
    if (!in.u16(count, "palette's count", err)) return false;
    const bool gap_coded = count & gap_coded_table;
    const uint64_t entries = count & ~gap_coded_table;
    // Ranks wider than the samples could not be rebuilt in place; a table
    // that long cannot be in increasing order either.
    if (entries == 0 || entries > palette_limit || entries > n || rank_size(entries) > es ||
        (gap_coded && entries == 1))
        return corrupt("the palette's count is out of range", err);
    const unsigned char *table = nullptr;
    Scratch rebuilt;
    if (gap_coded) {
        const unsigned char *first = nullptr, *frame = nullptr;
        size_t frame_size = 0;
        Scratch gaps;
        if (!in.bytes(first, es, "palette", err) ||
            !in.stream(frame, frame_size, "palette's gaps", err) ||
            !zstd_unpack_new(frame, frame_size, (entries - 1) * es, gaps, "palette's gaps", err))
            return false;
        // Keys run up to the element's all-ones; a gap past that is refused
        // rather than wrapped.
        const uint64_t top = width_mask(es);
        uint64_t key = order_key(Reader::read_le(first, int(es)), es, plane.dtype);
        rebuilt.resize(entries * es);
        std::memcpy(rebuilt.data(), first, es);
        for (uint64_t r = 1; r < entries; ++r) {
            const uint64_t gap = Reader::read_le(gaps.data() + (r - 1) * es, int(es));
            if (gap >= top - key)
                return corrupt("the palette's gaps run past its type's range", err);
            key += gap + 1;
            const uint64_t bits = bits_of_key(key, es, plane.dtype);
            for (uint64_t b = 0; b < es; ++b)
                rebuilt[r * es + b] = static_cast<unsigned char>(bits >> (8 * b));
        }
        table = rebuilt.data();
    } else {
        if (!in.bytes(table, entries * es, "palette", err)) return false;
        const auto entry = [&](uint64_t r) { return Reader::read_le(table + r * es, int(es)); };
        for (uint64_t r = 1; r < entries; ++r)
            if (order_key(entry(r - 1), es, plane.dtype) >= order_key(entry(r), es, plane.dtype))
                return corrupt("the palette's values are not in increasing order", err);
    }
    const Plane ranks = rank_plane(plane, entries);
    if (!decode_chain(in, ranks, out, true, err)) return false;
    // Every rank is looked up within the table, a bad one at its last
    // entry, and refused once all are done: no test in the loop. What the
    // loop reads is copied to locals first: its stores may alias anything
    // it reaches through a reference, which would be read again each time.
    const bool beyond = with_width(es, true, [&]<Element T>() {
        const auto values = [&]<Element R>() {
            const uint64_t last = entries - 1, count = n;
            const unsigned char *const values_at = table;
            unsigned char *const to = out;
            uint64_t worst = 0;
            for (uint64_t i = count; i-- > 0;) {
                const uint64_t r = load<R>(to, i);
                worst = std::max(worst, r);
                store<T>(to, i, load<T>(values_at, std::min(r, last)));
            }
            return worst > last;
        };
        return ranks.elem_size == 1 ? values.template operator()<uint8_t>()
                                    : values.template operator()<uint16_t>();
    });
    return !beyond || corrupt("a rank is not below the palette's count", err);
}

bool encode_splitter(int id, const Plane &plane, const unsigned char *samples,
                     const EncodeOptions &options, Writer &out, Error &err) {
    if (id == VARDA_CHAIN_PALETTE) return encode_palette(plane, samples, options, out, err);
    const uint64_t n = plane.count, es = plane.elem_size;
    Plane words = plane;
    words.dtype = word_dtype(es);
    Scratch first(raw_bytes(plane)), second(raw_bytes(plane));
    switch (id) {
    case VARDA_CHAIN_INTMULT: {
        const uint64_t m = common_multiplier(samples, n, es, is_signed(plane.dtype));
        if (m == 0)
            return err.set("intmult: the tile's samples share no multiplier of 2 or more",
                           VARDA_CODEC_NOT_APPLICABLE);
        out.u64(m);
        if (is_signed(plane.dtype))
            intmult_split_signed(first.data(), second.data(), samples, n, es, m);
        else
            host::intmult_split(first.data(), second.data(), samples, n, es, m);
        return encode_nested(plane, first.data(), options, out, err) &&
               pack_planes(second.data(), plane, options.zstd_level, out, err);
    }
    case VARDA_CHAIN_BINOFFSET: {
        // Planar zigzag codes as bit-length classes and the bits below
        // each code's leading one.
        planar_zigzag_encode(first.data(), samples, plane.width, n, es);
        Bytes selectors(n);
        host::binoffset_split(selectors.data(), second.data(), first.data(), n, es);
        const ClassTable table(es);
        Bytes packed(host::binoffset_packed_size(selectors.data(), n, table.widths));
        host::binoffset_pack(packed.data(), selectors.data(), second.data(), n, es, table.widths);
        if (!pack_bytes(selectors.data(), n, options.zstd_level, out, err)) return false;
        out.stream(packed);
        return true;
    }
    case VARDA_CHAIN_FLOATQUANT: {
        // The cut that codes smallest, among a few.
        const unsigned small[] = {8, 16}, wide[] = {16, 32};
        const unsigned more_small[] = {4, 12, 20}, more_wide[] = {8, 24, 40};
        Bytes best;
        const auto attempt = [&](unsigned shift) {
            Bytes candidate;
            Writer w(candidate);
            w.u8(shift);
            host::floatquant_split(first.data(), second.data(), samples, n, es, shift);
            if (!encode_nested(words, first.data(), options, w, err) ||
                !pack_planes(second.data(), plane, options.zstd_level, w, err))
                return false;
            if (best.empty() || displaces(id, candidate.size(), best[0], best.size()))
                best.swap(candidate);
            return true;
        };
        for (unsigned shift : es == 4 ? small : wide)
            if (!attempt(shift)) return false;
        if (options.effort >= 2)
            for (unsigned shift : es == 4 ? more_small : more_wide)
                if (!attempt(shift)) return false;
        out.bytes(best.data(), best.size());
        return true;
    }
    default: { // floatmult, floatmult-wide
        const bool wide = id == VARDA_CHAIN_FLOATMULT_WIDE;
        const double step = decimal_step(samples, n, es, wide);
        if (step == 0)
            return err.set("floatmult: the tile's samples lie on no decimal step",
                           VARDA_CODEC_NOT_APPLICABLE);
        out.f64(step);
        if (wide)
            host::floatmult_split_wide(first.data(), second.data(), samples, n, step);
        else
            host::floatmult_split(first.data(), second.data(), samples, n, es, step);
        return encode_nested(words, first.data(), options, out, err) &&
               pack_planes(second.data(), plane, options.zstd_level, out, err);
    }
    }
}

// The first stream of a splitter decodes into `out` and the second is
// joined onto it there.
bool decode_splitter(int id, Reader &in, const Plane &plane, unsigned char *out, Error &err) {
    if (id == VARDA_CHAIN_PALETTE) return decode_palette(in, plane, out, err);
    const uint64_t n = plane.count, es = plane.elem_size;
    Plane words = plane;
    words.dtype = word_dtype(es);
    switch (id) {
    case VARDA_CHAIN_INTMULT: {
        uint64_t m = 0;
        if (!in.u64(m, "multiplier", err)) return false;
        if (m < 2 || (es < 8 && m >> (8 * es) != 0))
            return corrupt("the multiplier is out of range", err);
        return decode_chain(in, plane, out, true, err) &&
               join_planes(in, plane, out, "remainders", "a remainder is not below the multiplier",
                           err, [&](void *dst, const void *quot, const void *rem, uint64_t k) {
                               return intmult_join(dst, quot, rem, k, es, m);
                           });
    }
    case VARDA_CHAIN_BINOFFSET: {
        const unsigned char *frame = nullptr, *packed = nullptr;
        size_t frame_size = 0, packed_size = 0;
        Scratch selectors;
        if (!in.stream(frame, frame_size, "selectors", err) ||
            !zstd_unpack_new(frame, frame_size, n, selectors, "selectors", err) ||
            !in.stream(packed, packed_size, "packed offsets", err))
            return false;
        const ClassTable table(es);
        if (host::binoffset_packed_size(selectors.data(), n, table.widths) != packed_size ||
            binoffset_unpack_join(out, selectors.data(), packed, packed_size, n, es, table.bases,
                                  table.widths, table.nbins) != 0)
            return corrupt("the selectors and the packed offsets do not agree", err);
        planar_zigzag_decode(out, out, plane.width, n, es);
        return true;
    }
    case VARDA_CHAIN_FLOATQUANT: {
        unsigned shift = 0;
        if (!in.u8(shift, "float cut", err)) return false;
        if (shift >= 8 * es) return corrupt("the float cut is out of range", err);
        return decode_chain(in, words, out, true, err) &&
               join_planes(in, plane, out, "low parts", "a low part is wider than the cut", err,
                           [&](void *dst, const void *high, const void *low, uint64_t k) {
                               return floatquant_join(dst, high, low, k, es, shift);
                           });
    }
    default: { // floatmult, floatmult-wide
        double step = 0;
        if (!in.f64(step, "step", err)) return false;
        if (!std::isfinite(step)) return corrupt("the step is not finite", err);
        const bool wide = id == VARDA_CHAIN_FLOATMULT_WIDE;
        return decode_chain(in, words, out, true, err) &&
               join_planes(in, plane, out, "key corrections", "key corrections", err,
                           [&](void *dst, const void *index, const void *fix, uint64_t k) {
                               if (wide)
                                   host::floatmult_join_wide(dst, index, fix, k, step);
                               else
                                   floatmult_join(dst, index, fix, k, es, step);
                               return 0;
                           });
    }
    }
}

// Predictor decoders that may rebuild their residuals in place.
bool decodes_in_place(int id) {
    return id == VARDA_CHAIN_DELTA_W || id == VARDA_CHAIN_DELTA_N || id == VARDA_CHAIN_AVERAGE;
}

} // namespace

Predictor predictor_of(int id) {
    switch (id) {
    case VARDA_CHAIN_DELTA_W: return {delta_w_encode, delta_w_decode};
    case VARDA_CHAIN_DELTA_N: return {delta_n_encode, delta_n_decode};
    case VARDA_CHAIN_PLANAR: return {planar_encode, planar_decode};
    case VARDA_CHAIN_AVERAGE: return {average_encode, average_decode};
    case VARDA_CHAIN_MED: return {med_encode, med_decode};
    default: return {med_zigzag_encode, med_zigzag_decode};
    }
}

bool displaces(int id, size_t size, int best_id, size_t best) {
    if (id == VARDA_CHAIN_CONTEXT_RANS && best_id == VARDA_CHAIN_CONTEXT_LANES)
        return lanes_margin * double(size) < double(best);
    if (id == VARDA_CHAIN_CONTEXT_LANES && best_id == VARDA_CHAIN_CONTEXT_RANS)
        return double(size) <= lanes_margin * double(best);
    return size < best;
}

bool lz_coded(int id) {
    const ChainInfo *info = chain_info(id);
    return info && info->kind != kind_splitter && id != VARDA_CHAIN_PLANAR_PFOR &&
           id != VARDA_CHAIN_CONTEXT_RANS && id != VARDA_CHAIN_CONTEXT_LANES;
}

const ChainInfo *chain_info(int id) {
    return id >= 1 && id <= chain_count ? &chains[id - 1] : nullptr;
}

bool chain_accepts(int id, int dtype) {
    if (dtype < VARDA_DTYPE_U8 || dtype >= VARDA_DTYPE_COUNT || !chain_info(id)) return false;
    if (id == VARDA_CHAIN_INTMULT) return is_integer(dtype);
    if (id == VARDA_CHAIN_FLOATQUANT || id == VARDA_CHAIN_FLOATMULT)
        return dtype == VARDA_DTYPE_F32 || dtype == VARDA_DTYPE_F64;
    if (id == VARDA_CHAIN_FLOATMULT_WIDE) return dtype == VARDA_DTYPE_F32;
    return true;
}

bool encode_chain(int id, const Plane &plane, const unsigned char *samples,
                  const EncodeOptions &options, Writer &out, Error &err) {
    const ChainInfo *info = chain_info(id);
    if (!info || !chain_accepts(id, plane.dtype))
        return err.set("the chain does not take this dtype");
    const uint64_t n = plane.count, es = plane.elem_size, w = plane.width;
    const int level = options.zstd_level;
    out.u8(unsigned(id));
    switch (id) {
    case VARDA_CHAIN_ZSTD: return pack_bytes(samples, raw_bytes(plane), level, out, err);
    case VARDA_CHAIN_SHUFFLE_ZSTD: return pack_planes(samples, plane, level, out, err);
    case VARDA_CHAIN_WP: {
        int16_t weights[4];
        uint8_t shift;
        wp_static_train(weights, &shift, samples, w, n, es);
        for (int16_t weight : weights) out.u16(uint16_t(weight));
        out.u8(shift);
        Scratch residuals(raw_bytes(plane));
        wp_static_encode(residuals.data(), samples, w, n, es, weights, shift);
        zigzag_words(residuals.data(), n, es, true);
        return pack_planes(residuals.data(), plane, level, out, err);
    }
    case VARDA_CHAIN_PLANAR_LANES_ZSTD: {
        Scratch lanes(raw_bytes(plane));
        planar_zigzag_pivco_lanes(lanes.data(), samples, w, n, es, 1);
        return pack_bytes(lanes.data(), lanes.size(), level, out, err);
    }
    case VARDA_CHAIN_PLANAR_PFOR:
    case VARDA_CHAIN_PLANAR_PFOR_ZSTD: {
        Bytes stream(planar_zigzag_pfor_bound(n, es));
        uint64_t len = 0;
        if (planar_zigzag_pfor_encode(stream.data(), stream.size(), &len, samples, w, n, es, 1) !=
            0)
            return err.set("the PFOR encoder refused the tile");
        stream.resize(len);
        if (id == VARDA_CHAIN_PLANAR_PFOR_ZSTD)
            return pack_bytes(stream.data(), len, level, out, err);
        out.stream(stream);
        return true;
    }
    case VARDA_CHAIN_CONTEXT_RANS: return encode_context_rans(plane, samples, options, out, err);
    case VARDA_CHAIN_CONTEXT_LANES: return encode_context_lanes(plane, samples, options, out, err);
    default:
        if (info->kind == kind_splitter)
            return encode_splitter(id, plane, samples, options, out, err);
        Scratch residuals(raw_bytes(plane));
        predictor_of(id).encode(residuals.data(), samples, w, n, es);
        if (zigzagged(id)) zigzag_words(residuals.data(), n, es, true);
        return pack_planes(residuals.data(), plane, level, out, err);
    }
}

bool decode_chain(Reader &in, const Plane &plane, unsigned char *out, bool nested, Error &err) {
    unsigned id = 0;
    if (!in.u8(id, "chain id", err)) return false;
    const ChainInfo *info = chain_info(int(id));
    char text[120];
    if (!info) {
        std::snprintf(text, sizeof text,
                      "unknown chain id %u: a chain of a newer library, or a corrupt tile", id);
        return err.set(text);
    }
    if (nested && info->kind == kind_splitter)
        return corrupt("a splitter chain is nested in a splitter", err);
    if (!chain_accepts(int(id), plane.dtype)) {
        std::snprintf(text, sizeof text, "corrupt tile: chain %s does not take dtype %d",
                      info->name, plane.dtype);
        return err.set(text);
    }
    const uint64_t n = plane.count, es = plane.elem_size, w = plane.width;
    switch (id) {
    case VARDA_CHAIN_ZSTD: {
        const unsigned char *frame = nullptr;
        size_t size = 0;
        return in.stream(frame, size, "samples", err) &&
               zstd_unpack(frame, size, out, raw_bytes(plane), "samples", err);
    }
    case VARDA_CHAIN_SHUFFLE_ZSTD: return unpack_planes(in, plane, out, "byte planes", err);
    case VARDA_CHAIN_WP: {
        int16_t weights[4];
        for (int16_t &weight : weights) {
            unsigned lo = 0, hi = 0;
            if (!in.u8(lo, "weights", err) || !in.u8(hi, "weights", err)) return false;
            weight = int16_t(uint16_t(lo | hi << 8));
        }
        unsigned shift = 0;
        if (!in.u8(shift, "shift", err)) return false;
        if (shift > 63) return corrupt("the weighted predictor's shift is above 63", err);
        if (!unpack_planes(in, plane, out, "residuals", err)) return false;
        zigzag_words(out, n, es, false);
        wp_static_decode(out, out, w, n, es, weights, uint8_t(shift));
        return true;
    }
    case VARDA_CHAIN_PLANAR_LANES_ZSTD: {
        const unsigned char *frame = nullptr;
        size_t size = 0;
        Scratch lanes;
        if (!in.stream(frame, size, "byte lanes", err) ||
            !zstd_unpack_new(frame, size, raw_bytes(plane), lanes, "byte lanes", err))
            return false;
        planar_zigzag_pivco_unlanes(out, lanes.data(), w, n, es, 1);
        return true;
    }
    case VARDA_CHAIN_PLANAR_PFOR:
    case VARDA_CHAIN_PLANAR_PFOR_ZSTD: {
        const unsigned char *data = nullptr;
        size_t size = 0;
        if (!in.stream(data, size, "PFOR stream", err)) return false;
        Scratch unpacked;
        if (id == VARDA_CHAIN_PLANAR_PFOR_ZSTD) {
            if (!zstd_unpack_bounded(data, size, planar_zigzag_pfor_bound(n, es), unpacked,
                                     "PFOR stream", err))
                return false;
            data = unpacked.data();
            size = unpacked.size();
        }
        if (planar_zigzag_pfor_decode(out, w, n, es, 1, data, size) != 0)
            return corrupt("the PFOR stream does not decode", err);
        return true;
    }
    case VARDA_CHAIN_CONTEXT_RANS: return decode_context_rans(in, plane, out, err);
    case VARDA_CHAIN_CONTEXT_LANES: return decode_context_lanes(in, plane, out, err);
    default: {
        if (info->kind == kind_splitter) return decode_splitter(int(id), in, plane, out, err);
        // The residuals land in `out`; a decoder that needs them apart gets
        // them copied back into the planes' scratch.
        Scratch spare;
        if (!unpack_planes(in, plane, out, spare, "residuals", err)) return false;
        if (zigzagged(int(id))) zigzag_words(out, n, es, false);
        const unsigned char *residuals = out;
        if (!decodes_in_place(int(id))) {
            std::memcpy(spare.data(), out, raw_bytes(plane));
            residuals = spare.data();
        }
        predictor_of(int(id)).decode(out, residuals, w, n, es);
        return true;
    }
    }
}

} // namespace varda::codec
