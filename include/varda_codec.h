/*
 * libvarda_codec: a tile codec over libvarda_kernels.
 *
 * A product is a raster of one element type cut into tiles. The codec
 * strings the kernels into chains (a predictor, a byte shuffle and zstd, bit
 * packing, the host splitters the joins exist for), handles nodata and
 * lossy recipes, and writes each tile as a self-describing blob: magic,
 * format version, dtype, shape, chain, every parameter its decoder needs,
 * the streams, and an XXH3-64 checksum. Decoding needs the blob alone.
 * docs/format.md gives the blob byte by byte, docs/chains.md the chains.
 *
 * Calls return 0 for done and, when they fail, the kind of failure (see
 * VARDA_CODEC_REFUSED and the kinds beside it; 1 is a refusal, as in the
 * kernels), and explain it in one line of text in `err` (at most
 * `err_size` - 1 characters, always terminated; nothing when `err` is NULL
 * or `err_size` is 0). Nothing is printed, nothing outlives a call, and
 * every function is re-entrant.
 */
#ifndef VARDA_CODEC_H
#define VARDA_CODEC_H

#include <stddef.h>
#include <stdint.h>

#include "varda_kernels.h"

#if defined(VARDA_CODEC_BUILDING)
#define VARDA_CODEC_API __attribute__((visibility("default")))
#else
#define VARDA_CODEC_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The newest blob format this build writes; it reads versions 1 to this.
 * Version 2 marks the lossy float tiles that set non-finite samples aside;
 * version 3 the tiles given big-endian samples or a grid position (see
 * varda_codec_encode_tile); every other tile is written as version 1. */
#define VARDA_CODEC_FORMAT_VERSION 3

/* What a failed call returns. Callers that only test for 0 keep working;
 * those that tell failures apart test these. */
enum {
    VARDA_CODEC_OK = 0,
    /* An argument, product or size the codec does not take. */
    VARDA_CODEC_REFUSED = 1,
    /* A blob or product text that is damaged, truncated or not one at all. */
    VARDA_CODEC_CORRUPT = 2,
    /* An allocation failed; the same call may succeed with more memory. */
    VARDA_CODEC_NO_MEMORY = 3,
    /* The chain does not apply to these samples (a splitter that finds
     * nothing to split): another chain will code them. */
    VARDA_CODEC_NOT_APPLICABLE = 4
};

/* The zstd level of a product that names none, and of every stream the
 * chains pack: on byte planes and predictor residuals it packs within a
 * few percent of level 9 (on some rasters better) and encodes two to five
 * times faster; decoding is as fast at either. */
#define VARDA_CODEC_DEFAULT_ZSTD_LEVEL 3

/* Chain ids are stable: they are stored in blobs. */
enum {
    VARDA_CHAIN_ZSTD = 1,
    VARDA_CHAIN_SHUFFLE_ZSTD = 2,
    VARDA_CHAIN_DELTA_W = 3,
    VARDA_CHAIN_DELTA_N = 4,
    VARDA_CHAIN_PLANAR = 5,
    VARDA_CHAIN_AVERAGE = 6,
    VARDA_CHAIN_MED = 7,
    VARDA_CHAIN_MED_ZIGZAG = 8,
    VARDA_CHAIN_WP = 9,
    VARDA_CHAIN_PLANAR_LANES_ZSTD = 10,
    VARDA_CHAIN_PLANAR_PFOR = 11,
    VARDA_CHAIN_PLANAR_PFOR_ZSTD = 12,
    VARDA_CHAIN_INTMULT = 13,
    VARDA_CHAIN_BINOFFSET = 14,
    VARDA_CHAIN_FLOATQUANT = 15,
    VARDA_CHAIN_FLOATMULT = 16,
    VARDA_CHAIN_CONTEXT_RANS = 17,
    VARDA_CHAIN_FLOATMULT_WIDE = 18,
    VARDA_CHAIN_PALETTE = 19,
    VARDA_CHAIN_CONTEXT_LANES = 20,
    /* Per tile, the smallest blob of the chains its effort tries. Never
     * stored: the blob records the chain that won. */
    VARDA_CHAIN_AUTO = 255
};

/* ---- Chains ------------------------------------------------------------ */

