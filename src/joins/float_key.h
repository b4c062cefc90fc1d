// Integer views of a float's bit pattern (taken as an unsigned integer of the
// float's width) that order like the floats, for the float-key joins.
#pragma once

#include "frame/elem.h"

namespace varda {

template <Element T> constexpr T sign_bit = T(T(1) << (bits_of<T> - 1));

// All ones when the top bit of v is set, else zero.
template <Element T> constexpr T top_mask(T v) { return T(T(0) - T(v >> (bits_of<T> - 1))); }

// Unsigned key: -NaN < -inf < ... < -0 < +0 < ... < +inf < +NaN.
template <Element T> constexpr T float_key(T bits) {
    return T(bits ^ (top_mask(bits) | sign_bit<T>));
}

template <Element T> constexpr T float_unkey(T key) {
    return T(key ^ (T(~top_mask(key)) | sign_bit<T>));
}

// Signed order: a >= 0 stays, a < 0 becomes MAX - a (wrapping), so -0
// maps to -1. Its own inverse.
template <Element T> constexpr T signed_order(T a) {
    return T(a ^ (top_mask(a) & T(sign_bit<T> - 1)));
}

} // namespace varda
