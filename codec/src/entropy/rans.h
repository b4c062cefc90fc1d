// A static rANS coder over a few contexts: each context has its own
// frequency table, stored with the stream, and the decoder turns each slot
// into its symbol with one lookup. Two states interleave so that
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
// the two final states, then the 16-bit words in the order the decoder
// reads them.
void encode(const Tables &tables, const uint8_t *symbols, const uint8_t *contexts, uint64_t count,
            Bytes &out);

// The decoder's side: one entry per slot of every used context.
struct DecodeTable {
    struct Slot {
        uint16_t freq, bias; // bias = slot - cumulative frequency
        uint8_t symbol;
    };
    std::vector<Slot> slots; // contexts x total
    std::vector<uint8_t> used;
    void build(const Tables &tables);
};

class Decoder {
  public:
    // False when the stream is too short for the two states.
    bool start(const unsigned char *data, size_t size) {
        if (size < 8) return false;
        states_[0] = uint32_t(Reader::read_le(data, 4));
        states_[1] = uint32_t(Reader::read_le(data + 4, 4));
        at_ = data + 8;
        end_ = data + size;
        return states_[0] >= state_low && states_[1] >= state_low;
    }
    // The symbol in a slot of `context`, coded by state `lane` (0 or 1).
    // Running out of words marks the decoder overrun; it then reads zeros.
    // Either fault shows in finished().
    uint8_t next(const DecodeTable::Slot *context, unsigned lane) {
        uint32_t x = states_[lane];
        const DecodeTable::Slot &slot = context[x & (total - 1)];
        x = uint32_t(slot.freq) * (x >> precision_bits) + slot.bias;
        broken_ |= slot.freq == 0; // a context the stream has no table for
        if (x < state_low) {
            uint32_t word = 0;
            if (end_ - at_ >= 2) {
                word = uint32_t(at_[0]) | uint32_t(at_[1]) << 8;
                at_ += 2;
            } else {
                overrun_ = true;
            }
            x = x << 16 | word;
        }
        states_[lane] = x;
        return slot.symbol;
    }
    // Whether the stream ended exactly where the encoder started.
    bool finished() const {
        return !overrun_ && !broken_ && at_ == end_ && states_[0] == state_low && states_[1] == state_low;
    }

  private:
    uint32_t states_[2] = {};
    const unsigned char *at_ = nullptr, *end_ = nullptr;
    bool overrun_ = false, broken_ = false;
};

} // namespace varda::codec::entropy
