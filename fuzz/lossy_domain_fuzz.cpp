// Arbitrary resolved records and tiles for the domain check. Byte 0 picks
// the dtype (a few values out of range), byte 1 the options (bit 0: ignore
// a sample pattern; bit 1: no samples pointer; bits 2-4: the family when
// bit 5 is clear, otherwise the record's own), then the resolved record as
// raw bytes, the ignored pattern, and the tile.
//
// The check passes exactly the tiles inside the record's domain: no
// negative sample under a grid built without negatives (LINEAR, LOG), no
// magnitude past the product's for LINEAR floats, no value outside the
// product's range for SQRT. A refusal explains itself; a pass writes no
// message.
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

struct Tile {
    double min = INFINITY, max = -INFINITY, max_abs = 0;
    bool negatives = false, found = false;
};

// The tile as the family's scan, or the ignoring scan, sees it.
Tile scan(const unsigned char *src, int dtype, size_t count, int family, bool ignore,
          uint64_t ignored) {
    const size_t es = sizes[dtype];
    const uint64_t mask = es == 8 ? ~uint64_t(0) : (uint64_t(1) << (8 * es)) - 1;
    Tile t;
    for (size_t i = 0; i < count; ++i) {
        uint64_t bits = 0;
        std::memcpy(&bits, src + i * es, es);
        if (ignore && bits == (ignored & mask)) continue;
        const double x = varda::with_dtype(uint64_t(dtype), 0.0, [&]<varda::Sample S>() {
            return varda::to_double(varda::load_sample<S>(src, i));
        });
        // The log scan alone counts a negative infinity as a negative.
        if (!ignore && family == 2 && x == -INFINITY) t.negatives = true;
        if (!std::isfinite(x)) continue;
        t.found = true;
        t.min = std::fmin(t.min, x);
        t.max = std::fmax(t.max, x);
        t.max_abs = std::fmax(t.max_abs, std::fabs(x));
        if (x < 0) t.negatives = true;
    }
    return t;
}

int expected(const varda_lossy_resolved &r, const Tile &t, int dtype) {
    switch (r.family) {
    case 0: return 0;
    case 1:
        if ((r.grid.mode & 1) && t.negatives) return 1;
        return dtype >= 8 && t.max_abs > r.stats.linear.max_abs;
    case 2: return (r.grid.mode & 1) && t.negatives;
    case 3: return t.found && (t.min < r.stats.sqrt.min || t.max > r.stats.sqrt.max);
    default: return 1;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    varda_lossy_resolved resolved;
    const size_t head = 2 + sizeof resolved + 8;
    if (size < head) return 0;
    const int dtype = data[0] < 220   ? data[0] % 11
                      : data[0] < 240 ? data[0] - 209         // 11 .. 30
                                      : int(int8_t(data[0])); // -16 .. -1
    const uint8_t options = data[1];
    std::memcpy(&resolved, data + 2, sizeof resolved);
    if (!(options & 32)) resolved.family = (options >> 2) & 7;
    uint64_t ignored;
    std::memcpy(&ignored, data + 2 + sizeof resolved, 8);
    const bool ignore = options & 1;

    const bool valid = dtype >= 0 && dtype <= 10;
    const size_t es = valid ? sizes[dtype] : 1;
    const size_t count = (size - head) / es;
    const std::vector<unsigned char> tile(data + head, data + head + count * es);
    const unsigned char *src = (options & 2) ? nullptr : tile.data();

    char err[160];
    std::memset(err, 0x7F, sizeof err);
    const int result = varda_lossy_check_domain(&resolved, src, dtype, count, ignore ? 7 : 0,
                                                ignored, err, sizeof err);
    if (!valid || (src == nullptr && count != 0)) {
        require(result == 1 && std::strcmp(err, "invalid lossy domain check") == 0);
        return 0;
    }
    int want = 0;
    if (count != 0 && resolved.family != 0)
        want = expected(resolved, scan(tile.data(), dtype, count, resolved.family, ignore, ignored),
                        dtype);
    require(result == want);
    if (result == 0)
        require(err[0] == 0x7F);
    else
        require(std::memchr(err, 0, sizeof err) != nullptr && err[0] != 0);
    return 0;
}
