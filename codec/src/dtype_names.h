// The element types by code: the names numpy gives them, and their sizes.
#pragma once

namespace varda::codec {

inline constexpr int dtype_count = 11;
inline constexpr const char *dtype_names[dtype_count] = {"uint8",   "uint16",  "uint32", "uint64",
                                                         "int8",    "int16",   "int32",  "int64",
                                                         "float16", "float32", "float64"};
inline constexpr unsigned dtype_sizes[dtype_count] = {1, 2, 4, 8, 1, 2, 4, 8, 2, 4, 8};

} // namespace varda::codec
