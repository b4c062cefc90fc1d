#include "entropy/rans.h"

#include <algorithm>
#include <cstdio>

namespace varda::codec::entropy {

Tables normalise(const std::vector<uint32_t> &counts, unsigned contexts, unsigned alphabet) {
    Tables t;
    t.alphabet = alphabet;
    t.contexts = contexts;
    t.freq.assign(size_t(contexts) * alphabet, 0);
    t.used.assign(contexts, 0);
    for (unsigned c = 0; c < contexts; ++c) {
        const uint32_t *count = counts.data() + size_t(c) * alphabet;
        uint16_t *freq = t.freq.data() + size_t(c) * alphabet;
        uint64_t sum = 0;
        for (unsigned s = 0; s < alphabet; ++s) sum += count[s];
        if (sum == 0) continue;
        t.used[c] = 1;
        uint32_t assigned = 0;
        unsigned largest = 0;
        for (unsigned s = 0; s < alphabet; ++s) {
            if (count[s] == 0) continue;
            const uint64_t scaled = uint64_t(count[s]) * total / sum;
            freq[s] = uint16_t(std::max<uint64_t>(scaled, 1));
            assigned += freq[s];
            if (count[s] > count[largest]) largest = s;
        }
        // Rounding leaves the sum off by a little; the most frequent symbol
        // absorbs it, and when that is not enough (many rare symbols pushed
        // up to 1) the next largest give up what they can.
        if (assigned < total) {
            freq[largest] = uint16_t(freq[largest] + (total - assigned));
        } else {
            uint32_t excess = assigned - total;
            while (excess > 0) {
                unsigned richest = 0;
                for (unsigned s = 1; s < alphabet; ++s)
                    if (freq[s] > freq[richest]) richest = s;
                const uint32_t take = std::min<uint32_t>(excess, freq[richest] - 1u);
                freq[richest] = uint16_t(freq[richest] - take);
                excess -= take;
            }
        }
    }
    return t;
}

namespace {

void put_varint(uint32_t value, Writer &out) {
    while (value >= 0x80) {
        out.u8((value & 0x7F) | 0x80);
        value >>= 7;
    }
    out.u8(value);
}

bool get_varint(Reader &in, uint32_t &value, Error &err) {
    value = 0;
    for (unsigned shift = 0; shift < 14; shift += 7) {
        unsigned byte = 0;
        if (!in.u8(byte, "frequency tables", err)) return false;
        value |= uint32_t(byte & 0x7F) << shift;
        if (!(byte & 0x80)) return true;
    }
    return err.set("corrupt tile: a frequency is above the table's total");
}

} // namespace

void write_tables(const Tables &tables, Writer &out) {
    out.u8(tables.alphabet);
    out.u8(tables.contexts);
    for (unsigned c = 0; c < tables.contexts; c += 8) {
        unsigned bits = 0;
        for (unsigned k = 0; k < 8 && c + k < tables.contexts; ++k)
            bits |= unsigned(tables.used[c + k] != 0) << k;
        out.u8(bits);
    }
    for (unsigned c = 0; c < tables.contexts; ++c) {
        if (!tables.used[c]) continue;
        // Trailing zeros are implied: a context's table ends at its last
        // symbol.
        unsigned last = tables.alphabet;
        while (last > 0 && tables.freq[size_t(c) * tables.alphabet + last - 1] == 0) --last;
        out.u8(last);
        for (unsigned s = 0; s < last; ++s)
            put_varint(tables.freq[size_t(c) * tables.alphabet + s], out);
    }
}

bool read_tables(Reader &in, unsigned contexts, unsigned max_alphabet, Tables &tables, Error &err) {
    unsigned alphabet = 0, stored_contexts = 0;
    if (!in.u8(alphabet, "frequency tables", err) ||
        !in.u8(stored_contexts, "frequency tables", err))
        return false;
    if (alphabet == 0 || alphabet > max_alphabet)
        return err.set("corrupt tile: the token alphabet is out of range");
    if (stored_contexts != contexts)
        return err.set("corrupt tile: the number of contexts is not the chain's");
    tables.alphabet = alphabet;
    tables.contexts = contexts;
    tables.freq.assign(size_t(contexts) * alphabet, 0);
    tables.used.assign(contexts, 0);
    for (unsigned c = 0; c < contexts; c += 8) {
        unsigned bits = 0;
        if (!in.u8(bits, "frequency tables", err)) return false;
        for (unsigned k = 0; k < 8; ++k) {
            if (!(bits >> k & 1)) continue;
            if (c + k >= contexts)
                return err.set("corrupt tile: a context beyond the last is used");
            tables.used[c + k] = 1;
        }
    }
    for (unsigned c = 0; c < contexts; ++c) {
        if (!tables.used[c]) continue;
        unsigned last = 0;
        if (!in.u8(last, "frequency tables", err)) return false;
        if (last == 0 || last > alphabet)
            return err.set("corrupt tile: a context's table is longer than the alphabet");
        uint32_t sum = 0;
        for (unsigned s = 0; s < last; ++s) {
            uint32_t value = 0;
            if (!get_varint(in, value, err)) return false;
            if (value > total)
                return err.set("corrupt tile: a frequency is above the table's total");
            sum += value;
            tables.freq[size_t(c) * alphabet + s] = uint16_t(value);
        }
        if (sum != total) return err.set("corrupt tile: a context's frequencies do not add up");
    }
    return true;
}

namespace {

// x / freq for a 32-bit x and a frequency of at most `total`, as a multiply
// by the rounded-up reciprocal: with 44 bits below the point the error
// stays under one part in 2^12 of a quotient step, so the result is exact.
__extension__ typedef unsigned __int128 wide_product;
constexpr unsigned reciprocal_bits = 32 + precision_bits;

inline uint64_t reciprocal_of(uint32_t freq) {
    return ((uint64_t(1) << reciprocal_bits) + freq - 1) / freq;
}

inline uint32_t divide(uint32_t x, uint64_t reciprocal) {
    return uint32_t((wide_product(x) * reciprocal) >> reciprocal_bits);
}

} // namespace

void encode(const Tables &tables, const uint8_t *symbols, const uint8_t *contexts, uint64_t count,
            uint64_t width, Bytes &out) {
    // Per context and symbol: frequency, cumulative frequency and the
    // frequency's reciprocal.
    struct Symbol {
        uint64_t reciprocal;
        uint32_t freq, start;
    };
    std::vector<Symbol> table(tables.freq.size());
    for (unsigned c = 0; c < tables.contexts; ++c) {
        uint32_t running = 0;
        for (unsigned s = 0; s < tables.alphabet; ++s) {
            const uint32_t freq = tables.freq[size_t(c) * tables.alphabet + s];
            table[size_t(c) * tables.alphabet + s] = {freq ? reciprocal_of(freq) : 0, freq,
                                                      running};
            running += freq;
        }
    }
    // Words come out last symbol first; the decoder wants them the other
    // way round. A symbol moves at most one word out.
    std::vector<uint16_t> words(static_cast<size_t>(count));
    size_t emitted = 0;
    uint32_t x0 = state_low, x1 = state_low, x2 = state_low, x3 = state_low;
    const auto put = [&](uint32_t &x, uint64_t i) {
        const Symbol &sym = table[size_t(contexts[i]) * tables.alphabet + symbols[i]];
        const bool full = uint64_t(x) >= uint64_t(sym.freq) << (32 - precision_bits);
        words[emitted] = uint16_t(x);
        emitted += full;
        x = __builtin_expect_with_probability(full, 1, 0.5) ? x >> 16 : x; // no jump
        const uint32_t q = divide(x, sym.reciprocal);
        x = (q << precision_bits) + (x - q * sym.freq) + sym.start;
    };
    // Rows from the last, each from its end: first the lanes of its ragged
    // group of fewer than four, then whole groups, lane 3 down to lane 0.
    for (uint64_t row_end = count; row_end > 0;) {
        const uint64_t row_start = row_end - ((row_end - 1) % width + 1);
        uint64_t i = row_end;
        switch ((row_end - row_start) % lanes) {
        case 3: put(x2, --i); [[fallthrough]];
        case 2: put(x1, --i); [[fallthrough]];
        case 1: put(x0, --i); [[fallthrough]];
        default: break;
        }
        while (i > row_start) {
            put(x3, --i);
            put(x2, --i);
            put(x1, --i);
            put(x0, --i);
        }
        row_end = row_start;
    }
    const uint32_t states[lanes] = {x0, x1, x2, x3};
    out.resize(4 * lanes + 2 * emitted);
    unsigned char *at = out.data();
    for (unsigned lane = 0; lane < lanes; ++lane)
        for (int k = 0; k < 4; ++k) *at++ = static_cast<unsigned char>(states[lane] >> (8 * k));
    for (size_t k = emitted; k-- > 0;) {
        *at++ = static_cast<unsigned char>(words[k]);
        *at++ = static_cast<unsigned char>(words[k] >> 8);
    }
}

bool Decoder::start(const unsigned char *data, size_t size) {
    // Whole words after the states, so that the read position never
    // passes the end by one.
    if (size < 4 * lanes || size % 2 != 0) return false;
    bool in_range = true;
    for (unsigned lane = 0; lane < lanes; ++lane) {
        states_[lane] = uint32_t(Reader::read_le(data + 4 * lane, 4));
        in_range &= states_[lane] >= state_low;
    }
    words_.assign(data + 4 * lanes, data + size);
    end_ = words_.size();
    words_.resize(end_ + 2, 0);
    at_ = 0;
    return in_range;
}

void DecodeTable::build(const Tables &tables) {
    unsigned used = 0;
    for (unsigned c = 0; c < tables.contexts; ++c) used += tables.used[c] != 0;
    slots.assign(size_t(used + 1) * total, missing);
    std::fill(std::begin(block), std::end(block), uint8_t(0));
    unsigned next = 1;
    for (unsigned c = 0; c < tables.contexts; ++c) {
        if (!tables.used[c]) continue;
        block[c] = uint8_t(next);
        Slot *slot = slots.data() + size_t(next++) * total;
        uint32_t at = 0;
        for (unsigned s = 0; s < tables.alphabet; ++s) {
            const uint16_t freq = tables.freq[size_t(c) * tables.alphabet + s];
            for (uint32_t k = 0; k < freq; ++k, ++at)
                slot[at] = Slot(freq - 1u) << 20 | Slot(k) << 8 | Slot(s);
        }
    }
}

} // namespace varda::codec::entropy
