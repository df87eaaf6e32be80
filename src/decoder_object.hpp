// The Python `Decoder` object: the open media record it holds inline and the
// use counter that gives each call exclusive or shared use of it.
#pragma once

#include "py.hpp"

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <optional>

#include "errors.hpp"
#include "ffmpeg/decoder.hpp"
#include "ffmpeg/error.hpp"

namespace ffmpeg {
struct AudioBatch;
}

struct DecoderObject {
  PyObject_HEAD std::optional<ffmpeg::Decoder> state;  // empty once closed
  std::atomic<std::intptr_t> use;                      // 0 free, -1 exclusive, n > 0 shared by n
  // The process whose calls `use` counts. A forked child inherits the count
  // of the parent's calls at the fork, which no thread of the child will
  // ever give back: its first call starts the count afresh (see Use).
  pid_t counted_in;
  ErrorTypes errors;  // given at construction
};

inline DecoderObject* as_decoder(PyObject* object) {
  return reinterpret_cast<DecoderObject*>(object);
}

// One caller's use of a decoder object, given up when it goes out of scope.
// Taking use never waits. Use is taken with the interpreter lock held.
class Use {
 public:
  // Without raising: empty when the object is in use that conflicts.
  static std::optional<Use> try_exclusive(DecoderObject* self) noexcept;
  static std::optional<Use> try_shared(DecoderObject* self) noexcept;
  // Raising RuntimeError "Already borrowed" / "Already mutably borrowed".
  static std::optional<Use> exclusive(DecoderObject* self) noexcept;
  static std::optional<Use> shared(DecoderObject* self) noexcept;

  Use(Use&& other) noexcept
      : counter_(std::exchange(other.counter_, nullptr)), exclusive_(other.exclusive_) {}
  Use& operator=(Use&&) = delete;
  ~Use();

 private:
  Use(std::atomic<std::intptr_t>* counter, bool exclusive) noexcept
      : counter_(counter), exclusive_(exclusive) {}
  std::atomic<std::intptr_t>* counter_;
  bool exclusive_;
};

// The open record, or null with RuntimeError "decoder is closed".
ffmpeg::Decoder* open_record(DecoderObject* self);
// The open record for a call that reads media. In a forked child the
// record inherited from the parent is replaced by the same source opened
// afresh; one reading a file object fails instead. Null with an exception.
ffmpeg::Decoder* reading_record(DecoderObject* self);

// Creates the Decoder type (once per process); null with an exception set.
PyObject* decoder_type();

// Methods, defined next to the work they do.
PyObject* decoder_metadata(DecoderObject* self, PyObject* args, PyObject* kwargs);
PyObject* decoder_scan(DecoderObject* self, PyObject* args, PyObject* kwargs);
PyObject* decoder_decode_video(DecoderObject* self, PyObject* args, PyObject* kwargs);
PyObject* decoder_decode_timestamps(DecoderObject* self, PyObject* args, PyObject* kwargs);
// The (channels, samples) float32 array over a batch's samples, which it
// takes; null with an exception set. Shared by the two audio methods.
PyObject* audio_array(ffmpeg::AudioBatch& batch);
PyObject* decoder_decode_audio(DecoderObject* self, PyObject* args, PyObject* kwargs);
PyObject* decoder_decode_audio_range(DecoderObject* self, PyObject* args, PyObject* kwargs);
PyObject* decoder_audio_start_time(DecoderObject* self, PyObject* args, PyObject* kwargs);
// The static method Decoder.streams(source, *, timeout=None).
PyObject* decoder_streams(PyObject* unused, PyObject* args, PyObject* kwargs);
