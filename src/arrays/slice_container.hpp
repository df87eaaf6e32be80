// PySliceContainer: the owner object set as the base of every returned
// array; it frees its sample buffer when it goes away.
#pragma once

#include "py.hpp"

#include "arrays/buffer.hpp"

namespace arrays {

// A new owner of `buffer`; null with an exception set on failure (the
// buffer is then freed).
PyObject* slice_container(SampleBuffer&& buffer);

}  // namespace arrays
