#include "splitters.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <numeric>
#include <type_traits>
#include <vector>

#include "dtypes.h"
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

uint64_t order_key(uint64_t bits, uint64_t elem_size, int dtype) {
    const uint64_t sign = uint64_t(1) << (8 * elem_size - 1), all = sign | (sign - 1);
    if (is_float(dtype)) return bits & sign ? ~bits & all : bits ^ sign;
    return is_signed(dtype) ? bits ^ sign : bits;
}

uint64_t bits_of_key(uint64_t key, uint64_t elem_size, int dtype) {
    const uint64_t sign = uint64_t(1) << (8 * elem_size - 1), all = sign | (sign - 1);
    if (is_float(dtype)) return key & sign ? key ^ sign : ~key & all;
    return is_signed(dtype) ? key ^ sign : key;
}

// Wider keys go to an open-addressed table four times the limit: probes
// stay short however the keys fall.
Palette::Palette(uint64_t elem_size, int dtype, uint64_t limit)
    : elem_size_(elem_size), limit_(limit), dtype_(dtype), direct_(elem_size <= 2) {
    const uint64_t slots = direct_ ? uint64_t(1) << (8 * elem_size) : std::bit_ceil(4 * limit + 4);
    mask_ = slots - 1;
    slot_ranks_.assign(slots, 0);
    if (!direct_) slot_keys_.resize(slots);
    keys_.reserve(limit);
}

uint64_t Palette::slot(uint64_t key) const {
    if (direct_) return key;
    uint64_t at = (key * 0x9E3779B97F4A7C15ull) >> 32 & mask_;
    while (slot_ranks_[at] != 0 && slot_keys_[at] != key) at = (at + 1) & mask_;
    return at;
}

bool Palette::add(const unsigned char *samples, uint64_t count) {
    return with_width(elem_size_, false, [&]<Element T>() {
        // In locals: the stores below may alias the members.
        const uint64_t es = elem_size_;
        const int dtype = dtype_;
        uint16_t *ranks = slot_ranks_.data();
        if (direct_) {
            // Every key marks its slot, without a test, and the keys are
            // then read off the table in order.
            for (uint64_t i = 0; i < count; ++i)
                ranks[order_key(load<T>(samples, i), es, dtype)] = 1;
            keys_.clear();
            for (uint64_t key = 0; key <= mask_; key += 4) { // a table of 256 or 65536
                uint64_t four;
                std::memcpy(&four, ranks + key, 8);
                if (four == 0) continue;
                for (uint64_t k = key; k < key + 4; ++k)
                    if (ranks[k] != 0) keys_.push_back(k);
            }
            return keys_.size() <= limit_;
        }
        for (uint64_t i = 0; i < count; ++i) {
            const uint64_t key = order_key(load<T>(samples, i), es, dtype);
            const uint64_t at = slot(key);
            if (ranks[at] != 0) continue;
            if (keys_.size() == limit_) return false;
            ranks[at] = 1;
            slot_keys_[at] = key;
            keys_.push_back(key);
        }
        return true;
    });
}

void Palette::rank() {
    std::sort(keys_.begin(), keys_.end());
    for (size_t r = 0; r < keys_.size(); ++r) slot_ranks_[slot(keys_[r])] = uint16_t(r + 1);
}

void Palette::ranks_of(unsigned char *ranks, uint64_t rank_size, const unsigned char *samples,
                       uint64_t count) const {
    with_width(elem_size_, 0, [&]<Element T>() {
        // In locals: the stores of ranks may alias the members.
        const uint64_t es = elem_size_;
        const int dtype = dtype_;
        const bool direct = direct_;
        const uint16_t *slot_ranks = slot_ranks_.data();
        for (uint64_t i = 0; i < count; ++i) {
            const uint64_t key = order_key(load<T>(samples, i), es, dtype);
            const unsigned r = slot_ranks[direct ? key : slot(key)];
            if (rank_size == 1)
                store<uint8_t>(ranks, i, uint8_t(r - 1));
            else
                store<uint16_t>(ranks, i, uint16_t(r - 1));
        }
        return 0;
    });
}

bool palette_may_pay(const unsigned char *samples, uint64_t count, uint64_t elem_size, int dtype) {
    const uint64_t probe = std::min<uint64_t>(count, 4096), stride = count / probe;
    // The probed samples side by side, added in one call.
    std::vector<unsigned char> probed(probe * elem_size);
    for (uint64_t i = 0; i < probe; ++i)
        std::memcpy(probed.data() + i * elem_size, samples + i * stride * elem_size, elem_size);
    Palette palette(elem_size, dtype, palette_limit / 4);
    if (!palette.add(probed.data(), probe)) return false;
    const std::vector<uint64_t> &keys = palette.keys();
    const auto [low, high] = std::minmax_element(keys.begin(), keys.end());
    return *high - *low >= 2 * keys.size();
}

} // namespace varda::codec
