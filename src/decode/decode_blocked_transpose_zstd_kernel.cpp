// Byte unshuffle: the encoder wrote byte 0 of every element, then byte 1 of
// every element, and so on; the bytes of each element go back together.
#include <cstring>

#include "frame/byte_planes.h"
#include "frame/elem.h"
#include "varda_kernels.h"

using namespace varda;

namespace {

// Any other size, a run of elements at a time: each plane is read in order
// while the run's output stays in the first-level cache.
void unshuffle_any(unsigned char *dst, const unsigned char *src, size_t count, size_t size) {
    constexpr size_t run = 64;
    for (size_t first = 0; first < count; first += run) {
        const size_t end = count - first < run ? count : first + run;
        for (size_t j = 0; j < size; ++j) {
            const unsigned char *plane = src + j * count;
            for (size_t i = first; i < end; ++i) dst[i * size + j] = plane[i];
        }
    }
}

} // namespace

extern "C" VARDA_API void blocked_transpose_zstd_unshuffle(void *dst, const void *src,
                                                           uint64_t count, uint64_t elem_size) {
    const auto *planes = static_cast<const unsigned char *>(src);
    switch (elem_size) {
    case 0: return;
    // The one size whose buffers may overlap.
    case 1:
        if (count) std::memmove(dst, src, count);
        return;
    case 2: return join_planes<uint16_t>(dst, planes, count, 0, count);
    case 4: return join_planes<uint32_t>(dst, planes, count, 0, count);
    case 8: return join_planes<uint64_t>(dst, planes, count, 0, count);
    default: unshuffle_any(static_cast<unsigned char *>(dst), planes, count, elem_size);
    }
}
