#include "calls.hpp"

#include <sys/types.h>
#include <unistd.h>

bool handles_signals() {
  // The main thread of this process: after a fork, the thread that forked.
  static unsigned long main_thread = 0;
  static pid_t known_in = 0;
  if (known_in != getpid()) {
    py::Ref threading = py::Ref::steal(PyImport_ImportModule("threading"));
    py::Ref main = py::Ref::steal(
        threading ? PyObject_CallMethod(threading.get(), "main_thread", nullptr) : nullptr);
    py::Ref ident = py::Ref::steal(main ? PyObject_GetAttrString(main.get(), "ident") : nullptr);
    const unsigned long value = ident ? PyLong_AsUnsignedLong(ident.get()) : 0;
    if (PyErr_Occurred()) {
      PyErr_Clear();
      return false;
    }
    main_thread = value;
    known_in = getpid();
  }
  return PyThread_get_thread_ident() == main_thread;
}

bool raise_stopped(ffmpeg::Stop& stop) {
  if (stop.exception) {
    py::restore(std::move(stop.exception));
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
