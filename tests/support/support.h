// Helpers shared by the test files: element buffers of any width, random
// fields, a canary, and a switch over the SIMD paths this machine runs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "support/path_scope.h"
#include "varda_kernels.h"

namespace vt {

inline constexpr uint64_t widths[] = {1, 2, 4, 8};

using Bytes = std::vector<unsigned char>;

inline uint64_t mask_of(uint64_t elem_size) {
    return elem_size == 8 ? ~uint64_t(0) : (uint64_t(1) << (8 * elem_size)) - 1;
}

// A buffer of `count` elements of `elem_size` bytes, read and written as
// 64-bit values.
struct Elems {
    uint64_t elem_size;
    std::vector<unsigned char> bytes;

    Elems(uint64_t size, size_t count) : elem_size(size), bytes(size * count) {}
    size_t count() const { return bytes.size() / elem_size; }
    uint64_t get(size_t i) const {
        uint64_t v = 0;
        std::memcpy(&v, bytes.data() + i * elem_size, elem_size);
        return v;
    }
    void set(size_t i, uint64_t v) { std::memcpy(bytes.data() + i * elem_size, &v, elem_size); }
    void *data() { return bytes.data(); }
    const void *data() const { return bytes.data(); }
    bool operator==(const Elems &) const = default;
};

// A smooth field with noise: what predictors are for.
inline Elems smooth_field(uint64_t elem_size, size_t width, size_t count, uint32_t seed,
                          int noise = 3) {
    std::mt19937_64 rng(seed);
    std::uniform_int_distribution<int> jitter(-noise, noise);
    Elems out(elem_size, count);
    const uint64_t base = rng();
    for (size_t i = 0; i < count; ++i) {
        const size_t r = i / width, c = i % width;
        out.set(i, base + 7 * r + 3 * c + (r * c) / 16 + uint64_t(int64_t(jitter(rng))));
    }
    return out;
}

// Uniform random bits: wrap-around everywhere.
inline Elems random_field(uint64_t elem_size, size_t count, uint32_t seed) {
    std::mt19937_64 rng(seed);
    Elems out(elem_size, count);
    for (size_t i = 0; i < count; ++i) out.set(i, rng());
    return out;
}

// FNV-1a of a byte string: pins stored stream formats in golden tests.
inline uint64_t fnv1a(const unsigned char *bytes, size_t size) {
    uint64_t h = 14695981039346656037ull;
    for (size_t i = 0; i < size; ++i) h = (h ^ bytes[i]) * 1099511628211ull;
    return h;
}

inline std::vector<unsigned char> canary(size_t bytes) {
    return std::vector<unsigned char>(bytes, 0xA5);
}

// The SIMD paths to hold against each other here: 0 and 1 always, 2 when
// the processor has AVX2.
inline std::vector<int> paths() {
    std::vector<int> out{0, 1};
    if (varda_simd_cpu() & 4u) out.push_back(2);
    return out;
}

// Tile shapes worth trying: widths across the vector block sizes, single
// rows and single columns.
struct Shape {
    size_t width, count;
};
std::vector<Shape> tile_shapes();

} // namespace vt
