#include "arrays/buffer.hpp"

#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <mutex>
#include <new>
#include <optional>
#include <vector>

namespace arrays {

namespace {

// Under the address sanitizer every buffer comes from the checked heap and
// none is reused, so overruns and uses after release are still caught.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool checked_heap = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool checked_heap = true;
#else
constexpr bool checked_heap = false;
#endif
#else
constexpr bool checked_heap = false;
#endif

constexpr std::size_t rounding = std::size_t{2} << 20;
// Buffers from this size on are mapped on their own and may be reused.
constexpr std::size_t large = std::size_t{8} << 20;
// How many released buffers the pool may hold on to between batches: a
// stream read in batches by several decoders has about two per decoder in
// flight, each of which would otherwise be mapped and zeroed afresh (a tenth
// of the time of such a read on two decoders). Bytes are bounded below.
constexpr std::size_t pool_entries = 8;

// What the pool holds on to as it is; beyond it, kept pages are lent to the
// kernel (below).
constexpr std::size_t firm_bytes = std::size_t{512} << 20;

// What the pool may hold in all: an eighth of the machine's memory, at least
// `firm_bytes` and at most 4 GB.
std::size_t pool_limit() noexcept {
  constexpr std::size_t floor = firm_bytes;
  constexpr std::size_t ceiling = std::size_t{4} << 30;
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page_size = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || page_size <= 0) return floor;
  const std::size_t eighth =
      static_cast<std::size_t>(pages) / 8 * static_cast<std::size_t>(page_size);
  return std::clamp(eighth, floor, ceiling);
}

// A fresh mapping, with its page tables filled in by one system call when
// asked (about half the cost of taking one page fault per page while
// writing); else its pages read as zeros and take memory once written.
void* map_fresh(std::size_t bytes, bool populate) noexcept {
  int flags = MAP_PRIVATE | MAP_ANONYMOUS;
#ifdef MAP_POPULATE
  if (populate) flags |= MAP_POPULATE;
#endif
  void* memory = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, flags, -1, 0);
  return memory == MAP_FAILED ? nullptr : memory;
}

// While kept, a buffer's pages are the kernel's to take back when memory
// runs short; until it does, they are reused without faulting them in again.
void lend_to_kernel(void* memory, std::size_t bytes) noexcept {
#ifdef MADV_FREE
  madvise(memory, bytes, MADV_FREE);
#else
  (void)memory;
  (void)bytes;
#endif
}

struct Kept {
  void* memory;
  std::size_t bytes;
};

// Released large buffers, shared by all decoders. Taken with the
// interpreter lock released, given back with it held: a mutex guards it.
class Pool {
 public:
  // A kept buffer of at least `bytes` (and not twice as large), with its
  // own size, or nothing.
  std::optional<Kept> take(std::size_t bytes) {
    std::lock_guard lock(mutex_);
    auto best = kept_.end();
    for (auto it = kept_.begin(); it != kept_.end(); ++it) {
      if (it->bytes >= bytes && it->bytes / 2 <= bytes &&
          (best == kept_.end() || it->bytes < best->bytes)) {
        best = it;
      }
    }
    if (best == kept_.end()) return std::nullopt;
    const Kept found = *best;
    held_ -= found.bytes;
    kept_.erase(best);
    return found;
  }

  // Keeps the buffer if there is room, else unmaps it. Pages are lent
  // before the buffer is listed: once listed, another thread may take it.
  void give_back(void* memory, std::size_t bytes) noexcept {
    const Room room = room_for(bytes);
    if (room == Room::none) {
      munmap(memory, bytes);
      return;
    }
    if (room == Room::lent) lend_to_kernel(memory, bytes);
    if (!keep(memory, bytes)) munmap(memory, bytes);
  }

  void lock() { mutex_.lock(); }
  void unlock() { mutex_.unlock(); }

 private:
  enum class Room { none, firm, lent };

  Room room_for(std::size_t bytes) {
    std::lock_guard lock(mutex_);
    if (kept_.size() >= pool_entries || held_ + bytes > limit_) return Room::none;
    return held_ + bytes <= firm_bytes ? Room::firm : Room::lent;
  }

  bool keep(void* memory, std::size_t bytes) noexcept {
    std::lock_guard lock(mutex_);
    if (kept_.size() >= pool_entries || held_ + bytes > limit_) return false;
    try {
      kept_.push_back({memory, bytes});
    } catch (...) {
      return false;
    }
    held_ += bytes;
    return true;
  }

  std::mutex mutex_;
  std::vector<Kept> kept_;
  std::size_t held_ = 0;
  const std::size_t limit_ = pool_limit();
};

Pool& pool() {
  // Never destroyed: arrays may outlive exit handlers.
  static Pool* instance = [] {
    auto* created = new Pool();
    // A process forked while another thread holds the lock would find it
    // held forever: forking waits for the lock and both sides release it.
    pthread_atfork([] { pool().lock(); }, [] { pool().unlock(); }, [] { pool().unlock(); });
    return created;
  }();
  return *instance;
}

// Rounded up so that buffers of nearby sizes can take each other's place;
// `bytes` becomes the size of the buffer returned, which a reused one may
// exceed. (Huge pages were tried: where the kernel compacts memory to make
// them, the first touch of a large batch got slower, not faster.)
void* allocate_large(std::size_t& bytes, bool populate) {
  bytes = (bytes + rounding - 1) / rounding * rounding;
  if (const auto kept = pool().take(bytes)) {
    bytes = kept->bytes;
    return kept->memory;
  }
  return map_fresh(bytes, populate);
}

bool is_large(std::size_t bytes) { return !checked_heap && bytes >= large; }

}  // namespace

void Release::operator()(void* memory) const noexcept {
  if (is_large(bytes)) {
    pool().give_back(memory, bytes);
  } else {
    std::free(memory);
  }
}

SampleBuffer SampleBuffer::allocate(ElementType type, std::size_t length, std::size_t capacity,
                                    Pages pages) {
  const std::size_t count = capacity == 0 ? 1 : capacity;
  const std::size_t size = element_size(type);
  if (count > static_cast<std::size_t>(std::numeric_limits<std::ptrdiff_t>::max()) / size) {
    throw std::bad_alloc();
  }
  std::size_t bytes = count * size;
  void* memory = nullptr;
  if (is_large(bytes)) {
    memory = allocate_large(bytes, pages == Pages::now);
  } else {
    memory = std::malloc(bytes);
  }
  if (memory == nullptr) throw std::bad_alloc();
  SampleBuffer buffer;
  buffer.data =
      std::unique_ptr<std::uint8_t, Release>(static_cast<std::uint8_t*>(memory), Release{bytes});
  buffer.length = length;
  buffer.type = type;
  return buffer;
}

void SampleBuffer::commit(std::size_t offset, std::size_t bytes) const noexcept {
  // Small buffers come from the heap, already resident or cheap to fault.
  if (!is_large(data.get_deleter().bytes) || bytes == 0) return;
#ifdef MADV_POPULATE_WRITE
  static const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  const auto begin = reinterpret_cast<std::uintptr_t>(data.get()) + offset;
  const std::uintptr_t first = begin / page * page;
  // Kernels without it refuse the advice; the writes then fault pages in.
  madvise(reinterpret_cast<void*>(first), begin + bytes - first, MADV_POPULATE_WRITE);
#else
  (void)offset;
  (void)bytes;
#endif
}

}  // namespace arrays
