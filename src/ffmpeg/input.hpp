// What custom I/O reads from: the interface that FFmpeg's read and seek
// callbacks call (see io.hpp), and its in-memory kind. Other kinds live
// with their callers (the Python file-object input is src/file_input.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "ffmpeg/error.hpp"
#include "ffmpeg/interrupt.hpp"

extern "C" {
#include <libavformat/avio.h>
}

namespace ffmpeg {

// Encoded media held in memory.
struct Memory {
  std::unique_ptr<std::uint8_t[]> data;
  std::size_t size = 0;
};

// One source of bytes behind an I/O context. It stays where it is
// allocated: the context and FFmpeg know it by its address. Only one
// thread uses it at a time (the record's calls do not overlap).
class Input {
 public:
  Input() = default;
  Input(const Input&) = delete;
  Input& operator=(const Input&) = delete;
  virtual ~Input() = default;

  // Called once as the decoder opens, before any read: brings the input to
  // its first byte (a file object is rewound). A failure ends the opening.
  [[nodiscard]] virtual Failure start() { return std::nullopt; }
  // Up to `size` bytes (at least 1) into `buffer`: how many, AVERROR_EOF at
  // the end, or an error status (AVERROR_EXIT once the watch stopped the
  // call).
  virtual int read(std::uint8_t* buffer, int size) = 0;
  // To `offset` from `whence` (SEEK_SET, SEEK_CUR, SEEK_END, or any other
  // value FFmpeg passes, without AVSEEK_SIZE and AVSEEK_FORCE): the new
  // position, or an error status.
  virtual std::int64_t seek(std::int64_t offset, int whence) = 0;
  // The total size in bytes, without moving; or an error status.
  virtual std::int64_t size() = 0;

  // The watch of the record's calls, which outlives the input; set before
  // start().
  Watch& watch() const { return *watch_; }
  // The I/O context over the input, whose `pos` is where FFmpeg reads on;
  // null until it is made (after start()).
  const AVIOContext* context() const { return context_; }

 private:
  // Sets the two above (io.cpp).
  friend void bind_input(Input& input, Watch& watch, const AVIOContext* context) noexcept;
  Watch* watch_ = nullptr;
  const AVIOContext* context_ = nullptr;
};

// Bytes held in memory. Each read polls the watch: custom I/O reads do not
// go through the interrupt callback.
class MemoryInput final : public Input {
 public:
  explicit MemoryInput(Memory bytes) : bytes_(std::move(bytes)) {}

  int read(std::uint8_t* buffer, int size) override;
  std::int64_t seek(std::int64_t offset, int whence) override;
  std::int64_t size() override { return static_cast<std::int64_t>(bytes_.size); }

  // The bytes, taken (for the same media opened afresh in a forked child).
  Memory take_bytes() { return std::move(bytes_); }

 private:
  Memory bytes_;
  std::uint64_t position_ = 0;
};

}  // namespace ffmpeg
