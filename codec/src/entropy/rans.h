// A static rANS coder over a few contexts: each context has a frequency
// table (contexts alike may share one), stored with the stream, and the
// decoder turns each slot
// into its symbol with one lookup. Four states interleave so that
// consecutive symbols do not wait on each other; states are 32 bits wide
// and move 16 bits at a time.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "blob.h"

namespace varda::codec::entropy {

constexpr unsigned precision_bits = 12;
constexpr uint32_t total = uint32_t(1) << precision_bits;
constexpr uint32_t state_low = uint32_t(1) << 16;
constexpr unsigned lanes = 4;
constexpr bool little_endian = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;

// Normalised frequencies of one context: `alphabet` entries summing to
// `total`, every symbol seen at least once kept at 1 or more. An unused
// context has an empty table.
struct Tables {
    unsigned alphabet = 0, contexts = 0;
    std::vector<uint16_t> freq; // contexts x alphabet
    std::vector<uint8_t> used;  // per context
    // How tables are stored: each frequency but one per context with this
    // many bits below its leading one (the others zero), the one left out
    // (`rest`) whatever brings the context to `total`.
    unsigned precision = max_precision;
    std::vector<uint8_t> rest; // per context
    // Contexts alike share one table: each used context's owner, the first
    // of those sharing its table (itself when it shares none). Empty for
    // tables in the earlier form, where every context has its own.
    std::vector<uint8_t> owner;
    bool owns(unsigned c) const { return owner.empty() || owner[c] == c; }
    // What fit expects the tables and the symbols they code to take.
    double estimated_bits = 0;
    static constexpr unsigned max_precision = precision_bits - 1; // every frequency exact
};

// Counts per context (contexts x alphabet) to normalised tables.
Tables normalise(const std::vector<uint32_t> &counts, unsigned contexts, unsigned alphabet);
// Tables for these counts as they are stored: contexts whose counts are
// alike enough share a table, and the precision is the one that makes the
// tables and the symbols they code smallest together, each frequency
// rounded to it.
Tables fit(const std::vector<uint32_t> &counts, unsigned contexts, unsigned alphabet);

// Tables as bytes: alphabet, contexts (with the top bit set), a bitmap of
// used contexts, then a bit block of a 16-bit length: the precision, and
// for each used context whether it shares an earlier context's table and
// which, or else its length, the symbol left out and the others'
// frequencies, each as the change in its bit length from the last one and
// its kept bits.
void write_tables(const Tables &tables, Writer &out);
// Reads and checks tables, of that form or, where `earlier_form`, of the
// earlier one (the contexts without the top bit, frequencies in full as
// base-128 numbers): the alphabet no larger than `max_alphabet`, the
// contexts exactly `contexts`, every used table summing to `total`.
bool read_tables(Reader &in, unsigned contexts, unsigned max_alphabet, bool earlier_form,
                 Tables &tables, Error &err);

// Codes symbols[i] in context contexts[i], i = 0 .. count - 1, into `out`:
// the final states, then the 16-bit words in the order the decoder reads
// them. The symbols are rows of `width`: symbol i is coded by state
// (i % width) % state_count, of `lanes` (4), `wide_lanes` (16) or
// `widest_lanes` (32). With `only_used`, the states of lanes that code
// nothing (past a narrow tile's width) are left out.
constexpr unsigned wide_lanes = 16, widest_lanes = 32;
void encode(const Tables &tables, const uint8_t *symbols, const uint8_t *contexts, uint64_t count,
            uint64_t width, Bytes &out, unsigned state_count = lanes, bool only_used = false);

// The decoder's side: one entry per slot of every table, each built once
// however many contexts share it.
struct DecodeTable {
    // freq - 1, slot - cumulative frequency, symbol: 12, 12 and 8 bits from
    // the top, so that a context's table is 16 KiB and the symbol is the
    // low byte. Unused contexts share one table of
    // all-ones slots: symbol 255, which no alphabet reaches, so a stream
    // that visits them is refused once its row is decoded.
    using Slot = uint32_t;
    static constexpr Slot missing = ~Slot(0);
    std::vector<Slot> slots; // the shared missing table, then each owner's
    uint8_t block[256] = {}; // a context's table, in tables of `total`
    void build(const Tables &tables);
};

// The decoder of `Lanes` interleaved states: symbol k of a row goes by
// state k % Lanes. The context chain has four; the lane chain sixteen or
// thirty-two, two or four vectors of eight, so that each state's chain of
// dependent steps runs beside many others.
template <unsigned Lanes> class BasicDecoder {
  public:
    static constexpr unsigned lane_count = Lanes;
    // Takes a copy of the stream with `slack` zero bytes after it, so that
    // renormalisation can read a word (or a vector of them) without a
    // branch. The stream holds the states of the first `stored` lanes (the
    // others start at state_low, as lanes that code nothing end). False
    // when the stream is too short for the states or not whole 16-bit
    // words, or a state is out of range.
    bool start(const unsigned char *data, size_t size, unsigned stored = Lanes) {
        if (stored > Lanes || size < 4 * size_t(stored) || size % 2 != 0) return false;
        bool in_range = true;
        for (unsigned lane = 0; lane < Lanes; ++lane) {
            states_[lane] =
                lane < stored ? uint32_t(Reader::read_le(data + 4 * lane, 4)) : state_low;
            in_range &= states_[lane] >= state_low;
        }
        words_.assign(data + 4 * stored, data + size);
        end_ = words_.size();
        words_.resize(end_ + slack, 0);
        at_ = 0;
        return in_range;
    }
    // The tokens of one row of `width` symbols, symbol k in context
    // contexts[k] and coded by state k % Lanes. Running out of words marks
    // the decoder broken (it then reads zeros), which finished() shows. A
    // slot of a context without a table decodes as symbol 255, beyond every
    // alphabet: the caller refuses it.
    // A row's symbols from `first_lane` on: those of a row whose first ones
    // a vector loop decoded.
    void decode_row(const DecodeTable &table, const uint8_t *contexts, uint64_t width,
                    uint8_t *symbols, unsigned first_lane = 0) {
        // A row takes at most one word per symbol: with that many left, no
        // step needs to look at the end.
        if (far_from_end(width))
            decode_row_in<false>(table, contexts, width, symbols, first_lane);
        else
            decode_row_in<true>(table, contexts, width, symbols, first_lane);
    }
    // One symbol, in `context` and by state `lane`: for decoders whose
    // contexts wait on the symbol before. A row's symbol k goes by state
    // k % Lanes, as in decode_row, which this agrees with step for step.
    uint8_t decode_one(const DecodeTable &table, uint8_t context, unsigned lane) {
        uint32_t &x = states_[lane];
        const DecodeTable::Slot slot =
            table.slots[size_t(table.block[context]) * total + (x & (total - 1))];
        x = ((slot >> 20) + 1) * (x >> precision_bits) + (slot >> 8 & 0xFFF);
        if (x < state_low) {
            if (at_ < end_) {
                x = x << 16 | uint32_t(Reader::read_le(words_.data() + at_, 2));
                at_ += 2;
            } else {
                broken_ = true;
            }
        }
        return uint8_t(slot);
    }
    // Whether the stream ended exactly where the encoder started.
    bool finished() const {
        bool settled = true;
        for (uint32_t state : states_) settled &= state == state_low;
        return !broken_ && at_ == end_ && settled;
    }

    // For vector loops over the lanes: whether `symbols` more steps can
    // read their words with no look at the end, and the state they work on.
    bool far_from_end(uint64_t symbols) const { return at_ <= end_ && end_ - at_ >= 2 * symbols; }
    uint32_t *states() { return states_; }
    const unsigned char *words() const { return words_.data(); }
    size_t &at() { return at_; }
    size_t end() const { return end_; }
    // A vector loop that took words past the end (a corrupt stream) hands
    // the position back here: the decoder is broken and reads no further.
    void overran() {
        broken_ = true;
        at_ = end_;
    }

    // Bytes readable past the stream's end: a vector loop starts a step of
    // every state at or before the end and loads eight words at a time,
    // once for each eight states.
    static constexpr size_t slack = 2 * Lanes < 32 ? 32 : 2 * Lanes;

  private:
    template <bool near_end>
    void decode_row_in(const DecodeTable &table, const uint8_t *contexts, uint64_t width,
                       uint8_t *symbols, unsigned first_lane) {
        // Everything in locals: the stores of symbols may alias any byte.
        uint32_t x[Lanes];
        std::memcpy(x, states_, sizeof x);
        const unsigned char *words = words_.data();
        size_t at = at_;
        const size_t end = end_;
        bool bad = false;
        const DecodeTable::Slot *slots = table.slots.data();
        const uint8_t *block = table.block;
        const auto step = [&](uint32_t &state, uint64_t k) {
            const DecodeTable::Slot slot =
                slots[size_t(block[contexts[k]]) * total + (state & (total - 1))];
            state = ((slot >> 20) + 1) * (state >> precision_bits) + (slot >> 8 & 0xFFF);
            // Renormalised without a branch: whether a word moves in is as
            // good as random, and a mispredicted jump costs more than the
            // arithmetic. The missing table's symbol, 255, is no token, and
            // the caller's check of the symbols finds it.
            bool low = state < state_low;
            if constexpr (near_end) {
                const bool left = at < end;
                bad |= low && !left;
                low = low && left;
            }
            uint16_t word16;
            std::memcpy(&word16, words + at, 2);
            const uint32_t word = little_endian ? word16 : uint32_t(__builtin_bswap16(word16));
            const uint32_t moved = state << 16 | word;
            state = __builtin_expect_with_probability(low, 1, 0.5) ? moved : state;
            at += size_t(low) * 2;
            symbols[k] = uint8_t(slot);
        };
        uint64_t k = 0;
        for (unsigned lane = first_lane; lane < Lanes && k < width && first_lane; ++lane)
            step(x[lane], k++);
        for (; k + Lanes <= width; k += Lanes) {
#pragma GCC unroll 16
            for (unsigned lane = 0; lane < Lanes; ++lane) step(x[lane], k + lane);
        }
        for (unsigned lane = 0; k < width; ++lane) step(x[lane], k++);
        std::memcpy(states_, x, sizeof x);
        at_ = at;
        broken_ |= bad;
    }

    uint32_t states_[Lanes] = {};
    Bytes words_;
    size_t at_ = 0, end_ = 0;
    bool broken_ = false;
};

using Decoder = BasicDecoder<lanes>;

} // namespace varda::codec::entropy
