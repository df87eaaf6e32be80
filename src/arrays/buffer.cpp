#include "arrays/buffer.hpp"

#include <limits>
#include <new>

namespace arrays {

SampleBuffer SampleBuffer::allocate(ElementType type, std::size_t length, std::size_t capacity,
                                    bool zeroed) {
  const std::size_t count = capacity == 0 ? 1 : capacity;
  const std::size_t size = element_size(type);
  if (count > static_cast<std::size_t>(std::numeric_limits<std::ptrdiff_t>::max()) / size) {
    throw std::bad_alloc();
  }
  void* memory = zeroed ? std::calloc(count, size) : std::malloc(count * size);
  if (memory == nullptr) throw std::bad_alloc();
  SampleBuffer buffer;
  buffer.data.reset(static_cast<std::uint8_t*>(memory));
  buffer.length = length;
  buffer.capacity = count;
  buffer.type = type;
  return buffer;
}

}  // namespace arrays
