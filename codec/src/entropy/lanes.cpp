#include "entropy/lanes.h"

#include <cstring>

#include "context_model.h"
#include "varda_kernels.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace varda::codec::entropy {

bool lanes_use_avx2() {
#if defined(__x86_64__)
    return varda_simd_active() == 2 && (varda_simd_cpu() & 4u) != 0;
#else
    return false;
#endif
}

#if defined(__x86_64__)

namespace {

// For each mask of the lanes that take a word, the word each of eight
// lanes takes, as a nibble: lane i takes the word after those of the
// lanes below it that take one.
struct WordOrder {
    uint32_t of[256];
    constexpr WordOrder() : of() {
        for (unsigned mask = 0; mask < 256; ++mask) {
            uint32_t packed = 0;
            for (unsigned lane = 0, taken = 0; lane < 8; ++lane) {
                packed |= uint32_t(taken) << (4 * lane);
                taken += mask >> lane & 1;
            }
            of[mask] = packed;
        }
    }
};
constexpr WordOrder word_order;

// Eight states one step: their slots gathered, the states advanced and
// the low ones refilled from consecutive words at `at`.
__attribute__((target("avx2"))) inline __m256i step8(__m256i x, __m256i blocks,
                                                     const DecodeTable::Slot *slots,
                                                     const unsigned char *words, size_t &at,
                                                     __m256i &symbols) {
    const __m256i slot_mask = _mm256_set1_epi32(int(total - 1));
    const __m256i index =
        _mm256_or_si256(_mm256_slli_epi32(blocks, precision_bits), _mm256_and_si256(x, slot_mask));
    const __m256i slot = _mm256_i32gather_epi32(reinterpret_cast<const int *>(slots), index, 4);
    const __m256i freq = _mm256_add_epi32(_mm256_srli_epi32(slot, 20), _mm256_set1_epi32(1));
    const __m256i bias = _mm256_and_si256(_mm256_srli_epi32(slot, 8), slot_mask);
    x = _mm256_add_epi32(_mm256_mullo_epi32(freq, _mm256_srli_epi32(x, precision_bits)), bias);
    symbols = _mm256_and_si256(slot, _mm256_set1_epi32(0xFF));
    const __m256i low = _mm256_cmpeq_epi32(_mm256_srli_epi32(x, 16), _mm256_setzero_si256());
    const unsigned mask = unsigned(_mm256_movemask_ps(_mm256_castsi256_ps(low)));
    const __m256i loaded =
        _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i *>(words + at)));
    const __m256i order =
        _mm256_and_si256(_mm256_srlv_epi32(_mm256_set1_epi32(int(word_order.of[mask])),
                                           _mm256_setr_epi32(0, 4, 8, 12, 16, 20, 24, 28)),
                         _mm256_set1_epi32(7));
    const __m256i word = _mm256_permutevar8x32_epi32(loaded, order);
    const __m256i moved = _mm256_or_si256(_mm256_slli_epi32(x, 16), word);
    at += 2 * size_t(__builtin_popcount(mask));
    return _mm256_blendv_epi8(x, moved, low);
}

// Sixteen tokens, the `u`th sixteen of the row, by the states of `low`
// and `high`.
__attribute__((target("avx2"))) inline void
sixteen_tokens(__m256i &low, __m256i &high, __m128i blocks_of, const DecodeTable::Slot *slots,
               const unsigned char *words, size_t &at, const uint8_t *contexts, uint8_t *symbols,
               uint64_t u) {
    const __m128i ctx = _mm_loadu_si128(reinterpret_cast<const __m128i *>(contexts + 16 * u));
    const __m128i blocks = _mm_shuffle_epi8(blocks_of, ctx);
    __m256i s0, s1;
    low = step8(low, _mm256_cvtepu8_epi32(blocks), slots, words, at, s0);
    high = step8(high, _mm256_cvtepu8_epi32(_mm_srli_si128(blocks, 8)), slots, words, at, s1);
    const __m256i halves = _mm256_permute4x64_epi64(_mm256_packus_epi32(s0, s1), 0xD8);
    const __m128i bytes =
        _mm_packus_epi16(_mm256_castsi256_si128(halves), _mm256_extracti128_si256(halves, 1));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(symbols + 16 * u), bytes);
}

