#include "entropy/rans.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>

#include "entropy/bits.h"

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

// The top bit of the contexts' byte marks tables in bits.
constexpr unsigned compact_flag = 0x80;
// A bit length's change from the last one is at most this, either way.
constexpr unsigned most_change = precision_bits;

// Bits for a symbol index or a context's length, 1 .. alphabet.
unsigned index_bits(unsigned alphabet) { return unsigned(std::bit_width(alphabet)); }
// Bits for one of `owners` earlier tables.
unsigned owner_bits(size_t owners) { return owners > 1 ? unsigned(std::bit_width(owners - 1)) : 0; }

// A frequency with `precision` bits below its leading one, to the nearest.
uint32_t rounded(uint32_t freq, unsigned precision) {
    const unsigned length = unsigned(std::bit_width(freq));
    if (length <= precision + 1) return freq;
    const unsigned drop = length - 1 - precision;
    return ((freq + (uint32_t(1) << (drop - 1))) >> drop) << drop;
}

// Small numbers in Elias gamma of v + 1: the length's zeros, then v + 1
// from its leading one down.
void put_gamma(BitWriter &bits, unsigned v) {
    const unsigned length = unsigned(std::bit_width(v + 1));
    bits.put(0, length - 1);
    for (unsigned k = length; k-- > 0;) bits.put((v + 1) >> k & 1, 1);
}

bool take_gamma(BitReader::Cursor &in, unsigned most, unsigned &v) {
    const unsigned longest = unsigned(std::bit_width(most + 1));
    unsigned zeros = 0;
    while (in.take(1) == 0)
        if (++zeros >= longest) return false;
    unsigned value = 1;
    for (unsigned k = 0; k < zeros; ++k) value = value << 1 | unsigned(in.take(1));
    v = value - 1;
    return v <= most;
}

unsigned zigzag_change(int change) {
    return change < 0 ? 2 * unsigned(-change) - 1 : 2 * unsigned(change);
}
int unzigzag_change(unsigned v) { return v & 1 ? -int((v + 1) / 2) : int(v / 2); }

void put_table_bits(const Tables &t, BitWriter &bits) {
    const unsigned width = index_bits(t.alphabet);
    bits.put(t.precision, 4);
    unsigned first_length = 8;    // where each context's first change starts from
    std::vector<unsigned> owners; // the contexts with tables of their own so far
    for (unsigned c = 0; c < t.contexts; ++c) {
        if (!t.used[c]) continue;
        const bool shares = !t.owns(c);
        bits.put(shares, 1);
        if (shares) {
            const auto at = std::find(owners.begin(), owners.end(), unsigned(t.owner[c]));
            bits.put(unsigned(at - owners.begin()), owner_bits(owners.size()));
            continue;
        }
        owners.push_back(c);
        const uint16_t *freq = t.freq.data() + size_t(c) * t.alphabet;
        unsigned last = t.alphabet;
        while (last > 1 && freq[last - 1] == 0 && last - 1 != t.rest[c]) --last;
        bits.put(last - 1, width);
        bits.put(t.rest[c], width);
        unsigned previous = first_length;
        bool first = true;
        for (unsigned s = 0; s < last; ++s) {
            if (s == t.rest[c]) continue;
            const unsigned length = unsigned(std::bit_width(unsigned(freq[s])));
            put_gamma(bits, zigzag_change(int(length) - int(previous)));
            if (first) first_length = length, first = false;
            previous = length;
            if (length > 1) {
                const unsigned kept = std::min(length - 1, t.precision);
                bits.put((freq[s] >> (length - 1 - kept)) & ((1u << kept) - 1), kept);
            }
        }
    }
}

// The tables' bit block, padded to a byte.
Scratch table_block(const Tables &t) {
    Scratch block;
    BitWriter bits(block, 64 * (t.contexts * (t.alphabet + 2) + 1));
    put_table_bits(t, bits);
    bits.flush();
    return block;
}

