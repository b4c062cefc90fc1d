// Coefficient blocks: exact bytes, refusals with their messages, and the
// parser's three failures.
#include <gtest/gtest.h>

#include <random>

#include "support/support.h"

using vt::Bytes;

namespace {

using List = std::vector<std::vector<int32_t>>;

// Vectors as the packer takes them; an empty vector has a null pointer.
struct Vectors {
    List values;
    std::vector<const int32_t *> pointers;
    std::vector<uint32_t> lengths;

    explicit Vectors(List v) : values(std::move(v)) {
        for (const auto &vec : values) {
            pointers.push_back(vec.empty() ? nullptr : vec.data());
            lengths.push_back(uint32_t(vec.size()));
        }
    }

    uint64_t pack(void *out, size_t cap, char *err, size_t err_size) const {
        return varda_coeffs_pack(out, cap, pointers.data(), lengths.data(), lengths.size(), err,
                                 err_size);
    }
};

Bytes pack(const List &list) {
    const Vectors v(list);
    Bytes out(varda_coeffs_size(v.lengths.data(), v.lengths.size()));
    char err[64] = "stale";
    EXPECT_EQ(v.pack(out.data(), out.size(), err, sizeof err), out.size());
    EXPECT_STREQ(err, "");
    return out;
}

} // namespace

