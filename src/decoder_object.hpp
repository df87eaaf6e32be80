// The Python `Decoder` object: the open media record it holds inline and the
// use counter that gives each call exclusive or shared use of it.
#pragma once

#include "py.hpp"

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <utility>

#include "errors.hpp"
#include "ffmpeg/decoder.hpp"
#include "ffmpeg/error.hpp"

namespace ffmpeg {
struct AudioBatch;
}

struct DecoderObject {
  PyObject_HEAD std::optional<ffmpeg::Decoder> state;  // empty once closed
  // The count of calls using the object (0 free, -1 exclusive, n > 0 shared
  // by n) with, in the same word, the process that counts them: a forked
  // child inherits the count of the parent's calls at the fork, which no
  // thread of the child will ever give back, so a count recorded by another
  // process reads as free (see Use).
  std::atomic<std::uint64_t> use;
  // Held while the record is replaced or taken out, and by interrupt(),
  // which reaches the record without taking use (the call it stops holds
  // it). Never held across a call into Python or media work.
  std::mutex record_lock;
  ErrorTypes errors;  // given at construction
};

inline DecoderObject* as_decoder(PyObject* object) {
  return reinterpret_cast<DecoderObject*>(object);
}

// One caller's use of a decoder object, given up when it goes out of scope.
// Taking use never waits; it is one atomic step, so calls from threads that
// run without the interpreter lock (a free-threaded interpreter) get the
// same answers.
class Use {
 public:
  // Without raising: empty when the object is in use that conflicts.
  static std::optional<Use> try_exclusive(DecoderObject* self) noexcept;
  static std::optional<Use> try_shared(DecoderObject* self) noexcept;
  // Raising RuntimeError "Already borrowed" / "Already mutably borrowed".
  static std::optional<Use> exclusive(DecoderObject* self) noexcept;
  static std::optional<Use> shared(DecoderObject* self) noexcept;

  Use(Use&& other) noexcept
      : counter_(std::exchange(other.counter_, nullptr)),
        process_(other.process_),
        exclusive_(other.exclusive_) {}
  Use& operator=(Use&&) = delete;
  ~Use();

 private:
  Use(std::atomic<std::uint64_t>* counter, pid_t process, bool exclusive) noexcept
      : counter_(counter), process_(process), exclusive_(exclusive) {}
  static std::optional<Use> take(DecoderObject* self, bool exclusive) noexcept;
  std::atomic<std::uint64_t>* counter_;
  pid_t process_;  // the process whose count this use is part of
  bool exclusive_;
};

// The open record, or null with RuntimeError "decoder is closed".
ffmpeg::Decoder* open_record(DecoderObject* self);
// The open record for a call that reads media. In a forked child the
// record inherited from the parent is replaced by the same source opened
// afresh; one reading a file object fails instead. Null with an exception.
ffmpeg::Decoder* reading_record(DecoderObject* self);

// Sets the open record to `record` (or closes it, when empty) and returns
// the one it held, to be torn down by the caller outside the record lock.
std::optional<ffmpeg::Decoder> replace_record(DecoderObject* self,
                                              std::optional<ffmpeg::Decoder> record);

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
