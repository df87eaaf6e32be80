#include "arrays/buffer.hpp"

#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>
#include <new>
#include <vector>

namespace arrays {

namespace {

constexpr std::size_t rounding = std::size_t{2} << 20;
// Buffers from this size on may be reused.
constexpr std::size_t large = std::size_t{8} << 20;
// What the pool may hold on to between batches.
constexpr std::size_t pool_entries = 2;
constexpr std::size_t pool_bytes = std::size_t{512} << 20;

struct Kept {
  void* memory;
  std::size_t bytes;
};

// Released large buffers, shared by all decoders. Taken with the
// interpreter lock released, given back with it held: a mutex guards it.
class Pool {
 public:
  // A kept buffer of at least `bytes` (and not twice as large), or null.
  void* take(std::size_t bytes) {
    std::lock_guard lock(mutex_);
    auto best = kept_.end();
    for (auto it = kept_.begin(); it != kept_.end(); ++it) {
      if (it->bytes >= bytes && it->bytes / 2 <= bytes &&
          (best == kept_.end() || it->bytes < best->bytes)) {
        best = it;
      }
    }
    if (best == kept_.end()) return nullptr;
    void* memory = best->memory;
    held_ -= best->bytes;
    kept_.erase(best);
    return memory;
  }

  // Keeps the buffer if there is room, else frees it.
  void give_back(void* memory, std::size_t bytes) noexcept {
    {
      std::lock_guard lock(mutex_);
      if (kept_.size() < pool_entries && held_ + bytes <= pool_bytes) {
        try {
          kept_.push_back({memory, bytes});
          held_ += bytes;
          return;
        } catch (...) {
        }
      }
    }
    std::free(memory);
  }

 private:
  std::mutex mutex_;
  std::vector<Kept> kept_;
  std::size_t held_ = 0;
};

Pool& pool() {
  static Pool* instance = new Pool();  // never destroyed: arrays may outlive exit handlers
  return *instance;
}

// Rounded up so that buffers of nearby sizes can take each other's place.
// (Huge pages were tried: where the kernel compacts memory to make them,
// the first touch of a large batch got slower, not faster.)
void* allocate_large(std::size_t& bytes) {
  bytes = (bytes + rounding - 1) / rounding * rounding;
  if (void* memory = pool().take(bytes)) return memory;
  return std::malloc(bytes);
}

}  // namespace

void Release::operator()(void* memory) const noexcept {
  if (bytes >= large) {
    pool().give_back(memory, bytes);
  } else {
    std::free(memory);
  }
}

SampleBuffer SampleBuffer::allocate(ElementType type, std::size_t length, std::size_t capacity,
                                    bool zeroed) {
  const std::size_t count = capacity == 0 ? 1 : capacity;
  const std::size_t size = element_size(type);
  if (count > static_cast<std::size_t>(std::numeric_limits<std::ptrdiff_t>::max()) / size) {
    throw std::bad_alloc();
  }
  std::size_t bytes = count * size;
  void* memory = nullptr;
  if (bytes >= large) {
    memory = allocate_large(bytes);
    if (memory != nullptr && zeroed) std::memset(memory, 0, bytes);
  } else {
    memory = zeroed ? std::calloc(count, size) : std::malloc(bytes);
  }
  if (memory == nullptr) throw std::bad_alloc();
  SampleBuffer buffer;
  buffer.data =
      std::unique_ptr<std::uint8_t, Release>(static_cast<std::uint8_t*>(memory), Release{bytes});
  buffer.length = length;
  buffer.capacity = count;
  buffer.type = type;
  return buffer;
}

}  // namespace arrays
