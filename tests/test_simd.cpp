// SIMD path selection: names, masks and the VARDA_SIMD override.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "support/support.h"

namespace {

// A host's own global initialiser may run before the library's, in a static
// link; it must still see the real processor.
const unsigned cpu_seen_early = varda_simd_cpu();

bool has_avx2() { return (varda_simd_cpu() & 4u) != 0; }

int resolve_with(const char *value) {
    if (value)
        setenv("VARDA_SIMD", value, 1);
    else
        unsetenv("VARDA_SIMD");
    const int path = varda_simd_resolve();
    unsetenv("VARDA_SIMD");
    return path;
}

} // namespace

TEST(Simd, NamesAndMasks) {
    EXPECT_STREQ(varda_simd_name(0), "scalar");
    EXPECT_STREQ(varda_simd_name(1), "sse2");
    EXPECT_STREQ(varda_simd_name(2), "avx2");
    EXPECT_STREQ(varda_simd_name(3), "neon");
    EXPECT_STREQ(varda_simd_name(4), "unknown");
    EXPECT_STREQ(varda_simd_name(-1), "unknown");
    EXPECT_EQ(varda_simd_built(), 7u);
    EXPECT_TRUE(varda_simd_cpu() == 7u || varda_simd_cpu() == 3u);
    EXPECT_EQ(cpu_seen_early, varda_simd_cpu());
}

TEST(Simd, EnvironmentLowersButNeverRaises) {
    const vt::PathScope keep(varda_simd_path);
    const int best = has_avx2() ? 2 : 1;
    const struct {
        const char *value;
        int path;
    } cases[] = {
        {nullptr, best}, {"", best},     {"scalar", 0},    {"sse2", 1},   {"avx2", best},
        {"neon", best},  {"AVX2", best}, {"Scalar", best}, {"sse", best}, {"avx2 ", best},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(resolve_with(c.value), c.path) << (c.value ? c.value : "(unset)");
        EXPECT_EQ(varda_simd_path, c.path);
    }
}

// A fresh process starts unresolved; the first active() resolves once and
// later changes of the environment wait for an explicit resolve.
TEST(SimdDeathTest, FirstUseResolvesOnce) {
    GTEST_FLAG_SET(death_test_style, "fast");
    EXPECT_EXIT(
        {
            varda_simd_path = -1;
            setenv("VARDA_SIMD", "scalar", 1);
            bool ok = varda_simd_active() == 0 && varda_simd_path == 0;
            setenv("VARDA_SIMD", "sse2", 1);
            ok = ok && varda_simd_active() == 0;
            ok = ok && varda_simd_resolve() == 1 && varda_simd_active() == 1;
            std::exit(ok ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}
