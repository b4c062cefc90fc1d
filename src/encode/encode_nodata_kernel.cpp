// Nodata, encoder side: masks from NaN or a sentinel, the fill that gives
// the predictors continuous values in place of nodata, and the guarded mask
// that remembers on which side of the sentinel each valid sample lay.
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include "frame/dtype.h"
#include "frame/elem.h"
#include "frame/sample.h"
#include "nodata/mask_block.h"
#include "varda_kernels.h"

using namespace varda;

namespace {

constexpr uint8_t valid_byte = 0xFF;

template <Element T> constexpr T all_ones = T(~T(0));
template <Element T> constexpr T magnitude_bits = T(all_ones<T> / 2);
template <Element T> constexpr T sign_bit = T(~magnitude_bits<T>);

// Exponent field of the float format of T's width; T is 2, 4 or 8 bytes.
template <Element T> constexpr T float_exponent() {
    if constexpr (sizeof(T) == 2)
        return T(0x7C00);
    else if constexpr (sizeof(T) == 4)
        return T(0x7F800000u);
    else
        return T(0x7FF0000000000000ull);
}

// NaN: exponent all ones and a fraction, whatever the sign.
template <Element T> constexpr bool is_nan_bits(T bits) {
    return T(bits & magnitude_bits<T>) > float_exponent<T>();
}

void fill_valid(uint8_t *mask, uint64_t count) {
    if (count) std::memset(mask, valid_byte, count);
}

// ---- Plain masks ---------------------------------------------------------

// Mask byte i: 0 where `nodata` holds for sample i, 0xFF elsewhere. The
// vector steps need the mask apart from the samples; otherwise each sample
// is read before its mask byte is written.
template <Element T, class Scalar, class Lanes>
void mark(uint8_t *mask, const void *src, size_t count, Scalar &&nodata, Lanes &&nodata_lanes) {
    const bool vector = !overlaps(mask, count, src, count * sizeof(T));
    const auto single = [&](size_t i) { mask[i] = nodata(load<T>(src, i)) ? 0 : valid_byte; };
#if VARDA_X86
    const __m128i ones = _mm_set1_epi8(-1);
    mask_steps(
        count, vector,
        [&](size_t i) {
            const __m128i hit = vec::bytes16<T>(at<T>(src, i), nodata_lanes);
            vec::store16(mask + i, _mm_xor_si128(hit, ones));
        },
        [&](size_t i) {
            const __m128i hit = vec::bytes8<T>(at<T>(src, i), nodata_lanes);
            vec::store8(mask + i, _mm_xor_si128(hit, ones));
        },
        single);
#else
    (void)vector;
    (void)nodata_lanes;
    for (size_t i = 0; i < count; ++i) single(i);
#endif
}

#if VARDA_X86
// All ones in the lanes that hold a NaN pattern.
template <Element T> __m128i nan_lanes(__m128i v) {
    const __m128i magnitude = _mm_and_si128(v, vec::splat<T>(magnitude_bits<T>));
    if constexpr (sizeof(T) == 2) {
        return _mm_cmpgt_epi16(magnitude, vec::splat<T>(float_exponent<T>()));
    } else if constexpr (sizeof(T) == 4) {
        return _mm_cmpgt_epi32(magnitude, vec::splat<T>(float_exponent<T>()));
    } else {
        // No 64-bit compare in SSE2: high dword above the exponent, or equal
        // to it with a low dword that is not zero.
        const __m128i exponent = _mm_set_epi32(0x7FF00000, 0, 0x7FF00000, 0);
        const __m128i above = _mm_cmpgt_epi32(magnitude, exponent);
        const __m128i equal = _mm_cmpeq_epi32(magnitude, exponent);
        const __m128i low_set = _mm_slli_epi64(_mm_xor_si128(equal, _mm_set1_epi8(-1)), 32);
        const __m128i high = _mm_or_si128(above, _mm_and_si128(equal, low_set));
        return _mm_shuffle_epi32(high, 0xF5);
    }
}
#endif

template <Element T> void mark_nan(uint8_t *mask, const void *src, size_t count) {
#if VARDA_X86
    mark<T>(mask, src, count, is_nan_bits<T>, nan_lanes<T>);
#else
    mark<T>(mask, src, count, is_nan_bits<T>, nullptr);
#endif
}

template <Element T> void mark_value(uint8_t *mask, const void *src, size_t count, T sentinel) {
    const auto nodata = [sentinel](T x) { return x == sentinel; };
#if VARDA_X86
    const __m128i target = vec::splat<T>(sentinel);
    mark<T>(mask, src, count, nodata, [target](__m128i v) { return vec::cmpeq<T>(v, target); });
#else
    mark<T>(mask, src, count, nodata, nullptr);
#endif
}

// ---- Fill ----------------------------------------------------------------

// Length of the run of mask bytes from `from` up to `end` whose zero-ness
// equals `nodata`.
size_t run_length(const uint8_t *mask, size_t from, size_t end, bool nodata) {
    size_t i = from;
    if constexpr (std::endian::native == std::endian::little) {
        constexpr uint64_t low = 0x0101010101010101ull, high = 0x8080808080808080ull;
        for (; i + 8 <= end; i += 8) {
            uint64_t word;
            std::memcpy(&word, mask + i, 8);
            // Bit 7 of each byte that ends the run; only the lowest is exact.
            const uint64_t stop =
                nodata ? ((word | ((word & ~high) + ~high)) & high) : ((word - low) & ~word & high);
            if (stop) return i + size_t(std::countr_zero(stop) / 8) - from;
        }
    }
    while (i < end && (mask[i] == 0) == nodata) ++i;
    return i - from;
}

template <Element T>
void fill_rows(void *dst, const void *src, const uint8_t *mask, size_t row_len, size_t count) {
    for (size_t row = 0; row < count; row += row_len) {
        const size_t row_end = row + row_len;
        bool seen_valid = false;
        T last = 0;
        for (size_t i = row; i < row_end;) {
            const bool nodata = mask[i] == 0;
            const size_t n = run_length(mask, i, row_end, nodata);
            if (!nodata) {
                if (dst != src) std::memmove(at<T>(dst, i), at<T>(src, i), n * sizeof(T));
                last = load<T>(dst, i + n - 1);
                seen_valid = true;
            } else if (seen_valid || row == 0) {
                for (size_t k = i; k < i + n; ++k) store<T>(dst, k, last);
            } else {
                // The run ends within the row, so the row above does not
                // reach into it.
                std::memcpy(at<T>(dst, i), at<T>(dst, i - row_len), n * sizeof(T));
            }
            i += n;
        }
    }
}

// ---- Guarded marking -----------------------------------------------------

template <Sample S> struct Bits;
template <Sample S>
requires std::is_integral_v<S>
struct Bits<S> {
    using type = std::make_unsigned_t<S>;
};
template <> struct Bits<Half> { using type = uint16_t; };
template <> struct Bits<float> { using type = uint32_t; };
template <> struct Bits<double> { using type = uint64_t; };
template <Sample S> using bits_t = typename Bits<S>::type;

template <Sample S> int guard_values(nodata_guard &guard, uint64_t sentinel) {
    using U = bits_t<S>;
    const U v = U(sentinel);
    guard = {v, v, v};
    if constexpr (std::is_integral_v<S>) {
        const U max = std::is_signed_v<S> ? magnitude_bits<U> : all_ones<U>;
        const U min = std::is_signed_v<S> ? sign_bit<U> : U(0);
        guard.up = v == max ? v : U(v + 1);
        guard.down = v == min ? v : U(v - 1);
        return 0;
    } else {
        const U exponent = float_exponent<U>();
        if (is_nan_bits(v)) return 2;
        if (U(v & magnitude_bits<U>) == 0) {
            guard.up = 1;
            guard.down = U(sign_bit<U> | 1);
            guard.alias = U(v ^ sign_bit<U>);
        } else if (!(v & sign_bit<U>)) {
            guard.up = v == exponent ? v : U(v + 1);
            guard.down = U(v - 1);
        } else {
            guard.up = U(v - 1);
            guard.down = v == U(sign_bit<U> | exponent) ? v : U(v + 1);
        }
        return 0;
    }
}

// The caller's radius widened by 2^-40; `whole` is what integer types
// measure against, `real` what float types measure against.
struct Radius {
    double real;
    uint64_t whole;
};

Radius effective_radius(double radius) {
    constexpr double unbounded = std::numeric_limits<double>::infinity();
    if (!(radius >= 0) || radius == unbounded) return {unbounded, ~uint64_t(0)};
    const double widened = radius + radius * 0x1p-40;
    // The test comes first: converting 2^64 or more (or +inf) is undefined.
    return {widened, widened >= 0x1p64 ? ~uint64_t(0) : uint64_t(widened)};
}

// What each sample gets: 0 on the sentinel's bits, 1 or 2 within the radius
// above or below it, 3 on the other zero of a zero sentinel, `fallback`
// elsewhere.
template <Sample S> struct GuardRule {
    using U = bits_t<S>;
    U sentinel;
    uint8_t fallback;
    Radius radius;

    uint8_t operator()(U x) const {
        if (x == sentinel) return 0;
        if constexpr (std::is_integral_v<S>) {
            const bool above = S(x) > S(sentinel);
            const U distance = above ? U(x - sentinel) : U(sentinel - x);
            if (distance > radius.whole) return fallback;
            return above ? 1 : 2;
        } else {
            S xs, ss;
            std::memcpy(&xs, &x, sizeof x);
            std::memcpy(&ss, &sentinel, sizeof sentinel);
            const double value = to_double(xs), centre = to_double(ss);
            if (std::isnan(value)) return fallback;
            if (value > centre) return value - centre <= radius.real ? 1 : fallback;
            if (value < centre) return centre - value <= radius.real ? 2 : fallback;
            return 3;
        }
    }
};

#if VARDA_X86
// The guarded rule on lanes of 1-, 2- and 4-byte integers, as codes 0 to 2.
template <Sample S> struct GuardLanes {
    using U = bits_t<S>;
    __m128i sentinel, sentinel_key, order_flip, reach_key, range_sign, fallback, one, two;
    bool whole_range;

    explicit GuardLanes(const GuardRule<S> &rule)
        : sentinel(vec::splat<U>(rule.sentinel)),
          order_flip(vec::splat<U>(std::is_signed_v<S> ? U(0) : sign_bit<U>)),
          range_sign(vec::splat<U>(sign_bit<U>)), fallback(vec::splat<U>(rule.fallback)),
          one(vec::splat<U>(1)), two(vec::splat<U>(2)),
          whole_range(rule.radius.whole >= all_ones<U>) {
        sentinel_key = _mm_xor_si128(sentinel, order_flip);
        reach_key = vec::splat<U>(U(U(rule.radius.whole) ^ sign_bit<U>));
    }

    __m128i operator()(__m128i x) const {
        // Signed compares order unsigned lanes once their sign bits flip.
        const __m128i key = _mm_xor_si128(x, order_flip);
        const __m128i above = vec::cmpgt<U>(key, sentinel_key);
        const __m128i below = vec::cmpgt<U>(sentinel_key, key);
        const __m128i distance =
            vec::select(above, vec::sub<U>(x, sentinel), vec::sub<U>(sentinel, x));
        const __m128i within =
            whole_range
                ? _mm_set1_epi8(-1)
                : _mm_xor_si128(vec::cmpgt<U>(_mm_xor_si128(distance, range_sign), reach_key),
                                _mm_set1_epi8(-1));
        __m128i code = vec::select(_mm_and_si128(above, within), one, fallback);
        code = vec::select(_mm_and_si128(below, within), two, code);
        return _mm_andnot_si128(vec::cmpeq<U>(x, sentinel), code);
    }
};
#endif

template <Sample S>
void mark_guarded(uint8_t *mask, const void *src, size_t count, const GuardRule<S> &rule) {
    using U = bits_t<S>;
    const bool vector = !overlaps(mask, count, src, count * sizeof(U));
    const auto single = [&](size_t i) { mask[i] = rule(load<U>(src, i)); };
    const bool float_zero = is_float_sample<S> && U(rule.sentinel & magnitude_bits<U>) == 0;
    const bool bit_compare = rule.radius.real == 0 && !float_zero;
#if VARDA_X86
    if (bit_compare) {
        // Within a zero radius only the sentinel's own bits are special.
        const __m128i target = vec::splat<U>(rule.sentinel);
        const __m128i fallback = _mm_set1_epi8(char(rule.fallback));
        const auto lanes = [target](__m128i v) { return vec::cmpeq<U>(v, target); };
        mask_steps(
            count, vector,
            [&](size_t i) {
                vec::store16(mask + i,
                             _mm_andnot_si128(vec::bytes16<U>(at<U>(src, i), lanes), fallback));
            },
            [&](size_t i) {
                vec::store8(mask + i,
                            _mm_andnot_si128(vec::bytes8<U>(at<U>(src, i), lanes), fallback));
            },
            single);
        return;
    }
    if constexpr (std::is_integral_v<S> && sizeof(S) <= 4) {
        const GuardLanes<S> lanes(rule);
        mask_steps(
            count, vector,
            [&](size_t i) { vec::store16(mask + i, vec::bytes16<U>(at<U>(src, i), lanes)); },
            [&](size_t i) { vec::store8(mask + i, vec::bytes8<U>(at<U>(src, i), lanes)); }, single);
        return;
    }
#else
    (void)vector;
    (void)bit_compare;
#endif
    for (size_t i = 0; i < count; ++i) single(i);
}

} // namespace

