// Watches, and on request fails, the malloc, calloc and realloc calls made
// from the objects linked into the test binary (the library's among them):
// the binary is linked with --wrap for the three. Calls from shared
// libraries, the C++ runtime's operator new included, are left alone.
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

} // namespace vt
