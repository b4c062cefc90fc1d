// Coefficient blocks: exact bytes, refusals with their messages, and the
// parser's three failures.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "support/support.h"

using vt::Bytes;

namespace {

struct Vectors {
    std::vector<std::vector<int32_t>> values;
    std::vector<const int32_t *> pointers;
    std::vector<uint32_t> lengths;

    using List = std::vector<std::vector<int32_t>>;
    explicit Vectors(List v) : values(std::move(v)) {
        for (const auto &vec : values) {
            pointers.push_back(vec.empty() ? nullptr : vec.data());
            lengths.push_back(uint32_t(vec.size()));
        }
    }
};

Bytes pack(const Vectors &v) {
    Bytes out(varda_coeffs_size(v.lengths.data(), v.lengths.size()));
    char err[128] = "stale";
    EXPECT_EQ(varda_coeffs_pack(out.data(), out.size(), v.pointers.data(), v.lengths.data(),
                                v.lengths.size(), err, sizeof err),
              out.size());
    EXPECT_STREQ(err, "");
    return out;
}

struct Parsed {
    int result;
    uint64_t vectors, coeffs;
    std::vector<uint32_t> lengths;
    std::vector<int32_t> values;
};

Parsed parse(const Bytes &block, size_t lengths_cap = 300, size_t coeffs_cap = 3000) {
    Parsed p{0, 99, 99, std::vector<uint32_t>(lengths_cap), std::vector<int32_t>(coeffs_cap)};
    p.result = varda_coeffs_parse(block.data(), block.size(), p.values.data(), coeffs_cap,
                                  p.lengths.data(), lengths_cap, &p.vectors, &p.coeffs);
    return p;
}

Bytes le32(uint32_t v) {
    return {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8),
            static_cast<unsigned char>(v >> 16), static_cast<unsigned char>(v >> 24)};
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto &p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

const Bytes header1{'V', 'D', 'C', '1', 1, 1};

} // namespace

TEST(Coeffs, WorkedBlocks) {
    EXPECT_EQ(pack(Vectors(Vectors::List{{-2}})), concat({header1, le32(1), le32(0xFFFFFFFE)}));
    EXPECT_EQ(pack(Vectors(Vectors::List{{1, 0x01020304}, {-1}})),
              concat({{'V', 'D', 'C', '1', 1, 2},
                      le32(2),
                      le32(1),
                      le32(0x01020304),
                      le32(1),
                      le32(0xFFFFFFFF)}));

    const struct {
        std::vector<uint32_t> lengths;
        uint64_t size;
    } sizes[] = {{{1}, 14},
                 {{2497}, 9998},
                 {{2498}, 0},
                 {{1, 0, 1}, 0},
                 {std::vector<uint32_t>(255, 1), 6 + 255 * 8},
                 {std::vector<uint32_t>(256, 1), 0},
                 {{}, 0},
                 {{2496, 1}, 0},
                 {{4000000000u, 1}, 0}};
    for (const auto &s : sizes)
        EXPECT_EQ(varda_coeffs_size(s.lengths.data(), s.lengths.size()), s.size) << s.size;
    EXPECT_EQ(varda_coeffs_size(nullptr, 1), 0u);
}

TEST(Coeffs, PackRefusalsWithMessages) {
    const Vectors one(Vectors::List{{5}});
    const Vectors with_empty(Vectors::List{{1}, {2}, {}, {}});
    Vectors with_null(Vectors::List{{1}, {2}, {3}});
    with_null.pointers[1] = nullptr;
    const Vectors too_long(Vectors::List{std::vector<int32_t>(2498, 7)});
    const Vectors many(Vectors::List(256, std::vector<int32_t>{1}));
    const struct {
        const char *name;
        const int32_t *const *vectors;
        const uint32_t *lengths;
        size_t n, cap;
        bool out;
        const char *message;
    } cases[] = {
        {"no vectors", nullptr, one.lengths.data(), 1, 64, true, "coeffs: no vectors given"},
        {"no lengths", one.pointers.data(), nullptr, 1, 64, true, "coeffs: no vectors given"},
        {"zero count", one.pointers.data(), one.lengths.data(), 0, 64, true,
         "coeffs: expected 1..255 vectors, got 0"},
        {"256 vectors", many.pointers.data(), many.lengths.data(), 256, 99999, true,
         "coeffs: expected 1..255 vectors, got 256"},
        {"empty", with_empty.pointers.data(), with_empty.lengths.data(), 4, 64, true,
         "coeffs: vector 2 is empty"},
        {"null", with_null.pointers.data(), with_null.lengths.data(), 3, 64, true,
         "coeffs: vector 1 is NULL"},
        {"too long", too_long.pointers.data(), too_long.lengths.data(), 1, 99999, true,
         "coeffs: 10002 bytes exceeds the 10000-byte limit"},
        {"one byte short", one.pointers.data(), one.lengths.data(), 1, 13, true,
         "coeffs: need 14 bytes, given 13"},
        {"no output", one.pointers.data(), one.lengths.data(), 1, 64, false,
         "coeffs: need 14 bytes, given 64"},
    };
    for (const auto &c : cases) {
        Bytes out = vt::canary(c.cap);
        char err[128];
        EXPECT_EQ(varda_coeffs_pack(c.out ? out.data() : nullptr, c.cap, c.vectors, c.lengths, c.n,
                                    err, sizeof err),
                  0u)
            << c.name;
        EXPECT_STREQ(err, c.message) << c.name;
        EXPECT_EQ(out, vt::canary(c.cap)) << c.name;
        // Without a message buffer the answer is the same.
        EXPECT_EQ(varda_coeffs_pack(c.out ? out.data() : nullptr, c.cap, c.vectors, c.lengths, c.n,
                                    nullptr, 0),
                  0u);
    }
    // A buffer too small for the message gets it cut and terminated.
    char small[9] = "xxxxxxxx";
    EXPECT_EQ(varda_coeffs_pack(nullptr, 0, nullptr, nullptr, 1, small, 9), 0u);
    EXPECT_STREQ(small, "coeffs: ");
    char tiny[1] = {'x'};
    EXPECT_EQ(varda_coeffs_pack(nullptr, 0, nullptr, nullptr, 1, tiny, 1), 0u);
    EXPECT_EQ(tiny[0], '\0');
}

