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
// The last `keyword_only` parameters can only be given by keyword.
bool bind(const char* function, const char* const* names, std::size_t count, std::size_t required,
          std::size_t keyword_only, PyObject* args, PyObject* kwargs, PyObject** bound);

template <std::size_t N>
bool bind(const char* function, const std::array<const char*, N>& names, std::size_t required,
          PyObject* args, PyObject* kwargs, std::array<PyObject*, N>& bound,
          std::size_t keyword_only = 0) {
  return bind(function, names.data(), N, required, keyword_only, args, kwargs, bound.data());
}

// Conversions of one value. Each returns false with an exception set; type
// errors do not name the argument yet (see `named`).
bool wrong_type(PyObject* value, const char* expected);  // "'T' object cannot be converted to 'E'"
bool as_text(PyObject* value, std::string& out);
bool as_bool(PyObject* value, bool& out);          // bool or NumPy's boolean scalar
bool as_long(PyObject* value, std::int64_t& out);  // a C long, with the interpreter's messages
// A C long that must also fit 32 bits: "number too large/small to fit in target type".
bool as_int32(PyObject* value, std::int32_t& out);
bool as_double(PyObject* value, double& out);
// A tuple of exactly `size` items, borrowed into `items`.
bool as_tuple(PyObject* value, Py_ssize_t size, PyObject** items);

// Calls `item(element)` for each element of a sequence (but not a str),
// sizing `reserve(n)` first from its length when that is known. A length is
// only the sequence's word, so the reservation is capped and an honest long
// sequence grows as its elements arrive.
template <class Reserve, class Item>
bool for_each(PyObject* sequence, Reserve&& reserve, Item&& item);

// After a failed conversion of argument `name`: a TypeError is replaced by
// one reading "argument '<name>': <its text>"; others pass unchanged.
// Returns false.
bool named(const char* name);

// The usual form: convert, naming the argument on failure.
template <class T, class Convert>
bool convert(PyObject* value, const char* name, Convert&& as, T& out) {
  return as(value, out) || named(name);
}

namespace detail {
bool begin_sequence(PyObject* sequence, Py_ssize_t& size_hint);
}

template <class Reserve, class Item>
bool for_each(PyObject* sequence, Reserve&& reserve, Item&& item) {
  Py_ssize_t size_hint = 0;
  if (!detail::begin_sequence(sequence, size_hint)) return false;
  constexpr Py_ssize_t most_reserved = 4096;
  reserve(static_cast<std::size_t>(size_hint < most_reserved ? size_hint : most_reserved));
  py::Ref iterator = py::Ref::steal(PyObject_GetIter(sequence));
  if (!iterator) return false;
  while (py::Ref element = py::Ref::steal(PyIter_Next(iterator.get()))) {
    if (!item(element.get())) return false;
  }
  return !PyErr_Occurred();
}

}  // namespace args
