// Watches, and on request fails, the malloc, calloc and realloc calls made
// from the objects linked into the test binary (the library's among them):
// the binary is linked with --wrap for the three. Calls from shared
// libraries (zstd's, the C library's own) are left alone. A binary that
// also links wrap/failing_new.cpp has operator new counted and failed by
// the same watch: a failed new throws std::bad_alloc.
#pragma once

#include <cstddef>

namespace vt {

class MallocWatch {
  public:
    // With `fail`, the first `allowed` calls succeed and every later one
    // fails.
    explicit MallocWatch(bool fail, size_t allowed = 0);
    ~MallocWatch();
    MallocWatch(const MallocWatch &) = delete;
    MallocWatch &operator=(const MallocWatch &) = delete;
    size_t calls() const; // since the watch began
};

// Counts one allocation while a watch is on; true when it is to fail.
bool refuse_allocation();

} // namespace vt
