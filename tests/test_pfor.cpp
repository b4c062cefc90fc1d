// PFOR: encoder bytes against the layout built bit by bit, round trips on
// every path, and a decoder that refuses every malformed stream.
#include <gtest/gtest.h>

#include "frame/pfor_layout.h"
#include "support/pfor_oracle.h"
#include "support/support.h"

using vt::Bytes;
using vt::Elems;

namespace {

// 256 values of at most `base_bits` bits, `outliers` of them of exactly
// `outlier_bits` bits.
Elems make_block(uint64_t es, unsigned base_bits, unsigned outliers, unsigned outlier_bits,
                 uint64_t seed) {
    std::mt19937_64 rng(seed);
    const auto bits = [&](unsigned n) { return n == 0 ? 0 : rng() >> (64 - n); };
    Elems v(es, 256);
    for (size_t i = 0; i < 256; ++i) v.set(i, bits(base_bits));
    // The value is drawn before its position: the golden streams were made
    // in that order.
    for (unsigned k = 0; k < outliers && outlier_bits; ++k) {
        const uint64_t value = bits(outlier_bits) | (uint64_t(1) << (outlier_bits - 1));
        v.set(rng() % 256, value);
    }
    return v;
}

// A stream's worth of blocks that differ in base and outlier widths.
Elems make_field(uint64_t es, size_t count, uint64_t seed) {
    const unsigned w = unsigned(8 * es);
    std::mt19937_64 rng(seed);
    Elems out(es, count);
    for (size_t start = 0; start < count; start += 256) {
        const unsigned base = unsigned(rng() % (w + 1));
        const unsigned outliers = unsigned(rng() % 5 == 0 ? rng() % 256 : rng() % 12);
        const unsigned wide = base + unsigned(rng() % (w - base + 1));
        const Elems block = make_block(es, base, outliers, wide, rng());
        for (size_t i = start; i < std::min(count, start + 256); ++i)
            out.set(i, block.get(i - start));
    }
    return out;
}

Bytes encode(const Elems &x) {
    Bytes out(pfor_bound(x.count(), x.elem_size));
    uint64_t len = 0;
    EXPECT_EQ(pfor_encode(out.data(), out.size(), &len, x.data(), x.count(), x.elem_size), 0);
    out.resize(len);
    return out;
}

Bytes encode_block(const Elems &x) {
    Bytes out(2 + 256 * x.elem_size);
    out.resize(pfor_encode_block(out.data(), x.data(), x.elem_size));
    return out;
}

// Decodes on every path, requires the same values each time, and requires
// the stream cut by one byte or grown by one to be refused.
void expect_decodes(const Bytes &stream, const Elems &want, const std::string &what) {
    const uint64_t es = want.elem_size, count = want.count();
    for (int path : vt::paths()) {
        const vt::PathScope scope(path);
        Elems got(es, count);
        ASSERT_EQ(pfor_decode(got.data(), count, es, stream.data(), stream.size()), 0)
            << what << " path " << path;
        ASSERT_EQ(got, want) << what << " path " << path;
        Bytes longer = stream;
        longer.push_back(0);
        EXPECT_EQ(pfor_decode(got.data(), count, es, longer.data(), longer.size()), 1) << what;
        EXPECT_EQ(pfor_decode(got.data(), count, es, stream.data(), stream.size() - 1), 1) << what;
    }
}

} // namespace

TEST(Pfor, Bound) {
    const struct {
        uint64_t count, es, bound;
    } cases[] = {
        {0, 4, 0},          {10, 3, 0},         {1, 0, 0},
        {1, 16, 0},         {1, 1, 258},        {256, 1, 258},
        {257, 1, 516},      {300, 2, 1028},     {1, 8, 2050},
        {UINT64_MAX, 1, 0}, {UINT64_MAX, 8, 0}, {uint64_t(1) << 62, 1, (uint64_t(1) << 54) * 258}};
    for (const auto &c : cases) EXPECT_EQ(pfor_bound(c.count, c.es), c.bound) << c.count;
}

