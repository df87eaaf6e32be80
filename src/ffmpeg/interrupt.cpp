#include "ffmpeg/interrupt.hpp"

#include <cerrno>
#include <cstdio>

namespace ffmpeg {

namespace {

// How often the caller's Interruption is polled: Ctrl-C ends a call within
// about this, plus the time to the next poll.
constexpr auto caller_interval = std::chrono::milliseconds(50);
// Network waits poll every 100 ms. Polls further apart than this mean that
// the thread was decoding in between, not waiting, so the quiet time
// restarts (the stream analysis at opening polls once per packet, and may
// decode many buffered packets without reading).
constexpr auto busy_gap = std::chrono::milliseconds(200);

}  // namespace

Error timeout_error(double seconds) {
  char text[64];
  std::snprintf(text, sizeof text, "%g", seconds);
  return Error::runtime(std::string("read timed out: the input sent no data for ") + text +
                        " seconds");
}

void Watch::begin(Interruption& caller) noexcept {
  // The I/O context keeps the status of the read that was stopped or
  // failed and reports it for every later read: a new call starts afresh.
  AVIOContext* io = input_ != nullptr ? input_->pb : nullptr;
  if (stopped_before_ && io != nullptr) {
    io->error = 0;
    io->eof_reached = 0;
  }
  stopped_before_ = false;
  interruption_ = &caller;
  const auto now = Clock::now();
  next_poll_ = now;
  quiet_since_ = last_poll_ = now;
  last_position_ = -1;
  stopped_.store(false, std::memory_order_relaxed);
  interrupt_asked_.store(false, std::memory_order_relaxed);
  caller_.store(std::this_thread::get_id(), std::memory_order_release);
}

void Watch::end() noexcept {
  const AVIOContext* io = input_ != nullptr ? input_->pb : nullptr;
  input_failed_ = stopped() || (io != nullptr && io->error < 0 && io->error != AVERROR_EOF);
  stopped_before_ = input_failed_ || read_failed_;
  read_failed_ = false;
  caller_.store(std::thread::id(), std::memory_order_release);
  interruption_ = nullptr;
  stopped_.store(false, std::memory_order_relaxed);
  interrupt_asked_.store(false, std::memory_order_relaxed);
}

void Watch::interrupt() noexcept {
  if (caller_.load(std::memory_order_acquire) != std::thread::id()) {
    interrupt_asked_.store(true, std::memory_order_relaxed);
  }
}

bool Watch::take_interrupt() noexcept {
  if (!interrupt_asked_.exchange(false, std::memory_order_relaxed)) return false;
  interruption_->stop.interrupted = true;
  stopped_.store(true, std::memory_order_relaxed);
  return true;
}

int Watch::interrupted(void* opaque) noexcept { return static_cast<Watch*>(opaque)->poll(); }

void Watch::watch_progress(Clock::time_point now) noexcept {
  const AVIOContext* io = input_ != nullptr ? input_->pb : nullptr;
  const std::int64_t position = io != nullptr ? io->pos : -1;
  if (position != last_position_ || now - last_poll_ > busy_gap) {
    last_position_ = position;
    quiet_since_ = now;
  } else if (std::chrono::duration<double>(now - quiet_since_).count() > *timeout_) {
    interruption_->stop.timed_out = *timeout_;
    stopped_.store(true, std::memory_order_relaxed);
  }
  last_poll_ = now;
}

bool Watch::poll() noexcept {
  if (stopped()) return true;
  if (!active()) return false;
  // A read that a signal interrupted returns with errno at EINTR, and FFmpeg
  // polls before it reads again: without a check now, the read would block
  // again with the signal unhandled. Cleared, so that it counts once.
  const bool signalled = errno == EINTR;
  if (signalled) errno = 0;
  if (take_interrupt()) return true;
  const auto now = Clock::now();
  if (timeout_) watch_progress(now);
  if (!stopped() && (signalled || now >= next_poll_)) {
    next_poll_ = now + caller_interval;
    if (interruption_->poll()) stop_by_caller();
  }
  return stopped();
}

void Watch::stop_by_caller() noexcept {
  if (interruption_ != nullptr) interruption_->stop.by_caller = true;
  stopped_.store(true, std::memory_order_relaxed);
}

}  // namespace ffmpeg
