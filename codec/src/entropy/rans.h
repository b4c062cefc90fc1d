// A static rANS coder over a few contexts: each context has its own
// frequency table, stored with the stream, and the decoder turns each slot
// into its symbol with one lookup. Four states interleave so that
// consecutive symbols do not wait on each other; states are 32 bits wide
// and move 16 bits at a time.
#pragma once

#include <cstdint>
#include <vector>

#include "blob.h"

namespace varda::codec::entropy {

constexpr unsigned precision_bits = 12;
constexpr uint32_t total = uint32_t(1) << precision_bits;
constexpr uint32_t state_low = uint32_t(1) << 16;
constexpr unsigned lanes = 4;

// Normalised frequencies of one context: `alphabet` entries summing to
// `total`, every symbol seen at least once kept at 1 or more. An unused
// context has an empty table.
struct Tables {
    unsigned alphabet = 0, contexts = 0;
    std::vector<uint16_t> freq; // contexts x alphabet
    std::vector<uint8_t> used;  // per context
};

// Counts per context (contexts x alphabet) to normalised tables.
Tables normalise(const std::vector<uint32_t> &counts, unsigned contexts, unsigned alphabet);

// Tables as bytes: alphabet, contexts, a bitmap of used contexts, then each
// used context's frequencies as little-endian base-128 numbers.
void write_tables(const Tables &tables, Writer &out);
// Reads and checks tables: the alphabet no larger than `max_alphabet`, the
// contexts exactly `contexts`, every used table summing to `total`.
bool read_tables(Reader &in, unsigned contexts, unsigned max_alphabet, Tables &tables, Error &err);

// Codes symbols[i] in context contexts[i], i = 0 .. count - 1, into `out`:
// the final states, then the 16-bit words in the order the decoder reads
// them. The symbols are rows of `width`: symbol i is coded by state
// (i % width) % lanes.
void encode(const Tables &tables, const uint8_t *symbols, const uint8_t *contexts, uint64_t count,
            uint64_t width, Bytes &out);

// The decoder's side: one entry per slot of every used context.
struct DecodeTable {
    // freq - 1, slot - cumulative frequency, symbol: 12, 12 and 8 bits, so
    // that a context's table is 16 KiB. Unused contexts share one table of
    // all-ones slots, which no table can hold (bias 4095 needs the whole
    // total on one symbol, whose freq - 1 is then 4095 with symbol < 255).
    using Slot = uint32_t;
    static constexpr Slot missing = ~Slot(0);
    std::vector<Slot> slots; // the shared missing table, then each used one
    uint8_t block[256] = {}; // a context's table, in tables of `total`
    void build(const Tables &tables);
};

class Decoder {
  public:
    // Takes a copy of the stream with two zero bytes after it, so that
    // renormalisation can read a word without a branch. False when the
    // stream is too short for the states.
    bool start(const unsigned char *data, size_t size);
    // The tokens of one row of `width` symbols, symbol k in context
    // contexts[k] and coded by state k % lanes. Running out of words marks
    // the decoder overrun (it then reads zeros), and a slot of a context
    // without a table marks it broken; both show in finished().
    void decode_row(const DecodeTable &table, const uint8_t *contexts, uint64_t width,
                    uint8_t *symbols) {
        // Everything in locals: the stores of symbols may alias any byte.
        uint32_t x0 = states_[0], x1 = states_[1], x2 = states_[2], x3 = states_[3];
        const unsigned char *words = words_.data();
        size_t at = at_;
        const size_t end = end_;
        bool bad = false;
        const DecodeTable::Slot *slots = table.slots.data();
        const auto step = [&](uint32_t &x, uint64_t k) {
            const DecodeTable::Slot slot =
                slots[size_t(table.block[contexts[k]]) * total + (x & (total - 1))];
            bad |= slot == DecodeTable::missing;
            x = ((slot & 0xFFF) + 1) * (x >> precision_bits) + (slot >> 12 & 0xFFF);
            const bool low = x < state_low, left = at < end;
            const uint32_t word = uint32_t(words[at]) | uint32_t(words[at + 1]) << 8;
            x = low ? x << 16 | word : x;
            bad |= low && !left;
            at += size_t(low && left) * 2;
            symbols[k] = uint8_t(slot >> 24);
        };
        uint64_t k = 0;
        for (; k + 4 <= width; k += 4) {
            step(x0, k);
            step(x1, k + 1);
            step(x2, k + 2);
            step(x3, k + 3);
        }
        if (k < width) step(x0, k++);
        if (k < width) step(x1, k++);
        if (k < width) step(x2, k++);
        states_[0] = x0, states_[1] = x1, states_[2] = x2, states_[3] = x3;
        at_ = at;
        broken_ |= bad;
    }
    // Whether the stream ended exactly where the encoder started.
    bool finished() const {
        bool settled = true;
        for (uint32_t state : states_) settled &= state == state_low;
        return !broken_ && at_ == end_ && settled;
    }

  private:
    uint32_t states_[lanes] = {};
    Bytes words_;
    size_t at_ = 0, end_ = 0;
    bool broken_ = false;
};

} // namespace varda::codec::entropy
