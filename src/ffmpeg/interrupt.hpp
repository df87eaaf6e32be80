// Ending a read early: the interrupt callback that FFmpeg polls while it
// reads, the caller's side of that (Interruption), and the record of why a
// call was stopped.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <thread>

#include "ffmpeg/error.hpp"

extern "C" {
#include <libavformat/avformat.h>
}

namespace ffmpeg {

// Why one call that reads media stopped early, filled in while it runs and
// read when it returns: its caller's Interruption asked it to (which keeps
// its own reason, such as the exception a signal handler raised), the read
// timeout, in seconds, or another thread's request to stop (see
// Watch::interrupt).
struct Stop {
  bool by_caller = false;
  std::optional<double> timed_out;
  bool interrupted = false;
};

// The side that starts a call which reads media: asked during the call
// whether to stop, and told why the call stopped. The base asks nothing.
class Interruption {
 public:
  Interruption() = default;
  Interruption(const Interruption&) = delete;
  Interruption& operator=(const Interruption&) = delete;
  virtual ~Interruption() = default;

  // Whether the running call should stop now. Called on the call's thread
  // only, by the watch, at most every 50 ms and at once after a system call
  // that a signal interrupted.
  virtual bool poll() noexcept { return false; }

  Stop stop;
};

// "read timed out: ..." for a timeout of `seconds`.
Error timeout_error(double seconds);

// Watches the reads of one record. Between calls it lets everything through;
// during a call (see `Watching`) it stops FFmpeg once the call's
// Interruption asks it to (polled at most every 50 ms, and at once after a
// system call that a signal interrupted), once an input's callback stopped
// it (`stop_by_caller`), once the input made no progress for the timeout,
// or once another thread asked it to (`interrupt`). FFmpeg may poll it from
// its own threads (the async protocol): those only see whether the call was
// stopped.
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

  void begin(Interruption& caller) noexcept;
  void end() noexcept;

  // From any thread: the call running now, if any, stops at its next poll.
  // A call that starts meanwhile may miss it (it is not kept for the next).
  void interrupt() noexcept;

  // Whether the running call should stop now.
  bool poll() noexcept;
  bool stopped() const noexcept { return stopped_.load(std::memory_order_relaxed); }

  // For inputs' callbacks. Whether this thread runs the watched call, and
  // that call's Interruption (null between calls).
  bool active() const noexcept {
    return caller_.load(std::memory_order_acquire) == std::this_thread::get_id();
  }
  Interruption* interruption() const noexcept { return interruption_; }
  // On the call's thread: stops the running call for a reason its
  // Interruption keeps (an input's callback found one).
  void stop_by_caller() noexcept;
  // On the call's thread: whether another thread asked the running call to
  // stop (see `interrupt`), which then stops it.
  bool take_interrupt() noexcept;
  // An input's read failed: the next call starts afresh, as after a
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
  void watch_progress(Clock::time_point now) noexcept;

  std::optional<double> timeout_;
  AVFormatContext* input_ = nullptr;
  bool stopped_before_ = false;  // the last call was stopped or failed: its input keeps the error
  bool read_failed_ = false;
  bool input_failed_ = false;
  // The rest is touched only by the thread of the running call.
  Interruption* interruption_ = nullptr;
  Clock::time_point next_poll_{};
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
  Watching(Watch& watch, Interruption& caller) noexcept : watch_(watch) { watch.begin(caller); }
  ~Watching() { watch_.end(); }
  Watching(const Watching&) = delete;
  Watching& operator=(const Watching&) = delete;

 private:
  Watch& watch_;
};

}  // namespace ffmpeg
