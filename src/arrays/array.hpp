// NumPy arrays over module-owned sample buffers, reached through NumPy's C
// API capsule; the array's base is a PySliceContainer that frees the buffer.
#pragma once

#include "py.hpp"

#include <cstddef>
#include <initializer_list>

#include "arrays/buffer.hpp"

namespace arrays {

// A C-contiguous, writeable array of `shape` over `buffer`, which it takes
// over (also on failure). Null with an exception set on failure.
PyObject* make_array(SampleBuffer&& buffer, std::initializer_list<std::size_t> shape);

}  // namespace arrays
