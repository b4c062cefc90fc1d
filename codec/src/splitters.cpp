#include "splitters.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <numeric>
#include <type_traits>
#include <vector>

#include "join_split.h"
#include "words.h"

namespace varda::codec {

namespace {

template <Element T> int64_t signed_value(T bits) { return int64_t(std::make_signed_t<T>(bits)); }

template <Element T> uint64_t distance(T a, T b, bool is_signed) {
    if (!is_signed) return a > b ? uint64_t(a - b) : uint64_t(b - a);
    const int64_t x = signed_value(a), y = signed_value(b);
    return x > y ? uint64_t(x) - uint64_t(y) : uint64_t(y) - uint64_t(x);
}

} // namespace

uint64_t common_multiplier(const unsigned char *samples, uint64_t count, uint64_t elem_size,
                           bool is_signed) {
    return with_width(elem_size, uint64_t(0), [&]<Element T>() -> uint64_t {
        const T first = load<T>(samples, 0);
        uint64_t m = 0;
        for (uint64_t i = 1; i < count && m != 1; ++i)
            m = std::gcd(m, distance(load<T>(samples, i), first, is_signed));
        if (m < 2 || m > uint64_t(T(~T(0)))) return 0;
        return m;
    });
}

void intmult_split_signed(unsigned char *quot, unsigned char *rem, const unsigned char *samples,
                          uint64_t count, uint64_t elem_size, uint64_t m) {
    with_width(elem_size, 0, [&]<Element T>() {
        const __int128 divisor = m;
        for (uint64_t i = 0; i < count; ++i) {
            const __int128 value = signed_value(load<T>(samples, i));
            __int128 whole = value / divisor, part = value % divisor;
            if (part < 0) {
                part += divisor;
                whole -= 1;
            }
            store<T>(quot, i, T(uint64_t(whole)));
            store<T>(rem, i, T(uint64_t(part)));
        }
        return 0;
    });
}

double decimal_step(const unsigned char *samples, uint64_t count, uint64_t elem_size, bool wide) {
    if (elem_size != 4 && elem_size != 8) return 0;
    if (wide && elem_size != 4) return 0;
    // A sample the step rebuilds exactly leaves the correction S, the sign
    // bit of the element, whatever its sign.
    const uint64_t probe = count < 4096 ? count : 4096, stride = count / probe;
    std::vector<unsigned char> picked(probe * elem_size), index(picked.size()), fix(picked.size());
    for (uint64_t i = 0; i < probe; ++i)
        std::copy_n(samples + i * stride * elem_size, elem_size, picked.data() + i * elem_size);
    const uint64_t exact_fix = uint64_t(1) << (8 * elem_size - 1);
    const int digits = elem_size == 4 ? 7 : 15;
    for (int k = 0; k <= digits; ++k) {
        const double step = std::pow(10.0, -k);
        if (wide)
            host::floatmult_split_wide(index.data(), fix.data(), picked.data(), probe, step);
        else
            host::floatmult_split(index.data(), fix.data(), picked.data(), probe, elem_size, step);
        uint64_t finite = 0, exact = 0;
        for (uint64_t i = 0; i < probe; ++i) {
            uint64_t bits = 0, correction = 0;
            std::memcpy(&bits, picked.data() + i * elem_size, elem_size);
            std::memcpy(&correction, fix.data() + i * elem_size, elem_size);
            const bool is_finite = elem_size == 4
                                       ? std::isfinite(std::bit_cast<float>(uint32_t(bits)))
                                       : std::isfinite(std::bit_cast<double>(bits));
            finite += is_finite;
            exact += is_finite && correction == exact_fix;
        }
        if (finite > 0 && exact * 20 >= finite * 19) return step;
    }
    return 0;
}

} // namespace varda::codec
