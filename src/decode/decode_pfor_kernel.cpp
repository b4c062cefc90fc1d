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
#include "frame/zigzag.h"
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
template <Element T, bool Zig>
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
    if constexpr (Zig) out = vec::unzigzag<T>(out);
    vec::store16(dst + 16 * g, out);
}

// Inline stores: a call of memset costs more than the whole block.
template <Element T> inline void zero_block(void *dst) {
    auto *out = static_cast<unsigned char *>(dst);
    for (size_t g = 0; g < value_groups<T>; ++g) vec::store16(out + 16 * g, _mm_setzero_si128());
}

// Values stored whole, as codes or as residuals.
template <Element T, bool Zig> inline void copy_block(void *dst, const unsigned char *area) {
    if constexpr (Zig) {
        auto *out = static_cast<unsigned char *>(dst);
        for (size_t g = 0; g < value_groups<T>; ++g)
            vec::store16(out + 16 * g, vec::unzigzag<T>(vec::load16(area + 16 * g)));
    } else {
        std::memcpy(dst, area, block_values * sizeof(T));
    }
}

// Unrolled for one base width: every shift count is a constant.
template <Element T, unsigned B, bool Zig>
void unpack_sse2_fixed(void *dst, const unsigned char *area) {
    if constexpr (B == 0) {
        zero_block<T>(dst);
    } else if constexpr (B == bits_of<T>) {
        copy_block<T, Zig>(dst, area);
    } else {
        const __m128i mask = vec::splat<T>(low_mask<T>(B));
        __m128i word = vec::load16(area);
        auto *out = static_cast<unsigned char *>(dst);
        [&]<size_t... G>(std::index_sequence<G...>) {
            (unpack_step<T, Zig>(out, area, G, B, mask, word), ...);
        }
        (std::make_index_sequence<value_groups<T>>{});
    }
}

// For 64-bit values, where 65 unrolled widths would cost more code than the
// runtime shifts cost time.
template <Element T, bool Zig>
void unpack_sse2_any(void *dst, const unsigned char *area, unsigned b) {
    if (b == 0) return zero_block<T>(dst);
    if (b == bits_of<T>) return copy_block<T, Zig>(dst, area);
    const __m128i mask = vec::splat<T>(low_mask<T>(b));
    __m128i word = vec::load16(area);
    auto *out = static_cast<unsigned char *>(dst);
    for (size_t g = 0; g < value_groups<T>; ++g) unpack_step<T, Zig>(out, area, g, b, mask, word);
}

using UnpackFn = void (*)(void *, const unsigned char *);

template <Element T, bool Zig, template <class, unsigned, bool> class Kernel, size_t... B>
constexpr std::array<UnpackFn, sizeof...(B)> width_table(std::index_sequence<B...>) {
    return {&Kernel<T, unsigned(B), Zig>::run...};
}

template <class T, unsigned B, bool Zig> struct Sse2Fixed {
    static void run(void *dst, const unsigned char *area) {
        unpack_sse2_fixed<T, B, Zig>(dst, area);
    }
};

// ---- AVX2, for 1- and 2-byte values -----------------------------------
// One 32-byte register holds two consecutive output groups, so that every
// store is a whole 32 bytes and nothing crosses between the halves. The two
// groups start at different bit offsets; 32-bit variable shifts move each
// half by its own count, and masks drop the bits that such a shift carries
// from one value's lane into its neighbour's.

// A 32-bit pattern in each half; with constant arguments the compiler
// makes it one constant in memory.
VARDA_AVX2 inline __m256i per_half(uint32_t low, uint32_t high) {
    return _mm256_setr_epi32(int(low), int(low), int(low), int(low), int(high), int(high),
                             int(high), int(high));
}

// The value repeated over the lanes of a 32-bit word.
template <Element T> constexpr uint32_t repeat32(T v) {
    return sizeof(T) == 1 ? uint32_t(v) * 0x01010101u : uint32_t(v) * 0x00010001u;
}

// Area words `First` and `Second` (equal or consecutive) in the two halves.
template <size_t First, size_t Second>
VARDA_AVX2 inline __m256i load_words(const unsigned char *area) {
    if constexpr (First == Second)
        return _mm256_broadcastsi128_si256(vec::load16(area + 16 * First));
    else
        return vec::load32(area + 16 * First);
}

