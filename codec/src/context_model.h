// The context model the context chains share: residual codes as tokens
// (small values themselves, larger ones a bit-length class and the bit
// below the leading one) and raw low bits, and each token's context from
// the activity of the tokens in the two rows above it.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "chains.h"
#include "entropy/bits.h"
#include "words.h"

namespace varda::codec {

constexpr unsigned direct_tokens = 8; // values below this are their own token
constexpr unsigned contexts = 12;

// Tokens of a width: the direct ones, then two per bit length from 4 up.
constexpr unsigned alphabet_for(uint64_t elem_size) {
    return direct_tokens + 2 * (8 * unsigned(elem_size) - 3);
}

struct Token {
    uint8_t token;
    uint8_t extra; // raw bits below the two leading ones
    uint64_t raw;
};

// The bit length of a value from 1 up. Values of up to 32 bits take the
// exponent of their exact double: one conversion, where a bit scan takes
// several cycles on some processors and the baseline has no lzcnt.
template <class T> unsigned bit_length(T value) {
    if constexpr (sizeof(T) <= 4) {
        const double exact = double(value);
        uint64_t bits;
        std::memcpy(&bits, &exact, 8);
        return unsigned(bits >> 52) - 1022;
    } else {
        return unsigned(std::bit_width(value));
    }
}

// Without a branch: in noise, whether a value is below the direct tokens
// is as good as random.
template <class T> Token tokenise(T value) {
    // All ones where the value is no token of its own; selecting through it
    // keeps compilers from turning the choice back into a jump.
    const unsigned coded = unsigned(value >= direct_tokens) * ~0u;
    const unsigned length = bit_length(T(value | direct_tokens));
    const unsigned extra = (length - 2) & coded;
    const unsigned second = unsigned(value >> (length - 2)) & 1u;
    const unsigned by_length = direct_tokens + 2 * (length - 4) + second;
    const unsigned token = unsigned(value) ^ ((unsigned(value) ^ by_length) & coded);
    return {uint8_t(token), uint8_t(extra), uint64_t(value) & ((uint64_t(1) << extra) - 1)};
}

// Counting loops keep this many histograms and add them up at the end: a
// run of one token then does not wait on its own count to be stored.
constexpr unsigned count_ways = 4;

// Tokens of residuals begin .. end, in order: `each(i, token)`, or
// `direct(i, value)` for each of eight values that are all their own tokens
// (flat parts, seas, sparse counts: no raw bits, no tokenising, and a jump
// that is as good as certain there); elsewhere tokenising has no jump.
template <Element T, class Each, class Direct>
void for_tokens(const unsigned char *residuals, uint64_t begin, uint64_t end, Each &&each,
                Direct &&direct) {
    uint64_t i = begin;
    for (; i + 8 <= end; i += 8) {
        T any = 0;
        for (uint64_t k = 0; k < 8; ++k) any |= load<T>(residuals, i + k);
        if (any < direct_tokens) {
            for (uint64_t k = 0; k < 8; ++k) direct(i + k, uint8_t(load<T>(residuals, i + k)));
            continue;
        }
        for (uint64_t k = 0; k < 8; ++k) each(i + k, tokenise(load<T>(residuals, i + k)));
    }
    for (; i < end; ++i) each(i, tokenise(load<T>(residuals, i)));
}

// What a token stands for before its raw bits are added; padded to every
// byte, since a corrupt stream may decode the missing-table symbol before
// the decoder refuses it.
struct TokenTable {
    uint64_t base[256] = {};
    uint8_t extra[256] = {};
    constexpr TokenTable() {
        for (unsigned t = 0; t < direct_tokens; ++t) base[t] = t;
        for (unsigned length = 4; length <= 64; ++length)
            for (unsigned second = 0; second < 2; ++second) {
                const unsigned t = direct_tokens + 2 * (length - 4) + second;
                extra[t] = uint8_t(length - 2);
                base[t] = uint64_t(2 | second) << (length - 2);
            }
    }
};
inline constexpr TokenTable token_table;

// Local activity to context: 3N + 3(NW + NE)/2 of the neighbours' tokens,
// cut where the statistics of natural and scientific rasters change. Only
// rows above count: the contexts of a whole row are then known before its
// first token is decoded, and the decoder's states never wait on a table
// lookup of the sample before (W would be worth 1-3 % of the size, and
// costs half the speed).
constexpr unsigned context_limits[contexts - 1] = {1, 3, 5, 8, 12, 18, 26, 36, 50, 70, 100};

// The activity's context: how many limits it reaches. Written once for
// plain numbers and for vectors of 16-bit lanes (where a comparison gives
// all ones, so the count is subtracted), so that both agree by
// construction.
template <class V> V activity(V n, V nw, V ne) { return V(3 * n + ((3 * (nw + ne)) >> 1)); }
// Wide contexts weigh the row above less and add NN, NWW and NEE at half
// weight: 2N + NW + NE + (NN + NWW + NEE)/2 (1 % smaller on photographs and
// scans, for an add or two per sample).
template <class V> V wide_activity(V n, V nw, V ne, V nn, V nww, V nee) {
    return V(2 * n + nw + ne + ((nn + nww + nee) >> 1));
}

inline uint8_t context_of_activity(unsigned a) {
    unsigned c = 0;
    for (unsigned limit : context_limits) c += a >= limit;
    return uint8_t(c);
}
inline uint8_t context_of(unsigned n, unsigned nw, unsigned ne) {
    return context_of_activity(activity(n, nw, ne));
}

// Eight contexts at once in GCC's and Clang's portable vectors, which
// become SSE2 or NEON code. The lanes are signed, which SSE2 compares
// directly: an activity is at most 3 x 255 + 3 x 255 = 1530.
typedef int16_t lanes16 __attribute__((vector_size(16)));
typedef uint8_t bytes8 __attribute__((vector_size(8)));

inline lanes16 eight_tokens(const uint8_t *at) {
    bytes8 v;
    std::memcpy(&v, at, 8);
    return __builtin_convertvector(v, lanes16);
}

inline void eight_contexts_of(lanes16 activity, uint8_t *ctx) {
    lanes16 c = {};
    for (unsigned limit : context_limits) c -= lanes16(activity > int16_t(limit - 1));
    const bytes8 out = __builtin_convertvector(c, bytes8);
    std::memcpy(ctx, &out, 8);
}

inline void eight_contexts(const uint8_t *above, uint8_t *ctx) {
    eight_contexts_of(
        activity(eight_tokens(above), eight_tokens(above - 1), eight_tokens(above + 1)), ctx);
}

inline void eight_wide_contexts(const uint8_t *above, const uint8_t *above2, uint8_t *ctx) {
    eight_contexts_of(wide_activity(eight_tokens(above), eight_tokens(above - 1),
                                    eight_tokens(above + 1), eight_tokens(above2),
                                    eight_tokens(above - 2), eight_tokens(above + 2)),
                      ctx);
}

// The wide activity at one column from the tokens of the two rows above;
// past the tile's edge a neighbour takes N's token.
inline unsigned wide_activity_at(const uint8_t *above, const uint8_t *above2, uint64_t width,
                                 uint64_t col) {
    const unsigned n = above[col];
    const auto at = [&](int64_t offset) {
        const int64_t c = int64_t(col) + offset;
        return c < 0 || c >= int64_t(width) ? n : unsigned(above[c]);
    };
    return wide_activity(n, at(-1), at(1), unsigned(above2[col]), at(-2), at(2));
}

// Wide contexts of a row from the tokens of the two rows above (the second
// row takes the first for both; the first row is context 0).
inline void wide_row_contexts(const uint8_t *above, const uint8_t *above2, uint64_t width,
                              uint8_t *ctx) {
    if (!above) {
        std::memset(ctx, 0, width);
        return;
    }
    const auto one = [&](uint64_t col) {
        ctx[col] = context_of_activity(wide_activity_at(above, above2, width, col));
    };
    uint64_t col = 0;
    for (; col < std::min<uint64_t>(2, width); ++col) one(col);
    for (; col + 10 <= width; col += 8) eight_wide_contexts(above + col, above2 + col, ctx + col);
    for (; col < width; ++col) one(col);
}

// A cheap stand-in for the coded size, in bits: the order-0 entropy of the
// tokens plus their raw bits.
inline double rough_cost(const Plane &plane, const unsigned char *residuals) {
    // A token's raw bits follow from the token.
    constexpr unsigned tokens = 2 * 64 + direct_tokens;
    uint64_t counts[count_ways][tokens] = {};
    with_width(plane.elem_size, 0, [&]<Element T>() {
        for_tokens<T>(
            residuals, 0, plane.count,
            [&](uint64_t i, const Token &t) { ++counts[i % count_ways][t.token]; },
            [&](uint64_t i, uint8_t token) { ++counts[i % count_ways][token]; });
        return 0;
    });
    uint64_t raw = 0;
    for (unsigned t = 0; t < tokens; ++t) {
        for (unsigned w = 1; w < count_ways; ++w) counts[0][t] += counts[w][t];
        raw += counts[0][t] * token_table.extra[t];
    }
    double bits = double(raw);
    for (uint64_t k : counts[0])
        if (k) bits += double(k) * std::log2(double(plane.count) / double(k));
    return bits;
}

// The rough cost of a predictor's codes, `codes_of(plane, samples, out)`
// writing them into `scratch` (the tile's size). Tall tiles are judged on
// a few bands of rows, each predicted as a tile of its own with one row
// more above it, which is left out of the cost (first rows are predicted
// differently and would skew the choice): a fraction of a pass.
template <class CodesOf>
double banded_cost(const Plane &plane, const unsigned char *samples, unsigned char *scratch,
                   CodesOf &&codes_of) {
    constexpr uint64_t bands = 4, band_rows = 6;
    const uint64_t height = plane.count / plane.width, row_bytes = plane.width * plane.elem_size;
    const bool sampled = height >= 2 * bands * (band_rows + 1);
    Plane band = plane, scored = plane;
    if (sampled) {
        band.height = band_rows + 1;
        band.count = band.height * plane.width;
        scored.height = band_rows;
        scored.count = band_rows * plane.width;
    }
    double cost = 0;
    for (uint64_t b = 0; b < (sampled ? bands : 1); ++b) {
        const uint64_t first_row = sampled ? (2 * b + 1) * height / (2 * bands) : 0;
        codes_of(band, samples + first_row * row_bytes, scratch);
        cost += rough_cost(scored, sampled ? scratch + row_bytes : scratch);
    }
    return cost;
}

// Residuals of one row from its tokens and the raw bits, in the
// stride the reader allows between checks; true when a token is beyond the
// tables' alphabet (a slot of a context without a table).
template <Element T, bool zigzagged>
bool residual_row(const uint8_t *tokens, uint64_t width, unsigned alphabet,
                  entropy::BitReader &bits, unsigned char *dst) {
    uint8_t top = 0;
    for (uint64_t k = 0; k < width; ++k) top = std::max(top, tokens[k]);
    for (uint64_t col = 0; col < width && bits.within(); col += entropy::BitReader::stride) {
        const uint64_t stop = std::min(width, col + entropy::BitReader::stride);
        entropy::BitReader::Cursor in = bits.cursor();
        for (uint64_t k = col; k < stop; ++k) {
            const uint8_t t = tokens[k];
            const unsigned extra = token_table.extra[t];
            const uint64_t low = sizeof(T) <= 4 ? in.take(extra) : in.wide(extra);
            const T value = T(token_table.base[t] | low);
            store<T>(dst, k, zigzagged ? unzigzag(value) : value);
        }
        bits.seek(in);
    }
    return top >= alphabet;
}

// Raw bits that ran out stop the decode early, so they are named first.
template <class Decoder>
bool check_streams(const entropy::BitReader &bits, const Decoder &tokens, bool beyond, Error &err) {
    if (!bits.within() || bits.unread_bytes() != 0)
        return err.set("corrupt tile: the raw bits do not match the tokens");
    if (beyond || !tokens.finished())
        return err.set("corrupt tile: the token stream does not decode");
    return true;
}

} // namespace varda::codec
