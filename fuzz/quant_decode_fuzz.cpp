// Arbitrary grids and streams for the three quantisers' decoders. Byte 0
// picks the family and the dtype, byte 1 is the mode, bytes 2-17 the step
// and offset as raw doubles; byte 18 can swap the step for a tame one (so
// that most inputs get past the grid checks) and shift the buffers off
// their alignment. The rest is the stream.
//
// A grid is refused exactly when its documented checks say so, and then
// nothing is written. An accepted stream decodes the same in one call as
// sample by sample (the vector and table paths against the plain rule), to
// finite floats, and never below zero where the grid says the raster had
// no negatives. An integer LINEAR tile quantised again moves no sample by
// more than half a step.
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "frame/sample.h"
#include "varda_kernels.h"

namespace {

void require(bool ok) {
    if (!ok) std::abort();
}

constexpr size_t sizes[] = {1, 2, 4, 8, 1, 2, 4, 8, 2, 4, 8};

using Decoder = int (*)(void *, const void *, const quant_grid *, unsigned, size_t);
using Encoder = int (*)(void *, const void *, const quant_grid *, unsigned, size_t);

int log_decode(void *dst, const void *src, const quant_grid *grid, unsigned dtype, size_t count) {
    return quant_log_decode(dst, src, grid, int(dtype), count);
}

const Decoder decoders[] = {quant_linear_decode, log_decode, quant_sqrt_decode};
const Encoder encoders[] = {quant_linear_encode, quant_log_encode, quant_sqrt_encode};

bool whole(double v) { return std::isfinite(v) && std::floor(v) == v; }

// The documented grid checks of each decoder.
bool grid_accepted(unsigned family, unsigned dtype, const quant_grid &g) {
    const bool integer = dtype <= 7;
    if (family == 0)
        return g.mode <= 3 && std::isfinite(g.step) && g.step >= DBL_MIN &&
               (!(integer || (g.mode & 2)) || whole(g.step));
    if (family == 1)
        return g.mode <= 3 && g.step > 0 && g.step <= DBL_MAX && (!integer || (g.mode & 2));
    return g.mode <= 7 && (!(g.mode & 4) || dtype == 9) && std::isfinite(g.step) && g.step > 0 &&
           g.step * g.step >= DBL_MIN && std::isfinite(g.offset) && g.offset >= 0;
}

double sample(const unsigned char *base, unsigned dtype, size_t i) {
    return varda::with_dtype(dtype, 0.0, [&]<varda::Sample S>() {
        return varda::to_double(varda::load_sample<S>(base, i));
    });
}

// |a - b| for two integer samples of the same type, exactly.
unsigned __int128 distance(const unsigned char *a, const unsigned char *b, unsigned dtype,
                           size_t i) {
    return varda::with_dtype(dtype, (unsigned __int128)0, [&]<varda::Sample S>() {
        if constexpr (std::is_integral_v<S>) {
            const __int128 x = varda::load_sample<S>(a, i), y = varda::load_sample<S>(b, i);
            return (unsigned __int128)(x > y ? x - y : y - x);
        } else {
            return (unsigned __int128)0;
        }
    });
}

double tame_step(uint8_t choice, unsigned dtype, unsigned family) {
    if (family == 0 && (dtype <= 7 || choice & 8)) return 1 + (choice >> 4) * 37.0;
    if (family == 1) return std::ldexp(1.0 + (choice >> 4) / 16.0, -int(choice & 7));
    return std::ldexp(1.0 + (choice >> 4) / 16.0, 3 - int(choice & 7));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 19) return 0;
    const unsigned family = data[0] % 3, dtype = (data[0] / 3) % 11;
    const size_t es = sizes[dtype];
    quant_grid grid;
    grid.mode = data[1];
    std::memcpy(&grid.step, data + 2, 8);
    std::memcpy(&grid.offset, data + 10, 8);
    const uint8_t tweak = data[18];
    if (tweak & 1) {
        grid.step = tame_step(uint8_t(tweak | (data[1] & 0xF0)), dtype, family);
        grid.mode &= family == 2 ? 7 : 3;
        if (family == 1 && dtype <= 7) grid.mode |= 2;
        if (family == 2 && dtype != 9) grid.mode &= 3;
        if (family == 2 && !(std::isfinite(grid.offset) && grid.offset >= 0))
            grid.offset = data[10];
    }
    const size_t skew = (tweak >> 1) & 7;
    const size_t count = (size - 19) / es, bytes = count * es;

    // Skewed off alignment, and exactly sized behind, so that ASan sees a
    // read or write past either end.
    std::vector<unsigned char> src_arena(skew + bytes), out_arena(skew + bytes, 0xA5);
    if (bytes) std::memcpy(src_arena.data() + skew, data + 19, bytes);
    const unsigned char *stream = src_arena.data() + skew;
    unsigned char *out = out_arena.data() + skew;

    const Decoder decode = decoders[family];
    const int result = decode(out, stream, &grid, dtype, count);
    const bool accepted = grid_accepted(family, dtype, grid);
    require(result == (accepted ? 0 : 1));
    if (!accepted) {
        for (unsigned char b : out_arena) require(b == 0xA5);
        return 0;
    }

    std::vector<unsigned char> single(es);
    for (size_t i = 0; i < count; ++i) {
        require(decode(single.data(), stream + i * es, &grid, dtype, 1) == 0);
        require(std::memcmp(single.data(), out + i * es, es) == 0);
    }

    const bool floats = dtype >= 8;
    const bool sqrt_values = family == 2 && (grid.mode & 2) && !floats;
    for (size_t i = 0; i < count; ++i) {
        const double y = sample(out, dtype, i);
        if (floats) require(std::isfinite(y));
        if ((grid.mode & 1) && !sqrt_values) require(!(y < 0));
    }

    if (family == 0 && !floats) {
        std::vector<unsigned char> again(bytes), back(bytes);
        require(quant_linear_encode(again.data(), out, &grid, dtype, count) == 0);
        require(quant_linear_decode(back.data(), again.data(), &grid, dtype, count) == 0);
        const unsigned __int128 h =
            grid.step >= 0x1p64 ? ~uint64_t(0) : (unsigned __int128)(uint64_t)grid.step;
        for (size_t i = 0; i < count; ++i) require(distance(out, back.data(), dtype, i) <= h / 2);
    }
    // Whatever decodes, encodes: the encoder takes every grid the decoder
    // takes and writes a stream of the same size.
    std::vector<unsigned char> codes(bytes);
    require(encoders[family](codes.data(), out, &grid, dtype, count) == 0);
    return 0;
}
