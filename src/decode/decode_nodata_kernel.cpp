// Nodata, decoder side: the sentinel goes back into every nodata position,
// and under a guarded mask a valid sample that decoded onto the sentinel
// steps off it to the side it came from.
#include "frame/elem.h"
#include "nodata/mask_block.h"
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

// The pass after the plain restore. A sample is a hit when its code is 1, 2
// or 3 and it holds the sentinel; a code is bad when it is above 3 or its
// replacement is the sentinel itself.
template <Element T> class GuardedPass {
  public:
    GuardedPass(T sentinel, const nodata_guard &guard)
        : sentinel_(sentinel), value_{sentinel, T(guard.up), T(guard.down), T(guard.alias)} {
        for (int c = 1; c <= 3; ++c) dishonoured_[c] = value_[c] == sentinel;
    }

    // Whether any code is bad (`flag`) and whether any sample is a hit.
    bool scan(const void *dst, const uint8_t *mask, size_t count, bool &flag) const {
        bool hit = false;
        const auto single = [&](size_t i) {
            const uint8_t code = mask[i];
            flag |= code > 3 || dishonoured_[code];
            hit |= is_hit(dst, code, i);
        };
#if VARDA_X86
        const Lanes lanes(*this);
        __m128i bad = lanes.zero, found = lanes.zero;
        const auto step = [&](__m128i codes, __m128i on_sentinel) {
            bad = _mm_or_si128(bad, lanes.bad(codes));
            found = _mm_or_si128(found, lanes.hits(codes, on_sentinel));
        };
        mask_steps(
            count, true,
            [&](size_t i) { step(vec::load16(mask + i), lanes.on_sentinel16(dst, i)); },
            [&](size_t i) { step(vec::load8(mask + i), lanes.on_sentinel8(dst, i)); }, single);
        flag |= _mm_movemask_epi8(_mm_cmpeq_epi8(bad, lanes.zero)) != 0xFFFF;
        hit |= _mm_movemask_epi8(_mm_cmpeq_epi8(found, lanes.zero)) != 0xFFFF;
#else
        for (size_t i = 0; i < count; ++i) single(i);
#endif
        return hit;
    }

    // Moves every hit off the sentinel; steps without a hit are skipped.
    void replace(void *dst, const uint8_t *mask, size_t count) const {
        const auto single = [&](size_t i) {
            const uint8_t code = mask[i];
            if (is_hit(dst, code, i)) store<T>(dst, i, value_[code]);
        };
#if VARDA_X86
        const Lanes lanes(*this);
        const auto step = [&](size_t i, size_t n, __m128i codes, __m128i on_sentinel) {
            if (_mm_movemask_epi8(lanes.hits(codes, on_sentinel)))
                for (size_t k = i; k < i + n; ++k) single(k);
        };
        mask_steps(
            count, true,
            [&](size_t i) { step(i, 16, vec::load16(mask + i), lanes.on_sentinel16(dst, i)); },
            [&](size_t i) { step(i, 8, vec::load8(mask + i), lanes.on_sentinel8(dst, i)); },
            single);
#else
        for (size_t i = 0; i < count; ++i) single(i);
#endif
    }

  private:
    bool is_hit(const void *dst, uint8_t code, size_t i) const {
        return uint8_t(code - 1) < 3 && load<T>(dst, i) == sentinel_;
    }

#if VARDA_X86
    struct Lanes {
        __m128i zero = _mm_setzero_si128(), one = _mm_set1_epi8(1), two = _mm_set1_epi8(2),
                three = _mm_set1_epi8(3);
        __m128i target;
        // A code that is honoured tests as 0xFF instead, which is bad anyway.
        __m128i bad_code[3];

        explicit Lanes(const GuardedPass &pass) : target(vec::splat<T>(pass.sentinel_)) {
            for (int c = 1; c <= 3; ++c)
                bad_code[c - 1] = _mm_set1_epi8(char(pass.dishonoured_[c] ? c : 0xFF));
        }

        __m128i bad(__m128i codes) const {
            __m128i out = _mm_subs_epu8(codes, three);
            for (const __m128i &c : bad_code) out = _mm_or_si128(out, _mm_cmpeq_epi8(codes, c));
            return out;
        }

        __m128i hits(__m128i codes, __m128i on_sentinel) const {
            const __m128i less_one = _mm_sub_epi8(codes, one);
            const __m128i coded = _mm_cmpeq_epi8(_mm_min_epu8(less_one, two), less_one);
            return _mm_and_si128(coded, on_sentinel);
        }

        __m128i on_sentinel16(const void *dst, size_t i) const {
            const __m128i t = target;
            return vec::bytes16<T>(at<T>(dst, i), [t](__m128i v) { return vec::cmpeq<T>(v, t); });
        }
        __m128i on_sentinel8(const void *dst, size_t i) const {
            const __m128i t = target;
            return vec::bytes8<T>(at<T>(dst, i), [t](__m128i v) { return vec::cmpeq<T>(v, t); });
        }
    };
#endif

    T sentinel_;
    T value_[4]; // by code; code 0 is nodata
    bool dishonoured_[4] = {};
};

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
        const GuardedPass<T> pass(T(sentinel), *guard);
        bool flag = false;
        if (pass.scan(dst, mask, count, flag)) pass.replace(dst, mask, count);
        return flag ? 1 : 0;
    });
}
