/*
 * compress_raw: a raw raster file into tile blobs and back, with the
 * installed libvarda_codec.
 *
 *   compress_raw c IN.raw OUT.vrd WIDTH HEIGHT DTYPE [TILE]
 *   compress_raw d IN.vrd OUT.raw
 *
 * IN.raw holds WIDTH x HEIGHT samples of DTYPE (0 u8 .. 10 f64, native
 * byte order), row by row. OUT.vrd is a small container of our own: the
 * shape, then each tile as a 8-byte length and its blob. Tiles are TILE x
 * TILE samples (512 by default), smaller at the right and bottom edges.
 */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <varda_codec.h>

static const size_t sizes[11] = {1, 2, 4, 8, 1, 2, 4, 8, 2, 4, 8};

static int fail(const char *what, const char *why) {
    fprintf(stderr, "compress_raw: %s: %s\n", what, why);
    return 1;
}

static int write_u64(FILE *f, uint64_t v) { return fwrite(&v, 8, 1, f) == 1 ? 0 : 1; }
static int read_u64(FILE *f, uint64_t *v) { return fread(v, 8, 1, f) == 1 ? 0 : 1; }

/* Copies the tile at (x0, y0) of w x h samples between a raster of
 * `width` samples per row and a packed buffer. */
static void copy_tile(unsigned char *raster, unsigned char *tile, uint64_t width, uint64_t x0,
                      uint64_t y0, uint64_t w, uint64_t h, size_t es, int to_tile) {
    for (uint64_t y = 0; y < h; ++y) {
        unsigned char *row = raster + ((y0 + y) * width + x0) * es;
        if (to_tile)
            memcpy(tile + y * w * es, row, w * es);
        else
            memcpy(row, tile + y * w * es, w * es);
    }
}

static int compress(const char *in_path, const char *out_path, uint64_t width, uint64_t height,
                    int dtype, uint64_t side) {
    const size_t es = sizes[dtype];
    const size_t bytes = (size_t)(width * height * es);
    unsigned char *raster = malloc(bytes), *tile = malloc((size_t)(side * side * es));
    FILE *in = fopen(in_path, "rb"), *out = fopen(out_path, "wb");
    varda_codec_product product;
    char err[256];
    int rc = 1;
    if (!raster || !tile || !in || !out) goto done;
    if (fread(raster, 1, bytes, in) != bytes) {
        rc = fail(in_path, "shorter than the shape says");
        goto done;
    }
    varda_codec_product_init(&product, dtype);
    if (write_u64(out, width) || write_u64(out, height) || write_u64(out, (uint64_t)dtype) ||
        write_u64(out, side))
        goto done;
    for (uint64_t y0 = 0; y0 < height; y0 += side) {
        for (uint64_t x0 = 0; x0 < width; x0 += side) {
            const uint64_t w = width - x0 < side ? width - x0 : side;
            const uint64_t h = height - y0 < side ? height - y0 : side;
            const uint64_t bound = varda_codec_bound(&product, w, h);
            unsigned char *blob = malloc((size_t)bound);
            uint64_t len = 0;
            copy_tile(raster, tile, width, x0, y0, w, h, es, 1);
            if (!blob ||
                varda_codec_encode(&product, tile, w, h, blob, bound, &len, err, sizeof err) != 0) {
                free(blob);
                rc = fail(in_path, blob ? err : "out of memory");
                goto done;
            }
            const int bad = write_u64(out, len) || fwrite(blob, 1, (size_t)len, out) != len;
            free(blob);
            if (bad) goto done;
        }
    }
    rc = 0;
done:
    if (in) fclose(in);
    if (out && fclose(out) != 0) rc = 1;
    free(raster);
    free(tile);
    return rc;
}

static int decompress(const char *in_path, const char *out_path) {
    FILE *in = fopen(in_path, "rb"), *out = NULL;
    uint64_t width, height, dtype, side;
    unsigned char *raster = NULL, *tile = NULL, *blob = NULL;
    char err[256];
    int rc = 1;
    if (!in || read_u64(in, &width) || read_u64(in, &height) || read_u64(in, &dtype) ||
        read_u64(in, &side) || dtype > 10 || side == 0 || width == 0 || height == 0 ||
        width > (1u << 20) || height > (1u << 20) || side > 8192) {
        rc = fail(in_path, "not a compress_raw file");
        goto done;
    }
    const size_t es = sizes[dtype];
    raster = malloc((size_t)(width * height * es));
    tile = malloc((size_t)(side * side * es));
    if (!raster || !tile) goto done;
    for (uint64_t y0 = 0; y0 < height; y0 += side) {
        for (uint64_t x0 = 0; x0 < width; x0 += side) {
            const uint64_t w = width - x0 < side ? width - x0 : side;
            const uint64_t h = height - y0 < side ? height - y0 : side;
            uint64_t len;
            varda_codec_info info;
            if (read_u64(in, &len) || len > (1u << 31) || !(blob = malloc((size_t)len)) ||
                fread(blob, 1, (size_t)len, in) != len) {
                rc = fail(in_path, "truncated");
                goto done;
            }
            /* The decode verifies the checksum: the shape is read without it. */
            if (varda_codec_peek_info(blob, len, &info, err, sizeof err) != 0 || info.width != w ||
                info.height != h || info.dtype != (int)dtype ||
                varda_codec_decode(blob, len, tile, w * h * es, err, sizeof err) != 0) {
                rc = fail(in_path, err[0] ? err : "a tile has the wrong shape");
                goto done;
            }
            free(blob);
            blob = NULL;
            copy_tile(raster, tile, width, x0, y0, w, h, es, 0);
        }
    }
    out = fopen(out_path, "wb");
    if (!out || fwrite(raster, es, (size_t)(width * height), out) != width * height) goto done;
    rc = 0;
done:
    if (in) fclose(in);
    if (out && fclose(out) != 0) rc = 1;
    free(raster);
    free(tile);
    free(blob);
    return rc;
}

int main(int argc, char **argv) {
    if (argc >= 7 && strcmp(argv[1], "c") == 0) {
        const int dtype = atoi(argv[6]);
        const uint64_t side = argc > 7 ? strtoull(argv[7], NULL, 10) : 512;
        if (dtype < 0 || dtype > 10 || side == 0) return fail("arguments", "bad dtype or tile");
        return compress(argv[2], argv[3], strtoull(argv[4], NULL, 10), strtoull(argv[5], NULL, 10),
                        dtype, side);
    }
    if (argc == 4 && strcmp(argv[1], "d") == 0) return decompress(argv[2], argv[3]);
    fprintf(stderr, "usage: compress_raw c IN.raw OUT.vrd WIDTH HEIGHT DTYPE [TILE]\n"
                    "       compress_raw d IN.vrd OUT.raw\n");
    return 2;
}
