/*
 * libvarda_kernels: the compute kernels of a tiled raster codec.
 *
 * Every function works on caller-owned memory and keeps no state between
 * calls apart from the chosen SIMD path. Type-blind kernels take the element
 * width in bytes (1, 2, 4 or 8) and treat elements as unsigned integers with
 * wrap-around arithmetic. Failures are returned, never printed: 0 means done,
 * 1 means refused, and byte counts use 0 for refusal.
 *
 * A tile is `count` samples in rows of `width`; it is accepted when
 * 1 <= width <= count and count is a multiple of width.
 */
#ifndef VARDA_KERNELS_H
#define VARDA_KERNELS_H

#include <stddef.h>
#include <stdint.h>

#if defined(VARDA_BUILDING)
#define VARDA_API __attribute__((visibility("default")))
#else
#define VARDA_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Codes shared by every layer ---------------------------------------
 * Element types, lossy families and nodata kinds, as stored in records and
 * blobs: the values never change. */
enum {
    VARDA_DTYPE_U8 = 0,
    VARDA_DTYPE_U16 = 1,
    VARDA_DTYPE_U32 = 2,
    VARDA_DTYPE_U64 = 3,
    VARDA_DTYPE_I8 = 4,
    VARDA_DTYPE_I16 = 5,
    VARDA_DTYPE_I32 = 6,
    VARDA_DTYPE_I64 = 7,
    VARDA_DTYPE_F16 = 8,
    VARDA_DTYPE_F32 = 9,
    VARDA_DTYPE_F64 = 10,
    VARDA_DTYPE_COUNT = 11
};

enum { VARDA_LOSSY_NONE = 0, VARDA_LOSSY_LINEAR = 1, VARDA_LOSSY_LOG = 2, VARDA_LOSSY_SQRT = 3 };

enum { VARDA_NODATA_NONE = 0, VARDA_NODATA_VALUE = 1, VARDA_NODATA_NAN = 2 };

/* The codes above as name/value pairs ("VARDA_DTYPE_U8", 0), for hosts that
 * cannot read this header: 0 fills entry `index`, 1 means index is past the
 * last entry (or negative). Either pointer may be NULL. */
VARDA_API int varda_codes(int index, const char **name, long long *value);

/* The size in bytes of an element of type `dtype`; 0 for a code that is
 * not a type. */
VARDA_API uint64_t varda_dtype_size(int dtype);

/* `count` samples of type `dtype` as doubles: exact for every type but the
 * 64-bit integers, which round to nearest. 1 for a code that is not a type
 * (nothing written). */
VARDA_API int varda_widen(double *dst, const void *src, int dtype, uint64_t count);

/* ---- SIMD path ---------------------------------------------------------
 * Path ids: 0 "scalar", 1 "sse2", 2 "avx2", 3 "neon". The path is resolved
 * on first use from the processor and the VARDA_SIMD environment variable;
 * it only changes speed, never output. -1 means not yet resolved. A host
 * may store a path id here directly. */
VARDA_API extern int varda_simd_path;

VARDA_API unsigned int varda_simd_built(void); /* paths compiled in, as a mask */
VARDA_API unsigned int varda_simd_cpu(void);   /* paths this processor runs */
VARDA_API const char *varda_simd_name(int path);
VARDA_API int varda_simd_resolve(void); /* re-read VARDA_SIMD, choose, store */
VARDA_API int varda_simd_active(void);  /* the stored path, resolving once */

/* ---- Planar predictor: prediction N + W - NW -------------------------- */
VARDA_API int planar_encode(void *dst, const void *src, uint64_t width, uint64_t count,
                            uint64_t elem_size);
VARDA_API int planar_decode(void *dst, const void *src, uint64_t width, uint64_t count,
                            uint64_t elem_size);

/* ---- Planar zigzag predictor ------------------------------------------
 * Residuals as zigzag codes. The decoder may run in place (dst == src).
 * The stream form rebuilds samples start .. start + n - 1 of a stack of
 * planes of `plane` samples, given that earlier samples are rebuilt. */
