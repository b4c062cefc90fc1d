// Elements as the type-blind kernels see them: unsigned integers of 1, 2,
// 4 or 8 bytes with wrap-around arithmetic, read and written through memcpy
// so that no buffer has to be aligned.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace varda {

template <class T>
concept Element = std::is_same_v<T, uint8_t> || std::is_same_v<T, uint16_t> ||
    std::is_same_v<T, uint32_t> || std::is_same_v<T, uint64_t>;

template <class T> constexpr unsigned bits_of = 8 * sizeof(T);

template <Element T> inline T load(const void *base, size_t index) {
    T value;
    std::memcpy(&value, static_cast<const unsigned char *>(base) + index * sizeof(T), sizeof(T));
    return value;
}

template <Element T> inline void store(void *base, size_t index, T value) {
    std::memcpy(static_cast<unsigned char *>(base) + index * sizeof(T), &value, sizeof(T));
}

// Byte pointer to element `index`.
template <Element T> inline unsigned char *at(void *base, size_t index) {
    return static_cast<unsigned char *>(base) + index * sizeof(T);
}
template <Element T> inline const unsigned char *at(const void *base, size_t index) {
    return static_cast<const unsigned char *>(base) + index * sizeof(T);
}

// Wrap-around arithmetic without integer promotion surprises.
template <Element T> constexpr T add(T a, T b) { return static_cast<T>(a + b); }
template <Element T> constexpr T sub(T a, T b) { return static_cast<T>(a - b); }

constexpr bool valid_elem_size(uint64_t elem_size) {
    return elem_size == 1 || elem_size == 2 || elem_size == 4 || elem_size == 8;
}

// Calls fn.template operator()<T>() for the unsigned type of `elem_size`
// bytes; returns `refused` for any other size.
template <class R, class F> R with_width(uint64_t elem_size, R refused, F &&fn) {
    switch (elem_size) {
    case 1: return fn.template operator()<uint8_t>();
    case 2: return fn.template operator()<uint16_t>();
    case 4: return fn.template operator()<uint32_t>();
    case 8: return fn.template operator()<uint64_t>();
    default: return refused;
    }
}

} // namespace varda
