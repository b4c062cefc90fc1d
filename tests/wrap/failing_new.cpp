// operator new and delete for a test binary whose C++ allocations the
// malloc watch is to count and fail as well. They take memory straight from
// the C library (not through the wrapped malloc, which would count each
// call twice) and throw std::bad_alloc when the watch refuses.
#include <cstdlib>
#include <new>

#include "wrap/failing_malloc.h"

extern "C" void *__real_malloc(size_t size);

namespace {

void *take(size_t size) {
    if (vt::refuse_allocation()) return nullptr;
    return __real_malloc(size ? size : 1);
}

} // namespace

void *operator new(size_t size) {
    if (void *block = take(size)) return block;
    throw std::bad_alloc();
}
void *operator new[](size_t size) { return operator new(size); }
void *operator new(size_t size, const std::nothrow_t &) noexcept { return take(size); }
void *operator new[](size_t size, const std::nothrow_t &) noexcept { return take(size); }
void operator delete(void *block) noexcept { std::free(block); }
void operator delete[](void *block) noexcept { std::free(block); }
void operator delete(void *block, size_t) noexcept { std::free(block); }
void operator delete[](void *block, size_t) noexcept { std::free(block); }