VARDA_API int planar_zigzag_encode(void *dst, const void *src, uint64_t width, uint64_t count,
                                   uint64_t elem_size);
VARDA_API int planar_zigzag_decode(void *dst, const void *src, uint64_t width, uint64_t count,
                                   uint64_t elem_size);
VARDA_API int planar_zigzag_decode_stream(void *dst, const void *src, uint64_t start, uint64_t n,
                                          uint64_t width, uint64_t plane, uint64_t elem_size);

/* ---- PFOR bit packing: blocks of 256 values ---------------------------- */
VARDA_API uint64_t pfor_bound(uint64_t count, uint64_t elem_size);
VARDA_API uint64_t pfor_encode_block(void *dst, const void *src, uint64_t elem_size);
VARDA_API int pfor_encode(void *dst, uint64_t dst_capacity, uint64_t *out_len, const void *src,
                          uint64_t count, uint64_t elem_size);
VARDA_API uint64_t pfor_decode_block(void *dst, uint64_t elem_size, const void *src,
                                     uint64_t src_len);
VARDA_API int pfor_decode(void *dst, uint64_t count, uint64_t elem_size, const void *src,
                          uint64_t src_len);

/* ---- Fused planar zigzag + PFOR over a stack of `planes` tiles --------- */
VARDA_API uint64_t planar_zigzag_pfor_bound(uint64_t count, uint64_t elem_size);
VARDA_API int planar_zigzag_pfor_encode(void *dst, uint64_t dst_capacity, uint64_t *out_len,
                                        const void *src, uint64_t width, uint64_t count,
                                        uint64_t elem_size, uint32_t planes);
VARDA_API int planar_zigzag_pfor_decode(void *dst, uint64_t width, uint64_t count,
                                        uint64_t elem_size, uint32_t planes, const void *src,
                                        uint64_t src_len);

/* ---- Byte lanes of planar zigzag codes, for a byte compressor ---------- */
VARDA_API int planar_zigzag_pivco_lanes(void *dst, const void *src, uint64_t width, uint64_t count,
                                        uint64_t elem_size, uint32_t planes);
VARDA_API int planar_zigzag_pivco_unlanes(void *dst, const void *src, uint64_t width,
                                          uint64_t count, uint64_t elem_size, uint32_t planes);

/* ---- Neighbour predictors: north and west delta, average, median edge,
 *      deinterleave ------------------------------------------------------ */

/* Predictions N (delta_n), W (delta_w), floor((W + N) / 2) (average) and the
 * median edge rule (med, and med_zigzag with zigzag codes). The delta
 * kernels and average_decode may run in place (dst == src); the average and
 * median encoders and the median decoders need separate buffers. */
VARDA_API int delta_n_encode(void *dst, const void *src, uint64_t width, uint64_t count,
                             uint64_t elem_size);
VARDA_API int delta_n_decode(void *dst, const void *src, uint64_t width, uint64_t count,
                             uint64_t elem_size);
VARDA_API int delta_w_encode(void *dst, const void *src, uint64_t width, uint64_t count,
                             uint64_t elem_size);
VARDA_API int delta_w_decode(void *dst, const void *src, uint64_t width, uint64_t count,
                             uint64_t elem_size);
VARDA_API int average_encode(void *dst, const void *src, uint64_t width, uint64_t count,
                             uint64_t elem_size);
VARDA_API int average_decode(void *dst, const void *src, uint64_t width, uint64_t count,
                             uint64_t elem_size);
VARDA_API int med_encode(void *dst, const void *src, uint64_t width, uint64_t count,
                         uint64_t elem_size);
VARDA_API int med_decode(void *dst, const void *src, uint64_t width, uint64_t count,
                         uint64_t elem_size);
VARDA_API int med_zigzag_encode(void *dst, const void *src, uint64_t width, uint64_t count,
                                uint64_t elem_size);
