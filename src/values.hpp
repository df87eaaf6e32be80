// Python values made from C++ ones; null with an exception set on failure.
#pragma once

#include "py.hpp"

#include <cstdint>
#include <optional>
#include <string>

namespace values {

inline py::Ref none() { return py::Ref::borrow(Py_None); }
inline py::Ref integer(std::int64_t value) { return py::Ref::steal(PyLong_FromLongLong(value)); }
inline py::Ref real(double value) { return py::Ref::steal(PyFloat_FromDouble(value)); }
inline py::Ref boolean(bool value) { return py::Ref::steal(PyBool_FromLong(value)); }
inline py::Ref text(const std::string& value) {
  return py::Ref::steal(
      PyUnicode_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size())));
}

inline py::Ref text(const std::optional<std::string>& value) {
  return value ? text(*value) : none();
}
inline py::Ref real(const std::optional<double>& value) { return value ? real(*value) : none(); }
inline py::Ref integer(const std::optional<std::int64_t>& value) {
  return value ? integer(*value) : none();
}

}  // namespace values