template <unsigned Lanes>
__attribute__((target("avx2"))) void
decode_row_avx2(BasicDecoder<Lanes> &decoder, const DecodeTable &table, const uint8_t *contexts,
                uint64_t width, uint8_t *symbols) {
    constexpr unsigned vectors = Lanes / 8;
    uint32_t *states = decoder.states();
    __m256i x[vectors];
    for (unsigned v = 0; v < vectors; ++v)
        x[v] = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(states + 8 * v));
    const unsigned char *words = decoder.words();
    size_t at = decoder.at();
    const DecodeTable::Slot *slots = table.slots.data();
    // Contexts are below 16: one shuffle turns sixteen of them into their
    // tables.
    const __m128i blocks_of = _mm_loadu_si128(reinterpret_cast<const __m128i *>(table.block));
    // Sixteen tokens at a time, by two of the vectors in turn: a row of 32
    // states whose last 16 or more tokens fill no group of 32 takes them
    // by its first two. Sixteen take at most a word each: a step that
    // starts at or before the end reads within the stream's slack, and
    // only a corrupt stream ends one past the end.
    const size_t end = decoder.end();
    const uint64_t sixteens = width / 16;
    uint64_t u = 0;
    while (u < sixteens && at <= end) {
        sixteen_tokens(x[0], x[1], blocks_of, slots, words, at, contexts, symbols, u++);
        if constexpr (vectors == 4)
            if (u < sixteens && at <= end)
                sixteen_tokens(x[2], x[3], blocks_of, slots, words, at, contexts, symbols, u++);
    }
    for (unsigned v = 0; v < vectors; ++v)
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(states + 8 * v), x[v]);
    decoder.at() = at;
    if (at > end) decoder.overran();
    // The row's last symbols, past a whole group, by the portable loop (as
    // are those after an overrun, which reads no further).
    if (16 * u < width)
        decoder.decode_row(table, contexts + 16 * u, width - 16 * u, symbols + 16 * u,
                           unsigned(16 * u % Lanes));
}

// Eight codes of samples of T from tokens at `tokens` and raw bits from
// `cursor`, which moves past them. A token's raw bits are held to the
// widest of T's codes, so that a corrupt token (refused after the row)
// reads no further than a valid one.
template <class T>
__attribute__((target("avx2"))) inline __m256i codes8(const uint8_t *tokens,
                                                      BitReader::Cursor &cursor) {
    constexpr int widest = 8 * sizeof(T) - 2;
    const __m256i t =
        _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(tokens)));
    const __m256i coded = _mm256_cmpgt_epi32(t, _mm256_set1_epi32(int(direct_tokens) - 1));
    const __m256i extra = _mm256_and_si256(
        coded, _mm256_min_epi32(_mm256_srli_epi32(_mm256_sub_epi32(t, _mm256_set1_epi32(4)), 1),
                                _mm256_set1_epi32(widest)));
    // (2 | b) << (L - 2), b the token's low bit, for coded tokens.
    const __m256i lead = _mm256_sllv_epi32(
        _mm256_or_si256(_mm256_set1_epi32(2), _mm256_and_si256(t, _mm256_set1_epi32(1))), extra);
    const __m256i base = _mm256_blendv_epi8(t, lead, coded);
    // Where each code's bits start, from the cursor's byte.
    __m256i end = _mm256_add_epi32(extra, _mm256_slli_si256(extra, 4));
    end = _mm256_add_epi32(end, _mm256_slli_si256(end, 8));
    end = _mm256_add_epi32(end,
                           _mm256_and_si256(_mm256_permutevar8x32_epi32(end, _mm256_set1_epi32(3)),
                                            _mm256_setr_epi32(0, 0, 0, 0, -1, -1, -1, -1)));
    const __m256i start =
        _mm256_add_epi32(_mm256_sub_epi32(end, extra), _mm256_set1_epi32(int(cursor.at & 7)));
    const unsigned char *from = cursor.bytes + (cursor.at >> 3);
    const uint32_t total = uint32_t(_mm256_extract_epi32(end, 7));
    // Most groups' bits lie in one 64-bit word (smooth rasters' codes take
    // a few raw bits each): each code is then that word shifted, with no
    // gather at all.
    const bool one_word = total + (cursor.at & 7) <= 64;
    uint64_t first;
    std::memcpy(&first, from, 8);
    const __m256i byte = _mm256_srli_epi32(start, 3),
                  bit = one_word ? start : _mm256_and_si256(start, _mm256_set1_epi32(7));
    __m256i low[2];
    for (int half = 0; half < 2; ++half) {
        const __m128i at = half ? _mm256_extracti128_si256(byte, 1) : _mm256_castsi256_si128(byte);
        const __m256i words =
            one_word
                ? _mm256_set1_epi64x((long long)(little_endian ? first : __builtin_bswap64(first)))
                : _mm256_i32gather_epi64(reinterpret_cast<const long long *>(from), at, 1);
        const __m256i shift = _mm256_cvtepu32_epi64(half ? _mm256_extracti128_si256(bit, 1)
                                                         : _mm256_castsi256_si128(bit));
        const __m256i count = _mm256_cvtepu32_epi64(half ? _mm256_extracti128_si256(extra, 1)
                                                         : _mm256_castsi256_si128(extra));
        const __m256i ones = _mm256_set1_epi64x(-1);
        low[half] =
            _mm256_andnot_si256(_mm256_sllv_epi64(ones, count), _mm256_srlv_epi64(words, shift));
    }
    // The low halves of the eight 64-bit values, in order.
    const __m256i even = _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6);
    const __m256i values = _mm256_blend_epi32(_mm256_permutevar8x32_epi32(low[0], even),
                                              _mm256_permutevar8x32_epi32(low[1], even), 0xF0);
    cursor.at += total;
    return _mm256_or_si256(base, values);
}