/* The chains in listing order: ids 1 .. count, "auto" excluded. */
VARDA_CODEC_API int varda_codec_chain_count(void);
/* "zstd", "planar", ... or "auto" for 255; NULL for an unknown id. */
VARDA_CODEC_API const char *varda_codec_chain_name(int chain);
/* The id of a chain name ("auto" included), or -1. */
VARDA_CODEC_API int varda_codec_chain_id(const char *name);
/* 1 when the chain can code samples of this dtype, else 0. Lossy products
 * code their quantised stream, whose type is the integer of the same width
 * (signed for floats), so the float chains never apply to them. */
VARDA_CODEC_API int varda_codec_chain_accepts(int chain, int dtype);

/* ---- Products ---------------------------------------------------------- */

/* What every tile of a product shares. Fill it with
 * varda_codec_product_init, change what you need, then call
 * varda_codec_prepare (which a lossy recipe requires). The record is plain
 * data: a host may store it and copy it between processes. */
typedef struct varda_codec_product {
    int32_t dtype;                 /* VARDA_DTYPE_U8 .. VARDA_DTYPE_F64 */
    int32_t chain;                 /* a chain id, or VARDA_CHAIN_AUTO */
    int32_t effort;                /* auto: 0 one chain, 1 a short list, 2 all */
    int32_t zstd_level;            /* 1 .. 22 */
    int32_t nodata;                /* VARDA_NODATA_NONE, _VALUE or _NAN */
    uint64_t nodata_value;         /* the sentinel's bit pattern (VALUE) */
    varda_lossy_recipe recipe;     /* family 0: lossless */
    varda_lossy_resolved resolved; /* the grid, from varda_codec_prepare */
    int32_t prepared;              /* 1 once varda_codec_prepare succeeded */
} varda_codec_product;

/* Lossless, chain auto at effort 1, the default zstd level, no nodata. */
VARDA_CODEC_API void varda_codec_product_init(varda_codec_product *product, int dtype);

/* Readies a product. `recipe` is a lossy recipe text ("LINEAR:MAX_ERROR=0.5",
 * "LOG:MAX_ERROR=1%", "SQRT:MAX_ERROR=2N[,A=..,B=..]") or NULL/"" for
 * lossless. For a lossy recipe, `raster` is the whole product (`count`
 * samples in rows of `width`): its nodata samples are set aside, a SQRT
 * recipe without A and B gets its noise curve fitted, and the grid is
 * resolved on it. Lossless products need no raster (pass NULL, 0, 0). */
VARDA_CODEC_API int varda_codec_prepare(varda_codec_product *product, const char *recipe,
                                        const void *raster, uint64_t width, uint64_t count,
                                        char *err, size_t err_size);

/* 0 when the record is a product the codec encodes with (a lossy one
 * prepared, its grid one the quantiser takes); else why not. */
VARDA_CODEC_API int varda_codec_product_check(const varda_codec_product *product, char *err,
                                              size_t err_size);

/* ---- Product text ------------------------------------------------------ */

/* A product's saved form is one flat JSON object (docs/product.md gives it
 * field by field); `varda_product` holds the version of the form. A host
 * stores it (a numcodecs configuration carries it) and any host loads it
 * back to the same record, lossy grid included. */
#define VARDA_CODEC_PRODUCT_VERSION 1
/* No saved product is longer than this, terminator included. */
#define VARDA_CODEC_PRODUCT_TEXT_MAX 1024

/* Writes the product as text into `text` (terminated) and its length,
 * terminator excluded, into `*out_len`. Only a product that passes
 * varda_codec_product_check is saved. */
VARDA_CODEC_API int varda_codec_product_save(const varda_codec_product *product, char *text,
                                             size_t text_size, size_t *out_len, char *err,
                                             size_t err_size);

/* Reads `text_len` bytes of saved text into `*product`. Text that is not
 * the form (a malformed, unknown, missing or repeated field, a value out
 * of range) is refused as corrupt with the field named; a version this
 * build does not read is refused. `*product` is changed only on success. */
VARDA_CODEC_API int varda_codec_product_load(varda_codec_product *product, const char *text,
                                             size_t text_len, char *err, size_t err_size);

/* The canonical text of a lossy recipe ("" for family 0): it parses back
 * to the same recipe, a fitted noise curve included. */
VARDA_CODEC_API int varda_codec_recipe_text(const varda_lossy_recipe *recipe, char *text,
                                            size_t text_size, char *err, size_t err_size);

