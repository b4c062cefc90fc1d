// What every C entry point of the codec does around its body: nothing
// thrown crosses the interface, and a failure leaves its message in the
// caller's buffer and returns its kind.
#pragma once

#include <cstddef>
#include <cstdio>
#include <exception>
#include <new>

#include "blob.h"

namespace varda::codec {

// Runs the body; allocation failures become a message. A failure whose
// kind the body left open is of the entry point's `kind`.
template <class F> int guarded(int kind, char *err, size_t err_size, F &&body) {
    Error error;
    try {
        if (body(error)) return 0;
    } catch (const std::bad_alloc &) {
        error.set("out of memory", VARDA_CODEC_NO_MEMORY);
    } catch (const std::exception &e) {
        error.set(e.what());
    }
    if (err && err_size) std::snprintf(err, err_size, "%s", error.message.c_str());
    return error.kind ? error.kind : kind;
}

} // namespace varda::codec
