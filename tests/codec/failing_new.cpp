#include "failing_new.h"

#include <cstdlib>
#include <new>

namespace {
bool failing = false;
} // namespace

void vt::fail_new(bool on) { failing = on; }

void *operator new(size_t size) {
    void *p = failing ? nullptr : std::malloc(size ? size : 1);
    if (!p) throw std::bad_alloc();
    return p;
}
void operator delete(void *p) noexcept { std::free(p); }
void operator delete(void *p, size_t) noexcept { std::free(p); }