/* ---- Tiles ------------------------------------------------------------- */

/* The largest blob a tile of this shape can take; 0 when the product or
 * shape is not one the codec takes. */
VARDA_CODEC_API uint64_t varda_codec_bound(const varda_codec_product *product, uint64_t width,
                                           uint64_t height);

/* Encodes one tile of width x height samples (row-major) into `dst`;
 * `*out_len` receives the blob's length. */
VARDA_CODEC_API int varda_codec_encode(const varda_codec_product *product, const void *src,
                                       uint64_t width, uint64_t height, void *dst,
                                       uint64_t dst_capacity, uint64_t *out_len, char *err,
                                       size_t err_size);

/* Decodes a blob into `dst`, which must hold width x height samples, in
 * the byte order the blob records (big-endian for a tile that was given
 * big-endian samples, else this machine's). A blob that is corrupt,
 * truncated, of a format version this build does not read or with an
 * unknown chain is refused with its own message; `dst` is then undefined. */
VARDA_CODEC_API int varda_codec_decode(const void *blob, uint64_t blob_len, void *dst,
                                       uint64_t dst_capacity, char *err, size_t err_size);

/* What a blob may record beside the samples (format version 3). */
#define VARDA_CODEC_POSITION_MAX 8
typedef struct varda_codec_tile_meta {
    /* 1: the samples are big-endian; the encoder codes their values, and
     * decoding gives them back big-endian. 0: this machine's order. Not
     * recorded for 1-byte samples. */
    int32_t big_endian;
    /* The tile's index along each dimension of its array (0 .. the count
     * of dimensions, at most VARDA_CODEC_POSITION_MAX), when its writer
     * recorded where it belongs; 0 when not recorded. */
    uint32_t position_count;
    uint32_t position[VARDA_CODEC_POSITION_MAX];
    /* 1 when the writer recorded the identity of the array it belongs to. */
    int32_t has_array;
    uint64_t array;
} varda_codec_tile_meta;

/* As varda_codec_encode, with the samples' byte order and the tile's
 * place recorded in the blob as `meta` says (NULL: as varda_codec_encode).
 * A blob that records any of them is of format version 3, which builds
 * before it refuse by name. varda_codec_bound covers the fields. */
VARDA_CODEC_API int varda_codec_encode_tile(const varda_codec_product *product, const void *src,
                                            uint64_t width, uint64_t height,
                                            const varda_codec_tile_meta *meta, void *dst,
                                            uint64_t dst_capacity, uint64_t *out_len, char *err,
                                            size_t err_size);

/* What a blob records beside its samples, read from its header; all 0 for
 * a blob of an earlier version. The checksum is verified when `verify` is
 * not 0 (otherwise every length is still checked). */
VARDA_CODEC_API int varda_codec_read_tile_meta(const void *blob, uint64_t blob_len, int verify,
                                               varda_codec_tile_meta *meta, char *err,
                                               size_t err_size);

/* What a blob's header says, read without decoding the streams. The
 * checksum is verified. */
typedef struct varda_codec_info {
    uint32_t version;
    int32_t dtype;
    uint64_t width;
    uint64_t height;
    int32_t chain;       /* the chain that coded the samples */
    int32_t lossy;       /* the lossy family, 0 when lossless */
    int32_t nodata;      /* 1 when the tile holds nodata (a mask, or lossless
                            sentinels kept in the coded samples) */
    int32_t nonfinite;   /* 1 when a lossy tile sets non-finite samples aside */
    uint64_t raw_bytes;  /* width x height x element size */
    uint64_t blob_bytes; /* the blob's own length */
} varda_codec_info;

VARDA_CODEC_API int varda_codec_read_info(const void *blob, uint64_t blob_len,
                                          varda_codec_info *info, char *err, size_t err_size);

/* The same description without verifying the checksum, for a host that
 * sizes the destination of varda_codec_decode from it: the decode verifies
 * the checksum, so the blob is hashed once. Every length is still checked,
 * but the fields of a damaged blob may be wrong. */
VARDA_CODEC_API int varda_codec_peek_info(const void *blob, uint64_t blob_len,
                                          varda_codec_info *info, char *err, size_t err_size);

#ifdef __cplusplus
}
#endif

#endif /* VARDA_CODEC_H */
