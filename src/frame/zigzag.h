// Zigzag codes: residuals 0, -1, 1, -2, 2 ... become 0, 1, 2, 3, 4 ...
#pragma once

#include "frame/elem.h"
#include "frame/vec.h"

namespace varda {

template <Element T> constexpr T zigzag(T residual) {
    const T sign = static_cast<T>(T(0) - (residual >> (bits_of<T> - 1)));
    return static_cast<T>(static_cast<T>(residual << 1) ^ sign);
}

template <Element T> constexpr T unzigzag(T code) {
    return static_cast<T>((code >> 1) ^ static_cast<T>(T(0) - (code & 1u)));
}

#if VARDA_X86
namespace vec {

template <Element T> inline __m128i zigzag(__m128i residual) {
    return _mm_xor_si128(add<T>(residual, residual), sign_mask<T>(residual));
}

template <Element T> inline __m128i unzigzag(__m128i code) {
    const __m128i odd = _mm_and_si128(code, splat<T>(1));
    return _mm_xor_si128(shr1<T>(code), sub<T>(_mm_setzero_si128(), odd));
}

template <Element T> VARDA_AVX2 inline __m256i unzigzag(__m256i code) {
    const __m256i odd = _mm256_and_si256(code, splat256<T>(1));
    return _mm256_xor_si256(shr1<T>(code), sub<T>(_mm256_setzero_si256(), odd));
}

} // namespace vec
#endif

} // namespace varda
