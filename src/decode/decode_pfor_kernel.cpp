// PFOR bit packing, decoder: every header field and length is checked
// against the bytes that remain before it is used; a refusal is silent.
#include <array>
#include <bit>
#include <cstring>
#include <utility>

#include "frame/elem.h"
#include "frame/pfor_layout.h"
#include "frame/simd.h"
#include "frame/vec.h"
#include "varda_kernels.h"

using namespace varda;
using namespace varda::pfor;

namespace {

// The x-bit value at bit `bit` of the bit stream `field`. `readable` counts
// the checked bytes from the field's start to the block's end: an 8-byte
// load may run on into the packed area, whose bits the mask drops.
uint64_t get_high(const unsigned char *field, size_t readable, size_t bit, unsigned x) {
    const size_t byte = bit / 8;
    const unsigned offset = unsigned(bit % 8);
    if (x < 58 && readable - byte >= 8) {
        uint64_t word;
        std::memcpy(&word, field + byte, 8);
        return (word >> offset) & ((uint64_t(1) << x) - 1);
    }
    uint64_t v = 0;
    for (unsigned done = 0; done < x;) {
        const size_t at = (bit + done) / 8;
        const unsigned off = unsigned((bit + done) % 8);
        const unsigned take = x - done < 8 - off ? x - done : 8 - off;
        v |= uint64_t((field[at] >> off) & ((1u << take) - 1)) << done;
        done += take;
    }
    return v;
}

#if VARDA_X86

// One output group of L values per step. `word` holds the area word in
// which group g starts; each word is loaded once.
template <Element T>
[[gnu::always_inline]] inline void unpack_step(unsigned char *dst, const unsigned char *area,
                                               size_t g, unsigned b, __m128i mask, __m128i &word) {
    constexpr unsigned w = bits_of<T>;
    const size_t k = word_of<T>(g, b);
    const unsigned s = shift_of<T>(g, b);
    __m128i out = shift_right<T>(word, s);
    if (s + b >= w && k + 1 < 2 * size_t(b)) {
        const __m128i next = vec::load16(area + 16 * (k + 1));
        if (s + b > w) out = _mm_or_si128(out, shift_left<T>(next, w - s));
        word = next;
    }
    if (s + b != w) out = _mm_and_si128(out, mask);
    vec::store16(dst + 16 * g, out);
}

// Inline stores: a call of memset costs more than the whole block.
template <Element T> inline void zero_block(void *dst) {
    auto *out = static_cast<unsigned char *>(dst);
    for (size_t g = 0; g < value_groups<T>; ++g) vec::store16(out + 16 * g, _mm_setzero_si128());
}

// Unrolled for one base width: every shift count is a constant.
template <Element T, unsigned B> void unpack_sse2_fixed(void *dst, const unsigned char *area) {
    if constexpr (B == 0) {
        zero_block<T>(dst);
    } else if constexpr (B == bits_of<T>) {
        std::memcpy(dst, area, block_values * sizeof(T));
    } else {
        const __m128i mask = vec::splat<T>(low_mask<T>(B));
        __m128i word = vec::load16(area);
        auto *out = static_cast<unsigned char *>(dst);
        [&]<size_t... G>(std::index_sequence<G...>) {
            (unpack_step<T>(out, area, G, B, mask, word), ...);
        }
        (std::make_index_sequence<value_groups<T>>{});
    }
}

// For 64-bit values, where 65 unrolled widths would cost more code than the
// runtime shifts cost time.
template <Element T> void unpack_sse2_any(void *dst, const unsigned char *area, unsigned b) {
    const __m128i mask = vec::splat<T>(low_mask<T>(b));
    __m128i word = vec::load16(area);
    auto *out = static_cast<unsigned char *>(dst);
    for (size_t g = 0; g < value_groups<T>; ++g) unpack_step<T>(out, area, g, b, mask, word);
}

using UnpackFn = void (*)(void *, const unsigned char *);

template <Element T, template <class, unsigned> class Kernel, size_t... B>
constexpr std::array<UnpackFn, sizeof...(B)> width_table(std::index_sequence<B...>) {
    return {&Kernel<T, unsigned(B)>::run...};
}

template <class T, unsigned B> struct Sse2Fixed {
    static void run(void *dst, const unsigned char *area) { unpack_sse2_fixed<T, B>(dst, area); }
};

// ---- AVX2, for 1- and 2-byte values -----------------------------------
// Values 0..127 sit in the first b groups of the area and 128..255 in the
// last b, so one 32-byte register takes group k of each half and one step
// yields two output groups, 128 values apart.

template <Element T> VARDA_AVX2 inline __m256i shift_right256(__m256i v, unsigned n) {
    if constexpr (sizeof(T) == 1)
        return _mm256_and_si256(_mm256_srli_epi16(v, int(n)), _mm256_set1_epi8(char(0xFF >> n)));
    else
        return _mm256_srli_epi16(v, int(n));
}

template <Element T> VARDA_AVX2 inline __m256i shift_left256(__m256i v, unsigned n) {
    if constexpr (sizeof(T) == 1)
        return _mm256_and_si256(_mm256_slli_epi16(v, int(n)), _mm256_set1_epi8(char(0xFF << n)));
    else
        return _mm256_slli_epi16(v, int(n));
}

template <unsigned B> VARDA_AVX2 inline __m256i load_halves(const unsigned char *area, size_t k) {
    const __m128i low = vec::load16(area + 16 * k), high = vec::load16(area + 16 * (B + k));
    return _mm256_inserti128_si256(_mm256_castsi128_si256(low), high, 1);
}

template <Element T, unsigned B>
VARDA_AVX2 void unpack_avx2_fixed(void *dst, const unsigned char *area) {
    constexpr unsigned w = bits_of<T>;
    constexpr size_t half = value_groups<T> / 2;
    if constexpr (B == 0) {
        zero_block<T>(dst);
    } else if constexpr (B == w) {
        std::memcpy(dst, area, block_values * sizeof(T));
    } else {
        const __m256i mask = vec::splat256<T>(low_mask<T>(B));
        __m256i word = load_halves<B>(area, 0);
        auto *out = static_cast<unsigned char *>(dst);
        auto step = [&]<size_t G>() VARDA_AVX2 {
            constexpr size_t k = word_of<T>(G, B);
            constexpr unsigned s = shift_of<T>(G, B);
            __m256i v = shift_right256<T>(word, s);
            if constexpr (s + B >= w && k + 1 < B) {
                const __m256i next = load_halves<B>(area, k + 1);
                if constexpr (s + B > w) v = _mm256_or_si256(v, shift_left256<T>(next, w - s));
                word = next;
            }
            if constexpr (s + B != w) v = _mm256_and_si256(v, mask);
            vec::store16(out + 16 * G, _mm256_castsi256_si128(v));
            vec::store16(out + 16 * (G + half), _mm256_extracti128_si256(v, 1));
        };
        [&]<size_t... G>(std::index_sequence<G...>) VARDA_AVX2 {
            (step.template operator()<G>(), ...);
        }
        (std::make_index_sequence<half>{});
    }
}

template <class T, unsigned B> struct Avx2Fixed {
    static void run(void *dst, const unsigned char *area) { unpack_avx2_fixed<T, B>(dst, area); }
};

template <Element T>
constexpr auto sse2_table = width_table<T, Sse2Fixed>(std::make_index_sequence<bits_of<T> + 1>{});
template <Element T>
constexpr auto avx2_table = width_table<T, Avx2Fixed>(std::make_index_sequence<bits_of<T> + 1>{});

VARDA_AVX2 void pfor_unpack8_avx2(void *dst, const unsigned char *area, unsigned b) {
    avx2_table<uint8_t>[b](dst, area);
}

VARDA_AVX2 void pfor_unpack16_avx2(void *dst, const unsigned char *area, unsigned b) {
    avx2_table<uint16_t>[b](dst, area);
}

#endif

template <Element T>
void unpack_area(void *dst, const unsigned char *area, unsigned b, [[maybe_unused]] bool avx2) {
#if VARDA_X86
    if constexpr (sizeof(T) == 1) {
        if (avx2) return pfor_unpack8_avx2(dst, area, b);
    } else if constexpr (sizeof(T) == 2) {
        if (avx2) return pfor_unpack16_avx2(dst, area, b);
    }
    if constexpr (sizeof(T) == 8) {
        if (b == 0) return zero_block<T>(dst);
        if (b == bits_of<T>) return (void)std::memcpy(dst, area, block_values * sizeof(T));
        unpack_sse2_any<T>(dst, area, b);
    } else {
        sse2_table<T>[b](dst, area);
    }
#else
    if (b == 0) return (void)std::memset(dst, 0, block_values * sizeof(T));
    if (b == bits_of<T>) return (void)std::memcpy(dst, area, block_values * sizeof(T));
    unpack_portable<T>(dst, area, b);
#endif
}

// ORs the k-th x-bit high part, shifted left by b, into the value at each
// exception's index, in stream order. A list index that does not rise
// refuses the block there, after the values before it are patched.
template <Element T, bool WordLoads>
bool patch(void *dst, const unsigned char *positions, bool list, unsigned n,
           const unsigned char *field, size_t readable, unsigned x, unsigned b) {
    // Word loads only run for x < 58; the byte-wise path takes up to 64.
    const uint64_t x_mask = WordLoads ? (uint64_t(1) << x) - 1 : 0;
    size_t bit = 0;
    const auto apply = [&](size_t index) {
        uint64_t high;
        if constexpr (WordLoads) {
            uint64_t word;
            std::memcpy(&word, field + bit / 8, 8);
            high = (word >> (bit % 8)) & x_mask;
        } else {
            high = get_high(field, readable, bit, x);
        }
        store<T>(dst, index, T(load<T>(dst, index) | T(high << b)));
        bit += x;
    };
    if (list) {
        apply(positions[0]);
        for (unsigned k = 1; k < n; ++k) {
            if (positions[k] <= positions[k - 1]) return false;
            apply(positions[k]);
        }
        return true;
    }
    for (size_t q = 0; q < bitmap_bytes / 8; ++q) {
        uint64_t bits;
        std::memcpy(&bits, positions + 8 * q, 8);
        for (; bits; bits &= bits - 1) apply(64 * q + size_t(std::countr_zero(bits)));
    }
    return true;
}

// Checks 2 to 5 of a block, then unpacks and patches it. Returns the block
// length, or 0 for a refusal.
template <Element T> uint64_t decode_block(void *dst, const unsigned char *src, uint64_t src_len) {
    constexpr unsigned w = bits_of<T>;
    if (src_len < 2) return 0;
    const unsigned b = src[0], n = src[1];
    if (b > w) return 0;
    unsigned x = 0;
    bool list = false;
    size_t header = 2, field_len = 0;
    if (n > 0) {
        if (src_len <= 2) return 0;
        x = src[2] & width_bits;
        list = (src[2] & list_form) != 0;
        if (x < 1 || b + x > w) return 0;
        field_len = high_bytes(n, x);
        if (list) {
            if (src_len - 3 < n + field_len) return 0;
            header = 3 + n + field_len;
        } else {
            if (src_len - 3 < bitmap_bytes + field_len) return 0;
            unsigned set = 0;
            for (size_t q = 0; q < bitmap_bytes / 8; ++q) {
                uint64_t bits;
                std::memcpy(&bits, src + 3 + 8 * q, 8);
                set += unsigned(std::popcount(bits));
            }
            if (set != n) return 0;
            header = 3 + bitmap_bytes + field_len;
        }
    }
    if (src_len - header < area_bytes(b)) return 0;

    bool avx2 = false;
    if constexpr (sizeof(T) <= 2) avx2 = use_avx2();
    unpack_area<T>(dst, src + header, b, avx2);

    if (n > 0) {
        const unsigned char *positions = src + 3;
        const unsigned char *field = positions + (list ? n : bitmap_bytes);
        const size_t readable = field_len + area_bytes(b);
        // Word loads for every high part when the last one still has eight
        // checked bytes ahead: the common case, with no test per exception.
        if (x < 58 && (size_t(n - 1) * x) / 8 + 8 <= readable) {
            if (!patch<T, true>(dst, positions, list, n, field, readable, x, b)) return 0;
        } else if (!patch<T, false>(dst, positions, list, n, field, readable, x, b)) {
            return 0;
        }
    }
    return header + area_bytes(b);
}

} // namespace