extern "C" VARDA_API int nodata_find_nan(uint64_t *nan_bits, const void *src, uint64_t count,
                                         uint64_t elem_size) {
    return with_width(elem_size, 0, [&]<Element T>() {
        if constexpr (sizeof(T) > 1) { // one byte has no float format
            for (size_t i = 0; i < count; ++i) {
                const T x = load<T>(src, i);
                if (is_nan_bits(x)) {
                    *nan_bits = x;
                    return 1;
                }
            }
        }
        return 0;
    });
}

extern "C" VARDA_API void nodata_mark_nan(uint8_t *mask, const void *src, uint64_t count,
                                          uint64_t elem_size) {
    const bool marked = with_width(elem_size, false, [&]<Element T>() {
        if constexpr (sizeof(T) == 1) {
            return false; // no float format: nothing is NaN
        } else {
            mark_nan<T>(mask, src, count);
            return true;
        }
    });
    if (!marked) fill_valid(mask, count);
}

extern "C" VARDA_API void nodata_mark_value(uint8_t *mask, const void *src, uint64_t count,
                                            uint64_t elem_size, uint64_t sentinel) {
    if (!valid_elem_size(elem_size)) return fill_valid(mask, count);
    with_width(elem_size, 0, [&]<Element T>() {
        mark_value<T>(mask, src, count, T(sentinel));
        return 0;
    });
}

