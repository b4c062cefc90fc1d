// Failure messages: formatted into the caller's buffer with snprintf
// semantics, nothing written when there is no buffer.
#pragma once

#include <cstddef>

namespace varda {

// Writes the message when `err` is non-null and `err_size` > 0, then returns
// 1 so that a failing path can `return fail(err, err_size, ...)`.
[[gnu::format(printf, 3, 4)]] int fail(char *err, size_t err_size, const char *format, ...);

} // namespace varda
