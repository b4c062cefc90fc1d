// Joins the even-indexed and odd-indexed halves of a run back into the run.
#include <cstring>

#include "frame/elem.h"
#include "frame/vec.h"
#include "neighbours/deinterleave.h"
#include "varda_kernels.h"

using namespace varda;

namespace {

// Run elements first .. count - 1 in ascending order.
template <class Move>
void join_in_order(void *dst, const void *even, const void *odd, size_t first, size_t count,
                   size_t elem_size, Move move) {
    auto *run = static_cast<unsigned char *>(dst);
    const auto *even_bytes = static_cast<const unsigned char *>(even);
    const auto *odd_bytes = static_cast<const unsigned char *>(odd);
    for (size_t i = first; i < count; ++i)
        move(run + i * elem_size, (i & 1 ? odd_bytes : even_bytes) + i / 2 * elem_size, elem_size);
}

#if VARDA_X86
template <Element T> __m128i interleave_low(__m128i even, __m128i odd) {
    if constexpr (sizeof(T) == 1)
        return _mm_unpacklo_epi8(even, odd);
    else if constexpr (sizeof(T) == 2)
        return _mm_unpacklo_epi16(even, odd);
    else if constexpr (sizeof(T) == 4)
        return _mm_unpacklo_epi32(even, odd);
    else
        return _mm_unpacklo_epi64(even, odd);
}

template <Element T> __m128i interleave_high(__m128i even, __m128i odd) {
    if constexpr (sizeof(T) == 1)
        return _mm_unpackhi_epi8(even, odd);
    else if constexpr (sizeof(T) == 2)
        return _mm_unpackhi_epi16(even, odd);
    else if constexpr (sizeof(T) == 4)
        return _mm_unpackhi_epi32(even, odd);
    else
        return _mm_unpackhi_epi64(even, odd);
}

// Whole 32-byte and then 16-byte stretches of the run; returns the pairs
// done.
template <Element T>
size_t join_blocks(void *dst, const void *even, const void *odd, size_t pairs) {
    constexpr size_t step = 8 / sizeof(T); // pairs per 16 run bytes
    size_t p = 0;
    for (; p + 2 * step <= pairs; p += 2 * step) {
        const __m128i e = vec::load16(at<T>(even, p)), o = vec::load16(at<T>(odd, p));
        vec::store16(at<T>(dst, 2 * p), interleave_low<T>(e, o));
        vec::store16(at<T>(dst, 2 * p + 2 * step), interleave_high<T>(e, o));
    }
    if constexpr (sizeof(T) < 8) {
        for (; p + step <= pairs; p += step) {
            const __m128i e = _mm_loadl_epi64(reinterpret_cast<const __m128i *>(at<T>(even, p)));
            const __m128i o = _mm_loadl_epi64(reinterpret_cast<const __m128i *>(at<T>(odd, p)));
            vec::store16(at<T>(dst, 2 * p), interleave_low<T>(e, o));
        }
    }
    return p;
}
#endif

template <Element T>
void join_run(void *dst, const void *even, const void *odd, size_t count,
              [[maybe_unused]] bool apart) {
    size_t done = 0;
#if VARDA_X86
    if (use_blocks<T>(count, apart)) done = 2 * join_blocks<T>(dst, even, odd, count / 2);
#endif
    join_in_order(dst, even, odd, done, count, sizeof(T), move_element<T>);
}

} // namespace

extern "C" VARDA_API void deinterleave_join(void *dst, const void *even, const void *odd,
                                            size_t count, size_t elem_size) {
    if (count == 0 || elem_size == 0) return;
    const bool apart = run_halves_apart(dst, even, odd, count, elem_size);
    const bool fixed = with_width(elem_size, false, [&]<Element T>() {
        join_run<T>(dst, even, odd, count, apart);
        return true;
    });
    if (!fixed) join_in_order(dst, even, odd, 0, count, elem_size, move_bytes);
}
