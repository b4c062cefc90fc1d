// Samples by element type code, for the kernels that look at values (the
// lossy family, guarded nodata): dispatch from a dtype to the C++ type, and
// loads that widen any sample to double.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "frame/dtype.h"
#include "frame/half.h"

namespace varda {

// A binary16 sample, kept as its bit pattern.
struct Half {
    uint16_t bits;
};

template <class S>
concept Sample = std::is_integral_v<S> || std::is_same_v<S, Half> || std::is_same_v<S, float> ||
    std::is_same_v<S, double>;

template <Sample S> constexpr bool is_float_sample = !std::is_integral_v<S>;

template <Sample S> inline S load_sample(const void *base, size_t index) {
    S value;
    std::memcpy(&value, static_cast<const unsigned char *>(base) + index * sizeof(S), sizeof(S));
    return value;
}

template <Sample S> inline void store_sample(void *base, size_t index, S value) {
    std::memcpy(static_cast<unsigned char *>(base) + index * sizeof(S), &value, sizeof(S));
}

// Exact for every type but the 64-bit integers, which round to nearest.
template <Sample S> inline double to_double(S value) {
    if constexpr (std::is_same_v<S, Half>)
        return double(half_to_float(value.bits));
    else
        return double(value);
}

// Calls fn.template operator()<S>() with the sample type of `dtype`; returns
// `refused` for a code that is not a type. The code is unsigned, so a
// negative int passed here is refused like one above 10.
template <class R, class F> R with_dtype(uint64_t dtype, R refused, F &&fn) {
    switch (dtype) {
    case dtype_u8: return fn.template operator()<uint8_t>();
    case dtype_u16: return fn.template operator()<uint16_t>();
    case dtype_u32: return fn.template operator()<uint32_t>();
    case dtype_u64: return fn.template operator()<uint64_t>();
    case dtype_i8: return fn.template operator()<int8_t>();
    case dtype_i16: return fn.template operator()<int16_t>();
    case dtype_i32: return fn.template operator()<int32_t>();
    case dtype_i64: return fn.template operator()<int64_t>();
    case dtype_f16: return fn.template operator()<Half>();
    case dtype_f32: return fn.template operator()<float>();
    case dtype_f64: return fn.template operator()<double>();
    default: return refused;
    }
}

} // namespace varda
