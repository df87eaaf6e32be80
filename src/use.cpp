#include "decoder_object.hpp"

#include "calls.hpp"
#include "file_input.hpp"

#include <unistd.h>

namespace {

// In a forked child, the uses counted are those of calls that were running
// in the parent's other threads at the fork: those threads do not exist
// here, and their calls will never end. The count starts afresh at the
// child's first use; the record those calls left half-way is renewed by
// the next call that reads (see reading_record) or abandoned by close.
// Uses are taken with the interpreter lock held, so no other thread of the
// child takes one meanwhile, and none holds one yet (its `counted_in`
// would be this process).
void forget_other_processes(DecoderObject* self) noexcept {
  const pid_t here = getpid();
  if (self->counted_in == here) return;
  self->use.store(0, std::memory_order_relaxed);
  self->counted_in = here;
}

}  // namespace

std::optional<Use> Use::try_exclusive(DecoderObject* self) noexcept {
  forget_other_processes(self);
  std::intptr_t expected = 0;
  if (!self->use.compare_exchange_strong(expected, -1, std::memory_order_acquire))
    return std::nullopt;
  return Use(&self->use, true);
}

std::optional<Use> Use::try_shared(DecoderObject* self) noexcept {
  forget_other_processes(self);
  std::intptr_t current = self->use.load(std::memory_order_relaxed);
  while (current != -1) {
    if (self->use.compare_exchange_weak(current, current + 1, std::memory_order_acquire)) {
      return Use(&self->use, false);
    }
  }
  return std::nullopt;
}

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
  if (exclusive_) {
    counter_->store(0, std::memory_order_release);
  } else {
    counter_->fetch_sub(1, std::memory_order_release);
  }
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
  self->state.reset();  // abandons what the parent owns
  self->state.emplace(std::move(*renewed));
  return &*self->state;
}
