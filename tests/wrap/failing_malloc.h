// Watches, and on request fails, the malloc calls made from the objects
// linked into the test binary (the library's among them): the binary is
// linked with --wrap=malloc. Calls from shared libraries, the C++ runtime's
// operator new included, are left alone.
#pragma once

#include <cstddef>

namespace vt {

class MallocWatch {
  public:
    explicit MallocWatch(bool fail);
    ~MallocWatch();
    MallocWatch(const MallocWatch &) = delete;
    MallocWatch &operator=(const MallocWatch &) = delete;
    size_t calls() const; // since the watch began
};

} // namespace vt
