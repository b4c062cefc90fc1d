// Float keys split into a high part and a low part of `shift` bits, joined
// and turned back into floats. For keys of negative floats the low part is
// stored complemented.
#include <cstdint>

#include "frame/alias.h"
#include "frame/elem.h"
#include "frame/vec.h"
#include "joins/float_key.h"
#include "varda_kernels.h"

using namespace varda;

namespace {

template <Element T> inline T join_key(T high, T low, unsigned shift) {
    const T half = T(sign_bit<T> >> shift), ones = T((T(1) << shift) - 1u);
    return add(T(high << shift), high >= half ? low : sub(ones, low));
}

#if VARDA_X86
// The same on 32-bit lanes; unsigned compares by flipping the sign bits.
size_t join_blocks(void *dst, const void *high, const void *low, size_t count, unsigned shift,
                   bool &bad) {
    const __m128i by = _mm_cvtsi32_si128(int(shift));
    const __m128i flip = _mm_set1_epi32(INT32_MIN), magnitude = _mm_set1_epi32(INT32_MAX);
    const __m128i half_flipped = _mm_xor_si128(_mm_set1_epi32(int(0x80000000u >> shift)), flip);
    const __m128i ones = _mm_set1_epi32(int((uint32_t(1) << shift) - 1u));
    __m128i stray = _mm_setzero_si128();
    size_t i = 0;
    for (; i + 4 <= count; i += 4) {
        const __m128i h = vec::load16(at<uint32_t>(high, i)), l = vec::load16(at<uint32_t>(low, i));
        const __m128i below = _mm_cmpgt_epi32(half_flipped, _mm_xor_si128(h, flip));
        const __m128i part =
            _mm_or_si128(_mm_andnot_si128(below, l), _mm_and_si128(below, _mm_sub_epi32(ones, l)));
        const __m128i key = _mm_add_epi32(_mm_sll_epi32(h, by), part);
        // Top bit set: key ^ S; clear: ~key.
        const __m128i bits =
            _mm_xor_si128(_mm_xor_si128(key, _mm_and_si128(_mm_srai_epi32(key, 31), magnitude)),
                          _mm_set1_epi32(-1));
        vec::store16(at<uint32_t>(dst, i), bits);
        stray = _mm_or_si128(stray, _mm_srl_epi32(l, by));
    }
    bad |= _mm_movemask_epi8(_mm_cmpeq_epi32(stray, _mm_setzero_si128())) != 0xFFFF;
    return i;
}
#endif

template <Element T>
int join(void *dst, const void *high, const void *low, size_t count, uint32_t shift_arg) {
    const unsigned shift = shift_arg & (bits_of<T> - 1);
    bool bad = false;
    size_t i = 0;
#if VARDA_X86
    if constexpr (sizeof(T) == 4)
        if (block_safe(dst, high, 16) && block_safe(dst, low, 16))
            i = join_blocks(dst, high, low, count, shift, bad);
#endif
    for (; i < count; ++i) {
        const T h = load<T>(high, i), l = load<T>(low, i);
        store<T>(dst, i, float_unkey(join_key(h, l, shift)));
        bad |= (l >> shift) != 0;
    }
    return bad;
}

} // namespace

extern "C" VARDA_API int floatquant_join(void *dst, const void *high, const void *low,
                                         uint64_t count, uint64_t elem_size, uint32_t shift) {
    switch (elem_size) {
    case 4: return join<uint32_t>(dst, high, low, count, shift);
    case 8: return join<uint64_t>(dst, high, low, count, shift);
    default: return 1;
    }
}
