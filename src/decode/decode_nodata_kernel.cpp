// Nodata, decoder side: the sentinel goes back into every nodata position,
// and under a guarded mask a valid sample that decoded onto the sentinel
// steps off it to the side it came from.
#include "frame/elem.h"
#include "frame/mask_block.h"
#include "varda_kernels.h"

using namespace varda;

namespace {

template <Element T>
void restore(void *dst, const void *src, const uint8_t *mask, size_t count, T sentinel) {
    const size_t bytes = count * sizeof(T);
    // Whole steps read their samples before writing. That matches the
    // sample-by-sample definition unless dst starts inside the 16 samples a
    // step reads, or a write can reach the mask.
    const uintptr_t ahead = reinterpret_cast<uintptr_t>(dst) - reinterpret_cast<uintptr_t>(src);
    const bool vector =
        !(ahead != 0 && ahead < 16 * sizeof(T)) && !overlaps(dst, bytes, mask, count);
    const auto single = [&](size_t i) {
        const T x = load<T>(src, i);
        store<T>(dst, i, mask[i] ? x : sentinel);
    };
#if VARDA_X86
    const __m128i fill = vec::splat<T>(sentinel), zero = _mm_setzero_si128();
    const auto lanes_out = [&](size_t i, __m128i nodata, size_t registers) {
        __m128i lanes[sizeof(T)];
        vec::widen<T>(nodata, lanes);
        for (size_t k = 0; k < registers; ++k) {
            const __m128i x = vec::load16(at<T>(src, i) + 16 * k);
            vec::store16(at<T>(dst, i) + 16 * k, vec::select(lanes[k], fill, x));
        }
    };
    mask_steps(
        count, vector,
        [&](size_t i) { lanes_out(i, _mm_cmpeq_epi8(vec::load16(mask + i), zero), sizeof(T)); },
        [&](size_t i) {
            const __m128i nodata = _mm_cmpeq_epi8(vec::load8(mask + i), zero);
            if constexpr (sizeof(T) == 1) {
                const __m128i x = vec::load8(at<T>(src, i));
                vec::store8(at<T>(dst, i), vec::select(nodata, fill, x));
            } else {
                lanes_out(i, nodata, sizeof(T) / 2);
            }
        },
        single);
#else
    (void)vector;
    for (size_t i = 0; i < count; ++i) single(i);
#endif
}

// The values a guarded code stands for, by mask byte; code 0 is nodata.
template <Element T> struct Replacements {
    T value[4];
    bool dishonoured[4]; // the replacement is the sentinel itself
};

// Flags codes that cannot be honoured anywhere in the mask, and reports
// whether any sample with a code 1 to 3 now holds the sentinel.
template <Element T>
bool scan_guarded(const void *dst, const uint8_t *mask, size_t count, T sentinel,
                  const Replacements<T> &rep, bool &flag) {
    bool hit = false;
    const auto single = [&](size_t i) {
        const uint8_t code = mask[i];
        flag |= code > 3 || rep.dishonoured[code];
        hit |= uint8_t(code - 1) < 3 && load<T>(dst, i) == sentinel;
    };
#if VARDA_X86
    const __m128i target = vec::splat<T>(sentinel), zero = _mm_setzero_si128();
    const __m128i three = _mm_set1_epi8(3), two = _mm_set1_epi8(2), one = _mm_set1_epi8(1);
    // A code that is honoured tests as 0xFF instead, which is bad anyway.
    __m128i bad_code[3];
    for (int c = 1; c <= 3; ++c)
        bad_code[c - 1] = _mm_set1_epi8(char(rep.dishonoured[c] ? c : 0xFF));
    __m128i bad = zero, found = zero;
    const auto lanes = [target](__m128i v) { return vec::cmpeq<T>(v, target); };
    const auto step = [&](__m128i codes, __m128i on_sentinel) {
        bad = _mm_or_si128(bad, _mm_subs_epu8(codes, three));
        for (const __m128i &c : bad_code) bad = _mm_or_si128(bad, _mm_cmpeq_epi8(codes, c));
        const __m128i less_one = _mm_sub_epi8(codes, one);
        const __m128i coded = _mm_cmpeq_epi8(_mm_min_epu8(less_one, two), less_one);
        found = _mm_or_si128(found, _mm_and_si128(coded, on_sentinel));
    };
    mask_steps(
        count, true,
        [&](size_t i) { step(vec::load16(mask + i), vec::bytes16<T>(at<T>(dst, i), lanes)); },
        [&](size_t i) { step(vec::load8(mask + i), vec::bytes8<T>(at<T>(dst, i), lanes)); },
        single);
    flag |= _mm_movemask_epi8(_mm_cmpeq_epi8(bad, zero)) != 0xFFFF;
    hit |= _mm_movemask_epi8(_mm_cmpeq_epi8(found, zero)) != 0xFFFF;
#else
    for (size_t i = 0; i < count; ++i) single(i);
#endif
    return hit;
}

template <Element T>
int guard_restored(void *dst, const uint8_t *mask, size_t count, T sentinel,
                   const nodata_guard &guard) {
    Replacements<T> rep{{sentinel, T(guard.up), T(guard.down), T(guard.alias)}, {}};
    for (int c = 1; c <= 3; ++c) rep.dishonoured[c] = rep.value[c] == sentinel;
    bool flag = false;
    if (scan_guarded<T>(dst, mask, count, sentinel, rep, flag)) {
        for (size_t i = 0; i < count; ++i) {
            const uint8_t code = mask[i];
            if (uint8_t(code - 1) < 3 && load<T>(dst, i) == sentinel)
                store<T>(dst, i, rep.value[code]);
        }
    }
    return flag ? 1 : 0;
}

} // namespace

extern "C" VARDA_API void nodata_restore(void *dst, const void *src, const uint8_t *mask,
                                         uint64_t count, uint64_t elem_size, uint64_t sentinel) {
    with_width(elem_size, 0, [&]<Element T>() {
        restore<T>(dst, src, mask, count, T(sentinel));
        return 0;
    });
}

extern "C" VARDA_API int nodata_restore_guarded(void *dst, const void *src, const uint8_t *mask,
                                                uint64_t count, uint64_t elem_size,
                                                uint64_t sentinel, const nodata_guard *guard) {
    if (!valid_elem_size(elem_size)) return 1;
    nodata_restore(dst, src, mask, count, elem_size, sentinel);
    return with_width(elem_size, 1, [&]<Element T>() {
        return guard_restored<T>(dst, mask, count, T(sentinel), *guard);
    });
}
