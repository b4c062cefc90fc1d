// The frame: type tables, tile shapes and failure messages.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <map>
#include <string>

#include "frame/dtype.h"
#include "frame/half.h"
#include "frame/message.h"
#include "frame/sample.h"
#include "frame/tile.h"

using namespace varda;

// Hosts without the header take the codes from this list: it must hold
// every name once, end, and agree with the header.
TEST(Codes, ListedByName) {
    std::map<std::string, long long> listed;
    const char *name = nullptr;
    long long value = -1;
    int i = 0;
    for (; varda_codes(i, &name, &value) == 0; ++i) {
        ASSERT_NE(name, nullptr);
        EXPECT_TRUE(listed.emplace(name, value).second) << name << " listed twice";
    }
    EXPECT_EQ(i, 19);
    EXPECT_EQ(varda_codes(-1, &name, &value), 1);
    EXPECT_EQ(varda_codes(0, nullptr, nullptr), 0);
    EXPECT_EQ(listed["VARDA_DTYPE_F64"], dtype_f64);
    EXPECT_EQ(listed["VARDA_DTYPE_I16"], dtype_i16);
    EXPECT_EQ(listed["VARDA_DTYPE_COUNT"], dtype_count);
    EXPECT_EQ(listed["VARDA_LOSSY_SQRT"], 3);
    EXPECT_EQ(listed["VARDA_NODATA_NAN"], 2);
}

TEST(Dtype, TablesHoldTheBoundaryValues) {
    EXPECT_FALSE(valid_dtype(11));
    // The 64-bit maxima are the largest doubles below 2^64 and 2^63.
    EXPECT_EQ(dtype_max[dtype_u64], std::nextafter(0x1p64, 0.0));
    EXPECT_EQ(dtype_max[dtype_i64], std::nextafter(0x1p63, 0.0));
    EXPECT_EQ(dtype_max[dtype_f32], double(3.40282346638528859811704183484516925e38f));
    EXPECT_EQ(dtype_max_exact_level[dtype_u64], 0x1p53);
    EXPECT_EQ(dtype_max_exact_level[dtype_f16], 32767.0);
    EXPECT_EQ(dtype_significant_bits[dtype_f16], 11.0);
    EXPECT_EQ(dtype_min[dtype_i64 - 4], -0x1p63);
    EXPECT_EQ(dtype_min[dtype_f64 - 4], -1.7976931348623157e308);
    EXPECT_EQ(dtype_neg_magnitude[dtype_i32 - 4], 2147483648.0);
    EXPECT_EQ(dtype_unit_roundoff[dtype_f32 - 8], 5.960464477539063e-08);
}

// Hosts size and read samples through these calls instead of tables of
// their own.
TEST(Dtype, SizesAndWideningForHosts) {
    for (int d = 0; d < int(dtype_count); ++d) EXPECT_EQ(varda_dtype_size(d), dtype_size[d]) << d;
    EXPECT_EQ(varda_dtype_size(-1), 0u);
    EXPECT_EQ(varda_dtype_size(11), 0u);

    const uint16_t halves[] = {0x3C00, 0xC000, 0x7C00, 0x0001};
    double out[4] = {};
    ASSERT_EQ(varda_widen(out, halves, dtype_f16, 4), 0);
    EXPECT_EQ(out[0], 1.0);
    EXPECT_EQ(out[1], -2.0);
    EXPECT_TRUE(std::isinf(out[2]));
    EXPECT_EQ(out[3], 0x1p-24);
    // Past the vector width, so that the 8-bit path and its tail both run.
    int8_t bytes[37];
    double wide[37];
    for (int i = 0; i < 37; ++i) bytes[i] = int8_t(i * 7 - 128);
    ASSERT_EQ(varda_widen(wide, bytes, dtype_i8, 37), 0);
    for (int i = 0; i < 37; ++i) EXPECT_EQ(wide[i], double(i * 7 - 128)) << i;
    const int64_t big = INT64_MAX;
    ASSERT_EQ(varda_widen(out, &big, dtype_i64, 1), 0);
    EXPECT_EQ(out[0], 0x1p63);

    out[0] = 5;
    EXPECT_EQ(varda_widen(out, halves, 11, 1), 1);
    EXPECT_EQ(varda_widen(out, halves, -1, 1), 1);
    EXPECT_EQ(out[0], 5.0);
}