TEST(Coeffs, ParseResults) {
    const Bytes good =
        concat({{'V', 'D', 'C', '1', 1, 2}, le32(2), le32(7), le32(8), le32(1), le32(0x80000000u)});
    Bytes trailing = good, truncated = good, version2 = good, zero_count = good, magic = good,
          zero_length = concat({header1, le32(0)});
    trailing.push_back(0);
    truncated.pop_back();
    version2[4] = 2;
    zero_count[5] = 0;
    magic[3] = '2';
    Bytes oversized = concat({{'V', 'D', 'C', '1', 1, 1}, le32(2499)});
    oversized.resize(10002);
    const struct {
        const char *name;
        Bytes block;
        int result;
    } cases[] = {
        {"good", good, 0},
        {"trailing byte", trailing, -1},
        {"truncated", truncated, -1},
        {"version 2", version2, -1},
        {"zero count", zero_count, -1},
        {"zero length", zero_length, -1},
        {"header only", Bytes(header1.begin(), header1.end()), -1},
        {"five bytes", {'V', 'D', 'C', '1', 1}, -1},
        {"over the limit", oversized, -1},
        {"wrong magic", magic, 1},
        {"three bytes", {'V', 'D', 'C'}, 1},
        {"empty", {}, 1},
    };
    for (const auto &c : cases) {
        const Parsed p = parse(c.block);
        EXPECT_EQ(p.result, c.result) << c.name;
        if (c.result != 0) {
            EXPECT_EQ(p.vectors + p.coeffs, 0u) << c.name;
        }
    }
    const Parsed p = parse(good);
    EXPECT_EQ(p.vectors, 2u);
    EXPECT_EQ(p.coeffs, 3u);
    EXPECT_EQ(p.lengths[0], 2u);
    EXPECT_EQ(p.lengths[1], 1u);
    EXPECT_EQ(p.values[0], 7);
    EXPECT_EQ(p.values[1], 8);
    EXPECT_EQ(p.values[2], INT32_MIN);
    uint64_t n = 5;
    EXPECT_EQ(varda_coeffs_parse(nullptr, 10, nullptr, 0, nullptr, 0, &n, nullptr), 1);
    EXPECT_EQ(n, 0u);
}

TEST(Coeffs, ParseCapacitiesAndQueries) {
    const Bytes block = pack(Vectors(Vectors::List{{1, 2, 3}, {4}, {5, 6}}));
    const struct {
        size_t lengths_cap, coeffs_cap;
        bool lengths, coeffs;
        int result;
    } cases[] = {
        {3, 6, true, true, 0},   {2, 6, true, true, -2},  {3, 5, true, true, -2},
        {0, 0, false, false, 0}, {2, 6, false, true, 0},  {3, 5, true, false, 0},
        {3, 5, false, true, -2}, {2, 6, true, false, -2}, {0, 0, true, true, -2},
    };
    for (const auto &c : cases) {
        std::vector<uint32_t> lengths(3, 0xEEEEEEEE);
        std::vector<int32_t> coeffs(6, -9);
        uint64_t nv = 0, nc = 0;
        EXPECT_EQ(varda_coeffs_parse(block.data(), block.size(), c.coeffs ? coeffs.data() : nullptr,
                                     c.coeffs_cap, c.lengths ? lengths.data() : nullptr,
                                     c.lengths_cap, &nv, &nc),
                  c.result);
        EXPECT_EQ(nv, 3u);
        EXPECT_EQ(nc, 6u);
        const bool copied = c.result == 0;
        EXPECT_EQ(lengths[2], copied && c.lengths ? 2u : 0xEEEEEEEEu);
        EXPECT_EQ(coeffs[5], copied && c.coeffs ? 6 : -9);
    }
}

TEST(Coeffs, PackThenParseReturnsTheVectors) {
    std::mt19937 rng(3);
    std::uniform_int_distribution<int32_t> value(INT32_MIN, INT32_MAX);
    for (const std::vector<uint32_t> &shape :
         {std::vector<uint32_t>{2497}, std::vector<uint32_t>(255, 1),
          std::vector<uint32_t>{4, 1, 300, 17}}) {
        std::vector<std::vector<int32_t>> values;
        for (uint32_t length : shape) {
            values.emplace_back();
            for (uint32_t i = 0; i < length; ++i) values.back().push_back(value(rng));
        }
        const Bytes block = pack(Vectors(values));
        const Parsed p = parse(block);
        ASSERT_EQ(p.result, 0);
        ASSERT_EQ(p.vectors, shape.size());
        size_t at = 0;
        for (size_t v = 0; v < shape.size(); ++v) {
            EXPECT_EQ(p.lengths[v], shape[v]);
            for (int32_t expected : values[v]) EXPECT_EQ(p.values[at++], expected);
        }
        EXPECT_EQ(p.coeffs, at);
    }
}
