#include "frame/message.h"

#include <cstdarg>
#include <cstdio>

namespace varda {

int fail(char *err, size_t err_size, const char *format, ...) {
    if (err != nullptr && err_size > 0) {
        va_list args;
        va_start(args, format);
        std::vsnprintf(err, err_size, format, args);
        va_end(args);
    }
    return 1;
}

} // namespace varda
