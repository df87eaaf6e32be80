// A sample buffer allocated with the C allocator, handed from the media
// layer to the array that owns it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

namespace arrays {

enum class ElementType : std::uint8_t { uint8, uint16, float32 };

constexpr std::size_t element_size(ElementType type) {
  return type == ElementType::uint8 ? 1 : type == ElementType::uint16 ? 2 : 4;
}

struct CFree {
  void operator()(void* memory) const noexcept { std::free(memory); }
};

struct SampleBuffer {
  std::unique_ptr<std::uint8_t, CFree> data;
  std::size_t length = 0;    // elements in use
  std::size_t capacity = 0;  // elements allocated; 0 when nothing was
  ElementType type = ElementType::uint8;

  // Allocates `capacity` elements (at least one), zero-filled on request;
  // throws std::bad_alloc when the memory is not there.
  static SampleBuffer allocate(ElementType type, std::size_t length, std::size_t capacity,
                               bool zeroed);

  template <class T>
  T* as() const noexcept {
    return reinterpret_cast<T*>(data.get());
  }
};

}  // namespace arrays
