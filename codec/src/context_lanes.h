// The lane chain: the context chain's tokens, contexts and tables, laid
// out so that many lanes decode in lockstep. Token k of a row goes by
// rANS state k % 16 (k % 32 in tiles whose tokens take 16 KiB or more),
// so that a vector of states decodes that many neighbouring tokens at
// once; the fitted predictor rebuilds in sixteen vertical strips a row
// apart (strips.h), so a vector of sixteen samples rebuilds at once. A
// state's or a strip's chain of dependent steps then runs beside many
// others instead of waiting on its own latency.
#pragma once

#include "blob.h"
#include "chains.h"

namespace varda::codec {

// Writes the chain's parameters and streams (the id is already written).
bool encode_context_lanes(const Plane &plane, const unsigned char *samples,
                          const EncodeOptions &options, Writer &out, Error &err);
bool decode_context_lanes(Reader &in, const Plane &plane, unsigned char *out, Error &err);

} // namespace varda::codec
