// binary16 samples. Widening to binary32 is exact; narrowing follows the one
// rule every f16 output of the lossy decoders uses: round to nearest, ties
// away from zero, carries into the exponent, 0x7E00 for NaN.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>

namespace varda {

inline float half_to_float(uint16_t half) {
    const uint32_t sign = uint32_t(half & 0x8000u) << 16;
    const uint32_t exponent = (half >> 10) & 0x1Fu, fraction = half & 0x3FFu;
    if (exponent == 0) {
        // Zero or subnormal: fraction x 2^-24, exact in binary32.
        const float magnitude = float(fraction) * 0x1p-24f;
        return sign ? -magnitude : magnitude;
    }
    const uint32_t bits = exponent == 0x1F ? sign | 0x7F800000u | (fraction << 13)
                                           : sign | ((exponent + 112) << 23) | (fraction << 13);
    return std::bit_cast<float>(bits);
}

inline uint16_t float_to_half(float value) {
    const uint32_t bits = std::bit_cast<uint32_t>(value);
    const auto sign = uint16_t((bits >> 16) & 0x8000u);
    const uint32_t magnitude = bits & 0x7FFFFFFFu;
    if (magnitude >= 0x47800000u) // 2^16 and beyond, infinity, NaN
        return uint16_t(sign | (magnitude > 0x7F800000u ? 0x7E00u : 0x7C00u));
    if (magnitude > 0x387FFFFFu) // normal binary16
        return uint16_t(sign | (((magnitude - 0x38000000u) >> 13) + ((magnitude >> 12) & 1u)));
    // Subnormal range: count units of 2^-24, exactly, then round.
    const float units = std::bit_cast<float>(magnitude) * 0x1p24f;
    const float whole = std::trunc(units);
    return uint16_t(sign | (uint32_t(whole) + (units - whole >= 0.5f ? 1u : 0u)));
}

} // namespace varda