// What the merging of contexts weighs: a histogram's coded size in bits,
// with a rough cost of its table, and what a context that shares a table
// pays to say so.
constexpr double table_bits_per_symbol = 6, table_bits_fixed = 16, share_bits = 5;

double histogram_bits(const uint64_t *h, unsigned alphabet) {
    uint64_t n = 0;
    unsigned last = 0;
    for (unsigned s = 0; s < alphabet; ++s)
        if (h[s]) n += h[s], last = s + 1;
    double bits = table_bits_fixed + table_bits_per_symbol * last;
    for (unsigned s = 0; s < alphabet; ++s)
        if (h[s]) bits += double(h[s]) * std::log2(double(n) / double(h[s]));
    return bits;
}

// Each context's owner: greedily, the two groups of contexts whose merging
// saves most merge, while any merging saves.
std::vector<uint8_t> cluster(const std::vector<uint32_t> &counts, unsigned contexts,
                             unsigned alphabet) {
    struct Group {
        std::vector<uint64_t> h;
        double bits;
        unsigned first; // its lowest context, the owner
    };
    std::vector<Group> groups;
    std::vector<unsigned> group_of(contexts, 0);
    for (unsigned c = 0; c < contexts; ++c) {
        const uint32_t *row = counts.data() + size_t(c) * alphabet;
        if (std::all_of(row, row + alphabet, [](uint32_t k) { return k == 0; })) continue;
        group_of[c] = unsigned(groups.size());
        groups.push_back({std::vector<uint64_t>(row, row + alphabet), 0, c});
        groups.back().bits = histogram_bits(groups.back().h.data(), alphabet);
    }
    const size_t g = groups.size();
    std::vector<double> saving(g * g, 0);
    std::vector<uint64_t> both(alphabet);
    const auto merged_saving = [&](size_t i, size_t j) {
        for (unsigned s = 0; s < alphabet; ++s) both[s] = groups[i].h[s] + groups[j].h[s];
        return groups[i].bits + groups[j].bits - histogram_bits(both.data(), alphabet) - share_bits;
    };
    std::vector<bool> live(g, true);
    for (size_t i = 0; i < g; ++i)
        for (size_t j = i + 1; j < g; ++j) saving[i * g + j] = merged_saving(i, j);
    for (;;) {
        size_t bi = 0, bj = 0;
        double best = 0;
        for (size_t i = 0; i < g; ++i)
            for (size_t j = i + 1; j < g && live[i]; ++j)
                if (live[j] && saving[i * g + j] > best) best = saving[i * g + j], bi = i, bj = j;
        if (best <= 0) break;
        for (unsigned s = 0; s < alphabet; ++s) groups[bi].h[s] += groups[bj].h[s];
        groups[bi].bits = histogram_bits(groups[bi].h.data(), alphabet);
        live[bj] = false;
        for (unsigned c = 0; c < contexts; ++c)
            if (group_of[c] == bj) group_of[c] = unsigned(bi);
        for (size_t k = 0; k < g; ++k)
            if (live[k] && k != bi)
                saving[std::min(k, bi) * g + std::max(k, bi)] =
                    merged_saving(std::min(k, bi), std::max(k, bi));
    }
    std::vector<uint8_t> owner(contexts);
    for (unsigned c = 0; c < contexts; ++c) owner[c] = uint8_t(c);
    // Each group began as one used context; it now owns what it joined.
    for (const Group &group : groups)
        owner[group.first] = uint8_t(groups[group_of[group.first]].first);
    return owner;
}

} // namespace