TEST(Coeffs, WorkedBlocksAndSizes) {
    EXPECT_EQ(pack({{-2}}), (Bytes{'V', 'D', 'C', '1', 1, 1, 1, 0, 0, 0, 0xFE, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(pack({{1, 0x01020304}, {-1}}),
              (Bytes{'V', 'D', 'C', '1', 1,    2,                           // header, two vectors
                     2,   0,   0,   0,   1,    0,    0,    0,   4, 3, 2, 1, // {1, 0x01020304}
                     1,   0,   0,   0,   0xFF, 0xFF, 0xFF, 0xFF}));         // {-1}
    const struct {
        std::vector<uint32_t> lengths;
        uint64_t size;
    } sizes[] = {{{1}, 14},   {{2497}, 9998}, {std::vector<uint32_t>(255, 1), 2046},
                 {{2498}, 0}, {{2496, 1}, 0}, {std::vector<uint32_t>(256, 1), 0},
                 {{1, 0}, 0}, {{}, 0},        {{4000000000u, 4000000000u}, 0}};
    for (const auto &s : sizes)
        EXPECT_EQ(varda_coeffs_size(s.lengths.data(), s.lengths.size()), s.size) << s.size;
    EXPECT_EQ(varda_coeffs_size(nullptr, 1), 0u);
}

TEST(Coeffs, PackRefusalsLeaveTheOutputAndExplain) {
    const Vectors one(List{{5}}), with_empty(List{{1}, {2}, {}, {}}),
        too_long(List{std::vector<int32_t>(2498, 7)}), many(List(256, std::vector<int32_t>{1}));
    Vectors with_null(List{{1}, {2}, {3}});
    with_null.pointers[1] = nullptr;
    const struct {
        const Vectors *v;
        size_t n, cap;
        bool out;
        const char *message;
    } cases[] = {
        {&one, 0, 64, true, "coeffs: expected 1..255 vectors, got 0"},
        {&many, 256, 99999, true, "coeffs: expected 1..255 vectors, got 256"},
        {&with_empty, 4, 64, true, "coeffs: vector 2 is empty"},
        {&with_null, 3, 64, true, "coeffs: vector 1 is NULL"},
        {&too_long, 1, 99999, true, "coeffs: 10002 bytes exceeds the 10000-byte limit"},
        {&one, 1, 13, true, "coeffs: need 14 bytes, given 13"},
        {&one, 1, 64, false, "coeffs: need 14 bytes, given 64"},
    };
    for (const auto &c : cases) {
        Bytes out = vt::canary(c.cap);
        void *dst = c.out ? out.data() : nullptr;
        char err[64];
        EXPECT_EQ(varda_coeffs_pack(dst, c.cap, c.v->pointers.data(), c.v->lengths.data(), c.n, err,
                                    sizeof err),
                  0u);
        EXPECT_STREQ(err, c.message);
        EXPECT_EQ(varda_coeffs_pack(dst, c.cap, c.v->pointers.data(), c.v->lengths.data(), c.n,
                                    nullptr, 0),
                  0u);
        EXPECT_EQ(out, vt::canary(c.cap)) << c.message;
    }
    char err[64], small[9];
    EXPECT_EQ(varda_coeffs_pack(nullptr, 0, nullptr, one.lengths.data(), 1, err, sizeof err), 0u);
    EXPECT_STREQ(err, "coeffs: no vectors given");
    EXPECT_EQ(varda_coeffs_pack(nullptr, 0, one.pointers.data(), nullptr, 1, small, 9), 0u);
    EXPECT_STREQ(small, "coeffs: "); // cut to the buffer
}

TEST(Coeffs, ParseResultsAndCounts) {
    const Bytes good = pack({{7, 8}, {INT32_MIN}});
    Bytes trailing = good, truncated = good, version2 = good, zero_count = good, magic = good;
    trailing.push_back(0);
    truncated.pop_back();
    version2[4] = 2;
    zero_count[5] = 0;
    magic[3] = '2';
    Bytes zero_length = pack({{1}}), oversized = pack({std::vector<int32_t>(2497, 1)});
    zero_length.resize(10);
    zero_length[6] = 0;
    oversized.resize(10002);
    const struct {
        Bytes block;
        int result;
    } cases[] = {{good, 0},
                 {trailing, -1},
                 {truncated, -1},
                 {version2, -1},
                 {zero_count, -1},
                 {zero_length, -1},
                 {Bytes(good.begin(), good.begin() + 6), -1},
                 {Bytes(good.begin(), good.begin() + 5), -1},
                 {oversized, -1},
                 {magic, 1},
                 {Bytes(good.begin(), good.begin() + 3), 1}};
    for (const auto &c : cases) {
        uint64_t nv = 99, nc = 99;
        uint32_t lengths[2];
        int32_t values[3];
        EXPECT_EQ(
            varda_coeffs_parse(c.block.data(), c.block.size(), values, 3, lengths, 2, &nv, &nc),
            c.result)
            << c.block.size();
        EXPECT_EQ(nv, c.result ? 0u : 2u);
        EXPECT_EQ(nc, c.result ? 0u : 3u);
        if (c.result == 0) {
            EXPECT_EQ(lengths[0], 2u);
            EXPECT_EQ(values[2], INT32_MIN);
        }
    }
    EXPECT_EQ(varda_coeffs_parse(nullptr, 10, nullptr, 0, nullptr, 0, nullptr, nullptr), 1);
}

// Short arrays give -2 and still the counts; null arrays are a query or are
// skipped; nothing is copied unless everything fits.
TEST(Coeffs, ParseCapacities) {
    const Bytes block = pack({{1, 2, 3}, {4}, {5, 6}});
    const struct {
        size_t lengths_cap, coeffs_cap;
        bool lengths, coeffs;
        int result;
    } cases[] = {{3, 6, true, true, 0},   {2, 6, true, true, -2},  {3, 5, true, true, -2},
                 {0, 0, false, false, 0}, {2, 6, false, true, 0},  {3, 5, true, false, 0},
                 {3, 5, false, true, -2}, {2, 6, true, false, -2}, {0, 0, true, true, -2}};
    for (const auto &c : cases) {
        std::vector<uint32_t> lengths(3, 0xEEEEEEEE);
        std::vector<int32_t> coeffs(6, -9);
        uint64_t nv = 0, nc = 0;
        EXPECT_EQ(varda_coeffs_parse(block.data(), block.size(), c.coeffs ? coeffs.data() : nullptr,
                                     c.coeffs_cap, c.lengths ? lengths.data() : nullptr,
                                     c.lengths_cap, &nv, &nc),
                  c.result);
        EXPECT_EQ(nv * 10 + nc, 36u);
        EXPECT_EQ(lengths[2], c.result == 0 && c.lengths ? 2u : 0xEEEEEEEEu);
        EXPECT_EQ(coeffs[5], c.result == 0 && c.coeffs ? 6 : -9);
    }
}

TEST(Coeffs, PackThenParseReturnsTheVectors) {
    std::mt19937 rng(3);
    for (const std::vector<uint32_t> &shape :
         {std::vector<uint32_t>{2497}, std::vector<uint32_t>(255, 1),
          std::vector<uint32_t>{4, 1, 300, 17}}) {
        List list;
        std::vector<int32_t> all;
        for (uint32_t length : shape) {
            list.emplace_back();
            for (uint32_t i = 0; i < length; ++i) list.back().push_back(int32_t(rng()));
            all.insert(all.end(), list.back().begin(), list.back().end());
        }
        const Bytes block = pack(list);
        std::vector<uint32_t> lengths(shape.size());
        std::vector<int32_t> values(all.size());
        ASSERT_EQ(varda_coeffs_parse(block.data(), block.size(), values.data(), values.size(),
                                     lengths.data(), lengths.size(), nullptr, nullptr),
                  0);
        EXPECT_EQ(lengths, shape);
        EXPECT_EQ(values, all);
    }
}
