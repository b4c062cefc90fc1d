// Chains: what turns a plane of samples into streams and back.
#pragma once

#include <array>
#include <cstdint>

#include "blob.h"

namespace varda::codec {

// The samples a chain codes: count = width x height elements of elem_size
// bytes, of type `dtype` (for lossy products, the integer type of the
// quantised stream).
struct Plane {
    uint64_t width = 0, height = 0, count = 0, elem_size = 0;
    int dtype = 0;
};

enum ChainKind { kind_bytes, kind_predictor, kind_fused, kind_splitter };

struct ChainInfo {
    int id;
    const char *name;
    ChainKind kind;
};

// Ids 1 .. chain_count in order; null for an unknown id.
constexpr int chain_count = 20;
const ChainInfo *chain_info(int id);
bool chain_accepts(int id, int dtype);

// The fixed predictors by their chain id (med_zigzag for any other id); wp
// has weights and is handled on its own.
using Kernel = int (*)(void *, const void *, uint64_t, uint64_t, uint64_t);
struct Predictor {
    Kernel encode, decode;
};
Predictor predictor_of(int id);

struct EncodeOptions {
    int zstd_level = VARDA_CODEC_DEFAULT_ZSTD_LEVEL;
    int effort = 1; // how hard a splitter searches its own parameters
    // A palette's ranks through the context chain alone, for a quick trial.
    bool ranks_by_context = false;
    // Tests: at effort 2 the context chain keeps serial contexts wherever
    // they apply, whatever they cost.
    bool serial_always = false;
    // Where set, a palette's ranks through these chains alone (0 ends the
    // list): effort 2's retry at a stronger zstd level.
    std::array<int, 2> ranks_chains{};
    // Where set, a palette's ranks report here their best coding's size and
    // chain, and the same of their best through a chain that ends in zstd.
    struct RankSizes *rank_sizes = nullptr;
    // Auto's search passes over a palette of integers whose ranks would be
    // the samples shifted by the least: the chains tried on the samples
    // code those alike, and the table costs more.
    bool skip_shifted_palette = false;
};

struct RankSizes {
    size_t best = 0, lz = 0;
    int best_chain = 0, lz_chain = 0;
};

// Whether a chain ends in zstd, so that a stronger level may code it
// smaller (PFOR alone does not; a splitter's streams are its own).
bool lz_coded(int id);

// Whether a coding of `size` bytes by chain `id` takes the place of the
// best so far, `best` bytes by chain `best_id`: the smaller wins, but the
// lane chain, which decodes several times faster, gives way to the context
// chain only where that codes more than 1 % smaller.
bool displaces(int id, size_t size, int best_id, size_t best);

// Appends the chain section (id, parameters, streams) for `samples`. Returns
// false with a message when the chain does not apply to these samples (a
// splitter that finds nothing to split) or when zstd fails.
bool encode_chain(int id, const Plane &plane, const unsigned char *samples,
                  const EncodeOptions &options, Writer &out, Error &err);

// Reads one chain section and rebuilds plane.count samples into `out`.
// Splitters may nest one section; `nested` forbids going deeper.
bool decode_chain(Reader &in, const Plane &plane, unsigned char *out, bool nested, Error &err);

} // namespace varda::codec