Tables fit(const std::vector<uint32_t> &counts, unsigned contexts, unsigned alphabet) {
    // The counts of contexts that share a table gather in their owner's.
    const std::vector<uint8_t> owner = cluster(counts, contexts, alphabet);
    std::vector<uint32_t> gathered = counts;
    // Only used contexts join another's table.
    const auto sharer = [&](unsigned c) { return owner[c] != c; };
    for (unsigned c = 0; c < contexts; ++c) {
        if (!sharer(c)) continue;
        for (unsigned s = 0; s < alphabet; ++s) {
            gathered[size_t(owner[c]) * alphabet + s] += counts[size_t(c) * alphabet + s];
            gathered[size_t(c) * alphabet + s] = 0;
        }
    }
    Tables exact = normalise(gathered, contexts, alphabet);
    exact.owner = owner;
    for (unsigned c = 0; c < contexts; ++c)
        if (sharer(c)) exact.used[c] = 1;
    Tables best;
    double best_bits = 0;
    // The tables grow and the symbols shrink with the precision: their sum
    // falls to a minimum and then rises, so the search stops once it has
    // risen twice.
    unsigned rises = 0;
    for (unsigned precision = 0; precision <= Tables::max_precision && rises < 2; ++precision) {
        Tables t = exact;
        t.precision = precision;
        t.rest.assign(contexts, 0);
        double bits = 0;
        bool fits = true;
        for (unsigned c = 0; c < contexts; ++c) {
            if (!t.used[c] || !t.owns(c)) continue;
            uint16_t *freq = t.freq.data() + size_t(c) * alphabet;
            const uint32_t *count = gathered.data() + size_t(c) * alphabet;
            const unsigned rest = unsigned(std::max_element(freq, freq + alphabet) - freq);
            uint32_t sum = 0;
            for (unsigned s = 0; s < alphabet; ++s) {
                if (s == rest) continue;
                freq[s] = uint16_t(rounded(freq[s], precision));
                sum += freq[s];
            }
            // The symbol left out keeps at least half what it had.
            fits = sum < total && total - sum >= (exact.freq[size_t(c) * alphabet + rest] + 1u) / 2;
            if (!fits) break;
            freq[rest] = uint16_t(total - sum);
            t.rest[c] = uint8_t(rest);
            for (unsigned s = 0; s < alphabet; ++s)
                if (count[s])
                    bits += double(count[s]) * (precision_bits - std::log2(double(freq[s])));
        }
        if (!fits) continue;
        bits += 8.0 * double(table_block(t).size());
        if (best.contexts == 0 || bits < best_bits) {
            best = std::move(t), best_bits = bits, rises = 0;
            best.estimated_bits = bits;
        } else {
            ++rises;
        }
    }
    for (unsigned c = 0; c < contexts; ++c)
        if (sharer(c))
            std::copy_n(best.freq.data() + size_t(owner[c]) * alphabet, alphabet,
                        best.freq.data() + size_t(c) * alphabet);
    return best;
}

void write_tables(const Tables &tables, Writer &out) {
    out.u8(tables.alphabet);
    out.u8(tables.contexts | compact_flag);
    for (unsigned c = 0; c < tables.contexts; c += 8) {
        unsigned bits = 0;
        for (unsigned k = 0; k < 8 && c + k < tables.contexts; ++k)
            bits |= unsigned(tables.used[c + k] != 0) << k;
        out.u8(bits);
    }
    const Scratch block = table_block(tables);
    // At most 130 symbols of 20 bits in each of a few contexts: a few
    // kilobytes, well within the 16-bit length.
    out.u16(uint16_t(block.size()));
    out.bytes(block.data(), block.size());
}

