/* A C99 host: the library loads unresolved, picks a path on first use and
   round-trips a small tile. */
#include <stdio.h>
#include <string.h>
#include <varda_kernels.h>

int main(void) {
    uint16_t tile[12], residuals[12], back[12];
    int i;
    if (varda_simd_path != -1) {
        fprintf(stderr, "path resolved before first use\n");
        return 1;
    }
    for (i = 0; i < 12; ++i) tile[i] = (uint16_t)(1000 + 3 * i + (i % 4) * 7);
    if (planar_encode(residuals, tile, 4, 12, 2) != 0) return 1;
    if (planar_decode(back, residuals, 4, 12, 2) != 0) return 1;
    if (memcmp(tile, back, sizeof tile) != 0) {
        fprintf(stderr, "round trip differs\n");
        return 1;
    }
    if (varda_simd_path < 0) return 1;
    printf("path %s, round trip ok\n", varda_simd_name(varda_simd_active()));
    return 0;
}
