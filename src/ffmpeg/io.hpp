// Custom I/O: FFmpeg's read and seek callbacks over an Input (input.hpp),
// for media given as bytes or as an input of the caller's.
#pragma once

#include <cstdint>
#include <memory>

#include "ffmpeg/error.hpp"
#include "ffmpeg/handles.hpp"
#include "ffmpeg/input.hpp"
#include "ffmpeg/interrupt.hpp"
#include "ffmpeg/source.hpp"

namespace ffmpeg {

// How the custom I/O reads. `buffer_size` is the size of FFmpeg's I/O
// buffer, so the most one read asks for. `remote` is for inputs whose every
// call is a round trip (a network file object): the file-object input then
// moves and reads in its own way (FileCursor, src/file_input.hpp).
struct IoSettings {
  static constexpr int default_buffer_size = 32768;
  static constexpr int smallest_buffer_size = 4096;
  static constexpr int largest_buffer_size = 64 << 20;

  int buffer_size = default_buffer_size;
  bool remote = false;
};

// The input behind custom I/O and the I/O context over it.
struct CustomInput {
  std::unique_ptr<Input> input;
  IoContextPtr context;
};

// Starts the input of bytes or of the caller's (see Input::start), watched
// by `watch`, and sets up the I/O context over it.
Result<CustomInput> prepare_custom_io(Source&& source, Watch& watch, IoSettings settings);

// FFmpeg's read and seek callbacks over an Input, which is their opaque
// pointer; a size query goes to Input::size. They serve every input, whatever
// their names say: the names are fixed and stay. Nothing thrown gets past
// them.
int read_memory(void* opaque, std::uint8_t* buffer, int size) noexcept;
std::int64_t seek_memory(void* opaque, std::int64_t offset, int whence) noexcept;

}  // namespace ffmpeg
