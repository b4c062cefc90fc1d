// Byte lanes of planar zigzag codes.
#include <gtest/gtest.h>

#include "support/oracle.h"
#include "support/support.h"

using vt::Elems;

namespace {

struct Stack {
    size_t width, plane, planes;
};

const Stack stacks[] = {{1, 1, 1},    {5, 5, 1},   {16, 64, 1},     {17, 17 * 3, 2},
                        {10, 100, 3}, {33, 66, 7}, {64, 64 * 4, 2}, {3, 9, 11}};

} // namespace

// Lane j holds byte j of every code, codes taken plane by plane; unlanes
// gives the stack back, on every path.
TEST(PivcoLanes, LayoutAndRoundTrip) {
    for (uint64_t es : vt::widths) {
        for (const auto &st : stacks) {
            const size_t count = st.plane * st.planes;
            const Elems x = vt::random_field(es, count, unsigned(count + es));
            const Elems codes = vt::ref_planar_stack(x, st.width, st.plane, true);
            std::vector<unsigned char> lanes(count * es);
            ASSERT_EQ(planar_zigzag_pivco_lanes(lanes.data(), x.data(), st.width, count, es,
                                                uint32_t(st.planes)),
                      0);
            for (size_t i = 0; i < count; ++i)
                for (size_t j = 0; j < es; ++j)
                    ASSERT_EQ(lanes[j * count + i], uint8_t(codes.get(i) >> (8 * j)))
                        << "es " << es << " sample " << i << " byte " << j;
            for (int path : vt::paths()) {
                const vt::PathScope scope(path);
                Elems y(es, count);
                ASSERT_EQ(planar_zigzag_pivco_unlanes(y.data(), lanes.data(), st.width, count, es,
                                                      uint32_t(st.planes)),
                          0);
                ASSERT_EQ(y, x) << "es " << es << " width " << st.width << " path " << path;
            }
        }
    }
}

TEST(PivcoLanes, SmallResidualsLeaveHighLaneEmpty) {
    const size_t width = 64, count = 64 * 64;
    const Elems x = vt::smooth_field(2, width, count, 3, 2);
    std::vector<unsigned char> lanes(count * 2);
    ASSERT_EQ(planar_zigzag_pivco_lanes(lanes.data(), x.data(), width, count, 2, 1), 0);
    size_t nonzero = 0;
    for (size_t i = 1; i < count; ++i) nonzero += lanes[count + i] != 0;
    EXPECT_LE(nonzero, count / 100);
}

TEST(PivcoLanes, GoldenLanes) {
    const Elems x = vt::smooth_field(4, 12, 12 * 10, 2, 30);
    std::vector<unsigned char> lanes(x.bytes.size());
    ASSERT_EQ(planar_zigzag_pivco_lanes(lanes.data(), x.data(), 12, 120, 4, 2), 0);
    EXPECT_EQ(vt::fnv1a(lanes.data(), lanes.size()), 0xda6f778d6b9c689eull);
}

TEST(PivcoLanes, Refusals) {
    const Elems src = vt::random_field(2, 300, 1);
    const struct {
        uint64_t width, count, elem_size;
        uint32_t planes;
    } bad[] = {{10, 300, 2, 0}, {10, 300, 2, 7}, {30, 300, 2, 4}, {10, 0, 2, 1},
               {1, 3, 2, 5},    {0, 300, 2, 3},  {10, 300, 3, 3}, {10, 300, 0, 3}};
    for (auto kernel : {planar_zigzag_pivco_lanes, planar_zigzag_pivco_unlanes}) {
        for (const auto &b : bad) {
            auto dst = vt::canary(600);
            EXPECT_EQ(kernel(dst.data(), src.data(), b.width, b.count, b.elem_size, b.planes), 1);
            EXPECT_EQ(dst, vt::canary(600));
        }
        EXPECT_EQ(kernel(nullptr, src.data(), 10, 300, 2, 3), 1);
        auto dst = vt::canary(600);
        EXPECT_EQ(kernel(dst.data(), nullptr, 10, 300, 2, 3), 1);
    }
}
