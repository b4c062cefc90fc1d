// The context-modelling chain's section on its own (see context_section.h).
#include "context_section.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    return fuzz_context::section(VARDA_CHAIN_CONTEXT_RANS, data, size);
}
