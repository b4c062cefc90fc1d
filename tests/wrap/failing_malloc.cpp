#include "wrap/failing_malloc.h"

#include <atomic>

extern "C" void *__real_malloc(size_t size);

namespace {

std::atomic<bool> watching{false}, failing{false};
std::atomic<size_t> seen{0};

} // namespace

extern "C" void *__wrap_malloc(size_t size) {
    if (!watching.load(std::memory_order_relaxed)) return __real_malloc(size);
    seen.fetch_add(1, std::memory_order_relaxed);
    return failing.load(std::memory_order_relaxed) ? nullptr : __real_malloc(size);
}

namespace vt {

MallocWatch::MallocWatch(bool fail) {
    seen = 0;
    failing = fail;
    watching = true;
}

MallocWatch::~MallocWatch() {
    watching = false;
    failing = false;
}

size_t MallocWatch::calls() const { return seen.load(); }

} // namespace vt