// 2-byte values: with S the shift of a half, a multiply by 2^(16 - S)
// moves its lanes down by S (the high product) and the next word's lanes up
// by 16 - S (the low product), one constant for both; multiplies also
// leave the shift units free. A zero shift, which a multiplier cannot
// express, falls back to a 32-bit variable shift. The next word's bits
// that land at b or above in a half that does not continue, and the carry
// of a 32-bit shift there, fall to the final width mask.
template <unsigned B, size_t G>
[[gnu::always_inline]] VARDA_AVX2 inline __m256i unpack_pair16(const unsigned char *area,
                                                               __m256i width_mask) {
    constexpr unsigned w = 16;
    constexpr size_t k0 = word_of<uint16_t>(G, B), k1 = word_of<uint16_t>(G + 1, B);
    constexpr unsigned s0 = shift_of<uint16_t>(G, B), s1 = shift_of<uint16_t>(G + 1, B);
    constexpr bool spill0 = s0 + B > w, spill1 = s1 + B > w;
    constexpr uint32_t m0 = s0 ? 1u << (w - s0) : 0, m1 = s1 ? 1u << (w - s1) : 0;
    const __m256i multiplier = per_half(repeat32(uint16_t(m0)), repeat32(uint16_t(m1)));
    const __m256i words = load_words<k0, k1>(area);
    __m256i v;
    if constexpr (s0 && s1) {
        v = _mm256_mulhi_epu16(words, multiplier);
    } else {
        v = _mm256_srlv_epi32(words, per_half(s0, s1));
        // A carry into a half that continues would mix with the
        // continuation: keep only its w - s bits.
        if constexpr ((s0 && spill0) || (s1 && spill1))
            v = _mm256_and_si256(v, per_half(repeat32(low_mask<uint16_t>(w - s0)),
                                             repeat32(low_mask<uint16_t>(w - s1))));
    }
    if constexpr (spill0 || spill1) {
        __m256i next;
        if constexpr (k1 + 1 < 2 * size_t(B))
            next = load_words<k0 + 1, k1 + 1>(area);
        else // the last word: only the first half can continue into it
            next = _mm256_zextsi128_si256(vec::load16(area + 16 * (k0 + 1)));
        v = _mm256_or_si256(v, _mm256_mullo_epi16(next, multiplier));
    }
    return _mm256_and_si256(v, width_mask);
}

// Bytes, with 32-bit variable shifts. Each half keeps its w - s bits when
// its values continue into the next word and b otherwise, which drops the
// shift's carry from the byte above either way; the continuation is masked
// to the bits it brings before it moves, so it carries nothing.
template <unsigned B, size_t G>
[[gnu::always_inline]] VARDA_AVX2 inline __m256i unpack_pair8(const unsigned char *area) {
    constexpr unsigned w = 8;
    constexpr size_t k0 = word_of<uint8_t>(G, B), k1 = word_of<uint8_t>(G + 1, B);
    constexpr unsigned s0 = shift_of<uint8_t>(G, B), s1 = shift_of<uint8_t>(G + 1, B);
    constexpr bool spill0 = s0 + B > w, spill1 = s1 + B > w;
    constexpr uint8_t keep0 = spill0 ? low_mask<uint8_t>(w - s0) : low_mask<uint8_t>(B);
    constexpr uint8_t keep1 = spill1 ? low_mask<uint8_t>(w - s1) : low_mask<uint8_t>(B);
    const __m256i low_bits =
        _mm256_and_si256(_mm256_srlv_epi32(load_words<k0, k1>(area), per_half(s0, s1)),
                         per_half(repeat32(keep0), repeat32(keep1)));
    if constexpr (!spill0 && !spill1) {
        return low_bits;
    } else {
        constexpr uint8_t take0 = spill0 ? low_mask<uint8_t>(s0 + B - w) : 0;
        constexpr uint8_t take1 = spill1 ? low_mask<uint8_t>(s1 + B - w) : 0;
        __m256i next;
        if constexpr (k1 + 1 < 2 * size_t(B))
            next = load_words<k0 + 1, k1 + 1>(area);
        else
            next = _mm256_zextsi128_si256(vec::load16(area + 16 * (k0 + 1)));
        next = _mm256_and_si256(next, per_half(repeat32(take0), repeat32(take1)));
        return _mm256_or_si256(
            low_bits, _mm256_sllv_epi32(next, per_half(spill0 ? w - s0 : 0, spill1 ? w - s1 : 0)));
    }
}

template <Element T, unsigned B, size_t G, bool Zig>
[[gnu::always_inline]] VARDA_AVX2 inline __m256i unpack_pair(const unsigned char *area,
                                                             __m256i width_mask) {
    __m256i v;
    if constexpr (sizeof(T) == 2)
        v = unpack_pair16<B, G>(area, width_mask);
    else
        v = unpack_pair8<B, G>(area);
    if constexpr (Zig) v = vec::unzigzag<T>(v);
    return v;
}

