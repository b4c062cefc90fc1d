// The planar predictor against its definition, on every shape, width and
// path.
#include <gtest/gtest.h>

#include "support/oracle.h"
#include "support/support.h"

using vt::Elems;

TEST(Planar, RefusesBadShapesAndWidthsWithoutWriting) {
    const struct {
        uint64_t width, count, elem_size;
    } bad[] = {{0, 8, 1}, {1, 0, 1}, {0, 0, 1},  {9, 8, 2},
               {3, 8, 4}, {2, 8, 3}, {2, 8, 16}, {2, 8, 0}};
    const Elems src = vt::random_field(8, 8, 1);
    for (const auto &b : bad) {
        for (auto kernel : {planar_encode, planar_decode}) {
            auto dst = vt::canary(64);
            EXPECT_EQ(kernel(dst.data(), src.data(), b.width, b.count, b.elem_size), 1);
            EXPECT_EQ(dst, vt::canary(64));
        }
    }
}

TEST(Planar, WorkedValues) {
    unsigned char one = 0;
    const unsigned char sample = 42;
    EXPECT_EQ(planar_encode(&one, &sample, 1, 1, 1), 0);
    EXPECT_EQ(one, 42);

    const unsigned char wrap[] = {255, 0};
    unsigned char residual[2], back[2];
    EXPECT_EQ(planar_encode(residual, wrap, 2, 2, 1), 0);
    EXPECT_EQ(residual[0], 255);
    EXPECT_EQ(residual[1], 1);
    EXPECT_EQ(planar_decode(back, residual, 2, 2, 1), 0);
    EXPECT_EQ(back[0], 255);
    EXPECT_EQ(back[1], 0);

    // A 2 x 3 tile: first row west deltas, first column north deltas.
    const uint16_t tile[] = {10, 12, 15, 11, 14, 20};
    uint16_t codes[6];
    EXPECT_EQ(planar_encode(codes, tile, 3, 6, 2), 0);
    const uint16_t expected[] = {10, 2, 3, 1, 1, 3};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(codes[i], expected[i]) << i;
}

TEST(Planar, MatchesDefinitionAndRoundTripsOnEveryPath) {
    for (uint64_t es : vt::widths) {
        for (const auto &shape : vt::tile_shapes()) {
            const Elems x = shape.width % 3 ? vt::smooth_field(es, shape.width, shape.count, 7)
                                            : vt::random_field(es, shape.count, 9);
            const Elems want = vt::ref_planar(x, shape.width, false);
            for (int path : vt::paths()) {
                const vt::PathScope scope(path);
                Elems e(es, shape.count), y(es, shape.count);
                ASSERT_EQ(planar_encode(e.data(), x.data(), shape.width, shape.count, es), 0);
                ASSERT_EQ(e, want) << "es " << es << " width " << shape.width;
                ASSERT_EQ(planar_decode(y.data(), e.data(), shape.width, shape.count, es), 0);
                ASSERT_EQ(y, x) << "es " << es << " width " << shape.width << " path " << path;
                // In place, both ways.
                Elems z = x;
                ASSERT_EQ(planar_encode(z.data(), z.data(), shape.width, shape.count, es), 0);
                ASSERT_EQ(z, want);
                ASSERT_EQ(planar_decode(z.data(), z.data(), shape.width, shape.count, es), 0);
                ASSERT_EQ(z, x);
            }
        }
    }
}

// Buffers need no alignment.
TEST(Planar, UnalignedBuffers) {
    const size_t width = 37, count = 37 * 5;
    for (uint64_t es : vt::widths) {
        const Elems x = vt::smooth_field(es, width, count, 3);
        std::vector<unsigned char> in(count * es + 1), mid(count * es + 3), out(count * es + 5);
        std::memcpy(in.data() + 1, x.data(), count * es);
        for (int path : vt::paths()) {
            const vt::PathScope scope(path);
            ASSERT_EQ(planar_encode(mid.data() + 3, in.data() + 1, width, count, es), 0);
            ASSERT_EQ(planar_decode(out.data() + 5, mid.data() + 3, width, count, es), 0);
            ASSERT_EQ(std::memcmp(out.data() + 5, x.data(), count * es), 0);
        }
    }
}
