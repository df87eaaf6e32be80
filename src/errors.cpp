#include "errors.hpp"

#include <cstddef>
#include <string>
#include <string_view>

namespace {

using Reason = ffmpeg::Error::Reason;

struct KindName {
  std::string_view name;
  Reason reason;
  bool value;  // raised as ValueError by default, else RuntimeError
};

constexpr std::array<KindName, ffmpeg::Error::reasons - 1> kind_names{{
    {"no_stream", Reason::no_stream, true},
    {"wrong_media_type", Reason::wrong_media_type, true},
    {"no_decoder", Reason::no_decoder, false},
    {"no_frame", Reason::no_frame, false},
    {"not_shown", Reason::not_shown, false},
    {"shared_timestamps", Reason::shared_timestamps, false},
}};

// "no_stream, wrong_media_type, ...", for the message of an unknown kind.
const std::string& kinds_listed() {
  static const std::string listed = [] {
    std::string text;
    for (const KindName& kind : kind_names) {
      if (!text.empty()) text += ", ";
      text += kind.name;
    }
    return text;
  }();
  return listed;
}

thread_local const ErrorTypes* current = nullptr;

const KindName* find_kind(std::string_view name) {
  for (const KindName& kind : kind_names) {
    if (kind.name == name) return &kind;
  }
  return nullptr;
}

PyObject* builtin(bool value) { return value ? PyExc_ValueError : PyExc_RuntimeError; }

}  // namespace

bool ErrorTypes::parse(PyObject* value, ErrorTypes& out) {
  if (value == nullptr || value == Py_None) return true;
  if (!PyDict_Check(value)) {
    PyErr_SetString(PyExc_TypeError,
                    "error_types must be a dict of error kind names to exception classes");
    return false;
  }
  // A copy of its own: a key's __repr__ (in a message below) cannot change it
  // while it is walked.
  py::Ref items = py::Ref::steal(PyDict_Copy(value));
  if (!items) return false;
  Py_ssize_t position = 0;
  PyObject* key = nullptr;
  PyObject* type = nullptr;
  while (PyDict_Next(items.get(), &position, &key, &type)) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, &size) : nullptr;
    if (text == nullptr) {
      PyErr_Clear();
      PyErr_SetString(PyExc_TypeError, "error kind names must be str");
      return false;
    }
    const KindName* kind = find_kind({text, static_cast<std::size_t>(size)});
    if (kind == nullptr) {
      PyErr_Format(PyExc_ValueError, "unknown error kind %R (kinds: %s)", key,
                   kinds_listed().c_str());
      return false;
    }
    PyObject* base = builtin(kind->value);
    if (!PyType_Check(type) || !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(type),
                                                 reinterpret_cast<PyTypeObject*>(base))) {
      PyErr_Format(PyExc_TypeError, "error_types[%R] must be a subclass of %s", key,
                   kind->value ? "ValueError" : "RuntimeError");
      return false;
    }
    out.types_[static_cast<std::size_t>(kind->reason)] = py::Ref::borrow(type);
  }
  return true;
}

PyObject* ErrorTypes::type_for(const ffmpeg::Error& error) const {
  const py::Ref& chosen = types_[static_cast<std::size_t>(error.reason)];
  if (chosen) return chosen.get();
  return builtin(error.kind == ffmpeg::Error::Kind::value);
}

int ErrorTypes::traverse(visitproc visit, void* arg) const {
  for (const py::Ref& type : types_) Py_VISIT(type.get());
  return 0;
}

void ErrorTypes::clear() noexcept {
  for (py::Ref& type : types_) type.reset();
}

ErrorTypes::Scope::Scope(const ErrorTypes& types) noexcept : previous_(current) {
  current = &types;
}

ErrorTypes::Scope::~Scope() { current = previous_; }

PyObject* raise_error(const ffmpeg::Error& error) {
  PyObject* type = current != nullptr
                       ? current->type_for(error)
                       : builtin(error.kind == ffmpeg::Error::Kind::value);
  py::Ref message = py::Ref::steal(PyUnicode_DecodeUTF8(
      error.message.data(), static_cast<Py_ssize_t>(error.message.size()), "replace"));
  if (!message) return py::fail();
  PyErr_SetObject(type, message.get());
  return nullptr;
}

PyObject* error_kinds() {
  py::Ref kinds = py::Ref::steal(PyDict_New());
  if (!kinds) return nullptr;
  for (const KindName& kind : kind_names) {
    const std::string name(kind.name);
    if (PyDict_SetItemString(kinds.get(), name.c_str(), builtin(kind.value)) < 0) return nullptr;
  }
  return kinds.release();
}
