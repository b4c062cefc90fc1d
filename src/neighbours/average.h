// The mean of the west and north neighbours, rounded down, as the average
// predictor forms it: halves first, so that nothing exceeds the element
// width.
#pragma once

#include "frame/elem.h"
#include "frame/vec.h"

namespace varda {

template <Element T> constexpr T average_of(T west, T north) {
    return static_cast<T>((west >> 1) + (north >> 1) + (west & north & 1u));
}

#if VARDA_X86
namespace vec {

template <Element T> inline __m128i average_of(__m128i west, __m128i north) {
    const __m128i odd = _mm_and_si128(_mm_and_si128(west, north), splat<T>(1));
    return add<T>(add<T>(shr1<T>(west), shr1<T>(north)), odd);
}

} // namespace vec
#endif

} // namespace varda
