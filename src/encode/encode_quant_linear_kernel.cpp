// LINEAR quantiser, encoder: each sample becomes its index on a uniform grid
// (or, in value mode, the grid value itself) in an integer of its width.
#include <cmath>
#include <cstring>
#include <limits>

#include "lossy/lossy_common.h"
#include "lossy/quant_linear.h"
#include "varda_kernels.h"

using namespace varda;

namespace {

// |x| / h rounded half up, the sign put back, and the result clamped into
// the element: negative samples round half away from zero. The division
// runs in D, 32 bits wherever sample and step fit, which is far cheaper.
template <class S, class D>
void encode_integers_in(void *dst, const void *src, size_t count, uint64_t h, bool value_mode) {
    using U = std::make_unsigned_t<S>;
    constexpr uint64_t largest = uint64_t(std::numeric_limits<S>::max());
    constexpr uint64_t lowest_magnitude = std::is_signed_v<S> ? largest + 1 : 0;
    const D step = D(h), half = D(h / 2);
    for (size_t i = 0; i < count; ++i) {
        const S x = load_sample<S>(src, i);
        const D m = D(magnitude(x));
        uint64_t r = uint64_t(m / step) + (m % step >= step - half ? 1 : 0);
        if (value_mode && __builtin_mul_overflow(r, h, &r)) r = UINT64_MAX;
        S out;
        if (x < 0)
            out = r >= lowest_magnitude ? std::numeric_limits<S>::min() : S(U(U(0) - U(r)));
        else
            out = S(r > largest ? largest : r);
        store_sample<S>(dst, i, out);
    }
}

template <class S>
void encode_integers(void *dst, const void *src, size_t count, uint64_t h, bool value_mode) {
    if (h == 1) { // the lossless grid: every sample is its own index and value
        if (count) std::memmove(dst, src, count * sizeof(S));
    } else if (sizeof(S) <= 4 && h <= UINT32_MAX)
        encode_integers_in<S, uint32_t>(dst, src, count, h, value_mode);
    else
        encode_integers_in<S, uint64_t>(dst, src, count, h, value_mode);
}

// x / step rounded in the current rounding mode (half to even by default),
// NaN to 0 and everything else clamped into the index range of the type.
template <Sample S>
void encode_floats(void *dst, const void *src, size_t count, double step, bool value_mode) {
    using I = StreamInt<S>;
    constexpr double upper = sizeof(S) == 8 ? 0x1p53 : double(std::numeric_limits<I>::max());
    constexpr double lower = sizeof(S) == 8 ? -0x1p53 : double(std::numeric_limits<I>::min());
    for (size_t i = 0; i < count; ++i) {
        double q = std::nearbyint(to_double(load_sample<S>(src, i)) / step);
        if (value_mode) q *= step;
        I out;
        if (std::isnan(q))
            out = 0;
        else if (q < lower)
            out = I(lower);
        else
            out = I(q < upper ? q : upper);
        store_sample<I>(dst, i, out);
    }
}

} // namespace

extern "C" VARDA_API int quant_linear_encode(void *dst, const void *src, const quant_grid *grid,
                                             uint32_t dtype, size_t count) {
    if (!linear_grid_valid(grid, dtype)) return 1;
    const bool value_mode = (grid->mode & 2) != 0;
    return with_dtype(dtype, 1, [&]<Sample S>() {
        if constexpr (std::is_integral_v<S>)
            encode_integers<S>(dst, src, count, integer_step(grid->step), value_mode);
        else
            encode_floats<S>(dst, src, count, grid->step, value_mode);
        return 0;
    });
}
