#include "arrays/array.hpp"

#include <array>
#include <atomic>

#include "arrays/slice_container.hpp"

namespace arrays {

namespace {

// The few entries of NumPy's C API table this module uses; their slots are
// the same in NumPy 1.x and 2.x.
using npy_intp = Py_ssize_t;
constexpr int api_array_type = 2;
constexpr int api_descr_from_type = 45;
constexpr int api_new_from_descr = 94;
constexpr int api_set_base_object = 282;
constexpr int npy_ubyte = 2;
constexpr int npy_ushort = 4;
constexpr int npy_float = 11;
constexpr int npy_array_writeable = 0x0400;

using DescrFromType = PyObject* (*)(int);
using NewFromDescr = PyObject* (*)(PyTypeObject*, PyObject*, int, const npy_intp*, const npy_intp*,
                                   void*, int, PyObject*);
using SetBaseObject = int (*)(PyObject*, PyObject*);

void** load_api() {
  py::Ref module;
  for (const char* name : {"numpy._core.multiarray", "numpy.core.multiarray"}) {
    module = py::Ref::steal(PyImport_ImportModule(name));
    if (module) break;
  }
  py::Ref capsule =
      py::Ref::steal(module ? PyObject_GetAttrString(module.get(), "_ARRAY_API") : nullptr);
  void* table = capsule && PyCapsule_CheckExact(capsule.get())
                    ? PyCapsule_GetPointer(capsule.get(), nullptr)
                    : nullptr;
  if (table == nullptr)
    py::raise_instead(PyExc_ImportError, "Failed to access NumPy array API capsule");
  return static_cast<void**>(table);
}

// NumPy's API table, loaded once. Threads that find it unloaded at once
// (a free-threaded interpreter) each load it: the same table.
void** numpy_api() {
  static std::atomic<void**> api{nullptr};
  void** loaded = api.load(std::memory_order_acquire);
  if (loaded == nullptr) {
    loaded = load_api();
    if (loaded != nullptr) api.store(loaded, std::memory_order_release);
  }
  return loaded;
}

int type_number(ElementType type) {
  switch (type) {
    case ElementType::uint8:
      return npy_ubyte;
    case ElementType::uint16:
      return npy_ushort;
    case ElementType::float32:
      return npy_float;
  }
  return npy_ubyte;
}

}  // namespace

PyObject* make_array(SampleBuffer&& buffer, std::initializer_list<std::size_t> shape) {
  SampleBuffer owned = std::move(buffer);
  void** api = numpy_api();
  if (api == nullptr) return nullptr;

  const ElementType type = owned.type;
  void* data = owned.data.get();
  py::Ref owner = py::Ref::steal(slice_container(std::move(owned)));
  if (!owner) return nullptr;

  std::array<npy_intp, 4> dimensions{};
  std::array<npy_intp, 4> strides{};
  const int rank = static_cast<int>(shape.size());
  bool empty = false;
  int axis = 0;
  for (std::size_t extent : shape) {
    dimensions[axis++] = static_cast<npy_intp>(extent);
    empty = empty || extent == 0;
  }
  npy_intp stride = static_cast<npy_intp>(element_size(type));
  for (int i = rank - 1; i >= 0; --i) {
    strides[i] = empty ? 0 : stride;
    stride *= dimensions[i];
  }

  auto descr_from_type = reinterpret_cast<DescrFromType>(api[api_descr_from_type]);
  auto new_from_descr = reinterpret_cast<NewFromDescr>(api[api_new_from_descr]);
  auto set_base_object = reinterpret_cast<SetBaseObject>(api[api_set_base_object]);
  auto* array_type = static_cast<PyTypeObject*>(api[api_array_type]);

  PyObject* descr = descr_from_type(type_number(type));  // stolen by new_from_descr
  if (descr == nullptr) return py::fail();
  py::Ref array =
      py::Ref::steal(new_from_descr(array_type, descr, rank, dimensions.data(), strides.data(),
                                    data, npy_array_writeable, nullptr));
  if (!array) return py::fail();
  if (set_base_object(array.get(), owner.release()) < 0) return py::fail();
  return array.release();
}

}  // namespace arrays