TEST(Pfor, RefusesBadArguments) {
    const Elems x = vt::random_field(4, 256, 1);
    Bytes out(pfor_bound(256, 4)), good = encode(x);
    uint64_t len = 77;
    const struct {
        void *dst;
        uint64_t capacity;
        uint64_t *len;
        const void *src;
        uint64_t count, es;
    } encodes[] = {{nullptr, out.size(), &len, x.data(), 256, 4},
                   {out.data(), out.size(), nullptr, x.data(), 256, 4},
                   {out.data(), out.size(), &len, nullptr, 256, 4},
                   {out.data(), out.size(), &len, x.data(), 0, 4},
                   {out.data(), out.size(), &len, x.data(), 256, 3},
                   {out.data(), out.size() - 1, &len, x.data(), 256, 4}};
    for (const auto &e : encodes)
        EXPECT_EQ(pfor_encode(e.dst, e.capacity, e.len, e.src, e.count, e.es), 1);
    EXPECT_EQ(len, 77u);
    // The capacity is held against the bound, not the stream: zeros fit in 2 bytes.
    const Elems zeros(1, 256);
    EXPECT_EQ(pfor_encode(out.data(), 257, &len, zeros.data(), 256, 1), 1);

    for (uint64_t es : {0, 3, 16}) {
        EXPECT_EQ(pfor_encode_block(out.data(), x.data(), es), 0u);
        EXPECT_EQ(pfor_decode_block(out.data(), es, good.data(), good.size()), 0u);
        EXPECT_EQ(pfor_decode(out.data(), 256, es, good.data(), good.size()), 1);
    }
    EXPECT_EQ(pfor_encode_block(nullptr, x.data(), 4), 0u);
    EXPECT_EQ(pfor_encode_block(out.data(), nullptr, 4), 0u);
    EXPECT_EQ(pfor_decode_block(nullptr, 4, good.data(), good.size()), 0u);
    EXPECT_EQ(pfor_decode_block(out.data(), 4, nullptr, good.size()), 0u);
    EXPECT_EQ(pfor_decode_block(out.data(), 4, good.data(), 1), 0u);
    EXPECT_EQ(pfor_decode(nullptr, 256, 4, good.data(), good.size()), 1);
    EXPECT_EQ(pfor_decode(out.data(), 256, 4, nullptr, good.size()), 1);
    EXPECT_EQ(pfor_decode(out.data(), 0, 4, good.data(), good.size()), 1);
}

TEST(Pfor, WorkedLayouts) {
    EXPECT_EQ(encode_block(Elems(4, 256)), (Bytes{0, 0}));

    for (uint64_t es : vt::widths) {
        Elems ones(es, 256);
        for (size_t i = 0; i < 256; ++i) ones.set(i, 1);
        Bytes want{1, 0};
        want.resize(34, 0xFF);
        EXPECT_EQ(encode_block(ones), want) << es;
    }

    Elems lone(1, 256);
    lone.set(77, 200);
    EXPECT_EQ(encode_block(lone), (Bytes{0x00, 0x01, 0x88, 77, 200}));

    // 31 exceptions of 8 bits over values of 1 bit stay a list; 32 switch
    // to the bitmap.
    for (unsigned n : {31u, 32u}) {
        Elems v(1, 256);
        for (size_t i = 0; i < 256; ++i) v.set(i, i < n ? 255 : 1);
        const Bytes block = encode_block(v);
        ASSERT_GE(block.size(), 3u);
        EXPECT_EQ(block[0], 1);
        EXPECT_EQ(block[1], n);
        EXPECT_EQ(block[2], n < 32 ? 0x87 : 0x07);
        EXPECT_EQ(block.size(), n < 32 ? 3 + 31 + 28 + 32 : 35 + 28 + 32);
        EXPECT_EQ(block, vt::ref_pfor_encode_block(v));
    }

    // 300 values: a full block, then 44 values padded with 212 zeros.
    const Elems x = make_field(2, 300, 5);
    const Bytes stream = encode(x);
    Elems first(2, 256), second(2, 256);
    for (size_t i = 0; i < 300; ++i) (i < 256 ? first : second).set(i % 256, x.get(i));
    const Bytes a = encode_block(first), b = encode_block(second);
    Bytes joined = a;
    joined.insert(joined.end(), b.begin(), b.end());
    EXPECT_EQ(stream, joined);
    EXPECT_EQ(pfor_decode_block(second.data(), 2, stream.data() + a.size(), b.size()), b.size());
}

// Every element size, every base width, outlier counts on both sides of the
// list/bitmap switch and outlier widths up to the full width: the encoder's
// bytes are the layout's, and they decode on every path.
TEST(Pfor, BlocksMatchLayoutAndRoundTrip) {
    for (uint64_t es : vt::widths) {
        const unsigned w = unsigned(8 * es);
        for (unsigned base = 0; base <= w; ++base) {
            for (unsigned outliers : {0u, 1u, 7u, 31u, 32u, 33u, 120u, 255u}) {
                const unsigned wide = outliers % 2 ? w : base + (w - base + 1) / 2;
                const Elems v = make_block(es, base, outliers, wide, 131 * base + outliers);
                const Bytes block = encode_block(v);
                const std::string what = "es " + std::to_string(es) + " base " +
                                         std::to_string(base) + " outliers " +
                                         std::to_string(outliers);
                ASSERT_EQ(block, vt::ref_pfor_encode_block(v)) << what;
                expect_decodes(block, v, what);
            }
        }
    }
}

