// Pins varda_simd_path for one scope; the previous value comes back. Shared
// by the tests and the benchmarks.
#pragma once

#include "varda_kernels.h"

namespace vt {

struct PathScope {
    int saved;
    explicit PathScope(int path) : saved(varda_simd_path) { varda_simd_path = path; }
    ~PathScope() { varda_simd_path = saved; }
    PathScope(const PathScope &) = delete;
    PathScope &operator=(const PathScope &) = delete;
};

} // namespace vt