template <class T>
__attribute__((target("avx2"))) void code_row_avx2(const uint8_t *tokens, uint64_t width,
                                                   BitReader &bits, unsigned char *dst) {
    for (uint64_t col = 0; col < width && bits.within(); col += BitReader::stride) {
        const uint64_t stop = std::min(width, col + BitReader::stride);
        BitReader::Cursor in = bits.cursor();
        uint64_t k = col;
        for (; k + 8 <= stop; k += 8) {
            // Sixteen tokens that are their own codes (flat and smooth parts
            // of a raster) take no raw bits: widened, they are the codes.
            // Sixteen, not eight, so that noise seldom takes the branch.
            uint64_t sixteen[2] = {~0u, ~0u};
            if (k + 16 <= stop) std::memcpy(sixteen, tokens + k, 16);
            static_assert(direct_tokens == 8);
            if (((sixteen[0] | sixteen[1]) & 0xF8F8F8F8F8F8F8F8u) == 0) {
                const __m128i t = _mm_loadu_si128(reinterpret_cast<const __m128i *>(tokens + k));
                if constexpr (sizeof(T) == 4) {
                    _mm256_storeu_si256(reinterpret_cast<__m256i *>(dst + 4 * k),
                                        _mm256_cvtepu8_epi32(t));
                    _mm256_storeu_si256(reinterpret_cast<__m256i *>(dst + 4 * k + 32),
                                        _mm256_cvtepu8_epi32(_mm_srli_si128(t, 8)));
                } else if constexpr (sizeof(T) == 2) {
                    _mm256_storeu_si256(reinterpret_cast<__m256i *>(dst + 2 * k),
                                        _mm256_cvtepu8_epi16(t));
                } else {
                    _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + k), t);
                }
                k += 8;
                continue;
            }
            const __m256i codes = codes8<T>(tokens + k, in);
            if constexpr (sizeof(T) == 4) {
                _mm256_storeu_si256(reinterpret_cast<__m256i *>(dst + 4 * k), codes);
            } else {
                const __m128i words = _mm_packus_epi32(_mm256_castsi256_si128(codes),
                                                       _mm256_extracti128_si256(codes, 1));
                if constexpr (sizeof(T) == 2)
                    _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + 2 * k), words);
                else
                    _mm_storel_epi64(reinterpret_cast<__m128i *>(dst + k),
                                     _mm_packus_epi16(words, words));
            }
        }
        for (; k < stop; ++k) {
            const uint8_t t = tokens[k];
            const unsigned extra = token_table.extra[t];
            store<T>(dst, k, T(token_table.base[t] | in.take(extra)));
        }
        bits.seek(in);
    }
}