extern "C" VARDA_API void nodata_fill(void *dst, const void *src, const uint8_t *mask,
                                      uint64_t width, uint64_t count, uint64_t elem_size) {
    if (count == 0) return;
    const uint64_t row_len = width - 1 < count && count % width == 0 ? width : count;
    with_width(elem_size, 0, [&]<Element T>() {
        fill_rows<T>(dst, src, mask, row_len, count);
        return 0;
    });
}

extern "C" VARDA_API int nodata_guard_values(nodata_guard *guard, int dtype, uint64_t sentinel) {
    const auto code = uint32_t(dtype);
    *guard = {sentinel, sentinel, sentinel};
    return with_dtype(code, 1, [&]<Sample S>() { return guard_values<S>(*guard, sentinel); });
}

extern "C" VARDA_API int nodata_mark_guarded(uint8_t *mask, const void *src, uint64_t count,
                                             int dtype, uint64_t sentinel, double radius) {
    nodata_guard guard;
    const int kind = nodata_guard_values(&guard, dtype, sentinel);
    if (kind == 1) {
        fill_valid(mask, count);
        return 1;
    }
    const auto code = uint32_t(dtype);
    if (kind == 2) {
        nodata_mark_value(mask, src, count, dtype_size[code], sentinel);
        return 2;
    }
    return with_dtype(code, 0, [&]<Sample S>() {
        using U = bits_t<S>;
        const U s = U(sentinel);
        const GuardRule<S> rule{s, uint8_t(guard.up == s ? 2 : 1), effective_radius(radius)};
        mark_guarded<S>(mask, src, count, rule);
        return 0;
    });
}
