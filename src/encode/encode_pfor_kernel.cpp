// PFOR bit packing, encoder: per block of 256 values, the base width that a
// byte-cost model finds cheapest, with the values that need more bits
// patched through a position field and a field of high parts.
#include <bit>
#include <cstring>

#include "frame/elem.h"
#include "frame/pfor_layout.h"
#include "frame/simd.h"
#include "frame/vec.h"
#include "varda_kernels.h"

using namespace varda;
using namespace varda::pfor;

namespace {

struct Choice {
    unsigned base = 0, exceptions = 0;
};

template <Element T> Choice choose_width(const unsigned (&histogram)[bits_of<T> + 1], unsigned a) {
    Choice best{a, 0};
    size_t best_cost = 2 + area_bytes(a);
    unsigned g = 0;
    for (unsigned c = a; c-- > 0;) {
        g += histogram[c + 1];
        // Only grows as c falls; 256 exceptions do not fit the count byte.
        if (g == block_values) break;
        const size_t positions = g < bitmap_from ? 3 + g : 3 + bitmap_bytes;
        // The g / 2 term leans against patching: each exception costs the
        // decoder a scattered store.
        const size_t cost = area_bytes(c) + positions + high_bytes(g, a - c) + g / 2;
        if (cost < best_cost) {
            best_cost = cost;
            best = {c, g};
        }
    }
    return best;
}

// ORs the x-bit value v into the bit stream `field` at bit `bit`; the field
// starts zeroed.
void put_high(unsigned char *field, size_t field_len, size_t bit, unsigned x, uint64_t v) {
    const size_t byte = bit / 8;
    const unsigned offset = unsigned(bit % 8);
    if (x < 58 && field_len - byte >= 8) {
        uint64_t word;
        std::memcpy(&word, field + byte, 8);
        word |= v << offset;
        std::memcpy(field + byte, &word, 8);
        return;
    }
    for (unsigned done = 0; done < x;) {
        const size_t at = (bit + done) / 8;
        const unsigned off = unsigned((bit + done) % 8);
        const unsigned take = x - done < 8 - off ? x - done : 8 - off;
        field[at] = uint8_t(field[at] | (((v >> done) & ((1u << take) - 1)) << off));
        done += take;
    }
}

#if VARDA_X86

// One input group of L values per step, ORed into the open output word of
// every lane; a full word is stored and the bits that spilled over start
// the next. Called for 0 < b < w.
template <Element T> void pack_sse2(unsigned char *area, const unsigned char *values, unsigned b) {
    constexpr unsigned w = bits_of<T>;
    const __m128i mask = vec::splat<T>(low_mask<T>(b));
    __m128i word = _mm_setzero_si128();
    unsigned used = 0;
    for (size_t g = 0; g < value_groups<T>; ++g) {
        const __m128i v = _mm_and_si128(vec::load16(values + 16 * g), mask);
        word = _mm_or_si128(word, shift_left<T>(v, used));
        used += b;
        if (used >= w) {
            vec::store16(area, word);
            area += 16;
            used -= w;
            word = used ? shift_right<T>(v, b - used) : _mm_setzero_si128();
        }
    }
}

#endif

// Bit i of the four little-endian words set when value i needs more than b
// bits: the bitmap form of the positions. Called for b < w.
template <Element T>
void exception_marks(uint64_t (&marks)[4], const unsigned char *values, unsigned b) {
#if VARDA_X86
    constexpr size_t L = lanes<T>;
    const __m128i high = vec::splat<T>(T(~low_mask<T>(b))), zero = _mm_setzero_si128();
    marks[0] = marks[1] = marks[2] = marks[3] = 0;
    constexpr size_t groups_per_word = 64 / L;
    for (size_t q = 0; q < value_groups<T> / groups_per_word; ++q) {
        uint64_t word = 0;
        for (size_t j = 0; j < groups_per_word; ++j) {
            const size_t g = q * groups_per_word + j;
            const __m128i v = _mm_and_si128(vec::load16(values + 16 * g), high);
            uint64_t fit_bits;
            if constexpr (sizeof(T) == 1) {
                fit_bits = uint64_t(_mm_movemask_epi8(_mm_cmpeq_epi8(v, zero)));
            } else if constexpr (sizeof(T) == 2) {
                const __m128i fits = _mm_cmpeq_epi16(v, zero);
                fit_bits = uint64_t(_mm_movemask_epi8(_mm_packs_epi16(fits, fits)) & 0xFF);
            } else if constexpr (sizeof(T) == 4) {
                fit_bits = uint64_t(_mm_movemask_ps(_mm_castsi128_ps(_mm_cmpeq_epi32(v, zero))));
            } else {
                // No 64-bit compare in SSE2: both halves of a lane must be zero.
                const __m128i halves = _mm_cmpeq_epi32(v, zero);
                const __m128i fits = _mm_and_si128(halves, _mm_shuffle_epi32(halves, 0xB1));
                fit_bits = uint64_t(_mm_movemask_pd(_mm_castsi128_pd(fits)));
            }
            word |= fit_bits << (j * L);
        }
        marks[q] = ~word;
    }
#else
    marks[0] = marks[1] = marks[2] = marks[3] = 0;
    for (size_t i = 0; i < block_values; ++i)
        if (load<T>(values, i) >> b) marks[i / 64] |= uint64_t(1) << (i % 64);
#endif
}

// Histogram of the bit lengths of the 256 values, in four partial tables:
// one alone is a chain of dependent increments on the same bin whenever the
// values look alike.
template <Element T>
void length_histogram(unsigned (&histogram)[bits_of<T> + 1], const unsigned char *values) {
    constexpr unsigned w = bits_of<T>;
    uint16_t partial[4][w + 1] = {};
    for (size_t i = 0; i < block_values; i += 4)
        for (size_t p = 0; p < 4; ++p) ++partial[p][std::bit_width(load<T>(values, i + p))];
    for (unsigned len = 0; len <= w; ++len)
        histogram[len] =
            unsigned(partial[0][len]) + partial[1][len] + partial[2][len] + partial[3][len];
}

template <Element T> size_t encode_block(unsigned char *dst, const unsigned char *values) {
    constexpr unsigned w = bits_of<T>;
    unsigned histogram[w + 1];
    length_histogram<T>(histogram, values);
    unsigned a = w;
    while (a > 0 && histogram[a] == 0) --a;

    const Choice choice = a ? choose_width<T>(histogram, a) : Choice{};
    const unsigned b = choice.base, n = choice.exceptions;
    dst[0] = uint8_t(b);
    dst[1] = uint8_t(n);
    size_t length = 2;
    if (n > 0) {
        const unsigned x = a - b;
        const bool list = n < bitmap_from;
        dst[2] = uint8_t(list ? x | list_form : x);
        unsigned char *positions = dst + 3;
        unsigned char *field = positions + (list ? n : bitmap_bytes);
        const size_t field_len = high_bytes(n, x);
        std::memset(field, 0, field_len);
        uint64_t marks[4];
        exception_marks<T>(marks, values, b);
        if (!list) std::memcpy(positions, marks, bitmap_bytes);
        unsigned k = 0;
        for (size_t q = 0; q < 4; ++q) {
            for (uint64_t bits = marks[q]; bits; bits &= bits - 1) {
                const size_t i = 64 * q + size_t(std::countr_zero(bits));
                if (list) positions[k] = uint8_t(i);
                put_high(field, field_len, size_t(k) * x, x, uint64_t(load<T>(values, i) >> b));
                ++k;
            }
        }
        length = size_t(field + field_len - dst);
    }

    unsigned char *area = dst + length;
    if (b == w) {
        std::memcpy(area, values, block_values * sizeof(T));
    } else if (b > 0) {
#if VARDA_X86
        pack_sse2<T>(area, values, b);
#else
        pack_portable<T>(area, values, b);
#endif
    }
    return length + area_bytes(b);
}

} // namespace

