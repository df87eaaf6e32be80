// The one place where errors of the media layer become Python exceptions.
#pragma once

#include "py.hpp"

#include <array>

#include "ffmpeg/error.hpp"

// The exception classes a Decoder raises for the errors that carry a reason,
// in place of the built-in RuntimeError or ValueError (the `error_types`
// constructor argument). Each is a subclass of that built-in, so the default
// contract holds for a caller that catches the built-in; without any, the
// built-ins themselves are raised.
class ErrorTypes {
 public:
  // From `error_types`: null or None (the built-ins), or a dict of kind names
  // ("no_stream", "wrong_media_type", "no_decoder", "no_frame", "not_shown",
  // "shared_timestamps") to classes. False with TypeError or ValueError set.
  static bool parse(PyObject* value, ErrorTypes& out);

  // The class to raise `error` as (borrowed).
  PyObject* type_for(const ffmpeg::Error& error) const;
  int traverse(visitproc visit, void* arg) const;
  void clear() noexcept;

  // Makes `types` those of raise_error on this thread for the scope: an error
  // surfaces in many places of a method, all of which raise for the Decoder
  // whose method runs. Scopes nest (a file object's read may call another
  // Decoder).
  class Scope {
   public:
    explicit Scope(const ErrorTypes& types) noexcept;
    ~Scope();
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

   private:
    const ErrorTypes* previous_;
  };

 private:
  std::array<py::Ref, ffmpeg::Error::reasons> types_;
};

// Raises `error` as RuntimeError or ValueError, by its kind, or as the class
// the current ErrorTypes scope gives for its reason; returns null.
PyObject* raise_error(const ffmpeg::Error& error);

// The kind names of `error_types`, each mapped to the built-in class its
// errors are raised as by default: a new dict.
PyObject* error_kinds();
