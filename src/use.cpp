#include "decoder_object.hpp"

#include "calls.hpp"
#include "file_input.hpp"

#include <unistd.h>

namespace {

// The use word: the process that counts in the high half, the count (as a
// signed 32-bit number) in the low half.
constexpr std::uint64_t pack(pid_t process, std::int32_t count) noexcept {
  return (std::uint64_t{static_cast<std::uint32_t>(process)} << 32) |
         static_cast<std::uint32_t>(count);
}
constexpr pid_t process_of(std::uint64_t word) noexcept {
  return static_cast<pid_t>(static_cast<std::uint32_t>(word >> 32));
}
constexpr std::int32_t count_of(std::uint64_t word) noexcept {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(word));
}

}  // namespace

// In a forked child, the uses counted are those of calls that were running
// in the parent's other threads at the fork: those threads do not exist
// here, and their calls will never end. A count recorded by another process
// therefore reads as free, and the child's first use records its own, in
// the same compare-and-exchange that checks and takes it, so that threads
// of the child racing for their first use see one count. The record those
// calls left half-way is renewed by the next call that reads (see
// reading_record) or abandoned by close.
std::optional<Use> Use::take(DecoderObject* self, bool exclusive) noexcept {
  const pid_t here = getpid();
  std::uint64_t word = self->use.load(std::memory_order_relaxed);
  for (;;) {
    const std::int32_t count = process_of(word) == here ? count_of(word) : 0;
    if (exclusive ? count != 0 : count == -1) return std::nullopt;
    const std::uint64_t taken = pack(here, exclusive ? -1 : count + 1);
    if (self->use.compare_exchange_weak(word, taken, std::memory_order_acquire,
                                        std::memory_order_relaxed)) {
      return Use(&self->use, here, exclusive);
    }
  }
}

std::optional<Use> Use::try_exclusive(DecoderObject* self) noexcept { return take(self, true); }

std::optional<Use> Use::try_shared(DecoderObject* self) noexcept { return take(self, false); }

std::optional<Use> Use::exclusive(DecoderObject* self) noexcept {
  auto use = try_exclusive(self);
  if (!use) PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
  return use;
}

std::optional<Use> Use::shared(DecoderObject* self) noexcept {
  auto use = try_shared(self);
  if (!use) PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
  return use;
}

Use::~Use() {
  if (counter_ == nullptr) return;
  std::uint64_t word = counter_->load(std::memory_order_relaxed);
  // A use taken before a fork and given back in the child (by the thread
  // that forked) leaves the child's own count alone.
  while (process_of(word) == process_) {
    const std::uint64_t given = pack(process_, exclusive_ ? 0 : count_of(word) - 1);
    if (counter_->compare_exchange_weak(word, given, std::memory_order_release,
                                        std::memory_order_relaxed)) {
      return;
    }
  }
}

std::optional<ffmpeg::Decoder> replace_record(DecoderObject* self,
                                              std::optional<ffmpeg::Decoder> record) {
  std::optional<ffmpeg::Decoder> previous;
  std::lock_guard hold(self->record_lock);
  if (self->state) {
    previous.emplace(std::move(*self->state));
    self->state.reset();
  }
  if (record) self->state.emplace(std::move(*record));
  return previous;
}

ffmpeg::Decoder* open_record(DecoderObject* self) {
  if (!self->state) {
    PyErr_SetString(PyExc_RuntimeError, "decoder is closed");
    return nullptr;
  }
  return &*self->state;
}

ffmpeg::Decoder* reading_record(DecoderObject* self) {
  ffmpeg::Decoder* decoder = open_record(self);
  if (decoder == nullptr || !decoder->inherited()) return decoder;
  if (dynamic_cast<const FileInput*>(decoder->custom_input()) != nullptr) {
    // Parent and child would share the object's position, and the parent's
    // data.
    PyErr_SetString(PyExc_RuntimeError,
                    "a decoder reading a file object cannot be used in a forked child process; "
                    "open it in the child");
    return nullptr;
  }
  // The new record watches its own opening.
  auto renewed =
      opening_call([decoder](ffmpeg::Interruption& call) { return decoder->renewed(call); });
  if (!renewed) return nullptr;
  // The inherited record goes here, abandoning what the parent owns.
  (void)replace_record(self, std::move(renewed));
  return &*self->state;
}