VARDA_API int med_zigzag_decode(void *dst, const void *src, uint64_t width, uint64_t count,
                                uint64_t elem_size);

/* Even-indexed elements of a run to `even` (count - count / 2 of them), odd
 * ones to `odd` (count / 2), and back. Any element size; bytes are moved
 * unchanged. */
VARDA_API void deinterleave_split(void *even, void *odd, const void *src, size_t count,
                                  size_t elem_size);
VARDA_API void deinterleave_join(void *dst, const void *even, const void *odd, size_t count,
                                 size_t elem_size);

/* ---- Weighted predictor: coefficient blocks, static weights, training --- */

/* Coefficient blocks ("VDC1"): 1..255 vectors of signed 32-bit coefficients,
 * at most 10000 bytes. varda_coeffs_size and varda_coeffs_pack return a byte
 * count, 0 on refusal; pack explains a refusal in `err`. varda_coeffs_parse
 * returns 0, 1 (not a block), -1 (malformed) or -2 (arrays too small); with
 * both arrays null it only reports the counts. */
VARDA_API uint64_t varda_coeffs_size(const uint32_t *lengths, uint64_t n_vectors);
VARDA_API uint64_t varda_coeffs_pack(void *out, size_t out_cap, const int32_t *const *vectors,
                                     const uint32_t *lengths, size_t n_vectors, char *err,
                                     size_t err_size);
VARDA_API int varda_coeffs_parse(const void *block, size_t block_size, int32_t *coeffs_out,
                                 size_t coeffs_cap, uint32_t *lengths_out, size_t lengths_cap,
                                 uint64_t *n_vectors_out, uint64_t *n_coeffs_out);

/* Static weighted predictor: W + ((bias + w[0] N + w[1] NW + w[2] NE +
 * w[3] NN) >> shift), shift 0..63. The encoder needs separate buffers; the
 * decoder may run in place (dst == src). wp_static_train picks weights and
 * a shift for one tile; on every return the outputs hold a usable choice
 * (the planar fallback {1, -1, 0, 0}, 0 at worst). */
VARDA_API int wp_static_encode(void *dst, const void *src, uint64_t width, uint64_t count,
                               uint64_t elem_size, const int16_t *weights, uint8_t shift);
VARDA_API int wp_static_decode(void *dst, const void *src, uint64_t width, uint64_t count,
                               uint64_t elem_size, const int16_t *weights, uint8_t shift);
VARDA_API int wp_static_train(int16_t *weights_out, uint8_t *shift_out, const void *src,
                              uint64_t width, uint64_t count, uint64_t elem_size);

/* ---- Nodata: masks, fill and restore, guarded nodata -------------------- */
/* A mask holds one byte per sample: 0 for nodata, anything else for a valid
 * sample (0xFF in a plain mask, a direction code 1, 2 or 3 in a guarded
 * one). Sentinels are bit patterns in the low 8 * elem_size bits of a
 * 64-bit word and are compared bit for bit, never by value. */
VARDA_API int nodata_find_nan(uint64_t *nan_bits, const void *src, uint64_t count,
                              uint64_t elem_size);
VARDA_API void nodata_mark_nan(uint8_t *mask, const void *src, uint64_t count, uint64_t elem_size);
VARDA_API void nodata_mark_value(uint8_t *mask, const void *src, uint64_t count, uint64_t elem_size,
                                 uint64_t sentinel);

/* Fill copies the last valid sample of the row over nodata, or the filled
 * row above at the start of a row (zeros in the first row); a width that
 * does not fit count makes the run one row. Restore writes the sentinel
 * back. Both may run in place (dst == src). */
VARDA_API void nodata_fill(void *dst, const void *src, const uint8_t *mask, uint64_t width,
                           uint64_t count, uint64_t elem_size);
VARDA_API void nodata_restore(void *dst, const void *src, const uint8_t *mask, uint64_t count,
                              uint64_t elem_size, uint64_t sentinel);

