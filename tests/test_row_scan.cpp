// The running sums along rows against their definition, element by element:
// single pieces with seeds and north rows, and runs of whole rows two at a
// time, chained as in the planar predictors or independent as in the west
// delta, out of place and in place, on every path and element size.
#include <gtest/gtest.h>

#include <random>

#include "frame/row_scan.h"
#include "support/support.h"

using vt::Elems;

namespace {

using namespace varda;

const size_t widths[] = {1,   2,   3,   4,   5,   6,   7,   8,   9,   15,  16,  17, 23,
                         24,  31,  32,  33,  40,  47,  48,  63,  64,  65,  71,  72, 127,
                         128, 129, 135, 136, 137, 255, 256, 257, 300, 511, 512, 513};

// Rows r0 .. r0 + rows - 1 of `want`, by the definition.
template <Element T, bool Zig, bool Chained>
void reference_rows(Elems &want, const Elems &codes, const void *north, size_t width, size_t rows) {
    for (size_t r = 0; r < rows; ++r) {
        const void *above = north;
        if (Chained && r > 0) above = want.bytes.data() + (r - 1) * width * sizeof(T);
        if (!Chained) above = nullptr;
        scan_portable<T, Zig>(want.bytes.data() + r * width * sizeof(T),
                              codes.bytes.data() + r * width * sizeof(T), above, width, T(0));
    }
}

template <Element T, bool Zig, bool Chained> void check_rows(uint32_t seed) {
    constexpr uint64_t es = sizeof(T);
    for (size_t width : widths) {
        for (size_t rows : {1, 2, 3, 4, 5, 8}) {
            const size_t count = width * rows;
            const Elems codes = vt::random_field(es, count, seed + uint32_t(count));
            const Elems above = vt::random_field(es, width, seed + 1);
            for (bool with_north : {false, true}) {
                if (with_north && !Chained) continue;
                const void *north = with_north ? above.data() : nullptr;
                Elems want(es, count);
                reference_rows<T, Zig, Chained>(want, codes, north, width, rows);
                for (int path : vt::paths()) {
                    const vt::PathScope scope(path);
                    Elems got(es, count);
                    scan_rows<T, Zig, Chained>(got.data(), codes.data(), north, width, rows);
                    ASSERT_EQ(got, want)
                        << "es " << es << " zig " << Zig << " chained " << Chained << " width "
                        << width << " rows " << rows << " north " << with_north << " path " << path;
                    Elems same = codes;
                    scan_rows<T, Zig, Chained>(same.data(), same.data(), north, width, rows);
                    ASSERT_EQ(same, want) << "in place, es " << es << " width " << width << " rows "
                                          << rows << " path " << path;
                }
            }
        }
    }
}

// Pieces of any length from a seed, with and without a north row, as the
// streaming decoders and the first rows use them.
template <Element T, bool Zig> void check_pieces(uint32_t seed) {
    constexpr uint64_t es = sizeof(T);
    std::mt19937_64 rng(seed);
    for (size_t n = 0; n <= 200; ++n) {
        const Elems codes = vt::random_field(es, n, seed + uint32_t(n));
        const Elems above = vt::random_field(es, n, seed + 7 * uint32_t(n));
        const T start = T(rng());
        for (bool with_north : {false, true}) {
            const void *north = with_north ? above.data() : nullptr;
            Elems want(es, n);
            const T want_end = scan_portable<T, Zig>(want.data(), codes.data(), north, n, start);
            for (int path : vt::paths()) {
                const vt::PathScope scope(path);
                Elems got = codes;
                const T end = scan_row<T, Zig>(got.data(), got.data(), north, n, start, use_avx2());
                ASSERT_EQ(got, want) << "es " << es << " zig " << Zig << " n " << n << " north "
                                     << with_north << " path " << path;
                ASSERT_EQ(end, want_end) << "es " << es << " n " << n << " path " << path;
            }
        }
    }
}

template <Element T> void check_all(uint32_t seed) {
    check_rows<T, false, true>(seed);
    check_rows<T, true, true>(seed + 1);
    check_rows<T, false, false>(seed + 2);
    check_rows<T, true, false>(seed + 3);
    check_pieces<T, false>(seed + 4);
    check_pieces<T, true>(seed + 5);
}

} // namespace

TEST(RowScan, RowsAndPiecesMatchDefinitionOnEveryPath) {
    check_all<uint8_t>(10);
    check_all<uint16_t>(20);
    check_all<uint32_t>(30);
    check_all<uint64_t>(40);
}
