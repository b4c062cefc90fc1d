// Byte lanes back to planar zigzag codes, then each plane decoded in place.
#include "frame/elem.h"
#include "frame/tile.h"
#include "frame/vec.h"
#include "varda_kernels.h"

using namespace varda;

namespace {

#if VARDA_X86
// Sixteen codes from their byte lanes: each level of unpacking doubles the
// run of bytes that belong to one code.
template <Element T>
inline void gather16(unsigned char *out, const unsigned char *lane0, size_t count) {
    constexpr size_t n = sizeof(T);
    __m128i v[n];
    for (size_t j = 0; j < n; ++j) v[j] = vec::load16(lane0 + j * count);
    if constexpr (n >= 2) {
        __m128i w[n];
        for (size_t j = 0; j < n; j += 2) {
            w[j] = _mm_unpacklo_epi8(v[j], v[j + 1]);
            w[j + 1] = _mm_unpackhi_epi8(v[j], v[j + 1]);
        }
        if constexpr (n == 2) {
            for (size_t j = 0; j < n; ++j) v[j] = w[j];
        } else {
            // w holds, per lane pair, codes 0-7 then 8-15 as 16-bit pieces.
            __m128i q[n];
            for (size_t j = 0; j < n; j += 4) {
                q[j] = _mm_unpacklo_epi16(w[j], w[j + 2]);
                q[j + 1] = _mm_unpackhi_epi16(w[j], w[j + 2]);
                q[j + 2] = _mm_unpacklo_epi16(w[j + 1], w[j + 3]);
                q[j + 3] = _mm_unpackhi_epi16(w[j + 1], w[j + 3]);
            }
            if constexpr (n == 4) {
                for (size_t j = 0; j < n; ++j) v[j] = q[j];
            } else {
                for (size_t j = 0; j < 4; ++j) {
                    v[2 * j] = _mm_unpacklo_epi32(q[j], q[j + 4]);
                    v[2 * j + 1] = _mm_unpackhi_epi32(q[j], q[j + 4]);
                }
            }
        }
    }
    for (size_t j = 0; j < n; ++j) vec::store16(out + 16 * j, v[j]);
}
#endif

// Codes of samples first .. end - 1 from the lane buffer into dst.
template <Element T>
void gather(void *dst, const unsigned char *lanes, size_t count, size_t first, size_t end) {
    size_t i = first;
#if VARDA_X86
    for (; i + 16 <= end; i += 16) gather16<T>(at<T>(dst, i), lanes + i, count);
#endif
    for (; i < end; ++i) {
        T code = 0;
        for (size_t j = 0; j < sizeof(T); ++j) code |= T(T(lanes[j * count + i]) << (8 * j));
        store<T>(dst, i, code);
    }
}

} // namespace

extern "C" VARDA_API int planar_zigzag_pivco_unlanes(void *dst, const void *src, uint64_t width,
                                                     uint64_t count, uint64_t elem_size,
                                                     uint32_t planes) {
    if (dst == nullptr || src == nullptr || !valid_plane_stack(width, count, planes)) return 1;
    const uint64_t plane = count / planes;
    return with_width(elem_size, 1, [&]<Element T>() {
        // Plane by plane, so that a plane is still in cache when decoded.
        for (uint64_t p = 0; p < planes; ++p) {
            gather<T>(dst, static_cast<const unsigned char *>(src), count, p * plane,
                      (p + 1) * plane);
            void *codes = at<T>(dst, p * plane);
            if (planar_zigzag_decode(codes, codes, width, plane, sizeof(T)) != 0) return 1;
        }
        return 0;
    });
}
