#include "py.hpp"

#include <string>
#include <vector>

namespace py {

namespace detail {

namespace {
thread_local std::vector<PyObject*> deferred;
}  // namespace

void defer_release(PyObject* object) noexcept {
  try {
    deferred.push_back(object);
  } catch (...) {
    // Out of memory: leaking one reference beats touching it unlocked.
  }
}

void release_deferred() noexcept {
  while (!deferred.empty()) {
    PyObject* object = deferred.back();
    deferred.pop_back();
    Py_DECREF(object);
  }
}

}  // namespace detail

Ref take_exception() noexcept {
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) return {};
  PyErr_NormalizeException(&type, &value, &traceback);
  if (value != nullptr && traceback != nullptr) PyException_SetTraceback(value, traceback);
  Py_XDECREF(type);
  Py_XDECREF(traceback);
  return Ref::steal(value);
}

void restore(Ref exception) noexcept {
  PyObject* value = exception.release();
  PyObject* type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value)));
  PyErr_Restore(type, value, PyException_GetTraceback(value));
}

PyObject* raise_instead(PyObject* type, const char* message) {
  Ref cause = take_exception();
  Ref text = Ref::steal(cause ? PyObject_Str(cause.get()) : nullptr);
  PyErr_Clear();
  if (text) {
    PyErr_Format(type, "%s: %U", message, text.get());
  } else {
    PyErr_SetString(type, message);
  }
  return nullptr;
}

PyObject* fail() noexcept {
  if (!PyErr_Occurred()) {
    PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
  }
  return nullptr;
}

std::string type_name(PyObject* object) {
  Ref name =
      Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__name__"));
  Py_ssize_t size = 0;
  const char* text = name ? PyUnicode_AsUTF8AndSize(name.get(), &size) : nullptr;
  if (text == nullptr) {
    PyErr_Clear();
    return "object";
  }
  return std::string(text, size);
}

}  // namespace py
