#include "args.hpp"

#include <climits>
#include <string>

namespace args {

namespace {

const char* plural(std::size_t n) { return n == 1 ? "" : "s"; }

bool too_many_positional(const char* function, std::size_t given, std::size_t required,
                         std::size_t count) {
  const std::string takes = required == count
                                ? std::to_string(count) + " positional argument" + plural(count)
                                : "from " + std::to_string(required) + " to " +
                                      std::to_string(count) + " positional arguments";
  PyErr_Format(PyExc_TypeError, "%s() takes %s but %zd %s given", function, takes.c_str(),
               static_cast<Py_ssize_t>(given), given == 1 ? "was" : "were");
  return false;
}

bool missing(const char* function, const char* const* names, std::size_t required,
             PyObject* const* bound) {
  std::size_t absent = 0;
  for (std::size_t i = 0; i < required; ++i) absent += bound[i] == nullptr;
  std::string list;
  std::size_t listed = 0;
  for (std::size_t i = 0; i < required; ++i) {
    if (bound[i] != nullptr) continue;
    if (listed > 0) list += absent == 2 ? " and " : (listed + 1 == absent ? ", and " : ", ");
    list += "'";
    list += names[i];
    list += "'";
    ++listed;
  }
  PyErr_Format(PyExc_TypeError, "%s() missing %zd required positional argument%s: %s", function,
               static_cast<Py_ssize_t>(absent), plural(absent), list.c_str());
  return false;
}

bool out_of_range(bool too_large) {
  PyErr_SetString(PyExc_OverflowError, too_large ? "number too large to fit in target type"
                                                 : "number too small to fit in target type");
  return false;
}

}  // namespace

bool bind(const char* function, const char* const* names, std::size_t count, std::size_t required,
          std::size_t keyword_only, PyObject* args, PyObject* kwargs, PyObject** bound) {
  for (std::size_t i = 0; i < count; ++i) bound[i] = nullptr;
  const Py_ssize_t given = args == nullptr ? 0 : PyTuple_Size(args);
  if (given < 0) return py::fail();
  if (static_cast<std::size_t>(given) > count - keyword_only) {
    return too_many_positional(function, given, required, count - keyword_only);
  }
  for (Py_ssize_t i = 0; i < given; ++i) bound[i] = PyTuple_GetItem(args, i);

  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject *key = nullptr, *value = nullptr;
    while (PyDict_Next(kwargs, &position, &key, &value)) {
      if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", function);
        return false;
      }
      std::size_t index = 0;
      while (index < count && PyUnicode_CompareWithASCIIString(key, names[index]) != 0) ++index;
      if (index == count) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function,
                     key);
        return false;
      }
      if (bound[index] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", function,
                     names[index]);
        return false;
      }
      bound[index] = value;
    }
  }
  for (std::size_t i = 0; i < required; ++i) {
    if (bound[i] == nullptr) return missing(function, names, required, bound);
  }
  return true;
}

bool named(const char* name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
  py::Ref error = py::take_exception();
  py::Ref text = py::Ref::steal(error ? PyObject_Str(error.get()) : nullptr);
  if (!text) return false;
  PyErr_Format(PyExc_TypeError, "argument '%s': %U", name, text.get());
  return false;
}

bool wrong_type(PyObject* value, const char* expected) {
  PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to '%s'",
               py::type_name(value).c_str(), expected);
  return false;
}

bool as_text(PyObject* value, std::string& out) {
  if (!PyUnicode_Check(value)) return wrong_type(value, "PyString");
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(value, &size);
  if (text == nullptr) return false;
  out.assign(text, size);
  return true;
}

bool as_bool(PyObject* value, bool& out) {
  if (PyBool_Check(value)) {
    out = value == Py_True;
    return true;
  }
  // NumPy's boolean scalar, through its own truth value.
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value));
  py::Ref module = py::Ref::steal(PyObject_GetAttrString(type, "__module__"));
  PyErr_Clear();
  const std::string name = py::type_name(value);
  if (module && PyUnicode_Check(module.get()) &&
      PyUnicode_CompareWithASCIIString(module.get(), "numpy") == 0 &&
      (name == "bool" || name == "bool_")) {
    const int truth = PyObject_IsTrue(value);
    if (truth < 0) return false;
    out = truth != 0;
    return true;
  }
  return wrong_type(value, "PyBool");
}

bool as_long(PyObject* value, std::int64_t& out) {
  py::Ref index = py::Ref::steal(PyNumber_Index(value));
  if (!index) return false;
  const long number = PyLong_AsLong(index.get());
  if (number == -1 && PyErr_Occurred()) return false;
  out = number;
  return true;
}

bool as_int32(PyObject* value, std::int32_t& out) {
  std::int64_t number = 0;
  if (!as_long(value, number)) return false;
  if (number > INT32_MAX || number < INT32_MIN) return out_of_range(number > 0);
  out = static_cast<std::int32_t>(number);
  return true;
}

bool as_double(PyObject* value, double& out) {
  const double number = PyFloat_AsDouble(value);
  if (number == -1.0 && PyErr_Occurred()) return false;
  out = number;
  return true;
}

bool as_tuple(PyObject* value, Py_ssize_t size, PyObject** items) {
  if (!PyTuple_Check(value)) return wrong_type(value, "PyTuple");
  const Py_ssize_t actual = PyTuple_Size(value);
  if (actual != size) {
    PyErr_Format(PyExc_ValueError, "expected tuple of length %zd, but got tuple of length %zd",
                 size, actual);
    return false;
  }
  for (Py_ssize_t i = 0; i < size; ++i) items[i] = PyTuple_GetItem(value, i);
  return true;
}

namespace detail {

bool begin_sequence(PyObject* sequence, Py_ssize_t& size_hint) {
  if (PyUnicode_Check(sequence)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(sequence)) return wrong_type(sequence, "Sequence");
  size_hint = PyObject_Size(sequence);
  if (size_hint < 0) {
    PyErr_Clear();
    size_hint = 0;
  }
  return true;
}

}  // namespace detail

}  // namespace args
