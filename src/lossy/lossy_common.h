// What the lossy quantisers share: dtype codes that arrive as plain ints,
// per-type limits of the float samples, the stream element of each sample
// type, and the measured distance of two samples.
#pragma once

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <type_traits>

#include "frame/dtype.h"
#include "frame/elem.h"
#include "frame/sample.h"

namespace varda {

// A dtype that arrives as a plain int. A negative code names no type, just
// like one above 10; mapped here, it is refused by every check and never
// reaches a table.
constexpr uint64_t dtype_from_int(int dtype) {
    return dtype < 0 ? uint64_t(dtype_count) : uint64_t(dtype);
}

template <Sample S> constexpr uint32_t dtype_of() {
    if constexpr (std::is_same_v<S, Half>)
        return dtype_f16;
    else if constexpr (std::is_same_v<S, float>)
        return dtype_f32;
    else if constexpr (std::is_same_v<S, double>)
        return dtype_f64;
    else if constexpr (std::is_signed_v<S>)
        return dtype_i8 + (sizeof(S) == 1 ? 0 : sizeof(S) == 2 ? 1 : sizeof(S) == 4 ? 2 : 3);
    else
        return dtype_u8 + (sizeof(S) == 1 ? 0 : sizeof(S) == 2 ? 1 : sizeof(S) == 4 ? 2 : 3);
}

template <size_t Bytes> struct SignedOfWidth;
template <> struct SignedOfWidth<1> { using type = int8_t; };
template <> struct SignedOfWidth<2> { using type = int16_t; };
template <> struct SignedOfWidth<4> { using type = int32_t; };
template <> struct SignedOfWidth<8> { using type = int64_t; };

// The stream element that stands in for a sample: the integer types keep
// their own type, the float types carry a signed integer of their width.
template <Sample S>
using StreamInt =
    std::conditional_t<std::is_integral_v<S>, S, typename SignedOfWidth<sizeof(S)>::type>;

// Float samples: largest finite value, smallest normal, unit roundoff.
template <Sample S> constexpr double float_max() {
    if constexpr (std::is_same_v<S, Half>)
        return 65504.0;
    else if constexpr (std::is_same_v<S, float>)
        return double(FLT_MAX);
    else
        return DBL_MAX;
}
template <Sample S> constexpr double smallest_normal() {
    if constexpr (std::is_same_v<S, Half>)
        return 0x1p-14;
    else if constexpr (std::is_same_v<S, float>)
        return 0x1p-126;
    else
        return 0x1p-1022;
}
template <Sample S> constexpr double unit_roundoff() {
    return dtype_unit_roundoff[dtype_of<S>() - dtype_f16];
}

// A double rebuilt for a float sample, rounded into the sample's type:
// binary32 with ties to even, binary16 through binary32 and the half rule.
template <Sample S> inline S from_double(double v) {
    if constexpr (std::is_same_v<S, Half>)
        return Half{float_to_half(float(v))};
    else
        return S(v);
}

// |orig - rebuilt| as a double. Integer samples take the exact difference,
// so that two 64-bit values one apart never measure as thousands apart
// after each rounds to a double on its own.
template <Sample S> inline double sample_distance(S orig, S rebuilt) {
    if constexpr (std::is_integral_v<S>) {
        using U = std::make_unsigned_t<S>;
        const U d = orig > rebuilt ? U(U(orig) - U(rebuilt)) : U(U(rebuilt) - U(orig));
        return double(d);
    } else {
        return std::fabs(to_double(orig) - to_double(rebuilt));
    }
}

// Magnitude of an integer sample as an unsigned value of its width (the
// most negative value included).
template <class S> inline std::make_unsigned_t<S> magnitude(S x) {
    using U = std::make_unsigned_t<S>;
    return x < 0 ? U(U(0) - U(x)) : U(x);
}

} // namespace varda
