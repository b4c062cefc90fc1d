// Planar zigzag codes fused with PFOR packing over stacks of planes.
#include <gtest/gtest.h>

#include <random>

#include "support/oracle.h"
#include "support/pfor_oracle.h"
#include "support/support.h"

using vt::Bytes;
using vt::Elems;

namespace {

Bytes fused_encode(const Elems &x, size_t width, uint32_t planes) {
    const size_t count = x.count();
    Bytes out(planar_zigzag_pfor_bound(count, x.elem_size));
    uint64_t len = 0;
    EXPECT_EQ(planar_zigzag_pfor_encode(out.data(), out.size(), &len, x.data(), width, count,
                                        x.elem_size, planes),
              0);
    out.resize(len);
    return out;
}

// The same stream the long way: per-plane codes, then plain PFOR.
Bytes staged_encode(const Elems &x, size_t width, uint32_t planes) {
    const size_t count = x.count(), plane = count / planes, es = x.elem_size;
    Elems codes(es, count);
    for (size_t p = 0; p < planes; ++p)
        EXPECT_EQ(planar_zigzag_encode(codes.bytes.data() + p * plane * es,
                                       x.bytes.data() + p * plane * es, width, plane, es),
                  0);
    Bytes out(pfor_bound(count, es));
    uint64_t len = 0;
    EXPECT_EQ(pfor_encode(out.data(), out.size(), &len, codes.data(), count, es), 0);
    out.resize(len);
    return out;
}

struct Stack {
    size_t width, plane;
    uint32_t planes;
};

// Among them stacks that are rebuilt in several batches of rows, with odd
// and even rows per plane and rows wider than a batch.
const Stack stacks[] = {{10, 100, 3},  {1, 1, 1},     {7, 49, 1},      {256, 256, 2},
                        {3, 300, 5},   {33, 66, 13},  {512, 1024, 1},  {1, 97, 4},
                        {100, 100, 6}, {64, 6400, 2}, {1000, 3000, 3}, {4099, 8198, 1},
                        {40, 1760, 4}};

} // namespace

TEST(PlanarZigzagPfor, EqualsStagedStreamAndRoundTrips) {
    for (uint64_t es : vt::widths) {
        for (const auto &st : stacks) {
            const size_t count = st.plane * st.planes;
            for (int noise : {0, 2, 40}) {
                const Elems x = vt::smooth_field(es, st.width, count, unsigned(count), noise);
                const Bytes stream = fused_encode(x, st.width, st.planes);
                ASSERT_EQ(stream, staged_encode(x, st.width, st.planes))
                    << "es " << es << " width " << st.width << " planes " << st.planes;
                for (int path : vt::paths()) {
                    const vt::PathScope scope(path);
                    Elems y(es, count);
                    ASSERT_EQ(planar_zigzag_pfor_decode(y.data(), st.width, count, es, st.planes,
                                                        stream.data(), stream.size()),
                              0);
                    ASSERT_EQ(y, x) << "es " << es << " width " << st.width << " path " << path;
                }
            }
        }
    }
}

