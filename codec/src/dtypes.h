// The element types by code as the codec sees them: the names numpy gives
// them and the classes the chains and sections test. Their sizes come from
// the kernels (varda_dtype_size).
#pragma once

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

} // namespace varda::codec
