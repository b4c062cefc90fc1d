// Element type codes and the per-type constants the lossy quantisers share.
#pragma once

#include <cstdint>

#include "varda_kernels.h"

namespace varda {

enum Dtype : uint32_t {
    dtype_u8 = VARDA_DTYPE_U8,
    dtype_u16 = VARDA_DTYPE_U16,
    dtype_u32 = VARDA_DTYPE_U32,
    dtype_u64 = VARDA_DTYPE_U64,
    dtype_i8 = VARDA_DTYPE_I8,
    dtype_i16 = VARDA_DTYPE_I16,
    dtype_i32 = VARDA_DTYPE_I32,
    dtype_i64 = VARDA_DTYPE_I64,
    dtype_f16 = VARDA_DTYPE_F16,
    dtype_f32 = VARDA_DTYPE_F32,
    dtype_f64 = VARDA_DTYPE_F64,
};
constexpr uint32_t dtype_count = VARDA_DTYPE_COUNT;

constexpr bool valid_dtype(uint64_t dtype) { return dtype < dtype_count; }
constexpr bool is_signed_int(uint32_t dtype) { return dtype >= dtype_i8 && dtype <= dtype_i64; }
constexpr bool is_float(uint32_t dtype) { return dtype >= dtype_f16 && dtype <= dtype_f64; }

// Indexed by dtype.
extern const uint64_t dtype_size[dtype_count];
// Indexed by dtype; the 64-bit integer maxima are the largest doubles below
// 2^64 and 2^63. Ten entries: f64 has none.
extern const double dtype_max[dtype_count - 1];
// Largest grid index an element of the type may carry; ten entries, none for f64.
extern const double dtype_max_exact_level[dtype_count - 1];
// Integer width, or significand precision with the hidden bit; none for f64.
extern const double dtype_significant_bits[dtype_count - 1];
// Indexed by dtype - 4: i8 .. f64.
extern const double dtype_min[dtype_count - 4];
// Indexed by dtype - 4: i8 .. i64.
extern const double dtype_neg_magnitude[4];
// Indexed by dtype - 8: f16, f32, f64.
extern const double dtype_unit_roundoff[3];

} // namespace varda