// Any valid stream decodes as its codes would: blocks the encoder never
// writes (base width 0 with exceptions, lists of 40, bitmaps of 3, the
// full width) and high parts read byte by byte. Exceptions are patched
// straight into residuals, so each kind of block is worth a look.
TEST(PlanarZigzagPfor, AnyValidStreamDecodesAsItsCodes) {
    const size_t width = 20, count = 1760; // 7 blocks, the last one short
    for (uint64_t es : vt::widths) {
        const unsigned w = unsigned(8 * es);
        std::mt19937_64 rng(es);
        const struct {
            unsigned base, outliers, wide;
            bool list;
        } kinds[] = {{0, 5, w, true},
                     {0, 40, 3, false},
                     {1, 3, w, false},
                     {w / 2, 40, w, true},
                     {w - 1, 200, w, false},
                     {w, 0, 0, true},
                     {3, 31, w - 3 < 4 ? w : w - 3, true}};
        Bytes stream;
        Elems codes(es, 7 * 256);
        size_t at = 0;
        for (const auto &k : kinds) {
            Elems v(es, 256);
            const uint64_t low = k.base == 0 ? 0 : vt::mask_of(es) >> (w - k.base);
            for (size_t i = 0; i < 256; ++i) v.set(i, rng() & low);
            for (unsigned o = 0; o < k.outliers; ++o)
                v.set(rng() % 256, (rng() & vt::mask_of(es) >> (w - k.wide)) | uint64_t(1)
                                                                                   << (k.wide - 1));
            const Bytes block = vt::ref_pfor_block(v, k.base, k.list);
            stream.insert(stream.end(), block.begin(), block.end());
            for (size_t i = 0; i < 256; ++i) codes.set(at + i, v.get(i));
            at += 256;
        }
        for (uint32_t planes : {1u, 4u}) {
            const size_t plane = count / planes;
            Elems want(es, count);
            for (size_t p = 0; p < planes; ++p)
                ASSERT_EQ(planar_zigzag_decode_stream(want.data(),
                                                      codes.bytes.data() + p * plane * es,
                                                      p * plane, plane, width, plane, es),
                          0);
            for (int path : vt::paths()) {
                const vt::PathScope scope(path);
                Elems got(es, count);
                ASSERT_EQ(planar_zigzag_pfor_decode(got.data(), width, count, es, planes,
                                                    stream.data(), stream.size()),
                          0);
                ASSERT_EQ(got, want) << "es " << es << " planes " << planes << " path " << path;
            }
        }
    }
}

// 300 samples, rows of 10, planes of 100: the first block holds planes 0 and
// 1 and 56 samples of plane 2; the second starts at row 5, column 6 of
// plane 2 and leans on the samples the first block rebuilt.
TEST(PlanarZigzagPfor, BlocksStraddlePlanes) {
    const Elems x = vt::smooth_field(2, 10, 300, 8, 9);
    const Bytes stream = fused_encode(x, 10, 3);
    Elems block(2, 256), y(2, 300);
    const uint64_t first = pfor_decode_block(block.data(), 2, stream.data(), stream.size());
    ASSERT_GT(first, 0u);
    ASSERT_EQ(planar_zigzag_decode_stream(y.data(), block.data(), 0, 256, 10, 100, 2), 0);
    const uint64_t second =
        pfor_decode_block(block.data(), 2, stream.data() + first, stream.size() - first);
    ASSERT_EQ(first + second, stream.size());
    const Elems codes = vt::ref_planar_stack(x, 10, 100, true);
    for (size_t i = 0; i < 44; ++i) EXPECT_EQ(block.get(i), codes.get(256 + i)) << i;
    for (size_t i = 44; i < 256; ++i) EXPECT_EQ(block.get(i), 0u) << "padding " << i;
    ASSERT_EQ(planar_zigzag_decode_stream(y.data(), block.data(), 256, 44, 10, 100, 2), 0);
    EXPECT_EQ(y, x);
}

// A refused block leaves the samples of the blocks before it rebuilt and
// the rest of dst as it was, whatever stage of its batching the decoder was
// in: a stream one byte short, and a block whose position list repeats an
// index (refused only after its values would have been unpacked).
TEST(PlanarZigzagPfor, RefusedBlockKeepsEarlierSamples) {
    const size_t width = 20, count = 1760; // 7 blocks, the last one short
    for (uint64_t es : vt::widths) {
        const Elems x = vt::smooth_field(es, width, count, 11, 9);
        const Bytes stream = fused_encode(x, width, 1);
        const Elems codes = vt::ref_planar_stack(x, width, count, true);
        // Block 3 replaced by a list block that repeats an index.
        Bytes broken;
        size_t at = 0;
        for (size_t blk = 0; blk < 7; ++blk) {
            const uint64_t len = pfor_decode_block(Elems(es, 256).data(), es, stream.data() + at,
                                                   stream.size() - at);
            ASSERT_GT(len, 0u);
            if (blk == 3) {
                Elems v(es, 256);
                for (size_t i = 0; i < 256; ++i) v.set(i, codes.get(768 + i) & 1);
                v.set(9, 2);
                v.set(40, 3);
                Bytes bad = vt::ref_pfor_block(v, 1, true);
                bad[4] = bad[3];
                broken.insert(broken.end(), bad.begin(), bad.end());
            } else {
                broken.insert(broken.end(), stream.begin() + long(at),
                              stream.begin() + long(at + len));
            }
            at += len;
        }
        const struct {
            const Bytes *stream;
            size_t len, kept;
        } cases[] = {{&stream, stream.size() - 1, 1536}, {&broken, broken.size(), 768}};
        for (const auto &c : cases) {
            for (int path : vt::paths()) {
                const vt::PathScope scope(path);
                Elems y(es, count);
                y.bytes = vt::canary(count * es);
                ASSERT_EQ(planar_zigzag_pfor_decode(y.data(), width, count, es, 1, c.stream->data(),
                                                    c.len),
                          1);
                for (size_t i = 0; i < c.kept; ++i)
                    ASSERT_EQ(y.get(i), x.get(i)) << "es " << es << " path " << path << " at " << i;
                const Bytes rest(y.bytes.begin() + long(c.kept * es), y.bytes.end());
                EXPECT_EQ(rest, vt::canary((count - c.kept) * es))
                    << "es " << es << " path " << path;
            }
        }
    }
}