namespace {

// The earlier form: each used context's length, then its frequencies in
// full.
bool read_full_tables(Reader &in, Tables &tables, Error &err) {
    const unsigned alphabet = tables.alphabet;
    for (unsigned c = 0; c < tables.contexts; ++c) {
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

bool read_table_bits(Reader &in, Tables &tables, Error &err) {
    unsigned size = 0;
    const unsigned char *data = nullptr;
    if (!in.u16(size, "frequency tables", err) || !in.bytes(data, size, "frequency tables", err))
        return false;
    const auto corrupt = [&] {
        return err.set("corrupt tile: the frequency tables are malformed");
    };
    BitReader bits(data, size);
    BitReader::Cursor at = bits.cursor();
    const unsigned alphabet = tables.alphabet, width = index_bits(alphabet);
    // A symbol reads at most 9 + 11 bits, so checking the position every
    // 64 symbols, and once per context, keeps every read within the
    // reader's slack.
    const auto within = [&] {
        bits.seek(at);
        return bits.within();
    };
    const auto truncated = [&] {
        return err.set("truncated tile: the blob ends inside the frequency tables");
    };
    const unsigned precision = unsigned(at.take(4));
    if (precision > Tables::max_precision) return corrupt();
    unsigned first_length = 8;
    std::vector<unsigned> owners;
    tables.owner.resize(tables.contexts);
    for (unsigned c = 0; c < tables.contexts; ++c) {
        tables.owner[c] = uint8_t(c);
        if (!tables.used[c]) continue;
        uint16_t *freq = tables.freq.data() + size_t(c) * alphabet;
        if (at.take(1)) { // the table of an earlier context
            const size_t which = size_t(at.take(owner_bits(owners.size())));
            if (which >= owners.size()) return corrupt();
            tables.owner[c] = uint8_t(owners[which]);
            std::copy_n(tables.freq.data() + size_t(owners[which]) * alphabet, alphabet, freq);
            continue;
        }
        owners.push_back(c);
        const unsigned last = unsigned(at.take(width)) + 1, rest = unsigned(at.take(width));
        if (last > alphabet || rest >= last) return corrupt();
        uint32_t sum = 0;
        unsigned previous = first_length;
        bool first = true;
        for (unsigned s = 0; s < last; ++s) {
            if (s == rest) continue;
            if (s % 64 == 63 && !within()) return truncated();
            unsigned change = 0;
            if (!take_gamma(at, 2 * most_change, change)) return corrupt();
            const int length = int(previous) + unzigzag_change(change);
            if (length < 0 || length > int(precision_bits)) return corrupt();
            if (first) first_length = unsigned(length), first = false;
            previous = unsigned(length);
            uint32_t value = length ? uint32_t(1) << (length - 1) : 0;
            if (length > 1) {
                const unsigned kept = std::min(unsigned(length) - 1, precision);
                value |= uint32_t(at.take(kept)) << (unsigned(length) - 1 - kept);
            }
            freq[s] = uint16_t(value);
            sum += value;
        }
        if (!within()) return truncated();
        if (sum >= total) return err.set("corrupt tile: a context's frequencies do not add up");
        freq[rest] = uint16_t(total - sum);
    }
    // The block holds the tables and nothing more.
    if (!within()) return truncated();
    if (bits.unread_bytes() != 0) return corrupt();
    return true;
}

} // namespace

bool read_tables(Reader &in, unsigned contexts, unsigned max_alphabet, bool earlier_form,
                 Tables &tables, Error &err) {
    unsigned alphabet = 0, stored_contexts = 0;
    if (!in.u8(alphabet, "frequency tables", err) ||
        !in.u8(stored_contexts, "frequency tables", err))
        return false;
    if (alphabet == 0 || alphabet > max_alphabet)
        return err.set("corrupt tile: the token alphabet is out of range");
    const bool compact = (stored_contexts & compact_flag) != 0;
    if ((stored_contexts & ~compact_flag) != contexts || (!compact && !earlier_form))
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
    return compact ? read_table_bits(in, tables, err) : read_full_tables(in, tables, err);
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

// x is moved up so that the quotient is the product's high word: a shift
// before the multiply rather than a double-word shift after it, which is
// slow on some processors and sits in the state's chain either way.
inline uint32_t divide(uint32_t x, uint64_t reciprocal) {
    return uint32_t((wide_product(uint64_t(x) << (64 - reciprocal_bits)) * reciprocal) >> 64);
}

} // namespace

namespace {

template <unsigned Lanes>
void encode_in(const Tables &tables, const uint8_t *symbols, const uint8_t *contexts,
               uint64_t count, uint64_t width, Bytes &out, bool only_used) {
    // Per context and symbol: the frequency's reciprocal, the state from
    // which a word moves out first, and what a step adds to the state
    // besides the quotient times total - freq (x = q total + x mod freq +
    // start is x + q (total - freq) + start).
    struct Symbol {
        uint64_t reciprocal, limit;
        uint32_t complement, start;
    };
    std::vector<Symbol> table(tables.freq.size());
    for (unsigned c = 0; c < tables.contexts; ++c) {
        uint32_t running = 0;
        for (unsigned s = 0; s < tables.alphabet; ++s) {
            const uint32_t freq = tables.freq[size_t(c) * tables.alphabet + s];
            table[size_t(c) * tables.alphabet + s] = {freq ? reciprocal_of(freq) : 0,
                                                      uint64_t(freq) << (32 - precision_bits),
                                                      total - freq, running};
            running += freq;
        }
    }
    // Words come out last symbol first; the decoder wants them the other
    // way round. A symbol moves at most one word out.
    std::vector<uint16_t, UninitializedAllocator<uint16_t>> words(static_cast<size_t>(count));
    size_t emitted = 0;
    uint32_t x[Lanes];
    for (uint32_t &state : x) state = state_low;
    const auto put = [&](uint32_t &state, uint64_t i) {
        const Symbol &sym = table[size_t(contexts[i]) * tables.alphabet + symbols[i]];
        const bool full = state >= sym.limit;
        words[emitted] = uint16_t(state);
        emitted += full;
        state = __builtin_expect_with_probability(full, 1, 0.5) ? state >> 16 : state; // no jump
        state += divide(state, sym.reciprocal) * sym.complement + sym.start;
    };
    // Rows from the last, each from its end: first the lanes of its ragged
    // group, then whole groups, the last lane down to lane 0.
    for (uint64_t row_end = count; row_end > 0;) {
        const uint64_t row_start = row_end - ((row_end - 1) % width + 1);
        uint64_t i = row_end;
        for (unsigned lane = unsigned((row_end - row_start) % Lanes); lane-- > 0;)
            put(x[lane], --i);
        while (i > row_start) {
#pragma GCC unroll 16
            for (unsigned k = 0; k < Lanes; ++k) put(x[Lanes - 1 - k], --i);
        }
        row_end = row_start;
    }
    const unsigned stored = only_used && width < Lanes ? unsigned(width) : Lanes;
    out.resize(4 * size_t(stored) + 2 * emitted);
    unsigned char *at = out.data();
    for (unsigned lane = 0; lane < stored; ++lane)
        for (int k = 0; k < 4; ++k) *at++ = static_cast<unsigned char>(x[lane] >> (8 * k));
    for (size_t k = emitted; k-- > 0;) {
        *at++ = static_cast<unsigned char>(words[k]);
        *at++ = static_cast<unsigned char>(words[k] >> 8);
    }
}

} // namespace

void encode(const Tables &tables, const uint8_t *symbols, const uint8_t *contexts, uint64_t count,
            uint64_t width, Bytes &out, unsigned state_count, bool only_used) {
    if (state_count == widest_lanes)
        encode_in<widest_lanes>(tables, symbols, contexts, count, width, out, only_used);
    else if (state_count == wide_lanes)
        encode_in<wide_lanes>(tables, symbols, contexts, count, width, out, only_used);
    else
        encode_in<lanes>(tables, symbols, contexts, count, width, out, only_used);
}

void DecodeTable::build(const Tables &tables) {
    unsigned owned = 0;
    for (unsigned c = 0; c < tables.contexts; ++c) owned += tables.used[c] && tables.owns(c);
    slots.assign(size_t(owned + 1) * total, missing);
    std::fill(std::begin(block), std::end(block), uint8_t(0));
    unsigned next = 1;
    for (unsigned c = 0; c < tables.contexts; ++c) {
        if (!tables.used[c]) continue;
        if (!tables.owns(c)) { // an earlier context, whose table is built
            block[c] = block[tables.owner[c]];
            continue;
        }
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
