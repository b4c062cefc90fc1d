// Shot-noise curve fit: variance = A + B x, measured on the raster itself.
// Each 8 x 8 block gives its mean and a noise variance from a second
// difference that cancels smooth structure; the blocks fall into 24
// intensity bins, each bin gives a low percentile of its variances, and a
// weighted line through the bins gives A and B.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "frame/dtype.h"
#include "frame/message.h"
#include "frame/sample.h"
#include "frame/simd.h"
#include "lossy/lossy_common.h"
#include "lossy/widen_row.h"
#include "varda_kernels.h"

using namespace varda;

namespace varda {

void widen_row_portable(double *dst, const void *src, uint32_t dtype, size_t n) {
    with_dtype(dtype, 0, [&]<Sample S>() {
        for (size_t i = 0; i < n; ++i) dst[i] = to_double(load_sample<S>(src, i));
        return 0;
    });
}

#if VARDA_X86
namespace {

// Four 32-bit lanes to four doubles.
inline void store_lanes(double *dst, __m128i lanes) {
    _mm_storeu_pd(dst, _mm_cvtepi32_pd(lanes));
    _mm_storeu_pd(dst + 2, _mm_cvtepi32_pd(_mm_shuffle_epi32(lanes, 0x4E)));
}

// Eight 16-bit lanes, zero- or sign-extended.
template <bool Signed> inline void store_halves(double *dst, __m128i lanes) {
    if constexpr (Signed) {
        store_lanes(dst, _mm_srai_epi32(_mm_unpacklo_epi16(lanes, lanes), 16));
        store_lanes(dst + 4, _mm_srai_epi32(_mm_unpackhi_epi16(lanes, lanes), 16));
    } else {
        const __m128i zero = _mm_setzero_si128();
        store_lanes(dst, _mm_unpacklo_epi16(lanes, zero));
        store_lanes(dst + 4, _mm_unpackhi_epi16(lanes, zero));
    }
}

template <bool Signed> size_t widen_bytes_sse2(double *dst, const unsigned char *src, size_t n) {
    size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + i));
        __m128i low, high;
        if constexpr (Signed) {
            low = _mm_srai_epi16(_mm_unpacklo_epi8(bytes, bytes), 8);
            high = _mm_srai_epi16(_mm_unpackhi_epi8(bytes, bytes), 8);
        } else {
            low = _mm_unpacklo_epi8(bytes, _mm_setzero_si128());
            high = _mm_unpackhi_epi8(bytes, _mm_setzero_si128());
        }
        store_halves<true>(dst + i, low); // already widened, sign-extension is exact
        store_halves<true>(dst + i + 8, high);
    }
    return i;
}

template <bool Signed> size_t widen_halves_sse2(double *dst, const unsigned char *src, size_t n) {
    size_t i = 0;
    for (; i + 8 <= n; i += 8)
        store_halves<Signed>(dst + i,
                             _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + 2 * i)));
    return i;
}

} // namespace
#endif

void widen_row(double *dst, const void *src, uint32_t dtype, size_t n) {
    size_t done = 0;
#if VARDA_X86
    const auto *bytes = static_cast<const unsigned char *>(src);
    switch (dtype) {
    case dtype_u8: done = widen_bytes_sse2<false>(dst, bytes, n); break;
    case dtype_i8: done = widen_bytes_sse2<true>(dst, bytes, n); break;
    case dtype_u16: done = widen_halves_sse2<false>(dst, bytes, n); break;
    case dtype_i16: done = widen_halves_sse2<true>(dst, bytes, n); break;
    default: break;
    }
#endif
    widen_row_portable(dst + done,
                       static_cast<const unsigned char *>(src) + done * dtype_size[dtype], dtype,
                       n - done);
}

} // namespace varda

extern "C" VARDA_API int varda_widen(double *dst, const void *src, int dtype, uint64_t count) {
    if (dtype < 0 || !valid_dtype(uint64_t(dtype))) return 1;
    widen_row(dst, src, uint32_t(dtype), size_t(count));
    return 0;
}

