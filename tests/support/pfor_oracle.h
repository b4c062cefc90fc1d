// PFOR blocks built straight from the layout description, one bit at a
// time, and the width choice straight from the cost model: what the
// encoder's bytes are held against, and a way to build blocks the encoder
// never writes.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "support/support.h"

namespace vt {

inline unsigned bit_length(uint64_t v) {
    unsigned n = 0;
    for (; v; v >>= 1) ++n;
    return n;
}

inline void set_bit(unsigned char *base, size_t bit) {
    base[bit / 8] = static_cast<unsigned char>(base[bit / 8] | (1u << (bit % 8)));
}

struct PforChoice {
    unsigned b, n;
};

inline PforChoice ref_pfor_choose(const Elems &v) {
    unsigned a = 0;
    for (size_t i = 0; i < 256; ++i) a = std::max(a, bit_length(v.get(i)));
    PforChoice best{a, 0};
    uint64_t best_cost = 2 + 32 * uint64_t(a);
    for (int c = int(a) - 1; c >= 0; --c) {
        unsigned g = 0;
        for (size_t i = 0; i < 256; ++i) g += bit_length(v.get(i)) > unsigned(c);
        if (g == 256) continue;
        const uint64_t x = a - unsigned(c), high = (g * x + 7) / 8;
        const uint64_t cost = 32 * uint64_t(c) + (g < 32 ? 3 + g : 35) + high + g / 2;
        if (cost < best_cost) best_cost = cost, best = {unsigned(c), g};
    }
    return best;
}

// One block of the 256 values at base width b, positions as a list or a
// bitmap; the exception width is measured from the largest value.
inline Bytes ref_pfor_block(const Elems &v, unsigned b, bool list) {
    const uint64_t es = v.elem_size;
    const unsigned w = unsigned(8 * es), lanes = unsigned(16 / es);
    unsigned a = 0;
    std::vector<size_t> exceptions;
    for (size_t i = 0; i < 256; ++i) {
        a = std::max(a, bit_length(v.get(i)));
        if (bit_length(v.get(i)) > b) exceptions.push_back(i);
    }
    const unsigned n = unsigned(exceptions.size()), x = n ? a - b : 0;
    Bytes out{static_cast<unsigned char>(b), static_cast<unsigned char>(n)};
    if (n) {
        out.push_back(static_cast<unsigned char>(x | (list ? 0x80 : 0)));
        if (list) {
            for (size_t i : exceptions) out.push_back(static_cast<unsigned char>(i));
        } else {
            Bytes bitmap(32);
            for (size_t i : exceptions) set_bit(bitmap.data(), i);
            out.insert(out.end(), bitmap.begin(), bitmap.end());
        }
        Bytes high((n * x + 7) / 8);
        for (unsigned k = 0; k < n; ++k)
            for (unsigned t = 0; t < x; ++t)
                if ((v.get(exceptions[k]) >> (b + t)) & 1) set_bit(high.data(), k * x + t);
        out.insert(out.end(), high.begin(), high.end());
    }
    Bytes area(32 * size_t(b));
    for (size_t i = 0; i < 256; ++i) {
        const size_t lane = i % lanes, j = i / lanes;
        for (unsigned t = 0; t < b; ++t) {
            if (!((v.get(i) >> t) & 1)) continue;
            const size_t pos = j * b + t, word = pos / w, in_word = pos % w;
            set_bit(area.data() + 16 * word + lane * es, in_word);
        }
    }
    out.insert(out.end(), area.begin(), area.end());
    return out;
}

inline Bytes ref_pfor_encode_block(const Elems &v) {
    const PforChoice c = ref_pfor_choose(v);
    return ref_pfor_block(v, c.b, c.n < 32);
}

} // namespace vt