/* Guarded nodata: the representable neighbours of a sentinel, as bit
 * patterns at the element width. A valid sample with code 1, 2 or 3 that
 * decodes to the sentinel is restored as up, down or alias (the other
 * zero of a float zero sentinel). */
typedef struct nodata_guard {
    uint64_t up;
    uint64_t down;
    uint64_t alias;
} nodata_guard;

/* 0 done; 1 dtype is not a type; 2 the sentinel is a float NaN. */
VARDA_API int nodata_guard_values(nodata_guard *guard, int dtype, uint64_t sentinel);
/* radius in sample units; negative, NaN or +inf means unbounded.
 * 0 guarded mask; 1 dtype is not a type (all 0xFF); 2 NaN sentinel (plain mask). */
VARDA_API int nodata_mark_guarded(uint8_t *mask, const void *src, uint64_t count, int dtype,
                                  uint64_t sentinel, double radius);
/* 0 done; 1 unsupported elem_size (nothing written) or a mask code that
 * could not be honoured (work done). */
VARDA_API int nodata_restore_guarded(void *dst, const void *src, const uint8_t *mask,
                                     uint64_t count, uint64_t elem_size, uint64_t sentinel,
                                     const nodata_guard *guard);

/* ---- Lossy quantisation: records, recipes, quantisers, fit, driver ------ */
/* Family codes: VARDA_LOSSY_NONE, _LINEAR, _LOG and _SQRT. */

/* What a recipe text carries. max_error: LINEAR an absolute error in sample
 * units, LOG a relative error as a fraction, SQRT a count of noise sigmas.
 * a, b: SQRT's noise variance A + B x, valid when has_ab is 1. */
typedef struct quant_spec {
    double max_error;
    double a;
    double b;
    uint8_t has_ab;
} quant_spec;

typedef struct varda_lossy_recipe {
    int32_t family;
    quant_spec spec;
} varda_lossy_recipe;

/* The resolved grid the encoders and decoders take. mode bit 0: no
 * negatives, reconstructions clamp at 0; bit 1: the stream carries values,
 * not grid indices; bit 2: SQRT on f32 reconstructs in single precision.
 * offset: SQRT's A / B, 0 otherwise. */
typedef struct quant_grid {
    uint8_t mode;
    double step;
    double offset;
} quant_grid;

/* The value domain a grid was resolved on, as each family's scan finds it. */
typedef struct quant_linear_stats {
    double max_abs;
    int32_t negatives;
} quant_linear_stats;

typedef struct quant_log_stats {
    double min_abs;
    double max_abs;
    int32_t negatives;
    int32_t tiny;
} quant_log_stats;

typedef struct quant_sqrt_stats {
    double min;
    double max;
    int32_t negatives;
    int32_t nonfinite;
} quant_sqrt_stats;

typedef struct varda_lossy_resolved {
    int32_t family;
    quant_grid grid;
    union {
        quant_linear_stats linear;
        quant_log_stats log;
        quant_sqrt_stats sqrt;
    } stats; /* the family's record */
} varda_lossy_resolved;

/* Recipe parsers: "LINEAR:MAX_ERROR=V", "LOG:MAX_ERROR=V%" and
 * "SQRT:MAX_ERROR=VN[,A=a,B=b]". Numbers use the full stop whatever the
 * locale. 0 on success; 1 with a message in err on failure. */
VARDA_API int quant_linear_parse(const char *text, quant_spec *spec, char *err, size_t err_size);
VARDA_API int quant_log_parse(const char *text, quant_spec *spec, char *err, size_t err_size);
VARDA_API int quant_sqrt_parse(const char *text, quant_spec *spec, char *err, size_t err_size);

/* LINEAR: absolute error. The stream holds one grid index per sample in an
 * integer of the sample's width. verify writes the worst error over
 * max_error (above 1 means the bound broke). */
VARDA_API int quant_linear_scan(const void *src, uint32_t dtype, size_t count,
                                quant_linear_stats *stats);
VARDA_API int quant_linear_resolve(const quant_spec *spec, uint32_t dtype,
                                   const quant_linear_stats *stats, quant_grid *grid, char *err,
                                   size_t err_size);
