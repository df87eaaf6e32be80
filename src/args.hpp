// Binding of call arguments to parameters and their conversion, with the
// interpreter's usual TypeError wording.
#pragma once

#include "py.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace args {

// Binds positional and keyword arguments to `count` named parameters, the
// first `required` of them mandatory. `bound` receives borrowed references,
// null for parameters not given. Returns false with TypeError set.
bool bind(const char* function, const char* const* names, std::size_t count, std::size_t required,
          PyObject* args, PyObject* kwargs, PyObject** bound);

template <std::size_t N>
bool bind(const char* function, const std::array<const char*, N>& names, std::size_t required,
          PyObject* args, PyObject* kwargs, std::array<PyObject*, N>& bound) {
  return bind(function, names.data(), N, required, args, kwargs, bound.data());
}

// Conversions: each returns false with an exception set. Type errors read
// "argument '<name>': ...".
bool to_text(PyObject* value, const char* name, std::string& out);
bool to_int32(PyObject* value, const char* name, std::int32_t& out);
bool to_int64(PyObject* value, const char* name, std::int64_t& out);
bool to_bool(PyObject* value, const char* name, bool& out);

// Raises "argument '<name>': '<type>' object cannot be converted to '<target>'".
bool wrong_type(PyObject* value, const char* name, const char* target);

}  // namespace args
