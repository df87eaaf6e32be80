#include "errors.hpp"

PyObject* raise_error(const ffmpeg::Error& error) {
  PyObject* type = error.kind == ffmpeg::Error::Kind::value ? PyExc_ValueError : PyExc_RuntimeError;
  py::Ref message = py::Ref::steal(PyUnicode_DecodeUTF8(
      error.message.data(), static_cast<Py_ssize_t>(error.message.size()), "replace"));
  if (!message) return py::fail();
  PyErr_SetObject(type, message.get());
  return nullptr;
}
