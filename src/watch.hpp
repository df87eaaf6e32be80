// The Python side of a call that reads media: the interpreter's signal
// handlers polled while the call runs, and the exception kept to raise in
// place of its result.
#pragma once

#include "py.hpp"

#include "ffmpeg/interrupt.hpp"

// Whether this thread runs the interpreter's signal handlers (the main
// thread). Lock held.
bool handles_signals();

// One call's Interruption. Made with the interpreter lock held; polled by
// the media layer's watch with the lock released, when it takes the lock to
// run the signal handlers (only on the thread that handles signals).
class CallWatch final : public ffmpeg::Interruption {
 public:
  CallWatch() : signals_(handles_signals()) {}

  bool poll() noexcept override;

  // The call of `watch` on this thread, if any and if it is one of these.
  static CallWatch* of(const ffmpeg::Watch& watch) noexcept;

  // Keeps `exception` (the first one kept wins) and stops the call of
  // `watch`. Lock held.
  static void keep(ffmpeg::Watch& watch, py::Ref exception) noexcept;
  // For the file-object input's callbacks, lock held. After a failed call
  // of the object's method: an Exception is cleared and `status` returned,
  // anything else (KeyboardInterrupt, SystemExit ...) is kept for the
  // caller and AVERROR_EXIT returned.
  static int failed_call(ffmpeg::Watch& watch, int status);
  // Runs the signal handlers during a call of `watch`; keeps what they
  // raise. Whether the call should stop. Lock held.
  static bool check_signals(ffmpeg::Watch& watch);

  // Raises what stopped the call early, if anything did: the exception
  // kept for it, the timeout error, or RuntimeError for an interrupt (see
  // Watch). Whether it raised. Lock held.
  bool raise();

 private:
  bool signals_;
  py::Ref exception_;
};
