// Custom input for in-memory bytes and Python file objects.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <variant>

#include "ffmpeg/error.hpp"
#include "ffmpeg/handles.hpp"
#include "ffmpeg/interrupt.hpp"
#include "ffmpeg/source.hpp"

namespace ffmpeg {

// How the custom I/O reads. `buffer_size` is the size of FFmpeg's I/O
// buffer, so the most one read asks for. `remote` is for file objects whose
// every call is a round trip (a network file): see FileCursor.
struct IoSettings {
  static constexpr int default_buffer_size = 32768;
  static constexpr int smallest_buffer_size = 4096;
  static constexpr int largest_buffer_size = 64 << 20;

  int buffer_size = default_buffer_size;
  bool remote = false;
};

// What a remote file-object reader knows of the object, so that it calls
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
  int largest = IoSettings::default_buffer_size;

  // The size to ask for when FFmpeg has room for `room` bytes.
  int read_size(int room) const { return room < window ? room : window; }
  // After a read from `start` (when known) that returned `count` bytes.
  void read(std::optional<std::int64_t> start, int count);
  void moved(std::int64_t to);
};

// Each reader polls the record's watch (owned by the record, which owns the
// reader too): the custom I/O reads do not go through the interrupt
// callback.
struct MemoryReader {
  Memory bytes;
  Watch* watch = nullptr;
  std::uint64_t position = 0;
};

struct FileReader {
  py::Ref object;
  Watch* watch = nullptr;
  std::optional<FileCursor> cursor;  // with IoSettings::remote
  // The I/O context over this reader, whose `pos` is where FFmpeg reads on.
  const AVIOContext* io = nullptr;
};

// The cursor behind the I/O callbacks; its address is FFmpeg's opaque pointer.
using Reader = std::variant<MemoryReader, FileReader>;

// The reader of bytes or a file object and the I/O context over it. The
// reader stays where it is allocated: the context and FFmpeg know it by its
// address.
struct CustomInput {
  std::unique_ptr<Reader> reader;
  IoContextPtr context;
};

// Sets up the reader, polling `watch`, and the I/O context over it.
Result<CustomInput> prepare_custom_io(Source&& source, Watch& watch, IoSettings settings);

// FFmpeg's read and seek callbacks over a Reader. They serve file objects as
// well as bytes, whatever their names say: the names are fixed and stay.
int read_memory(void* opaque, std::uint8_t* buffer, int size) noexcept;
std::int64_t seek_memory(void* opaque, std::int64_t offset, int whence) noexcept;

}  // namespace ffmpeg
