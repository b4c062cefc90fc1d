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
#include "entropy/rans.h"
#include "linear.h"

namespace varda::codec {

// Writes the chain's parameters and streams (the id is already written).
bool encode_context_rans(const Plane &plane, const unsigned char *samples,
                         const EncodeOptions &options, Writer &out, Error &err);
bool decode_context_rans(Reader &in, const Plane &plane, unsigned char *out, Error &err);

// Zigzagged residuals (or samples) of a plane as the context chain codes
// them: its tables, then the stream of the tokens, coded by `state_count`
// interleaved states, and the stream of the raw bits. With
// `serial_samples` (the samples the residuals are of) the contexts are
// serial ones. A `state_count` of `lane_states_by_size` takes the lane
// chain's sixteen states, or thirty-two where the tokens code long enough
// that their sixteen more states weigh nothing, and says which in
// `states_used`. False when a stream would not fit its 32-bit length.
constexpr unsigned lane_states_by_size = 0;
bool code_residuals(const Plane &plane, const unsigned char *residuals, Bytes &section,
                    const unsigned char *serial_samples, unsigned state_count,
                    unsigned *states_used = nullptr);

// The pieces both context chains store alike. The samples as they are,
// for a tile no model shrinks (after the predictor byte 0): one stream.
void write_stored(Writer &out, const unsigned char *samples, uint64_t size);
bool read_stored(Reader &in, uint64_t size, unsigned char *out, Error &err);
// A fitted predictor's shift and ten weights, unchecked.
void write_weights(Writer &out, const LinearWeights &weights);
bool read_weights(Reader &in, LinearWeights &weights, Error &err);

// The tables and the two streams of coded residuals, and the token
// stream's decoder started on them with `stored` states.
struct CodedStreams {
    entropy::Tables tables;
    const unsigned char *coded = nullptr, *raw = nullptr;
    size_t coded_size = 0, raw_size = 0;
};
bool read_streams(Reader &in, unsigned contexts, unsigned max_alphabet, bool earlier_form,
                  CodedStreams &streams, Error &err);
template <class Decoder>
bool start_tokens(Decoder &decoder, const CodedStreams &streams, unsigned stored, Error &err) {
    if (streams.coded_size % 2 != 0)
        return err.set("corrupt tile: the token stream is not whole 16-bit words");
    if (!decoder.start(streams.coded, streams.coded_size, stored))
        return err.set("corrupt tile: the token stream's states are out of range");
    return true;
}

} // namespace varda::codec
