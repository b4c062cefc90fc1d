// Lets the codec's tests make operator new fail: the test binary replaces
// the global allocation functions with ones that throw std::bad_alloc while
// failing is on.
#pragma once

namespace vt {

void fail_new(bool on);

} // namespace vt
