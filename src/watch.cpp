#include "watch.hpp"

#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <utility>

#include "errors.hpp"

bool handles_signals() {
  // The main thread of this process: after a fork, the thread that forked.
  // Threads that run at once without the interpreter lock may both look it
  // up; they find the same thread, published before the process it is of.
  static std::atomic<unsigned long> main_thread{0};
  static std::atomic<pid_t> known_in{0};
  if (known_in.load(std::memory_order_acquire) != getpid()) {
    py::Ref threading = py::Ref::steal(PyImport_ImportModule("threading"));
    py::Ref main = py::Ref::steal(
        threading ? PyObject_CallMethod(threading.get(), "main_thread", nullptr) : nullptr);
    py::Ref ident = py::Ref::steal(main ? PyObject_GetAttrString(main.get(), "ident") : nullptr);
    const unsigned long value = ident ? PyLong_AsUnsignedLong(ident.get()) : 0;
    if (PyErr_Occurred()) {
      PyErr_Clear();
      return false;
    }
    main_thread.store(value, std::memory_order_relaxed);
    known_in.store(getpid(), std::memory_order_release);
  }
  return PyThread_get_thread_ident() == main_thread.load(std::memory_order_relaxed);
}

bool CallWatch::poll() noexcept {
  if (!signals_) return false;
  py::Locked locked;
  if (PyErr_CheckSignals() >= 0) return false;
  py::Ref raised = py::take_exception();
  if (!exception_) exception_ = std::move(raised);
  return true;
}

CallWatch* CallWatch::of(const ffmpeg::Watch& watch) noexcept {
  return watch.active() ? dynamic_cast<CallWatch*>(watch.interruption()) : nullptr;
}

void CallWatch::keep(ffmpeg::Watch& watch, py::Ref exception) noexcept {
  CallWatch* call = of(watch);
  if (call != nullptr && !call->exception_) call->exception_ = std::move(exception);
  watch.stop_by_caller();
}

int CallWatch::failed_call(ffmpeg::Watch& watch, int status) {
  if (!PyErr_Occurred()) return status;
  if (PyErr_ExceptionMatches(PyExc_Exception) || !watch.active()) {
    PyErr_Clear();
    return status;
  }
  keep(watch, py::take_exception());
  return AVERROR_EXIT;
}

bool CallWatch::check_signals(ffmpeg::Watch& watch) {
  if (!watch.active()) return false;
  if (watch.take_interrupt()) return true;
  if (PyErr_CheckSignals() < 0) keep(watch, py::take_exception());
  return watch.stopped();
}

bool CallWatch::raise() {
  if (exception_) {
    py::restore(std::move(exception_));
    return true;
  }
  if (stop.timed_out) {
    raise_error(ffmpeg::timeout_error(*stop.timed_out));
    return true;
  }
  if (stop.interrupted) {
    PyErr_SetString(PyExc_RuntimeError,
                    "interrupted: another thread asked this decoder to stop (Decoder.interrupt)");
    return true;
  }
  return false;
}