// A 32-byte store that crosses a cache line costs about two. When the
// output sits 16 bytes past a 32-byte boundary, as large heap blocks do,
// the pairs shift by one group and the first and last groups go alone.
template <Element T, unsigned B, bool Zig>
VARDA_AVX2 void unpack_avx2_fixed(void *dst, const unsigned char *area) {
    constexpr size_t groups = value_groups<T>;
    if constexpr (B == 0) {
        zero_block<T>(dst);
    } else if constexpr (B == bits_of<T>) {
        copy_block<T, Zig>(dst, area);
    } else {
        auto *out = static_cast<unsigned char *>(dst);
        const __m256i width_mask = vec::splat256<T>(low_mask<T>(B));
        if ((reinterpret_cast<uintptr_t>(dst) & 16) == 0) {
            [&]<size_t... P>(std::index_sequence<P...>) VARDA_AVX2 {
                (vec::store32(out + 32 * P, unpack_pair<T, B, 2 * P, Zig>(area, width_mask)), ...);
            }
            (std::make_index_sequence<groups / 2>{});
        } else {
            const __m256i first = unpack_pair<T, B, 0, Zig>(area, width_mask);
            vec::store16(out, _mm256_castsi256_si128(first));
            [&]<size_t... P>(std::index_sequence<P...>) VARDA_AVX2 {
                (vec::store32(out + 16 + 32 * P,
                              unpack_pair<T, B, 2 * P + 1, Zig>(area, width_mask)),
                 ...);
            }
            (std::make_index_sequence<groups / 2 - 1>{});
            const __m256i last = unpack_pair<T, B, groups - 2, Zig>(area, width_mask);
            vec::store16(out + 16 * (groups - 1), _mm256_extracti128_si256(last, 1));
        }
    }
}

template <class T, unsigned B, bool Zig> struct Avx2Fixed {
    static void run(void *dst, const unsigned char *area) {
        unpack_avx2_fixed<T, B, Zig>(dst, area);
    }
};

template <Element T, bool Zig>
constexpr auto
    sse2_table = width_table<T, Zig, Sse2Fixed>(std::make_index_sequence<bits_of<T> + 1>{});
template <Element T, bool Zig>
constexpr auto
    avx2_table = width_table<T, Zig, Avx2Fixed>(std::make_index_sequence<bits_of<T> + 1>{});

// Dispatch only; the AVX2 code is in the table's entries.
template <bool Zig>
inline void pfor_unpack8_avx2(void *dst, const unsigned char *area, unsigned b) {
    avx2_table<uint8_t, Zig>[b](dst, area);
}

template <bool Zig>
inline void pfor_unpack16_avx2(void *dst, const unsigned char *area, unsigned b) {
    avx2_table<uint16_t, Zig>[b](dst, area);
}

#endif

// The low b bits of the 256 values, as codes or, with Zig, as the
// residuals they code.
template <Element T, bool Zig>
void unpack_area(void *dst, const unsigned char *area, unsigned b, [[maybe_unused]] bool avx2) {
#if VARDA_X86
    if constexpr (sizeof(T) == 1) {
        if (avx2) return pfor_unpack8_avx2<Zig>(dst, area, b);
    } else if constexpr (sizeof(T) == 2) {
        if (avx2) return pfor_unpack16_avx2<Zig>(dst, area, b);
    }
    if constexpr (sizeof(T) == 8)
        unpack_sse2_any<T, Zig>(dst, area, b);
    else
        sse2_table<T, Zig>[b](dst, area);
#else
    if (b == 0) {
        std::memset(dst, 0, block_values * sizeof(T));
    } else {
        if (b == bits_of<T>)
            std::memcpy(dst, area, block_values * sizeof(T));
        else
            unpack_portable<T>(dst, area, b);
        if constexpr (Zig)
            for (size_t i = 0; i < block_values; ++i) store<T>(dst, i, unzigzag(load<T>(dst, i)));
    }
#endif
}

// An exception's value from what its low bits unpacked to and its high
// part. A residual needs no second unzigzag: with b >= 1 the low bits hold
// the code's lowest bit, so unzigzag(low | high << b) = unzigzag(low) ^
// (high << (b - 1)); with b = 0 the value is the high part alone.
template <Element T, bool Zig> struct Exception {
    unsigned b;
    uint64_t scale; // 2^b for codes, 2^(b - 1) for residuals

    explicit Exception(unsigned base)
        : b(base), scale(uint64_t(1) << (Zig && base ? base - 1 : base)) {}
    T operator()(T unpacked, uint64_t high) const {
        if constexpr (Zig)
            return b ? T(unpacked ^ T(high * scale)) : unzigzag(T(high));
        else
            return T(unpacked | T(high * scale));
    }
};

