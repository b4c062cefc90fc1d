// Byte lanes back to planar zigzag codes, then each plane decoded in place.
#include "frame/byte_planes.h"
#include "frame/elem.h"
#include "frame/tile.h"
#include "varda_kernels.h"

using namespace varda;

extern "C" VARDA_API int planar_zigzag_pivco_unlanes(void *dst, const void *src, uint64_t width,
                                                     uint64_t count, uint64_t elem_size,
                                                     uint32_t planes) {
    if (dst == nullptr || src == nullptr || !valid_plane_stack(width, count, planes)) return 1;
    const uint64_t plane = count / planes;
    return with_width(elem_size, 1, [&]<Element T>() {
        // Plane by plane, so that a plane is still in cache when decoded.
        for (uint64_t p = 0; p < planes; ++p) {
            join_planes<T>(dst, static_cast<const unsigned char *>(src), count, p * plane,
                           (p + 1) * plane);
            void *codes = at<T>(dst, p * plane);
            if (planar_zigzag_decode(codes, codes, width, plane, sizeof(T)) != 0) return 1;
        }
        return 0;
    });
}
