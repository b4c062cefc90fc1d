// The planar zigzag predictor: codes against the definition, whole and
// streamed decoding over stacks of planes, in place, on every path.
#include <gtest/gtest.h>

#include <random>

#include "support/oracle.h"
#include "support/support.h"

using vt::Elems;

TEST(PlanarZigzag, WorkedCodes) {
    // Residuals 0, -1, 1, -2 along a single row.
    const uint16_t row[] = {0, 0xFFFF, 0, 0xFFFE};
    uint16_t codes[4];
    ASSERT_EQ(planar_zigzag_encode(codes, row, 4, 4, 2), 0);
    EXPECT_EQ(codes[0], 0);
    EXPECT_EQ(codes[1], 1);
    EXPECT_EQ(codes[2], 2);
    EXPECT_EQ(codes[3], 3);

    // 8-bit extremes: -128 -> 255 and 127 -> 254.
    const uint8_t extremes[] = {0x80, 0xFF};
    uint8_t out[2];
    ASSERT_EQ(planar_zigzag_encode(out, extremes, 2, 2, 1), 0);
    EXPECT_EQ(out[0], 255);
    EXPECT_EQ(out[1], 254);
}

TEST(PlanarZigzag, Refusals) {
    const Elems src = vt::random_field(4, 16, 1);
    for (auto kernel : {planar_zigzag_encode, planar_zigzag_decode}) {
        for (const auto &b : {vt::Shape{0, 16}, {17, 16}, {3, 16}, {1, 0}}) {
            auto dst = vt::canary(64);
            EXPECT_EQ(kernel(dst.data(), src.data(), b.width, b.count, 4), 1);
            EXPECT_EQ(dst, vt::canary(64));
        }
        auto dst = vt::canary(64);
        EXPECT_EQ(kernel(dst.data(), src.data(), 4, 16, 3), 1);
        EXPECT_EQ(dst, vt::canary(64));
    }
    const struct {
        uint64_t start, n, width, plane, elem_size;
    } bad[] = {{0, 0, 4, 16, 4}, {0, 4, 0, 16, 4}, {0, 4, 4, 0, 4},
               {0, 4, 4, 10, 4}, {0, 4, 8, 4, 4},  {~uint64_t(0), 2, 4, 16, 4},
               {0, 4, 4, 16, 5}};
    for (const auto &b : bad) {
        auto dst = vt::canary(64);
        EXPECT_EQ(planar_zigzag_decode_stream(dst.data(), src.data(), b.start, b.n, b.width,
                                              b.plane, b.elem_size),
                  1);
        EXPECT_EQ(dst, vt::canary(64));
    }
    auto dst = vt::canary(64);
    EXPECT_EQ(planar_zigzag_decode_stream(nullptr, src.data(), 0, 4, 4, 16, 4), 1);
    EXPECT_EQ(planar_zigzag_decode_stream(dst.data(), nullptr, 0, 4, 4, 16, 4), 1);
}

TEST(PlanarZigzag, MatchesDefinitionAndRoundTripsInPlace) {
    for (uint64_t es : vt::widths) {
        for (const auto &shape : vt::tile_shapes()) {
            const Elems x = shape.width % 2 ? vt::smooth_field(es, shape.width, shape.count, 5)
                                            : vt::random_field(es, shape.count, 6);
            const Elems want = vt::ref_planar(x, shape.width, true);
            for (int path : vt::paths()) {
                const vt::PathScope scope(path);
                Elems z(es, shape.count), y(es, shape.count);
                ASSERT_EQ(planar_zigzag_encode(z.data(), x.data(), shape.width, shape.count, es),
                          0);
                ASSERT_EQ(z, want) << "es " << es << " width " << shape.width;
                ASSERT_EQ(planar_zigzag_decode(y.data(), z.data(), shape.width, shape.count, es),
                          0);
                ASSERT_EQ(y, x) << "es " << es << " width " << shape.width << " path " << path;
                ASSERT_EQ(planar_zigzag_encode(y.data(), y.data(), shape.width, shape.count, es),
                          0);
                ASSERT_EQ(y, want);
                ASSERT_EQ(planar_zigzag_decode(y.data(), y.data(), shape.width, shape.count, es),
                          0);
                ASSERT_EQ(y, x);
            }
        }
    }
}

// Streamed decoding in pieces of 256 and of random lengths over a stack of
// planes equals decoding each plane whole; pieces start mid-row and cross
// plane boundaries.
TEST(PlanarZigzag, StreamedPiecesMatchWholeDecode) {
    std::mt19937 rng(11);
    const struct {
        size_t width, plane, planes;
    } stacks[] = {{10, 100, 3}, {7, 7, 40}, {33, 33 * 9, 4}, {1, 50, 5}, {64, 64 * 5, 2}};
    for (uint64_t es : vt::widths) {
        for (const auto &st : stacks) {
            const size_t count = st.plane * st.planes;
            const Elems x = vt::smooth_field(es, st.width, count, 21);
            const Elems codes = vt::ref_planar_stack(x, st.width, st.plane, true);
            for (int path : vt::paths()) {
                const vt::PathScope scope(path);
                for (bool random_pieces : {false, true}) {
                    Elems y(es, count);
                    for (size_t s = 0; s < count;) {
                        size_t n = random_pieces ? 1 + rng() % 97 : 256;
                        if (n > count - s) n = count - s;
                        ASSERT_EQ(planar_zigzag_decode_stream(y.data(), codes.bytes.data() + s * es,
                                                              s, n, st.width, st.plane, es),
                                  0);
                        s += n;
                    }
                    ASSERT_EQ(y, x) << "es " << es << " width " << st.width << " path " << path;
                }
            }
        }
    }
}