TEST(Tile, ShapeCheck) {
    EXPECT_TRUE(valid_tile(1, 1));
    EXPECT_TRUE(valid_tile(5, 5));
    EXPECT_TRUE(valid_tile(1, 7));
    EXPECT_FALSE(valid_tile(0, 10));
    EXPECT_FALSE(valid_tile(0, 0));
    EXPECT_FALSE(valid_tile(4, 0));
    EXPECT_FALSE(valid_tile(11, 10));
    EXPECT_FALSE(valid_tile(3, 10));
    EXPECT_FALSE(valid_plane_stack(10, 300, 7));
    EXPECT_FALSE(valid_plane_stack(30, 300, 4));
    EXPECT_FALSE(valid_plane_stack(10, 3, 5));
    EXPECT_TRUE(valid_plane_stack(10, 300, 3));
}

TEST(Message, FollowsSnprintfAndAlwaysFails) {
    char buffer[8];
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(fail(buffer, sizeof buffer, "dtype %d is %s", 12, "unknown"), 1);
    EXPECT_STREQ(buffer, "dtype 1");

    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(fail(buffer, 1, "anything"), 1);
    EXPECT_STREQ(buffer, "");

    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(fail(buffer, 0, "anything"), 1);
    EXPECT_EQ(buffer[0], 'x');
    EXPECT_EQ(fail(nullptr, 100, "anything"), 1);

    EXPECT_EQ(fail(buffer, sizeof buffer, "%d%%", 5), 1);
    EXPECT_STREQ(buffer, "5%");
}

TEST(Half, WideningIsExactAndNarrowingRoundsTiesAway) {
    // Every non-NaN pattern survives the round trip; NaN becomes 0x7E00.
    for (uint32_t h = 0; h < 0x10000; ++h) {
        const auto half = uint16_t(h);
        const bool nan = (half & 0x7C00) == 0x7C00 && (half & 0x3FF) != 0;
        EXPECT_EQ(float_to_half(half_to_float(half)), nan ? (half & 0x8000) | 0x7E00 : half) << h;
    }
    EXPECT_EQ(half_to_float(0x0001), 0x1p-24f);
    EXPECT_EQ(half_to_float(0xFBFF), -65504.0f);
    EXPECT_EQ(float_to_half(1.0f + 0x1p-11f), 0x3C01);    // tie, away from zero
    EXPECT_EQ(float_to_half(-(1.0f + 0x1p-11f)), 0xBC01); // and for negatives
    EXPECT_EQ(float_to_half(0x1p-25f), 0x0001);           // subnormal tie
    EXPECT_EQ(float_to_half(0x1.8p-24f), 0x0002);
    EXPECT_EQ(float_to_half(0x1p-26f), 0x0000);
    EXPECT_EQ(float_to_half(65519.0f), 0x7BFF);
    EXPECT_EQ(float_to_half(65520.0f), 0x7C00); // rounds up into infinity
    EXPECT_EQ(float_to_half(0x1p16f), 0x7C00);
    EXPECT_EQ(float_to_half(-INFINITY), 0xFC00);
}

TEST(Sample, DispatchByDtype) {
    const uint64_t sizes[] = {1, 2, 4, 8, 1, 2, 4, 8, 2, 4, 8};
    for (uint32_t t = 0; t < dtype_count; ++t)
        EXPECT_EQ(with_dtype(t, uint64_t(0), []<Sample S>() { return uint64_t(sizeof(S)); }),
                  sizes[t]);
    EXPECT_EQ(with_dtype(uint64_t(uint32_t(-1)), 99, []<Sample S>() { return 0; }), 99);
    EXPECT_EQ(with_dtype(11, 99, []<Sample S>() { return 0; }), 99);
    const uint16_t half_pattern = 0xC100; // -2.5
    EXPECT_EQ(to_double(load_sample<Half>(&half_pattern, 0)), -2.5);
    const int8_t byte = -128;
    EXPECT_EQ(to_double(load_sample<int8_t>(&byte, 0)), -128.0);
}
