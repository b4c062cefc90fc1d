// Floats predicted as an integer index times a fixed step, corrected by an
// integer residual on the order-preserving key.
#include <bit>
#include <cstdint>
#include <limits>

#include "frame/elem.h"
#include "joins/float_key.h"
#include "varda_kernels.h"

using namespace varda;

namespace {

// Infinite and out-of-range products follow IEEE 754.
static_assert(std::numeric_limits<float>::is_iec559 && std::numeric_limits<double>::is_iec559);

template <class F> using BitsOf = std::conditional_t<sizeof(F) == 4, uint32_t, uint64_t>;

// The float an index stands for. Indices are unsigned keys over signed
// integers: top bit set for +m, MAX - m for -m (so MAX is -0). Magnitudes
// from 2^p on count representable floats rather than integers, so every
// index names a distinct float.
template <class F> inline F index_value(BitsOf<F> q) {
    using T = BitsOf<F>;
    constexpr int p = std::numeric_limits<F>::digits;
    constexpr T exact = T(1) << p, exact_bits = std::bit_cast<T>(F(exact));
    const bool positive = (q & sign_bit<T>) != 0;
    const T m = positive ? T(q ^ sign_bit<T>) : T(sign_bit<T> - 1 - q);
    const F magnitude = m < exact ? F(m) : std::bit_cast<F>(T(exact_bits + (m - exact)));
    return positive ? magnitude : -magnitude;
}

template <class F>
void join(void *dst, const void *index, const void *residual, size_t count, F step) {
    using T = BitsOf<F>;
    for (size_t i = 0; i < count; ++i) {
        const F predicted = index_value<F>(load<T>(index, i)) * step;
        const T key = add(float_key(std::bit_cast<T>(predicted)), load<T>(residual, i));
        store<T>(dst, i, signed_order(key));
    }
}

} // namespace

extern "C" VARDA_API int floatmult_join(void *dst, const void *index, const void *residual,
                                        uint64_t count, uint64_t elem_size, double step) {
    switch (elem_size) {
    // Rounded to single precision once; a step beyond its range becomes
    // infinite.
    case 4: join<float>(dst, index, residual, count, float(step)); return 0;
    case 8: join<double>(dst, index, residual, count, step); return 0;
    default: return 1;
    }
}
