#include "source.hpp"

#include <cstring>
#include <memory>

#include "file_input.hpp"

namespace {

std::optional<ffmpeg::Source> rejected() {
  PyErr_SetString(PyExc_ValueError, "source must be a path/URL or encoded bytes");
  return std::nullopt;
}

// hasattr() semantics: AttributeError means absent, other errors propagate.
// Returns 1 present, 0 absent, -1 error.
int has_attribute(PyObject* object, const char* name) {
  py::Ref attribute = py::Ref::steal(PyObject_GetAttrString(object, name));
  if (attribute) return 1;
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
  PyErr_Clear();
  return 0;
}

}  // namespace

std::optional<ffmpeg::Source> classify_source(PyObject* source, const ffmpeg::IoSettings& io) {
  if (PyUnicode_Check(source)) {
    Py_ssize_t size = 0;
    if (const char* text = PyUnicode_AsUTF8AndSize(source, &size)) {
      return ffmpeg::Path{std::string(text, size)};
    }
    PyErr_Clear();  // not encodable: falls through to the rejection below
  }
  if (PyBytes_Check(source)) {
    const auto size = static_cast<std::size_t>(PyBytes_Size(source));
    ffmpeg::Memory memory{std::make_unique_for_overwrite<std::uint8_t[]>(size), size};
    if (size > 0) std::memcpy(memory.data.get(), PyBytes_AsString(source), size);
    return memory;
  }
  const int has_read = has_attribute(source, "read");
  if (has_read < 0) return std::nullopt;
  if (has_read == 0) return rejected();
  const int has_seek = has_attribute(source, "seek");
  if (has_seek < 0) return std::nullopt;
  if (has_seek == 0) return rejected();
  // Made in place: GCC takes a moved variant temporary for uninitialised.
  return std::optional<ffmpeg::Source>(std::in_place,
                                       std::in_place_type<std::unique_ptr<ffmpeg::Input>>,
                                       std::make_unique<FileInput>(py::Ref::borrow(source), io));
}
