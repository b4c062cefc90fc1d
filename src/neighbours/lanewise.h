// Element-wise sums and differences of two row pieces, the whole of the
// north and west delta predictors' work outside the first row or column.
#pragma once

#include "frame/elem.h"
#include "frame/simd.h"
#include "frame/vec.h"

namespace varda {

// out[i] = a[i] + b[i], or a[i] - b[i], for i < n, taken from the right in
// 16-byte blocks. Every block loads before it stores and blocks go right to
// left, so `out` may be `a`, and `b` may also be `a` one element to the left
// (the west neighbour of in-place encoding).
template <Element T, bool Subtract>
inline void lanewise(void *out, const void *a, const void *b, size_t n) {
    size_t i = n;
#if VARDA_X86
    constexpr size_t lanes = 16 / sizeof(T);
    for (; i >= lanes; i -= lanes) {
        const __m128i x = vec::load16(at<T>(a, i - lanes));
        const __m128i y = vec::load16(at<T>(b, i - lanes));
        vec::store16(at<T>(out, i - lanes), Subtract ? vec::sub<T>(x, y) : vec::add<T>(x, y));
    }
#endif
    for (; i > 0; --i) {
        const T x = load<T>(a, i - 1), y = load<T>(b, i - 1);
        store<T>(out, i - 1, Subtract ? sub(x, y) : add(x, y));
    }
}

} // namespace varda
