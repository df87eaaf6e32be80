#include "arrays/slice_container.hpp"

#include <atomic>
#include <memory>
#include <new>

namespace arrays {

namespace {

struct SliceContainer {
  PyObject_HEAD SampleBuffer buffer;
};

void slice_container_dealloc(PyObject* object) {
  PyTypeObject* type = Py_TYPE(object);
  std::destroy_at(&reinterpret_cast<SliceContainer*>(object)->buffer);
  auto free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free(object);
  Py_DECREF(type);
}

PyType_Slot slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(slice_container_dealloc)},
    {0, nullptr},
};

PyType_Spec spec = {
    "quorvex_av._av.PySliceContainer",
    static_cast<int>(sizeof(SliceContainer)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    slots,
};

// Made by the first array. Threads making their first arrays at once (a
// free-threaded interpreter) may each make one: the first published is
// kept and the others dropped. Not a guarded static, whose waiters would
// block while attached to the interpreter.
PyObject* container_type() {
  static std::atomic<PyObject*> type{nullptr};
  PyObject* known = type.load(std::memory_order_acquire);
  if (known != nullptr) return known;
  PyObject* made = PyType_FromSpec(&spec);
  if (made == nullptr) return nullptr;
  if (!type.compare_exchange_strong(known, made, std::memory_order_acq_rel)) {
    Py_DECREF(made);
    return known;
  }
  return made;
}

PyObject* failed() {
  return py::raise_instead(PyExc_RuntimeError, "Failed to create slice container");
}

}  // namespace

PyObject* slice_container(SampleBuffer&& buffer) {
  SampleBuffer owned = std::move(buffer);
  auto* type = reinterpret_cast<PyTypeObject*>(container_type());
  if (type == nullptr) return failed();
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* object = alloc(type, 0);
  if (object == nullptr) return failed();
  new (&reinterpret_cast<SliceContainer*>(object)->buffer) SampleBuffer(std::move(owned));
  return object;
}

}  // namespace arrays