extern "C" VARDA_API uint64_t pfor_bound(uint64_t count, uint64_t elem_size) {
    if (count == 0 || !valid_elem_size(elem_size)) return 0;
    const uint64_t blocks = count / block_values + (count % block_values != 0);
    const uint64_t block_max = block_values * elem_size + 2;
    if (blocks > UINT64_MAX / block_max) return 0;
    return blocks * block_max;
}

extern "C" VARDA_API uint64_t pfor_encode_block(void *dst, const void *src, uint64_t elem_size) {
    if (!dst || !src) return 0;
    return with_width(elem_size, uint64_t(0), [&]<Element T>() {
        return uint64_t(encode_block<T>(static_cast<unsigned char *>(dst),
                                        static_cast<const unsigned char *>(src)));
    });
}

extern "C" VARDA_API int pfor_encode(void *dst, uint64_t dst_capacity, uint64_t *out_len,
                                     const void *src, uint64_t count, uint64_t elem_size) {
    if (!src || !out_len || !dst) return 1;
    const uint64_t bound = pfor_bound(count, elem_size);
    if (bound == 0 || dst_capacity < bound) return 1;
    return with_width(elem_size, 1, [&]<Element T>() {
        unsigned char *out = static_cast<unsigned char *>(dst);
        const uint64_t full = count / block_values;
        for (uint64_t blk = 0; blk < full; ++blk)
            out += encode_block<T>(out, at<T>(src, blk * block_values));
        if (const uint64_t rest = count % block_values) {
            T padded[block_values] = {};
            std::memcpy(padded, at<T>(src, full * block_values), rest * sizeof(T));
            out += encode_block<T>(out, reinterpret_cast<const unsigned char *>(padded));
        }
        *out_len = uint64_t(out - static_cast<unsigned char *>(dst));
        return 0;
    });
}
