// The shared codes by name, for hosts that bind the library without its
// header.
#include "varda_kernels.h"

namespace {

struct Code {
    const char *name;
    long long value;
};

#define VARDA_CODE(name)                                                                           \
    { #name, name }
constexpr Code codes[] = {
    VARDA_CODE(VARDA_DTYPE_U8),   VARDA_CODE(VARDA_DTYPE_U16),    VARDA_CODE(VARDA_DTYPE_U32),
    VARDA_CODE(VARDA_DTYPE_U64),  VARDA_CODE(VARDA_DTYPE_I8),     VARDA_CODE(VARDA_DTYPE_I16),
    VARDA_CODE(VARDA_DTYPE_I32),  VARDA_CODE(VARDA_DTYPE_I64),    VARDA_CODE(VARDA_DTYPE_F16),
    VARDA_CODE(VARDA_DTYPE_F32),  VARDA_CODE(VARDA_DTYPE_F64),    VARDA_CODE(VARDA_DTYPE_COUNT),
    VARDA_CODE(VARDA_LOSSY_NONE), VARDA_CODE(VARDA_LOSSY_LINEAR), VARDA_CODE(VARDA_LOSSY_LOG),
    VARDA_CODE(VARDA_LOSSY_SQRT), VARDA_CODE(VARDA_NODATA_NONE),  VARDA_CODE(VARDA_NODATA_VALUE),
    VARDA_CODE(VARDA_NODATA_NAN),
};
#undef VARDA_CODE

} // namespace

extern "C" VARDA_API int varda_codes(int index, const char **name, long long *value) {
    if (index < 0 || static_cast<unsigned>(index) >= sizeof codes / sizeof codes[0]) return 1;
    if (name) *name = codes[index].name;
    if (value) *value = codes[index].value;
    return 0;
}
