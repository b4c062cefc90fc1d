// What every benchmark binary shares: test fields, the memcpy yardstick and
// a scope that pins the SIMD path.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "support/path_scope.h"
#include "varda_kernels.h"

namespace vb {

constexpr size_t tile_side = 512;

// A smooth field with noise of +-`noise`, as `elem_size`-byte samples.
inline std::vector<unsigned char> smooth_tile(uint64_t elem_size, size_t width, size_t count,
                                              int noise = 3, uint32_t seed = 1) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> jitter(-noise, noise);
    std::vector<unsigned char> out(count * elem_size);
    for (size_t i = 0; i < count; ++i) {
        const size_t r = i / width, c = i % width;
        const uint64_t v = 1000 + 5 * r + 3 * c + (r * c) / 64 + uint64_t(int64_t(jitter(rng)));
        std::memcpy(out.data() + i * elem_size, &v, elem_size);
    }
    return out;
}

using PathScope = vt::PathScope;

inline bool path_available(int path) { return path != 2 || (varda_simd_cpu() & 4u); }

inline void set_bytes(benchmark::State &state, size_t bytes) {
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bytes));
}

// The yardstick: memcpy of `bytes` bytes.
inline void copy_bytes(benchmark::State &state, size_t bytes) {
    std::vector<unsigned char> from(bytes, 1), to(bytes);
    for (auto _ : state) {
        std::memcpy(to.data(), from.data(), bytes);
        benchmark::DoNotOptimize(to.data());
        benchmark::ClobberMemory();
    }
    set_bytes(state, bytes);
}

} // namespace vb
