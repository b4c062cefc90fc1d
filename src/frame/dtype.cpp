#include "frame/dtype.h"

namespace varda {

const uint64_t dtype_size[dtype_count] = {1, 2, 4, 8, 1, 2, 4, 8, 2, 4, 8};

const double dtype_max[dtype_count - 1] = {
    255.0,
    65535.0,
    4294967295.0,
    18446744073709549568.0, // 2^64 - 2048
    127.0,
    32767.0,
    2147483647.0,
    9223372036854774784.0, // 2^63 - 1024
    65504.0,
    3.4028234663852886e38,
};

const double dtype_max_exact_level[dtype_count - 1] = {
    255.0,   65535.0,      4294967295.0, 9007199254740992.0,
    127.0,   32767.0,      2147483647.0, 9007199254740992.0,
    32767.0, 2147483647.0,
};

const double dtype_significant_bits[dtype_count - 1] = {8, 16, 32, 64, 8, 16, 32, 64, 11, 24};

const double dtype_min[dtype_count - 4] = {
    -128.0,
    -32768.0,
    -2147483648.0,
    -9223372036854775808.0,
    -65504.0,
    -3.4028234663852886e38,
    -1.7976931348623157e308,
};

const double dtype_neg_magnitude[4] = {128.0, 32768.0, 2147483648.0, 9223372036854775808.0};

const double dtype_unit_roundoff[3] = {0x1p-11, 0x1p-24, 0x1p-53};

} // namespace varda

extern "C" VARDA_API uint64_t varda_dtype_size(int dtype) {
    return dtype >= 0 && varda::valid_dtype(uint64_t(dtype)) ? varda::dtype_size[dtype] : 0;
}
