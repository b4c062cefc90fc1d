// The context-modelling chain: predictor residuals, zigzagged, as tokens
// (small values themselves, larger ones a bit-length class and the bit
// below the leading one) and raw low bits. Tokens are rANS-coded with
// frequencies chosen by the activity of the already-coded W, N, NW and NE
// neighbours, so that flat and busy parts of a tile each get their own
// statistics; a run of zeros in a flat part costs a small fraction of a bit
// per sample.
#pragma once

#include <cstdint>

#include "blob.h"
#include "chains.h"

namespace varda::codec {

// Writes the chain's parameters and streams (the id is already written).
bool encode_context_rans(const Plane &plane, const unsigned char *samples,
                         const EncodeOptions &options, Writer &out, Error &err);
bool decode_context_rans(Reader &in, const Plane &plane, unsigned char *out, Error &err);

} // namespace varda::codec