__attribute__((target("avx2"))) inline __m256i tokens16(const uint8_t *at) {
    return _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i *>(at)));
}

// Sixteen wide contexts from the tokens at `above` (columns -2 .. 17 are
// read) and `above2`.
__attribute__((target("avx2"))) inline void sixteen_contexts(const uint8_t *above,
                                                             const uint8_t *above2, uint8_t *ctx) {
    const __m256i n = tokens16(above);
    const __m256i far = _mm256_add_epi16(
        tokens16(above2), _mm256_add_epi16(tokens16(above - 2), tokens16(above + 2)));
    const __m256i near = _mm256_add_epi16(tokens16(above - 1), tokens16(above + 1));
    const __m256i activity =
        _mm256_add_epi16(_mm256_add_epi16(_mm256_add_epi16(n, n), near), _mm256_srli_epi16(far, 1));
    __m256i c = _mm256_setzero_si256();
    for (unsigned limit : context_limits)
        c = _mm256_sub_epi16(c,
                             _mm256_cmpgt_epi16(activity, _mm256_set1_epi16(int16_t(limit - 1))));
    const __m128i bytes =
        _mm_packus_epi16(_mm256_castsi256_si128(c), _mm256_extracti128_si256(c, 1));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(ctx), bytes);
}

__attribute__((target("avx2"))) void row_contexts_avx2(const uint8_t *above, const uint8_t *above2,
                                                       uint64_t width, uint8_t *ctx) {
    const auto one = [&](uint64_t col) {
        ctx[col] = context_of_activity(wide_activity_at(above, above2, width, col));
    };
    one(0);
    one(1);
    uint64_t col = 2;
    for (; col + 18 <= width; col += 16) sixteen_contexts(above + col, above2 + col, ctx + col);
    for (; col < width; ++col) one(col);
}

} // namespace

#endif

void lanes_row_contexts(const uint8_t *above, const uint8_t *above2, uint64_t width, uint8_t *ctx) {
#if defined(__x86_64__)
    if (above && width >= 20 && lanes_use_avx2()) {
        row_contexts_avx2(above, above2, width, ctx);
        return;
    }
#endif
    wide_row_contexts(above, above2, width, ctx);
}

bool lanes_code_row(const uint8_t *tokens, uint64_t width, unsigned alphabet, BitReader &bits,
                    unsigned width_bytes, unsigned char *dst) {
#if defined(__x86_64__)
    if (width_bytes <= 4 && lanes_use_avx2()) {
        uint8_t top = 0;
        for (uint64_t k = 0; k < width; ++k) top = std::max(top, tokens[k]);
        if (width_bytes == 1) code_row_avx2<uint8_t>(tokens, width, bits, dst);
        if (width_bytes == 2) code_row_avx2<uint16_t>(tokens, width, bits, dst);
        if (width_bytes == 4) code_row_avx2<uint32_t>(tokens, width, bits, dst);
        return top >= alphabet;
    }
#endif
    return with_width(width_bytes, false, [&]<Element T>() {
        return residual_row<T, false>(tokens, width, alphabet, bits, dst);
    });
}

template <unsigned Lanes>
void decode_lanes_row(BasicDecoder<Lanes> &decoder, const DecodeTable &table,
                      const uint8_t *contexts, uint64_t width, uint8_t *symbols) {
#if defined(__x86_64__)
    if (width >= 16 && lanes_use_avx2()) {
        decode_row_avx2(decoder, table, contexts, width, symbols);
        return;
    }
#endif
    decoder.decode_row(table, contexts, width, symbols);
}

template void decode_lanes_row(LaneDecoder &, const DecodeTable &, const uint8_t *, uint64_t,
                               uint8_t *);
template void decode_lanes_row(WideLaneDecoder &, const DecodeTable &, const uint8_t *, uint64_t,
                               uint8_t *);

} // namespace varda::codec::entropy
