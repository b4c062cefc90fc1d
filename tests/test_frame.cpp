// The frame: type tables, tile shapes and failure messages.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "frame/dtype.h"
#include "frame/message.h"
#include "frame/tile.h"

using namespace varda;

TEST(Dtype, TablesHoldTheBoundaryValues) {
    const uint64_t sizes[] = {1, 2, 4, 8, 1, 2, 4, 8, 2, 4, 8};
    for (uint32_t t = 0; t < dtype_count; ++t) EXPECT_EQ(dtype_size[t], sizes[t]) << t;
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
