// Nodata masks of a tile or a raster, and the non-finite samples a lossy
// float tile sets aside.
#include "tile.h"

#include <cstring>
#include <vector>

namespace varda::codec {

// The sentinel's value, for the guard radius.
double sentinel_value(int dtype, uint64_t bits) {
    double value = 0;
    varda_widen(&value, &bits, dtype, 1);
    return value;
}

// The mask of one tile, or of a whole raster. Returns false when nothing
// needs a mask: no nodata sample, or (lossless) NaN patterns that a single
// restored pattern would not give back bit for bit.
bool build_mask(const varda_codec_product &p, const unsigned char *samples, uint64_t count,
                Bytes &mask, unsigned &kind, uint64_t &sentinel) {
    const uint64_t es = varda_dtype_size(p.dtype);
    mask.resize(count);
    kind = mask_plain;
    if (p.nodata == VARDA_NODATA_VALUE) {
        sentinel = p.nodata_value & width_mask(es);
        if (is_lossy(p)) {
            const double radius =
                varda_lossy_guard_radius(&p.recipe, sentinel_value(p.dtype, sentinel));
            const int result =
                nodata_mark_guarded(mask.data(), samples, count, p.dtype, sentinel, radius);
            kind = result == 0 ? mask_guarded : mask_plain;
        } else {
            nodata_mark_value(mask.data(), samples, count, es, sentinel);
        }
    } else {
        uint64_t nan_bits = 0;
        if (!nodata_find_nan(&nan_bits, samples, count, es)) return false;
        sentinel = nan_bits;
        nodata_mark_nan(mask.data(), samples, count, es);
        if (!is_lossy(p)) {
            // Every NaN must be the one pattern restored: the samples of
            // that pattern are then exactly the NaN samples.
            Bytes same(count);
            nodata_mark_value(same.data(), samples, count, es, nan_bits);
            if (std::memcmp(same.data(), mask.data(), count) != 0) return false;
        }
    }
    return std::memchr(mask.data(), 0, count) != nullptr;
}

bool is_nonfinite(int dtype, uint64_t bits) {
    switch (dtype) {
    case VARDA_DTYPE_F16: return (bits & 0x7C00u) == 0x7C00u;
    case VARDA_DTYPE_F32: return (bits & 0x7F800000u) == 0x7F800000u;
    default: return (bits & 0x7FF0000000000000ull) == 0x7FF0000000000000ull;
    }
}

// The non-finite samples of a lossy float tile that are not its nodata: a
// grid has no index for them, so they travel beside it. `index` gets 0 for
// a sample of the grid and k for the k-th distinct bit pattern in
// `patterns`; `found` says whether there are any. False when there are too
// many patterns.
bool find_nonfinite(const varda_codec_product &p, const unsigned char *samples, uint64_t count,
                    const Bytes *nodata_mask, Bytes &index, std::vector<uint64_t> &patterns,
                    bool &found, Error &err) {
    found = false;
    if (!is_lossy(p) || !is_float(p.dtype)) return true;
    const uint64_t es = varda_dtype_size(p.dtype);
    for (uint64_t i = 0; i < count; ++i) {
        uint64_t bits = 0;
        std::memcpy(&bits, samples + i * es, es);
        if (!is_nonfinite(p.dtype, bits) || (nodata_mask && (*nodata_mask)[i] == 0)) continue;
        if (!found) index.assign(count, 0);
        found = true;
        size_t k = 0;
        while (k < patterns.size() && patterns[k] != bits) ++k;
        if (k == patterns.size()) {
            if (k == max_nonfinite_patterns)
                return err.set("the tile holds more than 255 distinct non-finite bit patterns "
                               "(infinities and NaN payloads); a lossy tile keeps at most 255");
            patterns.push_back(bits);
        }
        index[i] = static_cast<unsigned char>(k + 1);
    }
    return true;
}

// Whether the quantised stream decodes any sample to the sentinel's bits.
bool rebuilds_sentinel(const varda_codec_product &p, const unsigned char *quantised, uint64_t count,
                       uint64_t sentinel) {
    const uint64_t es = varda_dtype_size(p.dtype);
    Bytes rebuilt(count * es);
    if (dequantise(p.recipe.family, p.resolved.grid, p.dtype, rebuilt.data(), quantised, count) !=
        0)
        return true; // keep the mask when in doubt
    Bytes marks(count);
    nodata_mark_value(marks.data(), rebuilt.data(), count, es, sentinel);
    return std::memchr(marks.data(), 0, count) != nullptr;
}

} // namespace varda::codec
