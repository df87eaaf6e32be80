// Owning handles for Python references and guards for the interpreter lock.
//
// A `py::Ref` owns one strong reference. Dropping it while this thread has
// released the lock through `py::without_lock` does not touch the object: the
// reference is queued and released once the lock is taken back.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>
#include <utility>

namespace py {

namespace detail {
// True while this thread runs media work with the interpreter lock released.
inline thread_local bool lock_released = false;
void defer_release(PyObject* object) noexcept;
void release_deferred() noexcept;
}  // namespace detail

class Ref {
 public:
  Ref() noexcept = default;
  // Takes over a new reference (may be null).
  static Ref steal(PyObject* object) noexcept { return Ref(object); }
  // Adds a reference to a borrowed one.
  static Ref borrow(PyObject* object) noexcept {
    Py_XINCREF(object);
    return Ref(object);
  }

  Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      reset();
      object_ = std::exchange(other.object_, nullptr);
    }
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { reset(); }

  PyObject* get() const noexcept { return object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }
  // Hands the reference to the caller.
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }

  void reset() noexcept {
    if (PyObject* object = std::exchange(object_, nullptr)) {
      if (detail::lock_released) {
        detail::defer_release(object);
      } else {
        Py_DECREF(object);
      }
    }
  }

 private:
  explicit Ref(PyObject* object) noexcept : object_(object) {}
  PyObject* object_ = nullptr;
};

// Takes the interpreter lock for the current scope from a thread that runs
// with it released (the file-object I/O callbacks).
class Locked {
 public:
  Locked() noexcept
      : state_(PyGILState_Ensure()), previous_(std::exchange(detail::lock_released, false)) {}
  ~Locked() {
    detail::lock_released = previous_;
    PyGILState_Release(state_);
  }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;

 private:
  PyGILState_STATE state_;
  bool previous_;
};

// Runs `work` with the interpreter lock released. `work` must not touch a
// Python object; references it drops are released after the lock is back.
template <class Work>
decltype(auto) without_lock(Work&& work) {
  struct Unlocked {
    PyThreadState* state = PyEval_SaveThread();
    bool previous = std::exchange(detail::lock_released, true);
    ~Unlocked() {
      PyEval_RestoreThread(state);
      detail::lock_released = previous;
      detail::release_deferred();
    }
  } unlocked;
  return std::forward<Work>(work)();
}

// Takes the pending exception out of the interpreter, normalised and with
// its traceback attached; null when none is pending.
Ref take_exception() noexcept;

// Raises `exception` again, with the traceback it carries.
void restore(Ref exception) noexcept;

// Replaces the pending exception (if any) by `type` with the message
// "<message>: <the pending exception's text>", or just `message`; returns null.
PyObject* raise_instead(PyObject* type, const char* message);

// For a C-API call that failed: make sure an exception is set.
PyObject* fail() noexcept;

// `type(object).__name__`, or "object" when even that fails.
std::string type_name(PyObject* object);

}  // namespace py