// The index list with word loads. Up to x = 19, one load serves three
// high parts, and a multiply stands in for the shift by b, so that the
// shift unit only ever shifts by x.
template <Element T, bool Zig>
bool patch_list_words(void *dst, const unsigned char *positions, unsigned n,
                      const unsigned char *field, unsigned x, unsigned b) {
    const uint64_t x_mask = (uint64_t(1) << x) - 1;
    const Exception<T, Zig> value(b);
    int previous = -1;
    const auto apply = [&](unsigned k, uint64_t high) {
        const int index = positions[k];
        if (index <= previous) return false;
        previous = index;
        store<T>(dst, size_t(index), value(load<T>(dst, size_t(index)), high));
        return true;
    };
    unsigned k = 0;
    size_t bit = 0;
    if (x <= 19) {
        for (; k + 3 <= n; k += 3, bit += 3 * size_t(x)) {
            uint64_t word;
            std::memcpy(&word, field + bit / 8, 8);
            word >>= bit % 8;
            if (!apply(k, word & x_mask)) return false;
            word >>= x;
            if (!apply(k + 1, word & x_mask)) return false;
            word >>= x;
            if (!apply(k + 2, word & x_mask)) return false;
        }
    }
    for (; k < n; ++k, bit += x) {
        uint64_t word;
        std::memcpy(&word, field + bit / 8, 8);
        if (!apply(k, (word >> (bit % 8)) & x_mask)) return false;
    }
    return true;
}

// ORs the k-th x-bit high part, shifted left by b, into the value at each
// exception's index, in stream order. A list index that does not rise
// refuses the block there, after the values before it are patched.
template <Element T, bool Zig, bool WordLoads>
bool patch(void *dst, const unsigned char *positions, bool list, unsigned n,
           const unsigned char *field, size_t readable, unsigned x, unsigned b) {
    // Word loads only run for x < 58; the byte-wise path takes up to 64.
    const uint64_t x_mask = WordLoads ? (uint64_t(1) << x) - 1 : 0;
    const Exception<T, Zig> value(b);
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
        store<T>(dst, index, value(load<T>(dst, index), high));
        bit += x;
    };
    if constexpr (WordLoads) {
        if (list) return patch_list_words<T, Zig>(dst, positions, n, field, x, b);
    }
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

template <Element T> bool use_avx2_for() {
    if constexpr (sizeof(T) <= 2)
        return use_avx2();
    else
        return false;
}

// Checks 2 to 5 of a block, then unpacks and patches it. Returns the block
// length, or 0 for a refusal.
template <Element T, bool Zig>
[[gnu::noinline]] uint64_t decode_block_patched(void *dst, const unsigned char *src,
                                                uint64_t src_len) {
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
            // Residual blocks are unpacked into the caller's tile: a block
            // refused there must leave it as it was.
            if constexpr (Zig)
                for (unsigned k = 1; k < n; ++k)
                    if (src[3 + k] <= src[2 + k]) return 0;
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

    unpack_area<T, Zig>(dst, src + header, b, use_avx2_for<T>());

    if (n > 0) {
        const unsigned char *positions = src + 3;
        const unsigned char *field = positions + (list ? n : bitmap_bytes);
        const size_t readable = field_len + area_bytes(b);
        // Word loads for every high part when the last one still has eight
        // checked bytes ahead: the common case, with no test per exception.
        if (x < 58 && (size_t(n - 1) * x) / 8 + 8 <= readable) {
            if (!patch<T, Zig, true>(dst, positions, list, n, field, readable, x, b)) return 0;
        } else if (!patch<T, Zig, false>(dst, positions, list, n, field, readable, x, b)) {
            return 0;
        }
    }
    return header + area_bytes(b);
}

// Blocks without exceptions, the usual kind, take a short road: a call
// frame for the general case costs a fifth of unpacking a narrow block.
template <Element T, bool Zig = false>
inline uint64_t decode_block(void *dst, const unsigned char *src, uint64_t src_len) {
    if (src_len >= 2 && src[1] == 0) {
        const unsigned b = src[0];
        if (b > bits_of<T> || src_len - 2 < area_bytes(b)) return 0;
        unpack_area<T, Zig>(dst, src + 2, b, use_avx2_for<T>());
        return 2 + area_bytes(b);
    }
    return decode_block_patched<T, Zig>(dst, src, src_len);
}

} // namespace

uint64_t varda::pfor::decode_residual_block(void *dst, uint64_t elem_size, const void *src,
                                            uint64_t src_len) {
    return with_width(elem_size, uint64_t(0), [&]<Element T>() {
        return decode_block<T, true>(dst, static_cast<const unsigned char *>(src), src_len);
    });
}

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
