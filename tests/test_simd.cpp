// SIMD path selection: names, masks and the VARDA_SIMD override.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "support/support.h"

namespace {

// A host's own global initialiser may run before the library's, in a static
// link; it must still see the real processor.
const unsigned cpu_seen_early = varda_simd_cpu();

// The paths this build may choose on this processor, and the highest of a
// set of them.
unsigned candidates() { return varda_simd_built() & varda_simd_cpu(); }

int highest(unsigned mask) {
    for (int path = 3; path > 0; --path)
        if (mask & (1u << path)) return path;
    return 0;
}

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
#if defined(__x86_64__)
    EXPECT_EQ(varda_simd_built(), 7u);
    EXPECT_TRUE(varda_simd_cpu() == 7u || varda_simd_cpu() == 3u);
#else
    // Portable loops only.
    EXPECT_EQ(varda_simd_built(), 1u);
    EXPECT_EQ(varda_simd_cpu() & 1u, 1u);
#endif
    EXPECT_EQ(cpu_seen_early, varda_simd_cpu());
}

TEST(Simd, EnvironmentLowersButNeverRaises) {
    const vt::PathScope keep(varda_simd_path);
    const int best = highest(candidates());
    const int sse2 = (candidates() & 2u) ? 1 : 0;
    const int avx2 = highest(candidates() & 7u);
    const struct {
        const char *value;
        int path;
    } cases[] = {
        {nullptr, best}, {"", best},     {"scalar", 0},    {"sse2", sse2}, {"avx2", avx2},
        {"neon", best},  {"AVX2", best}, {"Scalar", best}, {"sse", best},  {"avx2 ", best},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(resolve_with(c.value), c.path) << (c.value ? c.value : "(unset)");
        EXPECT_EQ(varda_simd_path, c.path);
    }
}

// The first active() resolves once and later changes of the environment
// wait for an explicit resolve. In a child process, which forks without
// re-executing the binary: the suite also runs under a user-mode emulator,
// which cannot execute a target binary again, and it starts no threads.
TEST(SimdDeathTest, FirstUseResolvesOnce) {
    GTEST_FLAG_SET(death_test_style, "fast");
    const int best = highest(candidates());
    EXPECT_EXIT(
        {
            varda_simd_path = -1;
            setenv("VARDA_SIMD", "scalar", 1);
            bool ok = varda_simd_active() == 0 && varda_simd_path == 0;
            unsetenv("VARDA_SIMD");
            ok = ok && varda_simd_active() == 0;
            ok = ok && varda_simd_resolve() == best && varda_simd_active() == best;
            std::exit(ok ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}
