// Checks of a product and its tiles' shape, and the preparation that
// resolves a lossy recipe on the whole raster.
#include "tile.h"

#include <bit>
#include <cinttypes>
#include <cstring>
#include <limits>
#include <vector>
#include <zstd.h>

namespace varda::codec {

// The product's chain, known and able to take the samples it codes (a
// lossy float product codes integers).
bool check_chain(const varda_codec_product *p, Error &err) {
    if (p->chain == VARDA_CHAIN_AUTO) return true;
    if (!chain_info(p->chain))
        return err.set(format("chain %d is not one the codec knows", p->chain));
    if (!chain_accepts(p->chain, coded_dtype(p->dtype, is_lossy(*p))))
        return err.set(format(is_lossy(*p) ? "chain %s does not take the quantised samples of "
                                             "a lossy %s product"
                                           : "chain %s does not take %s samples",
                              chain_info(p->chain)->name, dtype_names[p->dtype]));
    return true;
}

bool check_product(const varda_codec_product *p, Error &err) {
    if (!p) return err.set("no product given");
    if (!valid_dtype(p->dtype))
        return err.set(format("dtype %d is not a type the codec knows", p->dtype));
    if (!check_chain(p, err)) return false;
    if (p->effort < 0 || p->effort > 2)
        return err.set(format("effort %d is not 0, 1 or 2", p->effort));
    if (p->zstd_level < 1 || p->zstd_level > ZSTD_maxCLevel())
        return err.set(format("zstd level %d is not 1 .. %d", p->zstd_level, ZSTD_maxCLevel()));
    if (p->nodata < VARDA_NODATA_NONE || p->nodata > VARDA_NODATA_NAN)
        return err.set(format("nodata kind %d is not 0, 1 or 2", p->nodata));
    if (p->nodata == VARDA_NODATA_NAN && !is_float(p->dtype))
        return err.set("NaN marks nodata only in float rasters");
    if (p->recipe.family < VARDA_LOSSY_NONE || p->recipe.family > VARDA_LOSSY_SQRT)
        return err.set(format("lossy family %d is not one the codec knows", p->recipe.family));
    if (is_lossy(*p) && (!p->prepared || p->resolved.family != p->recipe.family))
        return err.set("a lossy product needs varda_codec_prepare on the whole raster first");
    return true;
}

bool check_shape(uint64_t width, uint64_t height, uint64_t elem_size, Error &err) {
    if (width == 0 || height == 0)
        return err.set("a tile needs a width and a height of at least 1");
    if (width > UINT32_MAX || height > UINT32_MAX || width * height > max_tile_bytes ||
        width * height * elem_size > max_tile_bytes)
        return err.set(format("a tile of %" PRIu64 " x %" PRIu64 " samples is larger than the "
                              "codec's limit of 2^30 bytes",
                              width, height));
    return true;
}

bool prepare(varda_codec_product &p, const char *recipe, const void *raster, uint64_t width,
             uint64_t count, Error &error) {
    p.prepared = 0;
    std::memset(&p.resolved, 0, sizeof p.resolved);
    const int saved_family = p.recipe.family;
    p.recipe.family = VARDA_LOSSY_NONE; // checked as lossless until the recipe is read
    if (!check_product(&p, error)) {
        p.recipe.family = saved_family;
        return false;
    }
    char message[512] = "";
    if (varda_lossy_parse(recipe, &p.recipe, message, sizeof message) != 0)
        return error.set(message);
    if (!is_lossy(p)) {
        p.prepared = 1;
        return true;
    }
    if (!check_chain(&p, error)) return false;
    if (!raster || count == 0)
        return error.set("a lossy recipe is resolved on the whole raster: give its samples");
    if (width == 0 || count % width != 0)
        return error.set(
            format("%" PRIu64 " samples do not divide into rows of %" PRIu64, count, width));
    const uint64_t es = varda_dtype_size(p.dtype);
    const auto *samples = static_cast<const unsigned char *>(raster);
    Bytes mask, filled;
    unsigned kind;
    uint64_t sentinel;
    const bool has_nodata =
        p.nodata != VARDA_NODATA_NONE && build_mask(p, samples, count, mask, kind, sentinel);
    if (p.recipe.family == VARDA_LOSSY_SQRT && !p.recipe.spec.has_ab) {
        // The fit skips blocks that hold NaN: nodata samples become NaN in a
        // binary64 copy, so that they take no part in the noise measure.
        int rc;
        if (has_nodata) {
            std::vector<double> values(count);
            varda_widen(values.data(), samples, p.dtype, count);
            nodata_restore(values.data(), values.data(), mask.data(), count, sizeof(double),
                           std::bit_cast<uint64_t>(std::numeric_limits<double>::quiet_NaN()));
            rc = varda_lossy_fit(&p.recipe, values.data(), VARDA_DTYPE_F64, width, count, message,
                                 sizeof message);
        } else {
            rc =
                varda_lossy_fit(&p.recipe, samples, p.dtype, width, count, message, sizeof message);
        }
        if (rc != 0) return error.set(message);
    }
    if (has_nodata) {
        filled.resize(count * es);
        nodata_fill(filled.data(), samples, mask.data(), width, count, es);
        samples = filled.data();
    }
    if (varda_lossy_resolve(&p.recipe, samples, unsigned(p.dtype), count, &p.resolved, message,
                            sizeof message) != 0)
        return error.set(message);
    p.prepared = 1;
    return true;
}

} // namespace varda::codec
