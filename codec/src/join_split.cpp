#include "join_split.h"

#include "varda_kernels.h"

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>

namespace host {
namespace {

bool valid_size(uint64_t elem_size) {
    return elem_size == 1 || elem_size == 2 || elem_size == 4 || elem_size == 8;
}

uint64_t low_bits(unsigned bits) { return bits >= 64 ? ~uint64_t(0) : (uint64_t(1) << bits) - 1; }

// Elements as 64-bit words, little-endian.
uint64_t get(const void *base, uint64_t i, uint64_t elem_size) {
    uint64_t v = 0;
    std::memcpy(&v, static_cast<const unsigned char *>(base) + i * elem_size, elem_size);
    return v;
}

void put(void *base, uint64_t i, uint64_t elem_size, uint64_t v) {
    std::memcpy(static_cast<unsigned char *>(base) + i * elem_size, &v, elem_size);
}

unsigned bit_length(uint64_t v) { return unsigned(64 - std::countl_zero(v)); }

template <class U> constexpr U sign_of = U(U(1) << (8 * sizeof(U) - 1));

// Unsigned key that orders floats; signed order, its own inverse, with -0 at
// -1.
template <class U> U float_key(U bits) {
    return bits & sign_of<U> ? U(~bits) : U(bits ^ sign_of<U>);
}
template <class U> U signed_order(U a) { return a & sign_of<U> ? U(sign_of<U> - 1 - a) : a; }

template <class F> using Bits = std::conditional_t<sizeof(F) == 4, uint32_t, uint64_t>;

// Integers below 2^p stand for themselves; from 2^p on, index steps are
// steps between representable floats.
template <class F> Bits<F> index_of(F whole) {
    using U = Bits<F>;
    constexpr int p = std::numeric_limits<F>::digits;
    constexpr U exact = U(1) << p, exact_bits = std::bit_cast<U>(F(exact));
    const F magnitude = std::fabs(whole);
    const U m =
        magnitude < F(exact) ? U(magnitude) : U(exact + (std::bit_cast<U>(magnitude) - exact_bits));
    return std::signbit(whole) ? U(sign_of<U> - 1 - m) : U(m ^ sign_of<U>);
}

template <class F> F value_of(Bits<F> q) {
    using U = Bits<F>;
    constexpr int p = std::numeric_limits<F>::digits;
    constexpr U exact = U(1) << p, exact_bits = std::bit_cast<U>(F(exact));
    const bool positive = q & sign_of<U>;
    const U m = positive ? U(q ^ sign_of<U>) : U(sign_of<U> - 1 - q);
    const F magnitude = m < exact ? F(m) : std::bit_cast<F>(U(exact_bits + (m - exact)));
    return positive ? magnitude : -magnitude;
}

// The prediction index x step is computed in A and rounded once to F.
template <class F, class A = F>
void floatmult_split_as(void *index, void *residual, const void *src, uint64_t count, A step) {
    using U = Bits<F>;
    for (uint64_t i = 0; i < count; ++i) {
        U bits;
        std::memcpy(&bits, static_cast<const unsigned char *>(src) + i * sizeof(U), sizeof(U));
        const F whole = F(std::nearbyint(A(std::bit_cast<F>(bits)) / step));
        const U q = std::isfinite(whole) ? index_of<F>(whole) : sign_of<U>;
        const U predicted = std::bit_cast<U>(F(A(value_of<F>(q)) * step));
        put(index, i, sizeof(U), q);
        put(residual, i, sizeof(U), U(signed_order(bits) - float_key(predicted)));
    }
}

template <class U>
void floatquant_split_as(void *high, void *low, const void *src, uint64_t count, unsigned shift) {
    const U half = U(sign_of<U> >> shift), ones = U((U(1) << shift) - 1);
    for (uint64_t i = 0; i < count; ++i) {
        const U key = float_key(U(get(src, i, sizeof(U))));
        const U h = U(key >> shift), l = U(key & ones);
        put(high, i, sizeof(U), h);
        put(low, i, sizeof(U), h >= half ? l : U(ones - l));
    }
}

} // namespace

int binoffset_split(uint8_t *widths, void *low, const void *src, uint64_t count,
                    uint64_t elem_size) {
    if (!valid_size(elem_size)) return 1;
    for (uint64_t i = 0; i < count; ++i) {
        const uint64_t v = get(src, i, elem_size);
        const unsigned w = bit_length(v);
        widths[i] = uint8_t(w);
        put(low, i, elem_size, w ? v & low_bits(w - 1) : 0);
    }
    return 0;
}

uint32_t binoffset_class_table(uint64_t *bases, uint8_t *widths, uint64_t elem_size) {
    const unsigned bits = unsigned(8 * elem_size);
    bases[0] = 0;
    widths[0] = 0;
    for (unsigned w = 1; w <= bits; ++w) {
        bases[w] = uint64_t(1) << (w - 1);
        widths[w] = uint8_t(w - 1);
    }
    return bits + 1;
}

int binoffset_split_table(uint8_t *bins, void *offsets, const void *src, uint64_t count,
                          uint64_t elem_size, const uint64_t *bases, const uint8_t *widths,
                          uint32_t nbins) {
    if (!valid_size(elem_size) || nbins == 0 || nbins > 256) return 1;
    const unsigned bits = unsigned(8 * elem_size);
    const uint64_t mask = low_bits(bits);
    for (uint32_t b = 0; b < nbins; ++b)
        if (widths[b] > bits) return 1;
    int missed = 0;
    for (uint64_t i = 0; i < count; ++i) {
        const uint64_t v = get(src, i, elem_size);
        unsigned best = 0, best_width = bits + 1;
        for (uint32_t b = 0; b < nbins; ++b) {
            const uint64_t offset = (v - bases[b]) & mask;
            if (widths[b] < best_width && (offset & ~low_bits(widths[b])) == 0)
                best = b, best_width = widths[b];
        }
        missed |= best_width > bits;
        bins[i] = uint8_t(best);
        put(offsets, i, elem_size, (v - bases[best]) & mask);
    }
    return missed;
}

uint64_t binoffset_packed_size(const uint8_t *bins, uint64_t count, const uint8_t *widths) {
    uint64_t total = 0;
    for (uint64_t i = 0; i < count; ++i) total += widths[bins[i]];
    return (total + 7) / 8;
}

void binoffset_pack(void *packed, const uint8_t *bins, const void *offsets, uint64_t count,
                    uint64_t elem_size, const uint8_t *widths) {
    auto *out = static_cast<unsigned char *>(packed);
    const uint64_t size = binoffset_packed_size(bins, count, widths);
    if (size == 0) return;
    std::memset(out, 0, size);
    uint64_t p = 0;
    for (uint64_t i = 0; i < count; ++i) {
        const unsigned w = widths[bins[i]];
        if (w == 0) continue;
        const uint64_t v = get(offsets, i, elem_size) & low_bits(w);
        const unsigned s = unsigned(p & 7), first = 8 - s;
        uint64_t byte = p >> 3;
        out[byte] = uint8_t(out[byte] | uint8_t(v << s));
        uint64_t rest = first < 64 ? v >> first : 0;
        for (unsigned done = first; done < w; done += 8, rest >>= 8) out[++byte] = uint8_t(rest);
        p += w;
    }
}

int intmult_split(void *quot, void *rem, const void *src, uint64_t count, uint64_t elem_size,
                  uint64_t mult) {
    if (!valid_size(elem_size) || mult < 2 || mult > low_bits(unsigned(8 * elem_size))) return 1;
    for (uint64_t i = 0; i < count; ++i) {
        const uint64_t v = get(src, i, elem_size);
        put(quot, i, elem_size, v / mult);
        put(rem, i, elem_size, v % mult);
    }
    return 0;
}

int floatquant_split(void *high, void *low, const void *src, uint64_t count, uint64_t elem_size,
                     uint32_t shift) {
    switch (elem_size) {
    case 4: floatquant_split_as<uint32_t>(high, low, src, count, shift & 31); return 0;
    case 8: floatquant_split_as<uint64_t>(high, low, src, count, shift & 63); return 0;
    default: return 1;
    }
}

int floatmult_split(void *index, void *residual, const void *src, uint64_t count,
                    uint64_t elem_size, double step) {
    switch (elem_size) {
    case 4: floatmult_split_as<float>(index, residual, src, count, float(step)); return 0;
    case 8: floatmult_split_as<double>(index, residual, src, count, step); return 0;
    default: return 1;
    }
}

void floatmult_split_wide(void *index, void *residual, const void *src, uint64_t count,
                          double step) {
    floatmult_split_as<float, double>(index, residual, src, count, step);
}

void floatmult_join_wide(void *dst, const void *index, const void *residual, uint64_t count,
                         double step) {
    for (uint64_t i = 0; i < count; ++i) {
        const auto q = uint32_t(get(index, i, 4));
        const auto predicted = std::bit_cast<uint32_t>(float(double(value_of<float>(q)) * step));
        put(dst, i, 4,
            signed_order(uint32_t(float_key(predicted) + uint32_t(get(residual, i, 4)))));
    }
}

namespace {

// With the width known the inner loop unrolls into one store per plane.
template <unsigned width>
void shuffle_as(unsigned char *out, const unsigned char *in, uint64_t count) {
    for (uint64_t i = 0; i < count; ++i)
        for (unsigned j = 0; j < width; ++j) out[j * count + i] = in[i * width + j];
}

} // namespace

void blocked_transpose_zstd_shuffle(void *dst, const void *src, uint64_t count,
                                    uint64_t elem_size) {
    auto *out = static_cast<unsigned char *>(dst);
    const auto *in = static_cast<const unsigned char *>(src);
    switch (elem_size) {
    // Two planes are the even and the odd bytes, which the kernels split.
    case 2: deinterleave_split(out, out + count, in, size_t(2 * count), 1); return;
    case 4: shuffle_as<4>(out, in, count); return;
    case 8: shuffle_as<8>(out, in, count); return;
    default:
        for (uint64_t j = 0; j < elem_size; ++j)
            for (uint64_t i = 0; i < count; ++i) out[j * count + i] = in[i * elem_size + j];
    }
}

} // namespace host
