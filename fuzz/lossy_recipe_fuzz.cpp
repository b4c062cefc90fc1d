// A recipe text and a raster of any dtype down the whole road: parse, fit,
// resolve, the domain check, encode, decode, verify. Whatever the driver
// accepts must come back within its bound at every sample.
//
// Input: byte 0 picks the dtype, byte 1 the shape (bits 0-5: extra width;
// bit 6: repeat the raster bytes out to 64 rows so that a noise curve can
// be fitted; bit 7: also check tiles ignoring the first sample's pattern).
// Then the recipe text up to a NUL, then the raster bytes.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "lossy_bound.h"
#include "varda_kernels.h"

namespace {

void require(bool ok) {
    if (!ok) std::abort();
}

constexpr size_t sizes[] = {1, 2, 4, 8, 1, 2, 4, 8, 2, 4, 8};

bool terminated(const char *err, size_t size) { return std::memchr(err, 0, size) != nullptr; }

// Encodes and decodes one tile with the recipe's family; false when the
// grid is refused (it never should be after a successful resolve).
bool round_trip(int family, const quant_grid &grid, uint32_t dtype, const unsigned char *tile,
                size_t count, unsigned char *stream, unsigned char *out) {
    if (family == 1)
        return quant_linear_encode(stream, tile, &grid, dtype, count) == 0 &&
               quant_linear_decode(out, stream, &grid, dtype, count) == 0;
    if (family == 2)
        return quant_log_encode(stream, tile, &grid, dtype, count) == 0 &&
               quant_log_decode(out, stream, &grid, int(dtype), count) == 0;
    return quant_sqrt_encode(stream, tile, &grid, dtype, count) == 0 &&
           quant_sqrt_decode(out, stream, &grid, dtype, count) == 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 3) return 0;
    const uint32_t dtype = data[0] % 11;
    const size_t es = sizes[dtype];
    const uint8_t shape = data[1];
    const auto *text_end = static_cast<const uint8_t *>(std::memchr(data + 2, 0, size - 2));
    if (text_end == nullptr) return 0;
    const std::string text(reinterpret_cast<const char *>(data + 2), size_t(text_end - (data + 2)));
    const uint8_t *payload = text_end + 1;
    const size_t payload_len = size_t(data + size - payload);

    size_t width = 1 + (shape & 63), rows = payload_len / es / width;
    std::vector<unsigned char> raster;
    if ((shape & 64) && payload_len >= es) {
        width += 63;
        rows = 64;
        raster.resize(width * rows * es);
        for (size_t i = 0; i < raster.size(); ++i) raster[i] = payload[i % payload_len];
    } else {
        if (rows == 0) return 0;
        raster.assign(payload, payload + width * rows * es);
    }
    const size_t count = width * rows;

    char err[128];
    varda_lossy_recipe recipe;
    if (varda_lossy_parse(text.c_str(), &recipe, err, sizeof err) != 0) {
        require(terminated(err, sizeof err) && recipe.family == 0);
        return 0;
    }
    if (varda_lossy_fit(&recipe, raster.data(), int(dtype), width, count, err, sizeof err) != 0)
        return 0;
    varda_lossy_resolved resolved;
    if (varda_lossy_resolve(&recipe, raster.data(), dtype, count, &resolved, err, sizeof err) != 0)
        return 0;
    require(resolved.family == recipe.family);
    if (recipe.family == 0) return 0;

    // Tiles of a few rows each, every one inside the product's domain.
    const size_t tile_rows = 1 + rows / 3;
    std::vector<unsigned char> stream(raster.size()), rebuilt(raster.size());
    for (size_t top = 0; top < rows; top += tile_rows) {
        const size_t n = width * std::min(tile_rows, rows - top);
        const unsigned char *tile = raster.data() + top * width * es;
        require(varda_lossy_check_domain(&resolved, tile, int(dtype), n, 0, 0, err, sizeof err) ==
                0);
        if (shape & 128) {
            uint64_t ignored = 0;
            std::memcpy(&ignored, tile, es);
            varda_lossy_check_domain(&resolved, tile, int(dtype), n, 1, ignored, err, sizeof err);
        }
        require(round_trip(recipe.family, resolved.grid, dtype, tile, n,
                           stream.data() + top * width * es, rebuilt.data() + top * width * es));
    }
    require(lossy_worst_error(recipe, dtype, raster.data(), rebuilt.data(), count) <= 1.0);
    for (size_t i = 0; i < count; i += 1 + count / 64) {
        double x = 0, y = 0;
        if (dtype == 9) {
            float a, b;
            std::memcpy(&a, raster.data() + i * 4, 4);
            std::memcpy(&b, rebuilt.data() + i * 4, 4);
            x = a, y = b;
        } else if (dtype == 10) {
            std::memcpy(&x, raster.data() + i * 8, 8);
            std::memcpy(&y, rebuilt.data() + i * 8, 8);
        } else {
            continue;
        }
        // The guard radius at the rebuilt value reaches the true one.
        if (std::isfinite(x) && std::isfinite(y))
            require(std::fabs(x - y) <= varda_lossy_guard_radius(&recipe, y) ||
                    (recipe.family == 2 && std::fabs(x) < (dtype == 9 ? 0x1p-126 : 0x1p-1022)));
    }
    return 0;
}
