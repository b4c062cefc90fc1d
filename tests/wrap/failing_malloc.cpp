#include "wrap/failing_malloc.h"

#include <atomic>

extern "C" {
void *__real_malloc(size_t size);
void *__real_calloc(size_t count, size_t size);
void *__real_realloc(void *block, size_t size);
}

namespace {

std::atomic<bool> watching{false}, failing{false};
std::atomic<size_t> seen{0}, allowance{0};

bool refuse() {
    if (!watching.load(std::memory_order_relaxed)) return false;
    const size_t before = seen.fetch_add(1, std::memory_order_relaxed);
    return failing.load(std::memory_order_relaxed) &&
           before >= allowance.load(std::memory_order_relaxed);
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

bool refuse_allocation() { return refuse(); }

MallocWatch::MallocWatch(bool fail, size_t allowed) {
    seen = 0;
    allowance = allowed;
    failing = fail;
    watching = true;
}

MallocWatch::~MallocWatch() {
    watching = false;
    failing = false;
}

size_t MallocWatch::calls() const { return seen.load(); }

} // namespace vt
