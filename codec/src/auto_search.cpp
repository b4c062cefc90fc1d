// The choice of chain for "auto": every chain the product's effort lists
// codes the tile, and the smallest section wins.
#include "tile.h"

namespace varda::codec {

namespace {

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

} // namespace

bool encode_samples(const varda_codec_product &p, const Plane &plane, const unsigned char *samples,
                    Bytes &section, Error &err) {
    const EncodeOptions options{p.zstd_level, p.effort};
    if (p.chain != VARDA_CHAIN_AUTO) {
        Writer out(section);
        return encode_chain(p.chain, plane, samples, options, out, err);
    }
    const auto attempt = [&](int id) {
        if (!chain_accepts(id, plane.dtype)) return true;
        Bytes candidate;
        Writer out(candidate);
        Error quiet; // a splitter with nothing to split is no failure here
        if (!encode_chain(id, plane, samples, options, out, quiet)) {
            if (quiet.kind == VARDA_CODEC_NO_MEMORY) return err.set(quiet);
            return true;
        }
        if (section.empty() || candidate.size() < section.size()) section.swap(candidate);
        return true;
    };
    if (p.effort == 0) {
        for (int id : effort0) attempt(id);
    } else if (p.effort == 1) {
        for (int id : effort1)
            if (!attempt(id)) return false;
    } else {
        for (int id : effort2)
            if (!attempt(id)) return false;
    }
    return !section.empty() || err.set("no chain could code the tile", VARDA_CODEC_NOT_APPLICABLE);
}

} // namespace varda::codec