TEST(Pfor, StreamsRoundTrip) {
    std::vector<size_t> counts;
    for (size_t c = 1; c <= 600; c += c < 20 ? 1 : 13) counts.push_back(c);
    counts.insert(counts.end(), {255, 256, 257, 511, 512, 513, 600, 100003});
    for (uint64_t es : vt::widths) {
        for (size_t count : counts) {
            const Elems x = make_field(es, count, 7 * count + es);
            expect_decodes(encode(x), x,
                           "es " + std::to_string(es) + " count " + std::to_string(count));
        }
    }
}

// The portable loops, the definition on processors without SSE2, against
// the layout built bit by bit.
TEST(Pfor, PortableLoopsMatchLayout) {
    for (uint64_t es : vt::widths) {
        const unsigned w = unsigned(8 * es);
        for (unsigned b = 1; b < w; ++b) {
            const Elems v = make_block(es, b, 0, 0, b);
            const Bytes want = vt::ref_pfor_block(v, b, true);
            Bytes area(32 * b);
            Elems back(es, 256);
            varda::with_width(es, 0, [&]<varda::Element T>() {
                varda::pfor::pack_portable<T>(area.data(), v.bytes.data(), b);
                varda::pfor::unpack_portable<T>(back.data(), area.data(), b);
                return 0;
            });
            EXPECT_EQ(area, Bytes(want.begin() + 2, want.end())) << es << " " << b;
            EXPECT_EQ(back, v) << es << " " << b;
        }
    }
}

// Blocks the encoder never writes but the format allows.
TEST(Pfor, DecodesEitherPositionForm) {
    for (uint64_t es : vt::widths) {
        const unsigned w = unsigned(8 * es);
        for (unsigned outliers : {3u, 40u, 255u}) {
            const Elems v = make_block(es, w / 2, outliers, w, outliers);
            for (bool list : {true, false}) {
                expect_decodes(vt::ref_pfor_block(v, w / 2, list), v,
                               "es " + std::to_string(es) + (list ? " list " : " bitmap ") +
                                   std::to_string(outliers));
            }
        }
    }
}

TEST(Pfor, RefusesCorruptHeaders) {
    for (uint64_t es : vt::widths) {
        const unsigned w = unsigned(8 * es);
        const Elems v = make_block(es, 3, 5, w, es);
        const Bytes list = vt::ref_pfor_block(v, 3, true);
        const Bytes bitmap = vt::ref_pfor_block(v, 3, false);
        ASSERT_EQ(list[1], 5);
        const struct {
            const char *what;
            const Bytes &base;
            size_t at;
            unsigned char value;
        } cases[] = {
            {"b above w", list, 0, static_cast<unsigned char>(w + 1)},
            {"b + x above w", list, 2, static_cast<unsigned char>(0x80 | (w - 2))},
            {"x = 0", list, 2, 0x80},
            {"x = 0, bitmap", bitmap, 2, 0x00},
            {"repeated index", list, 4, list[3]},
            {"falling index", list, 4, 0},
            {"n above the bitmap", bitmap, 1, 6},
            {"n below the bitmap", bitmap, 1, 4},
        };
        for (const auto &c : cases) {
            Bytes bad = c.base;
            bad[c.at] = c.value;
            Elems out(es, 256);
            EXPECT_EQ(pfor_decode_block(out.data(), es, bad.data(), bad.size()), 0u)
                << c.what << " es " << es;
        }
        Bytes extra_bit = bitmap;
        for (size_t i = 0; i < 256; ++i) {
            if (!((extra_bit[3 + i / 8] >> (i % 8)) & 1)) {
                extra_bit[3 + i / 8] =
                    static_cast<unsigned char>(extra_bit[3 + i / 8] | 1u << (i % 8));
                break;
            }
        }
        Elems out(es, 256);
        EXPECT_EQ(pfor_decode_block(out.data(), es, extra_bit.data(), extra_bit.size()), 0u);
        // Every truncation of a block is refused.
        for (size_t len = 0; len < list.size(); ++len)
            EXPECT_EQ(pfor_decode_block(out.data(), es, list.data(), len), 0u) << len;
    }
}

// Streams are stored by hosts: their bytes must not change.
TEST(Pfor, GoldenStreams) {
    const uint64_t want[] = {0x92da329f42906735ull, 0x382b06e1efc68092ull, 0xb59902b044a47d40ull,
                             0x53bfdb0382d0f4b7ull};
    size_t k = 0;
    for (uint64_t es : vt::widths) {
        const Elems x = make_field(es, 5000, 2024);
        const Bytes stream = encode(x);
        EXPECT_EQ(vt::fnv1a(stream.data(), stream.size()), want[k++]) << es;
    }
}
