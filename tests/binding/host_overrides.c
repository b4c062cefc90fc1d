/* A host that defines functions of the library's own names. Its definitions
   serve its own calls; the library's kernels must keep calling theirs, so
   the fused and lane kernels still round-trip. */
#include <stdio.h>
#include <string.h>
#include <varda_kernels.h>

enum { width = 37, plane = 37 * 29, planes = 2, count = plane * planes };

#define GARBAGE 0x5A

uint64_t pfor_encode_block(void *dst, const void *src, uint64_t elem_size) {
    (void)src;
    memset(dst, GARBAGE, 2 + 256 * elem_size);
    return 2;
}

uint64_t pfor_decode_block(void *dst, uint64_t elem_size, const void *src, uint64_t src_len) {
    (void)src;
    memset(dst, GARBAGE, 256 * elem_size);
    return src_len < 2 ? src_len : 2;
}

int planar_zigzag_decode_stream(void *dst, const void *src, uint64_t start, uint64_t n,
                                uint64_t width_, uint64_t plane_, uint64_t elem_size) {
    (void)src, (void)width_, (void)plane_;
    memset((char *)dst + start * elem_size, GARBAGE, n * elem_size);
    return 0;
}

int planar_zigzag_decode(void *dst, const void *src, uint64_t width_, uint64_t count_,
                         uint64_t elem_size) {
    (void)src, (void)width_;
    memset(dst, GARBAGE, count_ * elem_size);
    return 0;
}

static uint16_t tile[count], back[count];
static unsigned char stream[4 * count + 4096], lanes[2 * count];

static int same(const char *what) {
    if (memcmp(tile, back, sizeof tile) == 0) return 1;
    fprintf(stderr, "%s: the library called the host's definition\n", what);
    return 0;
}

int main(void) {
    uint64_t len = 0;
    unsigned char probe[2 + 256 * 2];
    int ok = 1;
    for (int i = 0; i < count; ++i) {
        const int r = (i % plane) / width, c = i % width;
        tile[i] = (uint16_t)(3000 + 11 * r + 5 * c + (r * c) % 7 + (i * 2654435761u >> 28));
    }
    /* The host's own call reaches its own definition, so the checks below
       can tell the two apart. */
    if (pfor_decode_block(back, 2, probe, sizeof probe) != 2 || back[0] != 0x5A5A) {
        fprintf(stderr, "the host's definition is not in effect\n");
        return 1;
    }

    if (planar_zigzag_pfor_bound(count, 2) > sizeof stream ||
        planar_zigzag_pfor_encode(stream, sizeof stream, &len, tile, width, count, 2, planes) != 0 ||
        planar_zigzag_pfor_decode(back, width, count, 2, planes, stream, len) != 0)
        ok = 0;
    ok = same("fused planar zigzag + PFOR") && ok;

    memset(back, 0, sizeof back);
    if (planar_zigzag_pivco_lanes(lanes, tile, width, count, 2, planes) != 0 ||
        planar_zigzag_pivco_unlanes(back, lanes, width, count, 2, planes) != 0)
        ok = 0;
    ok = same("byte lanes") && ok;

    /* Unlike the functions, the path variable is one object shared with the
       host: a store here must reach the library. */
    varda_simd_path = 3;
    if (varda_simd_active() != 3) {
        fprintf(stderr, "the library keeps its own copy of varda_simd_path\n");
        ok = 0;
    }
    varda_simd_path = -1;

    if (!ok) return 1;
    printf("the library binds its own calls\n");
    return 0;
}
