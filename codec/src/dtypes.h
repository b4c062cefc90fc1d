// The element types by code as the codec sees them: the names numpy gives
// them and the classes the chains and sections test. Their sizes come from
// the kernels (varda_dtype_size).
#pragma once

#include <cstdint>

#include "varda_kernels.h"

namespace varda::codec {

inline constexpr int dtype_count = VARDA_DTYPE_COUNT;
inline constexpr const char *dtype_names[dtype_count] = {"uint8",   "uint16",  "uint32", "uint64",
                                                         "int8",    "int16",   "int32",  "int64",
                                                         "float16", "float32", "float64"};

constexpr bool valid_dtype(int dtype) {
    return dtype >= VARDA_DTYPE_U8 && dtype < VARDA_DTYPE_COUNT;
}
constexpr bool is_integer(int dtype) { return dtype >= VARDA_DTYPE_U8 && dtype <= VARDA_DTYPE_I64; }
constexpr bool is_signed(int dtype) { return dtype >= VARDA_DTYPE_I8 && dtype <= VARDA_DTYPE_I64; }
constexpr bool is_float(int dtype) { return dtype >= VARDA_DTYPE_F16 && dtype <= VARDA_DTYPE_F64; }

// fn.template operator()<S>() for the sample type S of an integer dtype of
// up to 32 bits; nothing for the others.
template <class F> void with_sample_type(int dtype, F &&fn) {
    switch (dtype) {
    case VARDA_DTYPE_U8: fn.template operator()<uint8_t>(); break;
    case VARDA_DTYPE_U16: fn.template operator()<uint16_t>(); break;
    case VARDA_DTYPE_U32: fn.template operator()<uint32_t>(); break;
    case VARDA_DTYPE_I8: fn.template operator()<int8_t>(); break;
    case VARDA_DTYPE_I16: fn.template operator()<int16_t>(); break;
    case VARDA_DTYPE_I32: fn.template operator()<int32_t>(); break;
    default: break;
    }
}

} // namespace varda::codec
