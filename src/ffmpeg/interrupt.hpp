// Ending a read early: the interrupt callback that FFmpeg polls while it
// reads, and the record of why a call was stopped.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <thread>

#include "py.hpp"

#include "ffmpeg/error.hpp"

extern "C" {
#include <libavformat/avformat.h>
}

namespace ffmpeg {

// Why one call that reads media stopped early, filled in while it runs and
// read at the Python boundary: an exception to raise in place of the call's
// result (raised by a signal handler, or a KeyboardInterrupt-like exception
// from a file object's read or seek), the read timeout, in seconds, or
// another thread's request to stop (see Watch::interrupt).
struct Stop {
  py::Ref exception;
  std::optional<double> timed_out;
  bool interrupted = false;
};

// "read timed out: ..." for a timeout of `seconds`.
Error timeout_error(double seconds);

// Watches the reads of one record. Between calls it lets everything through;
// during a call (see `Watching`) it stops FFmpeg once an exception has been
// kept, once the interpreter's signal handlers raise (checked at most every
// 50 ms, and at once after a system call that a signal interrupted, only on
// the thread that handles signals), once the input made no progress for
// the timeout, or once another thread asked it to (`interrupt`). FFmpeg may poll it from its own threads (the async protocol):
// those only see whether the call was stopped.
class Watch {
 public:
  explicit Watch(std::optional<double> timeout) : timeout_(timeout) {}
  Watch(const Watch&) = delete;
  Watch& operator=(const Watch&) = delete;

  AVIOInterruptCB callback() noexcept { return {&interrupted, this}; }
  std::optional<double> timeout() const noexcept { return timeout_; }
  // The container whose read position tells progress; may be null.
  AVFormatContext* input() const noexcept { return input_; }
  void watch_input(AVFormatContext* format) noexcept { input_ = format; }

  void begin(Stop& stop, bool signals) noexcept;
  void end() noexcept;

  // From any thread: the call running now, if any, stops at its next poll.
  // A call that starts meanwhile may miss it (it is not kept for the next).
  void interrupt() noexcept;

  // Whether the running call should stop now.
  bool poll() noexcept;
  bool stopped() const noexcept { return stopped_.load(std::memory_order_relaxed); }

  // For the file-object callbacks, with the interpreter lock held. After a
  // failed call of the object's method: an Exception is cleared and `status`
  // returned, anything else (KeyboardInterrupt, SystemExit ...) is kept for
  // the caller and AVERROR_EXIT returned.
  int failed_call(int status);
  // Runs the signal handlers during a call; keeps what they raise. Whether
  // the call should stop.
  bool check_signals();
  // A file object's read failed: the next call starts afresh, as after a
  // stop, rather than meet the error the I/O context keeps.
  void read_failed() noexcept { read_failed_ = true; }
  // Whether the last call that ended left its input in doubt: it was
  // stopped (a timeout, a signal, a kept exception), or a read of the input
  // failed (its I/O context holds the error). A connection may then be
  // dead, stalled or halfway through an answer.
  bool input_failed() const noexcept { return input_failed_; }

 private:
  using Clock = std::chrono::steady_clock;
  static int interrupted(void* opaque) noexcept;
  bool active() const noexcept { return caller_.load(std::memory_order_acquire) == std::this_thread::get_id(); }
  void keep(py::Ref exception) noexcept;
  void watch_progress(Clock::time_point now) noexcept;
  // Whether another thread asked the running call to stop (on its thread).
  bool take_interrupt() noexcept;

  std::optional<double> timeout_;
  AVFormatContext* input_ = nullptr;
  bool stopped_before_ = false;  // the last call was stopped or failed: its input keeps the error
  bool read_failed_ = false;
  bool input_failed_ = false;
  // The rest is touched only by the thread of the running call.
  Stop* stop_ = nullptr;
  bool signals_ = false;
  Clock::time_point next_signal_check_{};
  Clock::time_point quiet_since_{};
  Clock::time_point last_poll_{};
  std::int64_t last_position_ = -1;
  std::atomic<std::thread::id> caller_{};
  std::atomic<bool> stopped_{false};
  std::atomic<bool> interrupt_asked_{false};
};

// Watches one call on this thread for the current scope.
class Watching {
 public:
  Watching(Watch& watch, Stop& stop, bool signals) noexcept : watch_(watch) {
    watch.begin(stop, signals);
  }
  ~Watching() { watch_.end(); }
  Watching(const Watching&) = delete;
  Watching& operator=(const Watching&) = delete;

 private:
  Watch& watch_;
};

}  // namespace ffmpeg
