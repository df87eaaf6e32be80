// The one place where errors of the media layer become Python exceptions.
#pragma once

#include "py.hpp"

#include "ffmpeg/error.hpp"

// Raises `error` as RuntimeError or ValueError, by its kind; returns null.
PyObject* raise_error(const ffmpeg::Error& error);