namespace {

constexpr size_t band_rows = 10;
constexpr size_t block_side = 8;
// Past this many stored blocks the accumulator thins instead of growing.
constexpr size_t max_blocks = 262144;
constexpr size_t first_capacity = 4096;
constexpr size_t min_blocks = 48;
constexpr int bin_count = 24;
constexpr size_t min_bin_blocks = 12;

// The operator's squared weights sum to 36: 16 + 4 x 4 + 4 x 1.
constexpr double pixels_times_weights = 2304.0;
constexpr double variance_correction = 0.624732;

struct BlockStats {
    double mean, variance;
};

// One block whose top-left pixel (not its neighbour ring) is column
// `left` + 1 of row 1 of the work buffer. False when a second difference
// is not finite.
bool measure_block(const double *work, size_t width, size_t left, BlockStats *stats) {
    double sum = 0.0, total = 0.0;
    bool finite = true;
    for (size_t i = 1; i <= block_side; ++i) {
        const double *north = work + (i - 1) * width + left;
        const double *row = work + i * width + left;
        const double *south = work + (i + 1) * width + left;
        for (size_t j = 1; j <= block_side; ++j) {
            const double p = row[j];
            const double d = 4.0 * p - 2.0 * (north[j] + south[j] + row[j - 1] + row[j + 1]) +
                             (north[j - 1] + north[j + 1] + south[j - 1] + south[j + 1]);
            sum += p;
            total += d * d;
            finite &= std::isfinite(d);
        }
    }
    stats->mean = sum * 0.015625;
    stats->variance = (total / pixels_times_weights) / variance_correction;
    return finite;
}

// Makes room for one more block: grows both arrays, or past the cap keeps
// every second block and halves the rate of retention from here on.
bool make_room(quant_sqrt_accum *accum) {
    if (accum->count < accum->capacity) return true;
    if (accum->capacity <= max_blocks - 1) {
        const size_t grown = accum->capacity == 0 ? first_capacity : 2 * accum->capacity;
        auto *means = static_cast<double *>(std::realloc(accum->means, grown * sizeof(double)));
        if (means == nullptr) return false;
        accum->means = means;
        auto *variances =
            static_cast<double *>(std::realloc(accum->variances, grown * sizeof(double)));
        if (variances == nullptr) return false;
        accum->variances = variances;
        accum->capacity = grown;
        return true;
    }
    size_t kept = 0;
    for (size_t i = 0; i < accum->count; i += 2, ++kept) {
        accum->means[kept] = accum->means[i];
        accum->variances[kept] = accum->variances[i];
    }
    accum->count = kept;
    accum->stride *= 2;
    return true;
}

int out_of_memory(quant_sqrt_accum *accum, void *work) {
    std::free(work);
    accum->failed = 1;
    return 1;
}

int ascending(const void *left, const void *right) {
    double a, b;
    std::memcpy(&a, left, sizeof a);
    std::memcpy(&b, right, sizeof b);
    return (a > b) - (a < b);
}

struct Bin {
    double weight, x, y;
};

} // namespace

extern "C" VARDA_API void quant_sqrt_accum_init(quant_sqrt_accum *accum) {
    if (accum == nullptr) return;
    accum->means = nullptr;
    accum->variances = nullptr;
    accum->count = 0;
    accum->capacity = 0;
    accum->stride = 1;
    accum->seen = 0;
    accum->failed = 0;
}

extern "C" VARDA_API void quant_sqrt_accum_free(quant_sqrt_accum *accum) {
    if (accum == nullptr) return;
    std::free(accum->means);
    std::free(accum->variances);
    quant_sqrt_accum_init(accum);
}

extern "C" VARDA_API int quant_sqrt_accum_push(quant_sqrt_accum *accum, const void *src,
                                               uint32_t dtype, size_t width, size_t rows) {
    if (accum == nullptr || src == nullptr || !valid_dtype(dtype)) return 1;
    if (width < band_rows || rows < band_rows) return 1;
    // A width whose work buffer cannot even be sized is out of memory, not
    // a small buffer.
    size_t work_bytes;
    if (__builtin_mul_overflow(width, band_rows * sizeof(double), &work_bytes))
        return out_of_memory(accum, nullptr);
    auto *work = static_cast<double *>(std::malloc(work_bytes));
    if (work == nullptr) return out_of_memory(accum, nullptr);

    const size_t row_bytes = width * dtype_size[dtype];
    const size_t bands = (rows - 2) / block_side, blocks_per_band = (width - 2) / block_side;
    const auto *raster = static_cast<const unsigned char *>(src);
    for (size_t band = 0; band < bands; ++band) {
        for (size_t r = 0; r < band_rows; ++r)
            widen_row(work + r * width, raster + (block_side * band + r) * row_bytes, dtype, width);
        for (size_t k = 0; k < blocks_per_band; ++k) {
            BlockStats block;
            if (!measure_block(work, width, block_side * k, &block)) continue;
            const size_t before = accum->seen++;
            if (before % accum->stride != 0) continue;
            if (!make_room(accum)) return out_of_memory(accum, work);
            accum->means[accum->count] = block.mean;
            accum->variances[accum->count] = block.variance;
            ++accum->count;
        }
    }
    std::free(work);
    return 0;
}

