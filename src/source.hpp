// Classification of the constructor's `source` argument.
#pragma once

#include "py.hpp"

#include <optional>

#include "ffmpeg/source.hpp"

// A path (str), a copy of encoded bytes, or a file object (has `read` and
// `seek`). Empty with an exception set otherwise.
std::optional<ffmpeg::Source> classify_source(PyObject* source);