TEST(PlanarZigzagPfor, GoldenStream) {
    const Elems x = vt::smooth_field(2, 10, 300, 4, 5);
    const Bytes stream = fused_encode(x, 10, 3);
    EXPECT_EQ(stream.size(), 237u);
    EXPECT_EQ(vt::fnv1a(stream.data(), stream.size()), 0x73003259aa0d0d31ull);
}

TEST(PlanarZigzagPfor, RefusesShapesRoomAndStrayBytes) {
    const Elems x = vt::smooth_field(2, 10, 300, 1);
    const uint64_t bound = planar_zigzag_pfor_bound(300, 2);
    EXPECT_EQ(bound, pfor_bound(300, 2));
    EXPECT_EQ(planar_zigzag_pfor_bound(300, 3), 0u);
    Bytes out(bound + 8, 0xA5);
    uint64_t len = 12345;
    const struct {
        uint64_t width, count, elem_size;
        uint32_t planes;
        uint64_t capacity;
    } bad[] = {{10, 300, 2, 7, bound}, {30, 300, 2, 4, bound}, {10, 300, 2, 0, bound},
               {0, 300, 2, 3, bound},  {10, 0, 2, 1, bound},   {10, 300, 2, 3, bound - 1},
               {10, 300, 3, 3, ~0ull}, {11, 300, 2, 3, bound}};
    for (const auto &b : bad) {
        EXPECT_EQ(planar_zigzag_pfor_encode(out.data(), b.capacity, &len, x.data(), b.width,
                                            b.count, b.elem_size, b.planes),
                  1);
        EXPECT_EQ(out, Bytes(bound + 8, 0xA5));
        EXPECT_EQ(len, 12345u);
    }
    EXPECT_EQ(planar_zigzag_pfor_encode(nullptr, bound, &len, x.data(), 10, 300, 2, 3), 1);
    EXPECT_EQ(planar_zigzag_pfor_encode(out.data(), bound, nullptr, x.data(), 10, 300, 2, 3), 1);
    EXPECT_EQ(planar_zigzag_pfor_encode(out.data(), bound, &len, nullptr, 10, 300, 2, 3), 1);

    Bytes stream = fused_encode(x, 10, 3);
    Elems y(2, 300);
    EXPECT_EQ(planar_zigzag_pfor_decode(y.data(), 10, 300, 2, 3, stream.data(), stream.size() - 1),
              1);
    Bytes longer = stream;
    longer.push_back(0);
    EXPECT_EQ(planar_zigzag_pfor_decode(y.data(), 10, 300, 2, 3, longer.data(), longer.size()), 1);
    EXPECT_EQ(planar_zigzag_pfor_decode(y.data(), 10, 300, 3, 3, stream.data(), stream.size()), 1);
    EXPECT_EQ(planar_zigzag_pfor_decode(y.data(), 10, 300, 2, 7, stream.data(), stream.size()), 1);
    EXPECT_EQ(planar_zigzag_pfor_decode(nullptr, 10, 300, 2, 3, stream.data(), stream.size()), 1);
    EXPECT_EQ(planar_zigzag_pfor_decode(y.data(), 10, 300, 2, 3, nullptr, stream.size()), 1);
    EXPECT_EQ(planar_zigzag_pfor_decode(y.data(), 10, 300, 2, 3, stream.data(), stream.size()), 0);
}
