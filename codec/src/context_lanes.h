// The lane chain: the context chain's tokens, contexts and tables, laid
// out so that sixteen lanes decode in lockstep. Token k of a row goes by
// rANS state k % 16, so a vector of sixteen states decodes sixteen
// neighbouring tokens at once; the fitted predictor rebuilds in sixteen
// vertical strips a row apart (strips.h), so a vector of sixteen samples
// rebuilds at once. A state's or a strip's chain of dependent steps then runs beside
// fifteen others instead of waiting on its own latency.
#pragma once

#include "blob.h"
#include "chains.h"

namespace varda::codec {

// Lanes of the token coder and strips of the predictor.
constexpr unsigned lane_count = 16;

// Writes the chain's parameters and streams (the id is already written).
bool encode_context_lanes(const Plane &plane, const unsigned char *samples,
                          const EncodeOptions &options, Writer &out, Error &err);
bool decode_context_lanes(Reader &in, const Plane &plane, unsigned char *out, Error &err);

} // namespace varda::codec
