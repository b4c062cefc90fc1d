// Samples as the codec's own loops see them: unsigned words of 1, 2, 4 or
// 8 bytes, read and written through memcpy (no buffer the codec is handed
// is aligned), and the zigzag map residuals take before they are packed.
#pragma once

#include <cstdint>
#include <cstring>
#include <type_traits>

namespace varda::codec {

template <class T>
concept Element = std::is_unsigned_v<T> && std::is_integral_v<T> && !std::is_same_v<T, bool>;

template <Element T> T load(const void *base, uint64_t index) {
    T value;
    std::memcpy(&value, static_cast<const unsigned char *>(base) + index * sizeof(T), sizeof(T));
    return value;
}

template <Element T> void store(void *base, uint64_t index, T value) {
    std::memcpy(static_cast<unsigned char *>(base) + index * sizeof(T), &value, sizeof(T));
}

// fn.template operator()<T>() for the word of `elem_size` bytes; `refused`
// for any other size.
template <class R, class F> R with_width(uint64_t elem_size, R refused, F &&fn) {
    if (elem_size == 1) return fn.template operator()<uint8_t>();
    if (elem_size == 2) return fn.template operator()<uint16_t>();
    if (elem_size == 4) return fn.template operator()<uint32_t>();
    if (elem_size == 8) return fn.template operator()<uint64_t>();
    return refused;
}

// Residuals 0, -1, 1, -2, 2 ... as codes 0, 1, 2, 3, 4 ...
template <Element T> constexpr T zigzag(T residual) {
    const T sign = T(T(0) - T(residual >> (8 * sizeof(T) - 1)));
    return T(T(residual << 1) ^ sign);
}

template <Element T> constexpr T unzigzag(T code) {
    return T(T(code >> 1) ^ T(T(0) - T(code & 1u)));
}

} // namespace varda::codec