extern "C" VARDA_API int quant_sqrt_accum_solve(const quant_sqrt_accum *accum,
                                                quant_sqrt_curve *curve, char *err,
                                                size_t err_size) {
    *curve = quant_sqrt_curve{};
    if (accum == nullptr) return fail(err, err_size, "no accumulator");
    if (accum->failed) return fail(err, err_size, "the fit ran out of memory");
    const size_t count = accum->count;
    constexpr size_t int_max = size_t(std::numeric_limits<int32_t>::max());
    curve->blocks = int32_t(count < int_max ? count : int_max);
    if (count < min_blocks)
        return fail(err, err_size,
                    "%zu blocks is not enough to fit a curve, a raster needs to be at least a "
                    "few hundred blocks across",
                    count);

    double lo = accum->means[0], hi = accum->means[0];
    for (size_t i = 1; i < count; ++i) {
        if (accum->means[i] < lo) lo = accum->means[i];
        if (accum->means[i] > hi) hi = accum->means[i];
    }
    if (!(lo < hi)) return fail(err, err_size, "the raster has no dynamic range to fit against");

    auto *scratch = static_cast<double *>(std::malloc(count * sizeof(double)));
    if (scratch == nullptr) return fail(err, err_size, "the fit ran out of memory");
    Bin bins[bin_count];
    int used = 0;
    const double span = hi - lo;
    for (int i = 0; i < bin_count; ++i) {
        const double low_edge = double(i) * span / 24.0 + lo;
        const double high_edge = double(i + 1) * span / 24.0 + lo;
        const bool last = i == bin_count - 1;
        size_t n = 0;
        double mean_sum = 0.0;
        for (size_t j = 0; j < count; ++j) {
            const double mean = accum->means[j];
            if (low_edge <= mean && (mean < high_edge || (last && mean <= high_edge))) {
                scratch[n++] = accum->variances[j];
                mean_sum += mean;
            }
        }
        if (n < min_bin_blocks) continue;
        std::qsort(scratch, n, sizeof(double), ascending);
        const auto tenth = size_t(std::floor(0.1 * double(n)));
        bins[used++] = {double(n), mean_sum / double(n), scratch[tenth < n - 1 ? tenth : n - 1]};
    }
    std::free(scratch);
    curve->bins = used;
    if (used < 4)
        return fail(err, err_size,
                    "only %d intensity bins held enough blocks, the raster does not cover enough "
                    "of its range",
                    used);

    double sw = 0.0, sx = 0.0, sy = 0.0, sxx = 0.0, sxy = 0.0;
    for (int i = 0; i < used; ++i) {
        const Bin &bin = bins[i];
        sw += bin.weight;
        sx += bin.weight * bin.x;
        sy += bin.weight * bin.y;
        sxx += bin.weight * bin.x * bin.x;
        sxy += bin.weight * bin.x * bin.y;
    }
    const double det = sxx * sw - sx * sx;
    if (det == 0.0) return fail(err, err_size, "the intensity bins are degenerate");
    const double b = (sxy * sw - sy * sx) / det;
    double a = (sy - b * sx) / sw;
    if (a < 0.0) a = 0.0;
    curve->a = a;
    curve->b = b;

    double misfit = 0.0, energy = 0.0;
    for (int i = 0; i < used; ++i) {
        const double miss = bins[i].y - (b * bins[i].x + a);
        misfit += miss * miss;
        energy += bins[i].y * bins[i].y;
    }
    if (energy != 0.0) curve->residual = std::sqrt(misfit / energy);
    curve->range =
        bins[0].x > 0.0 ? bins[used - 1].x / bins[0].x : std::numeric_limits<double>::infinity();
    const double x_mean = sx / sw;
    const double spread = sxx / sw - x_mean * x_mean;
    curve->collinearity = spread > 0.0 ? std::fabs(x_mean) / std::sqrt(spread)
                                       : std::numeric_limits<double>::infinity();

    if (!(b > 0.0))
        return fail(err, err_size,
                    "the local variance does not grow with the signal, so this is not shot noise");
    curve->held = 1;
    return 0;
}

extern "C" VARDA_API int quant_sqrt_fit(const void *src, int dtype, size_t width, size_t rows,
                                        quant_sqrt_curve *curve, char *err, size_t err_size) {
    quant_sqrt_accum accum;
    quant_sqrt_accum_init(&accum);
    *curve = quant_sqrt_curve{};
    if (quant_sqrt_accum_push(&accum, src, uint32_t(dtype_from_int(dtype)), width, rows) != 0) {
        const bool out_of_memory = accum.failed != 0;
        quant_sqrt_accum_free(&accum);
        if (out_of_memory) return fail(err, err_size, "the fit ran out of memory");
        return fail(err, err_size, "a raster of %zux%zu is too small to measure blocks on", width,
                    rows);
    }
    const int result = quant_sqrt_accum_solve(&accum, curve, err, err_size);
    quant_sqrt_accum_free(&accum);
    return result;
}
