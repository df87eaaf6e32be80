// The input of a Python binary file object: its read() and seek() called
// under the interpreter lock from FFmpeg's I/O callbacks, which run with the
// lock released.
#pragma once

#include "py.hpp"

#include <cstdint>
#include <optional>

#include "ffmpeg/input.hpp"
#include "ffmpeg/io.hpp"

// What a remote file-object input knows of the object, so that it calls
// seek() only to move and asks for the end once (FFmpeg asks for the size
// several times while it opens a file, three calls each), and how much the
// next read asks for: reads after a seek start small, as a seek is often
// followed by a short read (headers, an index, the moov box at the end),
// and double while reading goes on in order, up to the buffer size, so a
// stretch of packets costs a few large reads.
struct FileCursor {
  static constexpr int first_read = 65536;

  std::optional<std::int64_t> position;  // unknown after a failed call
  std::optional<std::int64_t> size;
  int window = first_read;
  int largest = ffmpeg::IoSettings::default_buffer_size;

  // The size to ask for when FFmpeg has room for `room` bytes.
  int read_size(int room) const { return room < window ? room : window; }
  // After a read from `start` (when known) that returned `count` bytes.
  void read(std::optional<std::int64_t> start, int count);
  void moved(std::int64_t to);
};

// Each callback first gives up when the watch stopped the call, and after
// calling the object runs the signal handlers (a signal that arrives while
// `read` runs in C, as in io.BytesIO, is handled there, as the interpreter
// would after a call of its own). An exception raised by the object is
// cleared, unless it is one to raise in place of the call's result (see
// CallWatch::failed_call). The reference is dropped as any py::Ref: after
// the lock is back when the record goes with the lock released.
class FileInput final : public ffmpeg::Input {
 public:
  // With `io.remote`, reads and seeks go through a FileCursor.
  FileInput(py::Ref object, const ffmpeg::IoSettings& io);

  // Rewinds the object to its start; the error names the exception raised,
  // unless that is kept for the caller.
  ffmpeg::Failure start() override;
  int read(std::uint8_t* buffer, int size) override;
  std::int64_t seek(std::int64_t offset, int whence) override;
  std::int64_t size() override;

  PyObject* object() const { return object_.get(); }

 private:
  // After a failed call the object may stand anywhere: a remote input first
  // puts it back where FFmpeg goes on reading.
  bool restore_position();

  py::Ref object_;
  std::optional<FileCursor> cursor_;
};
