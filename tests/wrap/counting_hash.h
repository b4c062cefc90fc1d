// Counts the XXH3-64 hashes taken by the objects linked into the test
// binary (the codec's among them): the binary is linked with
// --wrap=XXH3_64bits.
#pragma once

#include <cstddef>

namespace vt {

size_t hash_calls(); // since the binary started

} // namespace vt
