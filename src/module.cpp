// The module entry point: creates `_av` once per process with its three
// attributes, each also listed in `__all__`, and two private ones for the
// package (under the import lock, which serialises the entry point's calls).
#include "py.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "decoder_object.hpp"
#include "errors.hpp"
#include "ffmpeg/video_request.hpp"
#include "ffmpeg/error.hpp"

extern "C" {
#include <libavutil/avutil.h>
}

namespace {

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "_av", "", -1, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// Appends `name` to `__all__`, then sets the attribute; steals `value`.
bool add(PyObject* module, const char* name, PyObject* value) {
  py::Ref owned = py::Ref::steal(value);
  if (!owned) return false;
  py::Ref all = py::Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = py::Ref::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  }
  py::Ref text = py::Ref::steal(PyUnicode_FromString(name));
  if (!text || PyList_Append(all.get(), text.get()) < 0) return false;
  return PyModule_AddObjectRef(module, name, owned.get()) == 0;
}

// The output dtype names, a new tuple.
PyObject* output_dtypes() {
  py::Ref names = py::Ref::steal(PyTuple_New(ffmpeg::output_type_names.size()));
  if (!names) return nullptr;
  for (std::size_t i = 0; i < ffmpeg::output_type_names.size(); ++i) {
    const std::string_view name = ffmpeg::output_type_names[i];
    PyObject* text = PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
    if (text == nullptr || PyTuple_SetItem(names.get(), static_cast<Py_ssize_t>(i), text) < 0) {
      return nullptr;
    }
  }
  return names.release();
}

// Sets a private attribute, left out of `__all__`; steals `value`.
bool add_private(PyObject* module, const char* name, PyObject* value) {
  py::Ref owned = py::Ref::steal(value);
  return owned && PyModule_AddObjectRef(module, name, owned.get()) == 0;
}

PyObject* create_module() {
  py::Ref module = py::Ref::steal(PyModule_Create(&module_definition));
  if (!module) return nullptr;
#ifdef Py_GIL_DISABLED
  // Built for a free-threaded interpreter: the module keeps the interpreter
  // from turning the lock back on at import. Its calls take use of a
  // decoder atomically and guard the little state they share themselves.
  if (PyUnstable_Module_SetGIL(module.get(), Py_MOD_GIL_NOT_USED) < 0) return nullptr;
#endif
  const std::string version = ffmpeg::name(av_version_info()).value_or("");
  if (!add(module.get(), "Decoder", decoder_type()) ||
      !add(module.get(), "ffmpeg_version",
           PyUnicode_FromStringAndSize(version.data(), static_cast<Py_ssize_t>(version.size()))) ||
      !add(module.get(), "__version__", PyUnicode_FromString(QUORVEX_VERSION)) ||
      // What the package checks before it calls: defined here once.
      !add_private(module.get(), "_output_dtypes", output_dtypes()) ||
      !add_private(module.get(), "_error_kinds", error_kinds())) {
    return nullptr;
  }
  return module.release();
}

#if defined(Py_LIMITED_API) && !defined(Py_GIL_DISABLED)
// Whether the running interpreter is free-threaded, asked without touching
// a reference count: the stable ABI's inline reference counting does not fit
// such an interpreter's objects, so a stable-ABI build must not go on there
// (some interpreters still load `.abi3.so` files), nor can its inline type
// checks read an object's type there. sys.abiflags and the string's UTF-8
// form are borrowed; the conversion checks the type itself.
bool free_threaded_interpreter() {
  PyObject* flags = PySys_GetObject("abiflags");
  Py_ssize_t size = 0;
  const char* text = flags != nullptr ? PyUnicode_AsUTF8AndSize(flags, &size) : nullptr;
  if (text == nullptr) {
    PyErr_Clear();
    return false;
  }
  return std::string_view(text, static_cast<std::size_t>(size)).find('t') != std::string_view::npos;
}
#endif

}  // namespace

PyMODINIT_FUNC PyInit__av(void) {
#if defined(Py_LIMITED_API) && !defined(Py_GIL_DISABLED)
  if (free_threaded_interpreter()) {
    PyErr_SetString(PyExc_ImportError,
                    "this build of quorvex_av._av uses the stable ABI, which a free-threaded "
                    "interpreter does not have: build the package from source with this "
                    "interpreter (pip install --no-binary quorvex_av quorvex_av)");
    return nullptr;
  }
#endif
  static PyObject* module = nullptr;
  static std::int64_t interpreter = -1;
  const std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (module != nullptr) {
    if (current != interpreter) {
      PyErr_SetString(PyExc_ImportError,
                      "quorvex_av._av supports only one interpreter per process");
      return nullptr;
    }
    return Py_NewRef(module);
  }
  try {
    module = create_module();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  if (module == nullptr) return nullptr;
  interpreter = current;
  return Py_NewRef(module);
}
