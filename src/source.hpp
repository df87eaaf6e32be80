// Classification of the constructor's `source` argument.
#pragma once

#include "py.hpp"

#include <optional>

#include "ffmpeg/io.hpp"
#include "ffmpeg/source.hpp"

// A path (str), a copy of encoded bytes, or a file object (has `read` and
// `seek`), read as `io` says (see FileInput). Empty with an exception set
// otherwise.
std::optional<ffmpeg::Source> classify_source(PyObject* source, const ffmpeg::IoSettings& io);
