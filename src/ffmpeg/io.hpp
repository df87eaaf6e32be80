// Custom input for in-memory bytes and Python file objects.
#pragma once

#include <cstdint>
#include <variant>

#include "ffmpeg/error.hpp"
#include "ffmpeg/interrupt.hpp"
#include "ffmpeg/source.hpp"

namespace ffmpeg {

class Decoder;

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
};

// The cursor behind the I/O callbacks; its address is FFmpeg's opaque pointer.
using Reader = std::variant<MemoryReader, FileReader>;

// Sets up the reader and the I/O context over it.
[[nodiscard]] Failure prepare_custom_io(Source&& source, Decoder& decoder);

int read_memory(void* opaque, std::uint8_t* buffer, int size) noexcept;
std::int64_t seek_memory(void* opaque, std::int64_t offset, int whence) noexcept;

}  // namespace ffmpeg