VARDA_API int quant_linear_encode(void *dst, const void *src, const quant_grid *grid,
                                  uint32_t dtype, size_t count);
VARDA_API int quant_linear_decode(void *dst, const void *src, const quant_grid *grid,
                                  uint32_t dtype, size_t count);
VARDA_API int quant_linear_verify(const void *orig, const void *rebuilt, const quant_spec *spec,
                                  uint32_t dtype, size_t count, double *worst);

/* LOG: relative error. Float streams hold signed log-grid indices, integer
 * streams the rebuilt values themselves. verify also counts, in tiny, the
 * float samples below the smallest normal that it could not measure. */
VARDA_API int quant_log_scan(const void *src, uint32_t dtype, size_t count, quant_log_stats *stats);
VARDA_API int quant_log_resolve(const quant_spec *spec, uint32_t dtype,
                                const quant_log_stats *stats, quant_grid *grid, char *err,
                                size_t err_size);
VARDA_API int quant_log_encode(void *dst, const void *src, const quant_grid *grid, uint32_t dtype,
                               size_t count);
VARDA_API int quant_log_decode(void *dst, const void *src, const quant_grid *grid, int dtype,
                               size_t count);
VARDA_API int quant_log_verify(const void *orig, const void *rebuilt, const quant_spec *spec,
                               uint32_t dtype, size_t count, double *worst, size_t *tiny);

/* Block statistics for the shot-noise fit, gathered over any number of
 * pushes. The arrays belong to the library between init and free. */
typedef struct quant_sqrt_accum {
    double *means;
    double *variances;
    size_t count;
    size_t capacity;
    size_t stride;
    size_t seen;
    int32_t failed;
} quant_sqrt_accum;

/* A fitted noise curve, variance = a + b x, and how well it held. */
typedef struct quant_sqrt_curve {
    double a;
    double b;
    int32_t held;
    int32_t blocks;
    int32_t bins;
    double range;
    double collinearity;
    double residual;
} quant_sqrt_curve;

/* Shot-noise fit: init, push tiles (rows of `width` samples), solve, free.
 * quant_sqrt_fit does all four on one raster in memory. */
VARDA_API void quant_sqrt_accum_init(quant_sqrt_accum *accum);
VARDA_API void quant_sqrt_accum_free(quant_sqrt_accum *accum);
VARDA_API int quant_sqrt_accum_push(quant_sqrt_accum *accum, const void *src, uint32_t dtype,
                                    size_t width, size_t rows);
VARDA_API int quant_sqrt_accum_solve(const quant_sqrt_accum *accum, quant_sqrt_curve *curve,
                                     char *err, size_t err_size);
VARDA_API int quant_sqrt_fit(const void *src, int dtype, size_t width, size_t rows,
                             quant_sqrt_curve *curve, char *err, size_t err_size);

/* SQRT family: a uniform grid on sqrt(x + A/B), so that the error bound
 * follows the noise N sqrt(A + B x). A null curve is allowed where the
 * spec carries A and B. */
VARDA_API int quant_sqrt_scan(const void *src, uint32_t dtype, size_t count,
                              quant_sqrt_stats *stats);
VARDA_API int quant_sqrt_resolve(const quant_spec *spec, uint32_t dtype,
                                 const quant_sqrt_stats *stats, const quant_sqrt_curve *curve,
                                 quant_grid *grid, char *err, size_t err_size);
VARDA_API double quant_sqrt_bound(const quant_spec *spec, const quant_sqrt_curve *curve, double x);
VARDA_API int quant_sqrt_encode(void *dst, const void *src, const quant_grid *grid, uint32_t dtype,
                                size_t count);
VARDA_API int quant_sqrt_decode(void *dst, const void *src, const quant_grid *grid, uint32_t dtype,
                                size_t count);