extern "C" VARDA_API uint64_t pfor_decode_block(void *dst, uint64_t elem_size, const void *src,
                                                uint64_t src_len) {
    if (!dst || !src) return 0;
    return with_width(elem_size, uint64_t(0), [&]<Element T>() {
        return decode_block<T>(dst, static_cast<const unsigned char *>(src), src_len);
    });
}

extern "C" VARDA_API int pfor_decode(void *dst, uint64_t count, uint64_t elem_size, const void *src,
                                     uint64_t src_len) {
    if (!dst || !src || count == 0) return 1;
    return with_width(elem_size, 1, [&]<Element T>() {
        const auto *in = static_cast<const unsigned char *>(src);
        uint64_t remaining = src_len;
        const auto next_block = [&](void *out) {
            const uint64_t length = decode_block<T>(out, in, remaining);
            in += length;
            remaining -= length;
            return length != 0;
        };
        const uint64_t full = count / block_values;
        for (uint64_t blk = 0; blk < full; ++blk)
            if (!next_block(at<T>(dst, blk * block_values))) return 1;
        if (const uint64_t rest = count % block_values) {
            T scratch[block_values];
            if (!next_block(scratch)) return 1;
            std::memcpy(at<T>(dst, full * block_values), scratch, rest * sizeof(T));
        }
        return remaining == 0 ? 0 : 1;
    });
}
