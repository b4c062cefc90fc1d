// The choice of chain for "auto": every chain the product's effort lists
// codes the tile, and the smallest section wins.
#include <algorithm>
#include <cstring>
#include <iterator>
#include <span>
#include <vector>

#include "linear.h"
#include "splitters.h"
#include "tile.h"

namespace varda::codec {

namespace {

// The chains "auto" tries at each effort, where they take the samples.
// Ties go to the earlier chain, so the faster decoders come first.
const int effort0[] = {VARDA_CHAIN_MED_ZIGZAG};
// The index streams of lossy products add the plain deltas at the end: a
// coarse grid turns smooth gradients into staircases, whose runs of W or N
// residuals zstd finds (a smooth u16 field at LINEAR:MAX_ERROR=8 codes
// 1.6 x smaller through delta_w than through any other chain).
const int effort1[] = {VARDA_CHAIN_PLANAR_LANES_ZSTD,
                       VARDA_CHAIN_MED_ZIGZAG,
                       VARDA_CHAIN_AVERAGE,
                       VARDA_CHAIN_SHUFFLE_ZSTD,
                       VARDA_CHAIN_CONTEXT_LANES,
                       VARDA_CHAIN_CONTEXT_RANS,
                       VARDA_CHAIN_INTMULT,
                       VARDA_CHAIN_FLOATQUANT,
                       VARDA_CHAIN_FLOATMULT,
                       VARDA_CHAIN_FLOATMULT_WIDE,
                       VARDA_CHAIN_PALETTE,
                       VARDA_CHAIN_DELTA_W,
                       VARDA_CHAIN_DELTA_N};
constexpr size_t effort1_lossless = std::size(effort1) - 2;
// Effort 2 tries every chain, fastest decoders first.
const int effort2[] = {VARDA_CHAIN_PLANAR_PFOR,
                       VARDA_CHAIN_PLANAR_PFOR_ZSTD,
                       VARDA_CHAIN_SHUFFLE_ZSTD,
                       VARDA_CHAIN_PLANAR_LANES_ZSTD,
                       VARDA_CHAIN_DELTA_W,
                       VARDA_CHAIN_DELTA_N,
                       VARDA_CHAIN_PLANAR,
                       VARDA_CHAIN_MED_ZIGZAG,
                       VARDA_CHAIN_MED,
                       VARDA_CHAIN_AVERAGE,
                       VARDA_CHAIN_WP,
                       VARDA_CHAIN_CONTEXT_LANES,
                       VARDA_CHAIN_CONTEXT_RANS,
                       VARDA_CHAIN_ZSTD,
                       VARDA_CHAIN_INTMULT,
                       VARDA_CHAIN_BINOFFSET,
                       VARDA_CHAIN_FLOATQUANT,
                       VARDA_CHAIN_FLOATMULT,
                       VARDA_CHAIN_FLOATMULT_WIDE,
                       VARDA_CHAIN_PALETTE};

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

// Whether a chain that came second on the bands, from another back end
// than the leader's and within the margin, codes the whole tile too. Not
// a zstd chain behind the context chain: the bands favour zstd, and the
// context chain kept its lead on every whole tile measured, mostly a
// larger one (photographs, terrains and scans in tiles of 256 and 512: a
// lead of 0.5 % on the bands was 4 % on the tile, 3 to 9 % were 10 to
// 20 %, the least 1.2 %).
bool runner_up_tried(BackEnd leader, BackEnd runner_up) {
    return leader != runner_up && !(leader == back_context && runner_up == back_zstd);
}

// The level effort 2 codes its best zstd chain with once more, where that
// chain came within this share of the best.
constexpr int strong_zstd_level = 19;
constexpr double lz_margin = 1.15;
// The level effort 1 tries once more on lossy products' index streams.
constexpr int quantised_zstd_level = 9;

// Which coder a chain ends in (PFOR alone counts with zstd).
BackEnd back_end_of(int id) {
    if (id == VARDA_CHAIN_CONTEXT_RANS || id == VARDA_CHAIN_CONTEXT_LANES) return back_context;
    const ChainInfo *info = chain_info(id);
    return info && info->kind == kind_splitter ? back_split : back_zstd;
}

} // namespace

bool sample_rows(const Plane &plane, const unsigned char *samples, Plane &sample, Bytes &rows) {
    const uint64_t height = plane.count / plane.width;
    if (height < 4 * sample_bands * sample_band_rows) return false;
    // Tiles shorter than 512 rows take thinner bands, down to half, so
    // that the bands stay near an eighth of the tile.
    const uint64_t band_rows =
        std::clamp<uint64_t>(height / 32, sample_band_rows / 2, sample_band_rows);
    const uint64_t row_bytes = plane.width * plane.elem_size, band_bytes = band_rows * row_bytes;
    rows.resize(sample_bands * band_bytes);
    for (uint64_t b = 0; b < sample_bands; ++b) {
        const uint64_t first = (2 * b + 1) * height / (2 * sample_bands) - band_rows / 2;
        std::memcpy(rows.data() + b * band_bytes, samples + first * row_bytes, band_bytes);
    }
    sample = plane;
    sample.height = sample_bands * band_rows;
    sample.count = sample.height * plane.width;
    return true;
}

bool encode_samples(const varda_codec_product &p, const Plane &plane, const unsigned char *samples,
                    Bytes &section, Error &err) {
    EncodeOptions options{p.zstd_level, p.effort};
    RankSizes palette_ranks;
    if (p.chain != VARDA_CHAIN_AUTO) {
        Writer out(section);
        return encode_chain(p.chain, plane, samples, options, out, err);
    }
    // Effort 1 tries the palette only where a probe of the tile finds few
    // values far apart: elsewhere the count costs a pass, and the ranks
    // code no smaller than the samples.
    const bool palette_tried =
        p.effort != 1 || palette_may_pay(samples, plane.count, plane.elem_size, plane.dtype);
    // A chain's coding of these samples, left empty where the chain does not
    // apply; false only when memory runs out.
    const auto trial = [&](int id, const Plane &of, const unsigned char *data, Bytes &candidate) {
        candidate.clear();
        if (!chain_accepts(id, of.dtype) || (id == VARDA_CHAIN_PALETTE && !palette_tried))
            return true;
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
        if (!candidate.empty() &&
            (section.empty() || displaces(id, candidate.size(), section[0], section.size())))
            section.swap(candidate);
        return true;
    };
    Plane sample;
    Bytes rows;
    const std::span<const int> effort1_list(effort1, p.recipe.family != 0 ? std::size(effort1)
                                                                          : effort1_lossless);
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
        for (int id : effort1_list) {
            // On an integer tile tall enough for bands the lane chain stands
            // for both context chains: every predictor of the other is one
            // of its own there, and its twelve more states are lost in a
            // tall tile, so the other could win only by the bands'
            // misjudging their predictors (the grace_hopper photograph in
            // one tile: 1.9 % smaller through the other on the bands, 1.2 %
            // larger on the tile, at half the decode speed). Floats and
            // 64-bit words, which the lane chain takes unpredicted, and
            // shorter tiles try both.
            if (id == VARDA_CHAIN_CONTEXT_RANS && linear_applies(sample)) continue;
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
            if (leader && (!runner_up_tried(back_end_of(leader->id), back_end_of(r.id)) ||
                           double(r.size) > sample_margin * double(leader->size)))
                continue;
            size_t coded = 0;
            if (!attempt(r.id, &coded)) return false;
            if (!coded) continue;
            if (leader) break;
            leader = &r;
        }
        if (section.empty())
            for (int id : effort1_list)
                if (!attempt(id)) return false;
    } else if (p.effort == 1) {
        for (int id : effort1_list)
            if (!attempt(id)) return false;
    } else {
        // The zstd chain that came out smallest, if it applied.
        size_t lz_size = 0, palette_size = 0;
        int lz_chain = 0;
        options.skip_shifted_palette = true;
        for (int id : effort2) {
            size_t coded = 0;
            options.rank_sizes = id == VARDA_CHAIN_PALETTE ? &palette_ranks : nullptr;
            if (!attempt(id, &coded)) return false;
            if (coded && lz_coded(id) && (!lz_size || coded < lz_size))
                lz_size = coded, lz_chain = id;
            // The palette as it would come out with its ranks through zstd.
            if (id == VARDA_CHAIN_PALETTE && coded && palette_ranks.lz)
                palette_size = coded - palette_ranks.best + palette_ranks.lz;
        }
        options.rank_sizes = nullptr;
        // Where LZ matches come close to the best (posterised plates, masks,
        // repeated rows), zstd's strongest levels find many more of them;
        // so they may in a palette's ranks, which are then tried through
        // their best chain that ends in zstd.
        const auto close = [&](size_t size) {
            return size && p.zstd_level < strong_zstd_level &&
                   double(size) <= lz_margin * double(section.size());
        };
        const bool lz_close = close(lz_size), palette_close = close(palette_size);
        options.zstd_level = std::max(options.zstd_level, strong_zstd_level);
        if (lz_close && !attempt(lz_chain)) return false;
        // The ranks' best chain is tried again for the table, which is
        // zstd's too.
        options.ranks_chains = {palette_ranks.lz_chain, palette_ranks.best_chain};
        if (options.ranks_chains[1] == options.ranks_chains[0]) options.ranks_chains[1] = 0;
        if (palette_close && !attempt(VARDA_CHAIN_PALETTE)) return false;
        options.ranks_chains = {};
        options.zstd_level = p.zstd_level;
    }
    // An index stream that zstd codes best is coded once more at a stronger
    // level: the staircases of a coarse grid are long LZ matches, which
    // level 9 finds where level 3 does not (1.17 x on that smooth field).
    if (p.effort == 1 && p.recipe.family != 0 && !section.empty() && lz_coded(section[0]) &&
        options.zstd_level < quantised_zstd_level) {
        options.zstd_level = quantised_zstd_level;
        if (!attempt(section[0])) return false;
    }
    return !section.empty() || err.set("no chain could code the tile", VARDA_CODEC_NOT_APPLICABLE);
}

} // namespace varda::codec
