#include "splitters.h"

#include <bit>
#include <cmath>
#include <numeric>
#include <type_traits>

#include "frame/elem.h"

namespace varda::codec {

namespace {

// A sample of `elem_size` bytes, sign-extended when the type is signed.
template <Element T> int64_t signed_value(T bits) {
    using S = std::make_signed_t<T>;
    return int64_t(S(bits));
}

template <Element T> uint64_t distance(T a, T b, bool is_signed) {
    if (!is_signed) return a > b ? uint64_t(a - b) : uint64_t(b - a);
    const int64_t x = signed_value(a), y = signed_value(b);
    return x > y ? uint64_t(x) - uint64_t(y) : uint64_t(y) - uint64_t(x);
}

// Ordered keys of float bit patterns and the signed map, at width T.
template <Element T> constexpr T sign_bit = T(T(1) << (bits_of<T> - 1));
template <Element T> T key_of(T bits) {
    return (bits & sign_bit<T>) ? T(~bits) : T(bits ^ sign_bit<T>);
}
template <Element T> T signed_map(T a) {
    return (a & sign_bit<T>) ? T(T(sign_bit<T> - 1) - a) : a;
}

template <Element T> using FloatOf = std::conditional_t<sizeof(T) == 4, float, double>;
template <Element T> constexpr int precision = sizeof(T) == 4 ? 24 : 53;

// The index floatmult_join reads as the float n, and the prediction it
// forms from it: n x step in the element's precision.
template <Element T> T float_index(FloatOf<T> n) {
    using F = FloatOf<T>;
    const F magnitude = std::fabs(n);
    const F two_p = F(std::ldexp(1.0, precision<T>));
    T m;
    if (magnitude < two_p)
        m = T(magnitude);
    else
        m = T(std::bit_cast<T>(magnitude) - std::bit_cast<T>(two_p) + (T(1) << precision<T>));
    return std::signbit(n) ? T(T(sign_bit<T> - 1) - m) : T(m ^ sign_bit<T>);
}

template <Element T> FloatOf<T> nearest_index(FloatOf<T> x, FloatOf<T> step) {
    const double n = std::nearbyint(double(x) / double(step));
    // Beyond 2^62 (or for NaN and infinities) the index says nothing useful;
    // the correction then carries the whole sample.
    if (!(std::fabs(n) < 0x1p62)) return FloatOf<T>(0);
    return FloatOf<T>(n);
}

} // namespace

void shuffle(unsigned char *planes, const unsigned char *samples, uint64_t count,
             uint64_t elem_size) {
    for (uint64_t i = 0; i < count; ++i)
        for (uint64_t j = 0; j < elem_size; ++j)
            planes[j * count + i] = samples[i * elem_size + j];
}

uint64_t common_multiplier(const unsigned char *samples, uint64_t count, uint64_t elem_size,
                           bool is_signed) {
    return with_width(elem_size, uint64_t(0), [&]<Element T>() -> uint64_t {
        const T first = load<T>(samples, 0);
        uint64_t m = 0;
        for (uint64_t i = 1; i < count && m != 1; ++i)
            m = std::gcd(m, distance(load<T>(samples, i), first, is_signed));
        if (m < 2) return 0;
        if (sizeof(T) < 8 && m >> bits_of<T> != 0) return 0;
        return m;
    });
}

void intmult_split(unsigned char *quot, unsigned char *rem, const unsigned char *samples,
                   uint64_t count, uint64_t elem_size, bool is_signed, uint64_t m) {
    with_width(elem_size, 0, [&]<Element T>() {
        for (uint64_t i = 0; i < count; ++i) {
            const T x = load<T>(samples, i);
            uint64_t q, r;
            if (is_signed) {
                // Floor division, so that the remainder is never negative.
                const __int128 value = signed_value(x), divisor = m;
                __int128 whole = value / divisor, part = value % divisor;
                if (part < 0) {
                    part += divisor;
                    whole -= 1;
                }
                q = uint64_t(whole);
                r = uint64_t(part);
            } else {
                q = uint64_t(x) / m;
                r = uint64_t(x) % m;
            }
            store<T>(quot, i, T(q));
            store<T>(rem, i, T(r));
        }
        return 0;
    });
}

BinTable bit_length_table(uint64_t elem_size) {
    BinTable table{};
    table.nbins = uint32_t(8 * elem_size + 1);
    for (uint32_t c = 1; c < table.nbins; ++c) {
        table.bases[c] = uint64_t(1) << (c - 1);
        table.widths[c] = static_cast<unsigned char>(c - 1);
    }
    return table;
}

void binoffset_split(unsigned char *selectors, Bytes &packed, const unsigned char *values,
                     uint64_t count, uint64_t elem_size) {
    packed.clear();
    uint64_t buffer = 0;
    unsigned filled = 0;
    const auto put = [&](uint64_t bits, unsigned width) {
        // width < 64 here: the top bit of a class is implied.
        if (width == 0) return;
        buffer |= bits << filled;
        if (filled + width >= 64) {
            for (int k = 0; k < 8; ++k) packed.push_back(static_cast<unsigned char>(buffer >> 8 * k));
            const unsigned used = 64 - filled;
            buffer = used < 64 ? bits >> used : 0;
            filled = filled + width - 64;
        } else {
            filled += width;
        }
    };
    with_width(elem_size, 0, [&]<Element T>() {
        for (uint64_t i = 0; i < count; ++i) {
            const uint64_t v = load<T>(values, i);
            const unsigned c = unsigned(std::bit_width(v));
            selectors[i] = static_cast<unsigned char>(c);
            if (c > 1) put(v - (uint64_t(1) << (c - 1)), c - 1);
        }
        return 0;
    });
    for (unsigned k = 0; k * 8 < filled; ++k) packed.push_back(static_cast<unsigned char>(buffer >> 8 * k));
}

uint64_t binoffset_packed_bytes(const unsigned char *selectors, uint64_t count,
                                const BinTable &table) {
    uint64_t bits = 0;
    for (uint64_t i = 0; i < count; ++i)
        if (selectors[i] < table.nbins) bits += table.widths[selectors[i]];
    return bits / 8 + (bits % 8 != 0);
}

void floatquant_split(unsigned char *high, unsigned char *low, const unsigned char *samples,
                      uint64_t count, uint64_t elem_size, unsigned shift) {
    with_width(elem_size, 0, [&]<Element T>() {
        const T ones = shift ? T(T(~T(0)) >> (bits_of<T> - shift)) : T(0);
        const T half = T(sign_bit<T> >> shift);
        for (uint64_t i = 0; i < count; ++i) {
            const T key = key_of(load<T>(samples, i));
            const T h = shift ? T(key >> shift) : key;
            const T l = T(key & ones);
            store<T>(high, i, h);
            store<T>(low, i, h >= half ? l : T(ones - l));
        }
        return 0;
    });
}

double decimal_step(const unsigned char *samples, uint64_t count, uint64_t elem_size) {
    if (elem_size != 4 && elem_size != 8) return 0;
    return with_width(elem_size, 0.0, [&]<Element T>() -> double {
        using F = FloatOf<T>;
        const uint64_t probe = count < 4096 ? count : 4096;
        const int digits = sizeof(T) == 4 ? 7 : 15;
        for (int k = 0; k <= digits; ++k) {
            const double step = std::pow(10.0, -k);
            const F element_step = F(step);
            uint64_t finite = 0, exact = 0;
            for (uint64_t i = 0; i < probe; ++i) {
                const T bits = load<T>(samples, i * (count / probe));
                const F x = std::bit_cast<F>(bits);
                if (!std::isfinite(x)) continue;
                ++finite;
                const F predicted = F(nearest_index<T>(x, element_step) * element_step);
                exact += std::bit_cast<T>(predicted) == bits;
            }
            if (finite > 0 && exact * 20 >= finite * 19) return step;
        }
        return 0;
    });
}

void floatmult_split(unsigned char *index, unsigned char *residual, const unsigned char *samples,
                     uint64_t count, uint64_t elem_size, double step) {
    if (elem_size != 4 && elem_size != 8) return;
    with_width(elem_size, 0, [&]<Element T>() {
        using F = FloatOf<T>;
        const F element_step = F(step);
        for (uint64_t i = 0; i < count; ++i) {
            const T bits = load<T>(samples, i);
            const F n = nearest_index<T>(std::bit_cast<F>(bits), element_step);
            const F predicted = F(n * element_step);
            store<T>(index, i, float_index<T>(n));
            store<T>(residual, i, T(signed_map(bits) - key_of(std::bit_cast<T>(predicted))));
        }
        return 0;
    });
}

} // namespace varda::codec
