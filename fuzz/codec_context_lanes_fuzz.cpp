// The lane chain's section on its own (see context_section.h): sixteen
// lanes of tokens, strips of the predictor, narrow and ragged tiles alike.
#include "context_section.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    return fuzz_context::section(VARDA_CHAIN_CONTEXT_LANES, data, size);
}
