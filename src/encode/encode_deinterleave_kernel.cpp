// Splits a run of elements into its even-indexed and odd-indexed halves.
#include <cstring>

#include "frame/elem.h"
#include "frame/vec.h"
#include "neighbours/deinterleave.h"
#include "varda_kernels.h"

using namespace varda;

namespace {

// Run elements first .. count - 1 in ascending order.
template <class Move>
void split_in_order(void *even, void *odd, const void *src, size_t first, size_t count,
                    size_t elem_size, Move move) {
    const auto *run = static_cast<const unsigned char *>(src);
    auto *even_bytes = static_cast<unsigned char *>(even);
    auto *odd_bytes = static_cast<unsigned char *>(odd);
    for (size_t i = first; i < count; ++i)
        move((i & 1 ? odd_bytes : even_bytes) + i / 2 * elem_size, run + i * elem_size, elem_size);
}

#if VARDA_X86
// The even and the odd lanes of two consecutive registers of the run.
template <Element T> void split_lanes(__m128i a, __m128i b, __m128i &even, __m128i &odd) {
    if constexpr (sizeof(T) == 1) {
        const __m128i low = _mm_set1_epi16(0x00FF);
        even = _mm_packus_epi16(_mm_and_si128(a, low), _mm_and_si128(b, low));
        odd = _mm_packus_epi16(_mm_srli_epi16(a, 8), _mm_srli_epi16(b, 8));
    } else if constexpr (sizeof(T) == 2) {
        // Sign-extended halves pack back without saturating.
        even = _mm_packs_epi32(_mm_srai_epi32(_mm_slli_epi32(a, 16), 16),
                               _mm_srai_epi32(_mm_slli_epi32(b, 16), 16));
        odd = _mm_packs_epi32(_mm_srai_epi32(a, 16), _mm_srai_epi32(b, 16));
    } else if constexpr (sizeof(T) == 4) {
        a = _mm_shuffle_epi32(a, _MM_SHUFFLE(3, 1, 2, 0));
        b = _mm_shuffle_epi32(b, _MM_SHUFFLE(3, 1, 2, 0));
        even = _mm_unpacklo_epi64(a, b);
        odd = _mm_unpackhi_epi64(a, b);
    } else {
        even = _mm_unpacklo_epi64(a, b);
        odd = _mm_unpackhi_epi64(a, b);
    }
}

// Whole 32-byte and then 16-byte stretches of the run; returns the pairs
// done.
template <Element T> size_t split_blocks(void *even, void *odd, const void *src, size_t pairs) {
    constexpr size_t step = 8 / sizeof(T); // pairs per 16 run bytes
    size_t p = 0;
    __m128i e, o;
    for (; p + 2 * step <= pairs; p += 2 * step) {
        split_lanes<T>(vec::load16(at<T>(src, 2 * p)), vec::load16(at<T>(src, 2 * p + 2 * step)), e,
                       o);
        vec::store16(at<T>(even, p), e);
        vec::store16(at<T>(odd, p), o);
    }
    if constexpr (sizeof(T) < 8) {
        for (; p + step <= pairs; p += step) {
            split_lanes<T>(vec::load16(at<T>(src, 2 * p)), _mm_setzero_si128(), e, o);
            _mm_storel_epi64(reinterpret_cast<__m128i *>(at<T>(even, p)), e);
            _mm_storel_epi64(reinterpret_cast<__m128i *>(at<T>(odd, p)), o);
        }
    }
    return p;
}
#endif

template <Element T>
void split_run(void *even, void *odd, const void *src, size_t count, [[maybe_unused]] bool apart) {
    size_t done = 0;
#if VARDA_X86
    if (use_blocks<T>(count, apart)) done = 2 * split_blocks<T>(even, odd, src, count / 2);
#endif
    split_in_order(even, odd, src, done, count, sizeof(T), move_element<T>);
}

} // namespace

extern "C" VARDA_API void deinterleave_split(void *even, void *odd, const void *src, size_t count,
                                             size_t elem_size) {
    if (count == 0 || elem_size == 0) return;
    const bool apart = run_halves_apart(src, even, odd, count, elem_size);
    const bool fixed = with_width(elem_size, false, [&]<Element T>() {
        split_run<T>(even, odd, src, count, apart);
        return true;
    });
    if (!fixed) split_in_order(even, odd, src, 0, count, elem_size, move_bytes);
}
