#include "context_lanes.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "context_model.h"
#include "context_rans.h"
#include "entropy/lanes.h"
#include "entropy/rans.h"
#include "linear.h"
#include "strips.h"
#include "varda_codec.h"
#include "words.h"

namespace varda::codec {

namespace {

// What follows the chain's id: the samples as they are (noise that no
// model shrinks), the samples as codes with no prediction (sparse counts
// on a zero floor, which any predictor smears onto their neighbours), the
// fitted linear predictor with its shift and weights, or the median
// predictor; both rebuilt by the strips of strips.h.
constexpr unsigned stored = 0, unpredicted = 1, linear_strips = 2, median_strips = 3;
// Added to the predictor where the tokens go by thirty-two states, not
// sixteen.
constexpr unsigned widest_flag = 0x10;

// The fixed predictors as weights, beside planar and the fitted ones: W,
// N and (W + N + 1) / 2.
LinearWeights weights_of(std::initializer_list<int16_t> taps, unsigned shift) {
    LinearWeights lw;
    std::copy(taps.begin(), taps.end(), lw.weight);
    lw.shift = uint8_t(shift);
    return lw;
}

struct Choice {
    unsigned predictor = unpredicted;
    StripPredictor strips;
};

void codes_of(const Choice &choice, const Plane &plane, const unsigned char *samples,
              unsigned char *codes) {
    if (choice.predictor == unpredicted)
        std::memcpy(codes, samples, plane.count * plane.elem_size);
    else
        strip_residuals(choice.strips, plane, samples, codes);
}

// As the context chain chooses, on a few bands of rows (banded_cost).
// Every candidate decodes at the same speed here, so the smallest
// estimate wins.
Choice choose(const Plane &plane, const unsigned char *samples, int effort, unsigned char *codes) {
    std::vector<Choice> candidates(1);
    if (effort > 0 && linear_applies(plane)) {
        for (const LinearWeights &fixed :
             {planar_weights(), weights_of({1}, 0), weights_of({0, 1}, 0), weights_of({1, 1}, 1),
              train_linear(plane, samples)})
            candidates.push_back({linear_strips, {false, fixed}});
        candidates.push_back({median_strips, {true, {}}});
    }
    Choice best = candidates[0];
    double best_cost = 0;
    for (size_t k = 0; k < candidates.size() && candidates.size() > 1; ++k) {
        const double cost =
            banded_cost(plane, samples, codes,
                        [&](const Plane &band, const unsigned char *of, unsigned char *to) {
                            codes_of(candidates[k], band, of, to);
                        });
        if (k == 0 || cost < best_cost) best = candidates[k], best_cost = cost;
    }
    codes_of(best, plane, samples, codes);
    return best;
}

} // namespace

bool encode_context_lanes(const Plane &plane, const unsigned char *samples,
                          const EncodeOptions &options, Writer &out, Error &err) {
    const uint64_t n = plane.count, es = plane.elem_size;
    if (plane.width == 0) return err.set("context-lanes: the tile is empty");
    Scratch codes(n * es);
    const Choice choice = choose(plane, samples, options.effort, codes.data());
    Bytes section;
    unsigned states = 0;
    if (!code_residuals(plane, codes.data(), section, nullptr, lane_states_by_size, &states))
        return err.set("context-lanes: the tile's streams are too long");
    // Noise gains nothing from modelling: it is stored as it is, so the
    // chain never takes more than the samples themselves.
    const size_t weights_size = choice.predictor == linear_strips ? 1 + 2 * linear_taps : 0;
    if (section.size() + weights_size >= n * es) {
        write_stored(out, samples, n * es);
        return true;
    }
    out.u8(choice.predictor | (states == entropy::widest_lanes ? widest_flag : 0));
    if (choice.predictor == linear_strips) write_weights(out, choice.strips.weights);
    out.bytes(section.data(), section.size());
    return true;
}

namespace {

// The tokens of every row and their codes, in place of the samples (or as
// the samples, unpredicted), by a decoder of `Lanes` states.
template <unsigned Lanes>
bool decode_codes(const CodedStreams &streams, const Plane &plane, unsigned char *out, Error &err) {
    const uint64_t n = plane.count, es = plane.elem_size, width = plane.width;
    const entropy::Tables &tables = streams.tables;
    entropy::DecodeTable table;
    table.build(tables);
    entropy::BasicDecoder<Lanes> tokens;
    if (!start_tokens(tokens, streams, unsigned(std::min<uint64_t>(Lanes, width)), err))
        return false;
    entropy::BitReader bits(streams.raw, streams.raw_size);
    std::vector<uint8_t> ctx(width), above(width), above2(width), row(width);
    bool beyond = false; // a token the tables do not hold
    for (uint64_t row_start = 0; row_start < n && bits.within(); row_start += width) {
        const uint8_t *up = row_start ? above.data() : nullptr;
        entropy::lanes_row_contexts(up, row_start >= 2 * width ? above2.data() : up, width,
                                    ctx.data());
        entropy::decode_lanes_row(tokens, table, ctx.data(), width, row.data());
        beyond |= entropy::lanes_code_row(row.data(), width, tables.alphabet, bits, unsigned(es),
                                          out + row_start * es);
        above2.swap(above);
        above.swap(row);
    }
    return check_streams(bits, tokens, beyond, err);
}

} // namespace

bool decode_context_lanes(Reader &in, const Plane &plane, unsigned char *out, Error &err) {
    const uint64_t n = plane.count, es = plane.elem_size;
    unsigned predictor = 0;
    if (!in.u8(predictor, "predictor", err)) return false;
    if (predictor == stored) return read_stored(in, n * es, out, err);
    const bool widest = predictor & widest_flag;
    predictor &= ~widest_flag;
    if (predictor != unpredicted && predictor != linear_strips && predictor != median_strips)
        return err.set("corrupt tile: the lane chain's predictor is unknown");
    if (predictor != unpredicted && !linear_applies(plane))
        return err.set("corrupt tile: the lane chain predicts integers of up to 32 bits only");
    StripPredictor strips;
    strips.median = predictor == median_strips;
    LinearWeights &weights = strips.weights;
    if (predictor == linear_strips) {
        if (!read_weights(in, weights, err)) return false;
        if (!linear_valid(weights))
            return err.set("corrupt tile: the linear predictor's weights are out of range");
    }
    CodedStreams streams;
    if (!read_streams(in, contexts, alphabet_for(es), false, streams, err)) return false;
    if (!(widest ? decode_codes<entropy::widest_lanes>(streams, plane, out, err)
                 : decode_codes<entropy::wide_lanes>(streams, plane, out, err)))
        return false;
    if (predictor != unpredicted) strip_rebuild(strips, plane, out);
    return true;
}

} // namespace varda::codec
