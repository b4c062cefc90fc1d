#include "wrap/alloc_failure.h"

#include <cstdlib>

// The linker's names for the C allocator behind --wrap.
extern "C" {
void *__real_malloc(size_t size);
void *__real_calloc(size_t count, size_t size);
void *__real_realloc(void *block, size_t size);
}

namespace {

// -1: allocations pass through.
long remaining = -1;
long attempted = 0;

bool refuse() {
    if (remaining < 0) return false;
    ++attempted;
    if (remaining == 0) return true;
    --remaining;
    return false;
}

} // namespace

extern "C" {
void *__wrap_malloc(size_t size) { return refuse() ? nullptr : __real_malloc(size); }
void *__wrap_calloc(size_t count, size_t size) {
    return refuse() ? nullptr : __real_calloc(count, size);
}
void *__wrap_realloc(void *block, size_t size) {
    return refuse() ? nullptr : __real_realloc(block, size);
}
}

namespace vt {

FailingAllocations::FailingAllocations(long allowed) {
    remaining = allowed;
    attempted = 0;
}
FailingAllocations::~FailingAllocations() { remaining = -1; }
long FailingAllocations::attempts() const { return attempted; }

} // namespace vt
