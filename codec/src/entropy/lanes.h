// Sixteen or thirty-two rANS states decoded in lockstep: token k of a row
// by state k % 16 (or 32). The AVX2 loop holds the states in vectors of
// eight, looks
// each slot up with a gather and hands the lanes that renormalise
// consecutive words from the shared stream (a mask, a count and a
// permutation); the portable loop is the definition, and both read and
// leave the stream alike.
#pragma once

#include <cstdint>

#include "entropy/bits.h"
#include "entropy/rans.h"

namespace varda::codec::entropy {

using LaneDecoder = BasicDecoder<wide_lanes>;
using WideLaneDecoder = BasicDecoder<widest_lanes>;

// Whether the codec's vector loops take the AVX2 path: the kernels' path,
// on a processor that has it.
bool lanes_use_avx2();

// The tokens of one row, as the decoder's decode_row, on the path chosen.
template <unsigned Lanes>
void decode_lanes_row(BasicDecoder<Lanes> &decoder, const DecodeTable &table,
                      const uint8_t *contexts, uint64_t width, uint8_t *symbols);

// Wide contexts of a row, as wide_row_contexts gives them, sixteen at a
// time on the AVX2 path.
void lanes_row_contexts(const uint8_t *above, const uint8_t *above2, uint64_t width, uint8_t *ctx);

// The codes of one row of tokens and their raw bits (the context model's
// tokens: those below 8 are the code, token 8 + 2 (L - 4) + b a code of L
// bits whose second bit is b, the L - 2 below it raw), in samples of
// `width_bytes` (1, 2, 4 or 8), as residual_row does without a zigzag;
// true when a token is at or beyond `alphabet`. The AVX2 path reads eight
// codes at a time: their raw bits' positions from a prefix sum, the bits
// gathered.
bool lanes_code_row(const uint8_t *tokens, uint64_t width, unsigned alphabet, BitReader &bits,
                    unsigned width_bytes, unsigned char *dst);

} // namespace varda::codec::entropy
