#include "context_rans.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <type_traits>
#include <vector>

#include "context_model.h"
#include "dtypes.h"
#include "entropy/bits.h"
#include "entropy/rans.h"
#include "linear.h"
#include "strips.h"
#include "varda_codec.h"
#include "words.h"

namespace varda::codec {

namespace {

using entropy::BitReader;
using entropy::BitWriter;

// The contexts of a row from the tokens of the row above (null for the
// first row). Past the tile's edge a neighbour takes N's token.
void row_contexts(const uint8_t *above, uint64_t width, uint8_t *ctx) {
    if (!above) {
        std::memset(ctx, 0, width);
        return;
    }
    if (width == 1) {
        ctx[0] = context_of(above[0], above[0], above[0]);
        return;
    }
    ctx[0] = context_of(above[0], above[0], above[1]);
    uint64_t col = 1;
    for (; col + 9 <= width; col += 8) eight_contexts(above + col, ctx + col);
    for (; col + 1 < width; ++col)
        ctx[col] = context_of(above[col], above[col - 1], above[col + 1]);
    ctx[width - 1] = context_of(above[width - 1], above[width - 2], above[width - 1]);
}

// Serial contexts, for the fitted and mixed predictors at effort 2: the
// wide activity of the rows above plus 2 W + WW/2 of the row's own tokens,
// to one of the twelve contexts, each split three ways by how flat the
// samples N, W, NW and NE are (all equal, a spread of 1, more). Flat parts
// of a quantised raster then code apart from its edges (6-7 % smaller on
// a photograph at a bound of 8, 3-4 % on scans), at the price of a decode
// in sample order, each token's context waiting on the sample before.
constexpr unsigned serial_contexts = 3 * contexts;

// Past the tile's left or right edge a neighbour takes N; the first row
// has no spread.
template <class S>
unsigned flatness(const unsigned char *samples, uint64_t i, uint64_t col, uint64_t width) {
    if (i < width) return 0;
    const auto at = [&](uint64_t k) {
        S v;
        std::memcpy(&v, samples + k * sizeof(S), sizeof(S));
        return int64_t(v);
    };
    const int64_t n = at(i - width), w = col ? at(i - 1) : n, nw = col ? at(i - width - 1) : n,
                  ne = col + 1 < width ? at(i - width + 1) : n;
    const int64_t spread = std::max({n, w, nw, ne}) - std::min({n, w, nw, ne});
    return spread == 0 ? 0 : spread == 1 ? 1 : 2;
}

// `above_activity` is 0 in the first row; `w` and `ww` are the tokens one
// and two columns left, 0 past the edge.
inline uint8_t serial_context(unsigned above_activity, unsigned w, unsigned ww, unsigned flat) {
    return uint8_t(3 * context_of_activity(above_activity + 2 * w + (ww >> 1)) + flat);
}

// The wide activities of a row from the tokens of the two rows above (the
// second row takes the first for both), 0 for the first row.
void row_activity(const uint8_t *above, const uint8_t *above2, uint64_t width, unsigned *act) {
    for (uint64_t col = 0; col < width; ++col)
        act[col] = above ? wide_activity_at(above, above2, width, col) : 0;
}

// The predictors the chain may use, by their chain ids, and no prediction
// at all (the samples as they are, not zigzagged), which sparse counts on a
// zero floor want: any predictor smears each count onto its neighbours.
constexpr unsigned identity = VARDA_CHAIN_ZSTD;
constexpr int predictors[] = {VARDA_CHAIN_PLANAR,  VARDA_CHAIN_MED,     VARDA_CHAIN_AVERAGE,
                              VARDA_CHAIN_DELTA_W, VARDA_CHAIN_DELTA_N, int(identity)};

// In place of a predictor: the samples follow as they are.
constexpr unsigned stored = 0;
// Added to the predictor's byte where the contexts are wide (all tiles
// coded now; earlier ones took the row above alone).
constexpr unsigned wide_flag = 0x80;
// The predictor trained on the tile, its shift and weights stored after
// this byte; it takes integer samples of up to 32 bits.
constexpr unsigned linear = 64;
// It costs the decoder a pass in sample order, so it must beat the fixed
// predictors by this share of the estimated size.
constexpr double linear_margin = 0.99;
// The trained weights again, the fitted predictor mixed with the
// self-correcting ones (samples of up to 16 bits). Its decoder pass is
// several times the fitted one's, so effort 2 alone tries it, and keeps it
// where the whole coding comes out this much smaller.
constexpr unsigned mixed = 65;
constexpr double mixed_margin = 0.99;
// The two again with serial contexts (effort 2 alone), kept where the
// whole coding comes out this much smaller.
constexpr unsigned serial_linear = 66, serial_mixed = 67;
constexpr double serial_margin = 0.99;

bool serial(unsigned id) { return id == serial_linear || id == serial_mixed; }
bool fitted(unsigned id) { return id == linear || id == mixed || serial(id); }
bool mixes(unsigned id) { return id == mixed || id == serial_mixed; }

bool known_predictor(unsigned id) {
    return std::find(std::begin(predictors), std::end(predictors), int(id)) != std::end(predictors);
}

// A predictor chosen for a tile, with the fitted weights wherever they
// were trained (used by the linear and mixed predictors only).
struct Choice {
    int id = VARDA_CHAIN_MED;
    LinearWeights weights;
};

// Zigzagged residuals of a predictor, in place of the samples' words.
void residuals_of(const Choice &choice, const Plane &plane, const unsigned char *samples,
                  unsigned char *residuals) {
    const int predictor = choice.id;
    if (fitted(unsigned(predictor))) {
        (mixes(unsigned(predictor)) ? mixed_residuals : linear_residuals)(choice.weights, plane,
                                                                          samples, residuals);
        return;
    }
    if (predictor == int(identity)) {
        std::memcpy(residuals, samples, plane.count * plane.elem_size);
        return;
    }
    predictor_of(predictor).encode(residuals, samples, plane.width, plane.count, plane.elem_size);
    with_width(plane.elem_size, 0, [&]<Element T>() {
        for (uint64_t i = 0; i < plane.count; ++i)
            store<T>(residuals, i, zigzag(load<T>(residuals, i)));
        return 0;
    });
}

// Tall tiles are judged on a few bands of rows (banded_cost).
Choice choose_predictor(const Plane &plane, const unsigned char *samples, int effort,
                        unsigned char *residuals) {
    Choice best;
    if (effort > 0) {
        const auto cost_of = [&](const Choice &choice) {
            return banded_cost(plane, samples, residuals,
                               [&](const Plane &band, const unsigned char *of, unsigned char *to) {
                                   residuals_of(choice, band, of, to);
                               });
        };
        double best_cost = 0;
        for (int id : predictors) {
            Choice choice;
            choice.id = id;
            const double cost = cost_of(choice);
            if (id == predictors[0] || cost < best_cost) best = choice, best_cost = cost;
        }
        if (linear_applies(plane)) {
            Choice trained;
            trained.id = int(linear);
            trained.weights = train_linear(plane, samples);
            // Kept either way: effort 2 mixes them with the self-correcting
            // predictors.
            if (cost_of(trained) < linear_margin * best_cost)
                best = trained;
            else
                best.weights = trained.weights;
        }
    }
    residuals_of(best, plane, samples, residuals);
    return best;
}

// Tokens and contexts of every residual, raw bits written as they come,
// and the count of each token in each context (rows of 256), in
// `count_ways` tables of `count_table` (sample i in table i % count_ways).
template <Element T>
void tokenise_plane(const Plane &plane, const unsigned char *residuals, uint8_t *tokens,
                    uint8_t *ctx, BitWriter &bits, uint32_t *counts, size_t count_table,
                    const unsigned char *serial_samples) {
    const uint64_t rows_above = 2 * plane.width;
    const uint64_t width = plane.width;
    std::vector<unsigned> act(serial_samples ? width : 0);
    for (uint64_t row_start = 0; row_start < plane.count; row_start += width) {
        BitWriter out = bits;
        for_tokens<T>(
            residuals, row_start, row_start + width,
            [&](uint64_t i, const Token &t) {
                tokens[i] = t.token;
                // Every value writes, no bits or many.
                if constexpr (sizeof(T) <= 4)
                    out.put(t.raw, t.extra);
                else
                    out.wide(t.raw, t.extra);
            },
            [&](uint64_t i, uint8_t token) { tokens[i] = token; });
        bits = out;
        const uint8_t *above = row_start ? tokens + row_start - width : nullptr;
        const uint8_t *above2 = row_start >= rows_above ? above - width : above;
        if (serial_samples) {
            row_activity(above, above2, width, act.data());
            with_sample_type(plane.dtype, [&]<class S>() {
                for (uint64_t col = 0, i = row_start; col < width; ++col, ++i)
                    ctx[i] = serial_context(act[col], col ? tokens[i - 1] : 0,
                                            col > 1 ? tokens[i - 2] : 0,
                                            flatness<S>(serial_samples, i, col, width));
            });
        } else {
            wide_row_contexts(above, above2, width, ctx + row_start);
        }
        // Tables in turn, so that a run of one token in one context does
        // not wait on its own count.
        for (uint64_t i = row_start; i < row_start + width; ++i)
            ++counts[(i % count_ways) * count_table + size_t(ctx[i]) * 256 + tokens[i]];
    }
}

// Residuals of a tile with serial contexts, each decoded as the rebuild
// asks for it: its context from the tokens above and to the left and from
// the samples rebuilt around it.
template <class S> class SerialResiduals final : public ResidualSource {
  public:
    SerialResiduals(const entropy::DecodeTable &table, entropy::Decoder &tokens, BitReader &bits,
                    unsigned alphabet, uint64_t width, const unsigned char *samples)
        : table_(table), tokens_(tokens), bits_(bits), alphabet_(alphabet), width_(width),
          samples_(samples), above_(width), above2_(width), row_(width), act_(width),
          cursor_(bits.cursor()) {}

    uint64_t next(uint64_t i) override {
        if (col_ == width_) start_row();
        const uint64_t col = col_++;
        if (col == 0)
            row_activity(i ? above_.data() : nullptr,
                         i >= 2 * width_ ? above2_.data() : above_.data(), width_, act_.data());
        const uint8_t ctx =
            serial_context(act_[col], col ? row_[col - 1] : 0, col > 1 ? row_[col - 2] : 0,
                           flatness<S>(samples_, i, col, width_));
        uint8_t t = tokens_.decode_one(table_, ctx, unsigned(col % entropy::lanes));
        if (t >= alphabet_) beyond_ = true, t = 0;
        row_[col] = t;
        // The reader is asked whether it is still within its bits once in
        // each stride of values; past the end every value is 0.
        if (++taken_ % BitReader::stride == 0) {
            bits_.seek(cursor_);
            ran_out_ |= !bits_.within();
        }
        if (ran_out_) return 0;
        using Word = std::make_unsigned_t<S>;
        const Word value = Word(token_table.base[t] | cursor_.take(token_table.extra[t]));
        return unzigzag(value);
    }

    // True when a token was beyond the tables' alphabet.
    bool finish() {
        bits_.seek(cursor_);
        return beyond_;
    }

  private:
    void start_row() {
        above2_.swap(above_);
        above_.swap(row_);
        col_ = 0;
    }

    const entropy::DecodeTable &table_;
    entropy::Decoder &tokens_;
    BitReader &bits_;
    unsigned alphabet_;
    uint64_t width_;
    const unsigned char *samples_;
    std::vector<uint8_t> above_, above2_, row_;
    std::vector<unsigned> act_;
    BitReader::Cursor cursor_;
    uint64_t col_ = 0, taken_ = 0;
    bool beyond_ = false, ran_out_ = false;
};

// What a choice's section weighs in the tile, with the shift and weights
// of a fitted predictor.
size_t coded_size(const Choice &choice, const Bytes &section) {
    return section.size() + (fitted(unsigned(choice.id)) ? 1 + 2 * linear_taps : 0);
}

// The lane chain's states: thirty-two decode the tokens of a wide tile
// about 1.7 times as fast as sixteen (four vectors of states hide the
// latency of each one's table lookup, where two wait on it), and cost 64
// bytes more, taken where the tokens come to 16 KiB or more.
unsigned lane_states_for(const Plane &plane, double token_bits) {
    constexpr double wide_enough = 8.0 * 16384;
    return plane.width >= 2 * entropy::widest_lanes && token_bits >= wide_enough
               ? entropy::widest_lanes
               : entropy::wide_lanes;
}

} // namespace

// The tables and streams of the residuals; false when a stream would not
// fit its 32-bit length.
// With `serial_samples`, the samples the residuals are of, the contexts are
// serial ones.
bool code_residuals(const Plane &plane, const unsigned char *residuals, Bytes &section,
                    const unsigned char *serial_samples, unsigned state_count,
                    unsigned *states_used) {
    const uint64_t n = plane.count, es = plane.elem_size;
    const unsigned kinds = serial_samples ? serial_contexts : contexts;
    Scratch tokens(n), ctx(n); // each written before it is read
    Scratch raw;
    BitWriter bits(raw, n * es * 8); // no residual has more raw bits than bits
    const size_t count_table = size_t(kinds) * 256;
    std::vector<uint32_t> wide_counts(count_ways * count_table);
    with_width(es, 0, [&]<Element T>() {
        tokenise_plane<T>(plane, residuals, tokens.data(), ctx.data(), bits, wide_counts.data(),
                          count_table, serial_samples);
        return 0;
    });
    bits.flush();
    for (size_t k = 0; k < count_table; ++k)
        for (unsigned w = 1; w < count_ways; ++w)
            wide_counts[k] += wide_counts[w * count_table + k];
    unsigned alphabet = 1;
    for (unsigned c = 0; c < kinds; ++c)
        for (unsigned t = 0; t < 256; ++t)
            if (wide_counts[c * 256 + t]) alphabet = std::max(alphabet, t + 1);
    std::vector<uint32_t> counts(size_t(kinds) * alphabet);
    for (unsigned c = 0; c < kinds; ++c)
        std::copy_n(wide_counts.data() + c * 256, alphabet, counts.data() + c * alphabet);
    const entropy::Tables tables = entropy::fit(counts, kinds, alphabet);
    if (state_count == lane_states_by_size)
        state_count = lane_states_for(plane, tables.estimated_bits);
    if (states_used) *states_used = state_count;
    Bytes coded;
    entropy::encode(tables, tokens.data(), ctx.data(), n, plane.width, coded, state_count,
                    state_count != entropy::lanes);
    if (coded.size() > UINT32_MAX || raw.size() > UINT32_MAX || n * es > UINT32_MAX) return false;
    section.clear();
    Writer body(section);
    entropy::write_tables(tables, body);
    body.stream(coded);
    body.stream(raw);
    return true;
}

void write_stored(Writer &out, const unsigned char *samples, uint64_t size) {
    out.u8(stored);
    out.u32(uint32_t(size));
    out.bytes(samples, size);
}

bool read_stored(Reader &in, uint64_t size, unsigned char *out, Error &err) {
    const unsigned char *samples = nullptr;
    size_t stored_size = 0;
    if (!in.stream(samples, stored_size, "stored samples", err)) return false;
    if (stored_size != size) return err.set("corrupt tile: the stored samples are not the tile's");
    std::memcpy(out, samples, size);
    return true;
}

void write_weights(Writer &out, const LinearWeights &weights) {
    out.u8(weights.shift);
    for (int16_t weight : weights.weight) out.u16(uint16_t(weight));
}

bool read_weights(Reader &in, LinearWeights &weights, Error &err) {
    unsigned shift = 0;
    if (!in.u8(shift, "linear predictor", err)) return false;
    weights.shift = uint8_t(shift);
    for (int16_t &weight : weights.weight) {
        unsigned bits = 0;
        if (!in.u16(bits, "linear predictor", err)) return false;
        weight = int16_t(uint16_t(bits));
    }
    return true;
}

bool read_streams(Reader &in, unsigned contexts, unsigned max_alphabet, bool earlier_form,
                  CodedStreams &streams, Error &err) {
    return entropy::read_tables(in, contexts, max_alphabet, earlier_form, streams.tables, err) &&
           in.stream(streams.coded, streams.coded_size, "token stream", err) &&
           in.stream(streams.raw, streams.raw_size, "raw bits", err);
}

bool encode_context_rans(const Plane &plane, const unsigned char *samples,
                         const EncodeOptions &options, Writer &out, Error &err) {
    const uint64_t n = plane.count, es = plane.elem_size;
    if (plane.width == 0) return err.set("context-rans: the tile is empty");
    Scratch residuals(n * es);
    Choice choice = choose_predictor(plane, samples, options.effort, residuals.data());
    Bytes section;
    const auto too_long = [&] { return err.set("context-rans: the tile's streams are too long"); };
    if (!code_residuals(plane, residuals.data(), section, nullptr, entropy::lanes))
        return too_long();
    // Effort 2 tries the mixed predictor with row contexts, then the fitted
    // and the mixed one with serial contexts, each kept where it beats the
    // best so far. Each predictor's residuals are worked out once: the
    // fitted one's are already in hand where it was chosen.
    if (options.effort >= 2 && linear_applies(plane)) {
        const LinearWeights weights = choice.weights; // trained wherever they apply
        const bool mixing = mixed_applies(plane) && mixed_valid(weights);
        const auto trial = [&](unsigned id, const unsigned char *of, double margin,
                               const unsigned char *serial_samples) {
            Choice other_choice;
            other_choice.id = int(id);
            other_choice.weights = weights;
            Bytes other;
            if (!code_residuals(plane, of, other, serial_samples, entropy::lanes)) return false;
            if ((serial_samples && options.serial_always) ||
                double(coded_size(other_choice, other)) <
                    margin * double(coded_size(choice, section))) {
                section.swap(other);
                choice = other_choice;
            }
            return true;
        };
        Scratch fitted_residuals, mixed_residuals_of(mixing ? n * es : 0);
        const unsigned char *fitted_of = residuals.data();
        if (choice.id != int(linear)) {
            fitted_residuals.resize(n * es);
            linear_residuals(weights, plane, samples, fitted_residuals.data());
            fitted_of = fitted_residuals.data();
        }
        if (mixing) mixed_residuals(weights, plane, samples, mixed_residuals_of.data());
        if ((mixing && !trial(mixed, mixed_residuals_of.data(), mixed_margin, nullptr)) ||
            !trial(serial_linear, fitted_of, serial_margin, samples) ||
            (mixing && !trial(serial_mixed, mixed_residuals_of.data(), serial_margin, samples)))
            return too_long();
    }
    // Noise gains nothing from modelling: it is stored as it is, so the
    // chain never takes more than the samples themselves.
    if (section.size() >= n * es && !(options.serial_always && serial(unsigned(choice.id)))) {
        write_stored(out, samples, n * es);
        return true;
    }
    out.u8(unsigned(choice.id) | wide_flag);
    if (fitted(unsigned(choice.id))) write_weights(out, choice.weights);
    out.bytes(section.data(), section.size());
    return true;
}

bool decode_context_rans(Reader &in, const Plane &plane, unsigned char *out, Error &err) {
    const uint64_t n = plane.count, es = plane.elem_size, width = plane.width;
    unsigned predictor = 0;
    if (!in.u8(predictor, "predictor", err)) return false;
    if (predictor == stored) return read_stored(in, n * es, out, err);
    const bool wide = predictor & wide_flag;
    predictor &= ~wide_flag;
    LinearWeights weights;
    // The flag on the stored samples (0) is no predictor either, and serial
    // contexts came with wide ones.
    const bool trained = fitted(predictor), in_order = serial(predictor);
    if ((!trained && !known_predictor(predictor)) || (in_order && !wide))
        return err.set("corrupt tile: the context chain's predictor is unknown");
    if (trained) {
        if (!mixes(predictor) && !linear_applies(plane))
            return err.set("corrupt tile: the linear predictor takes integers of up to 32 bits");
        if (mixes(predictor) && !mixed_applies(plane))
            return err.set("corrupt tile: the mixed predictor takes integers of up to 16 bits");
        if (!read_weights(in, weights, err)) return false;
        if (mixes(predictor) ? !mixed_valid(weights) : !linear_valid(weights))
            return err.set("corrupt tile: the linear predictor's weights are out of range");
    }
    CodedStreams streams;
    if (!read_streams(in, in_order ? serial_contexts : contexts, alphabet_for(es), !in_order,
                      streams, err))
        return false;
    const entropy::Tables &tables = streams.tables;
    entropy::DecodeTable table;
    table.build(tables);
    entropy::Decoder tokens_in;
    if (!start_tokens(tokens_in, streams, entropy::lanes, err)) return false;
    BitReader bits(streams.raw, streams.raw_size);
    if (in_order) {
        bool beyond = false;
        with_sample_type(plane.dtype, [&]<class S>() {
            SerialResiduals<S> source(table, tokens_in, bits, tables.alphabet, width, out);
            if (mixes(predictor))
                mixed_rebuild(weights, plane, source, out);
            else
                linear_rebuild(weights, plane, source, out);
            beyond = source.finish();
        });
        return check_streams(bits, tokens_in, beyond, err);
    }
    // Where the rebuild may run in place (the fitted predictor, the deltas,
    // the average), the residuals go straight into `out`, and where there
    // is no predictor they are the samples: no second tile, no copy.
    const bool in_place = predictor == linear || predictor == identity ||
                          predictor == VARDA_CHAIN_DELTA_W || predictor == VARDA_CHAIN_DELTA_N ||
                          predictor == VARDA_CHAIN_AVERAGE;
    Scratch scratch(in_place ? 0 : n * es);
    unsigned char *residuals = in_place ? out : scratch.data();
    const bool zigzagged = predictor != identity;
    // Only the rows above matter for the contexts.
    std::vector<uint8_t> ctx(width), above(width), above2(width), row(width);
    bool beyond = false; // a token the tables do not hold
    with_width(es, 0, [&]<Element T>() {
        for (uint64_t row_start = 0; row_start < n && bits.within(); row_start += width) {
            const uint8_t *up = row_start ? above.data() : nullptr;
            if (wide)
                wide_row_contexts(up, row_start >= 2 * width ? above2.data() : up, width,
                                  ctx.data());
            else
                row_contexts(up, width, ctx.data());
            tokens_in.decode_row(table, ctx.data(), width, row.data());
            unsigned char *dst = residuals + row_start * es;
            beyond |= zigzagged
                          ? residual_row<T, true>(row.data(), width, tables.alphabet, bits, dst)
                          : residual_row<T, false>(row.data(), width, tables.alphabet, bits, dst);
            above2.swap(above);
            above.swap(row);
        }
        return 0;
    });
    if (!check_streams(bits, tokens_in, beyond, err)) return false;
    if (predictor == linear) // in place: the strips rebuild it the same, vectorised
        strip_rebuild({false, weights}, plane, out, false);
    else if (predictor == mixed)
        mixed_rebuild(weights, plane, residuals, out);
    else if (zigzagged)
        predictor_of(int(predictor)).decode(out, residuals, width, n, es);
    return true;
}

} // namespace varda::codec