VARDA_API int quant_sqrt_verify(const void *orig, const void *rebuilt, const quant_spec *spec,
                                const quant_sqrt_curve *curve, uint32_t dtype, size_t count,
                                double *worst);

/* Recipe driver, once per product: parse the text, fit A and B for a SQRT
 * recipe without them (on the whole raster, `count` samples in rows of
 * `width`), resolve the grid on the whole raster. Then per tile: check the
 * tile against the resolved domain (skipping samples whose bit pattern is
 * ignore_value when has_ignore) before encoding it with &resolved->grid.
 * guard_radius: how far a true sample may lie from the rebuilt value x;
 * +inf when the recipe gives no finite bound. */
VARDA_API int varda_lossy_parse(const char *text, varda_lossy_recipe *recipe, char *err,
                                size_t err_size);
VARDA_API int varda_lossy_fit(varda_lossy_recipe *recipe, const void *src, int dtype, size_t width,
                              size_t count, char *err, size_t err_size);
VARDA_API int varda_lossy_resolve(const varda_lossy_recipe *recipe, const void *src, uint32_t dtype,
                                  size_t count, varda_lossy_resolved *resolved, char *err,
                                  size_t err_size);
VARDA_API int varda_lossy_check_domain(const varda_lossy_resolved *resolved, const void *src,
                                       int dtype, size_t count, int has_ignore,
                                       uint64_t ignore_value, char *err, size_t err_size);
VARDA_API double varda_lossy_guard_radius(const varda_lossy_recipe *recipe, double x);

/* ---- Joins: binary offset, multiples, float keys, byte unshuffle -------- */

/* Binary-offset joins: a class per element and an offset inside it. Every
 * element is written; 1 reports inconsistent input (or a refused size or
 * table, then before any output). binoffset_join: class w is 0 for the value
 * 0, else 2^(w-1) + low with low < 2^(w-1). The table forms: value = bases[b]
 * + offset, offset < 2^widths[b], for the selector b = bins[i]; `bases` holds
 * nbins little-endian 8-byte words, nbins is 1 .. 256. The packed offsets
 * lie back to back, widths[b] bits each, least significant bit first; bytes
 * past packed_len read as zero. A selector at or past nbins is flagged and
 * counts as base 0, width 0. */
VARDA_API int binoffset_join(void *dst, const uint8_t *widths, const void *low, uint64_t count,
                             uint64_t elem_size);
VARDA_API int binoffset_join_table(void *dst, const uint8_t *bins, const void *offsets,
                                   uint64_t count, uint64_t elem_size, const void *bases,
                                   const uint8_t *widths, uint32_t nbins);
VARDA_API int binoffset_unpack_join(void *dst, const uint8_t *bins, const void *packed,
                                    uint64_t packed_len, uint64_t count, uint64_t elem_size,
                                    const void *bases, const uint8_t *widths, uint32_t nbins);

/* Two-stream joins, 1 for a refused argument or inconsistent input, every
 * element still written. intmult_join: quot * mult + rem, with mult >= 2
 * taken at the element width. floatquant_join (4- or 8-byte floats): the
 * float whose order-preserving key is high << shift plus the low part,
 * complemented for negative floats. floatmult_join (4- or 8-byte floats):
 * the prediction index * step, corrected by the residual on its key. */
VARDA_API int intmult_join(void *dst, const void *quot, const void *rem, uint64_t count,
                           uint64_t elem_size, uint64_t mult);
VARDA_API int floatquant_join(void *dst, const void *high, const void *low, uint64_t count,
                              uint64_t elem_size, uint32_t shift);
VARDA_API int floatmult_join(void *dst, const void *index, const void *residual, uint64_t count,
                             uint64_t elem_size, double step);

/* Byte planes (plane j holds byte j of every element) back to elements.
 * Any size; for size 1 the buffers may overlap. */
VARDA_API void blocked_transpose_zstd_unshuffle(void *dst, const void *src, uint64_t count,
                                                uint64_t elem_size);

#ifdef __cplusplus
}
#endif

#endif /* VARDA_KERNELS_H */
