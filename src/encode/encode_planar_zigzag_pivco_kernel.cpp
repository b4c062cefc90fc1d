// Byte lanes of planar zigzag codes: all least significant bytes first, then
// all second bytes, and so on, for a general-purpose byte compressor.
#include "frame/elem.h"
#include "frame/planar_row.h"
#include "frame/tile.h"
#include "frame/vec.h"
#include "varda_kernels.h"

using namespace varda;

namespace {

// Scatters codes of the plane starting at sample `base` of the stack: byte j
// of the code of sample i goes to lanes[j * count + i].
template <Element T> struct LaneSink {
    unsigned char *lanes;
    size_t count, base;

    void put(size_t index, T code) const {
        for (size_t j = 0; j < sizeof(T); ++j)
            lanes[j * count + base + index] = static_cast<unsigned char>(code >> (8 * j));
    }

#if VARDA_X86
    void put(size_t index, __m128i codes) const {
        unsigned char *lane0 = lanes + base + index;
        if constexpr (sizeof(T) == 1) {
            vec::store16(lane0, codes);
        } else if constexpr (sizeof(T) == 2) {
            const __m128i low = _mm_and_si128(codes, _mm_set1_epi16(0xFF));
            const __m128i bytes = _mm_packus_epi16(low, _mm_srli_epi16(codes, 8));
            _mm_storel_epi64(reinterpret_cast<__m128i *>(lane0), bytes);
            _mm_storel_epi64(reinterpret_cast<__m128i *>(lane0 + count),
                             _mm_unpackhi_epi64(bytes, bytes));
        } else {
            // Interleaving the halves groups each byte position together:
            // once for two 8-byte codes, twice for four 4-byte codes.
            __m128i bytes = _mm_unpacklo_epi8(codes, _mm_srli_si128(codes, 8));
            if constexpr (sizeof(T) == 4)
                bytes = _mm_unpacklo_epi8(bytes, _mm_srli_si128(bytes, 8));
            alignas(16) unsigned char grouped[16];
            _mm_store_si128(reinterpret_cast<__m128i *>(grouped), bytes);
            constexpr size_t per_lane = 16 / sizeof(T);
            for (size_t j = 0; j < sizeof(T); ++j)
                std::memcpy(lane0 + j * count, grouped + j * per_lane, per_lane);
        }
    }
#endif
};

} // namespace

extern "C" VARDA_API int planar_zigzag_pivco_lanes(void *dst, const void *src, uint64_t width,
                                                   uint64_t count, uint64_t elem_size,
                                                   uint32_t planes) {
    if (dst == nullptr || src == nullptr || !valid_plane_stack(width, count, planes)) return 1;
    const uint64_t plane = count / planes;
    return with_width(elem_size, 1, [&]<Element T>() {
        for (uint64_t p = 0; p < planes; ++p) {
            const LaneSink<T> sink{static_cast<unsigned char *>(dst), count, p * plane};
            planar_codes_tile<T, true>(sink, at<T>(src, p * plane), width, plane);
        }
        return 0;
    });
}
