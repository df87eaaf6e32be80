// Sample buffers handed from the media layer to the arrays that own them.
//
// Large buffers are the cost that matters: faulting in fresh pages is slower
// than decoding. They are mapped with their pages filled in at once, or, for
// a buffer sized on a file's word (a video batch), filled in range by range
// as it is written, so a header that lies about the picture size costs no
// memory before a frame confirms it. A few released ones are kept for the
// next batch of a similar size (beyond 512 MB, the kernel may take their
// pages back when memory runs short).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace arrays {

enum class ElementType : std::uint8_t { uint8, uint16, float32 };

constexpr std::size_t element_size(ElementType type) {
  return type == ElementType::uint8 ? 1 : type == ElementType::uint16 ? 2 : 4;
}

// Frees a buffer of `bytes` bytes, or keeps it for reuse.
struct Release {
  std::size_t bytes = 0;
  void operator()(void* memory) const noexcept;
};

// When a buffer's memory is taken: all at once, or page by page as it is
// written (or committed).
enum class Pages : std::uint8_t { now, as_written };

struct SampleBuffer {
  std::unique_ptr<std::uint8_t, Release> data;
  std::size_t length = 0;  // elements in use
  ElementType type = ElementType::uint8;

  // Room for `capacity` elements (at least one), of unspecified content;
  // throws std::bad_alloc when the memory cannot be had.
  static SampleBuffer allocate(ElementType type, std::size_t length, std::size_t capacity,
                               Pages pages = Pages::now);

  // Fills in the pages of bytes [offset, offset + bytes) ahead of writing
  // them, in one system call rather than a fault per page; best effort.
  void commit(std::size_t offset, std::size_t bytes) const noexcept;

  template <class T>
  T* as() const noexcept {
    return reinterpret_cast<T*>(data.get());
  }
};

}  // namespace arrays
