// Makes the C allocator fail on demand. The test executable is linked with
// --wrap for malloc, calloc and realloc, so every such call from the library
// (and from the tests) passes through here; C++ allocations do not.
#pragma once

#include <cstddef>

namespace vt {

// While in scope, the first `allowed` C allocations succeed and every later
// one fails.
class FailingAllocations {
  public:
    explicit FailingAllocations(long allowed);
    ~FailingAllocations();
    FailingAllocations(const FailingAllocations &) = delete;
    FailingAllocations &operator=(const FailingAllocations &) = delete;

    // C allocations attempted in this scope so far.
    long attempts() const;
};

} // namespace vt
