// The frame of every call that reads media: its reads watched for signals,
// kept exceptions and the timeout, with the interpreter lock released.
#pragma once

#include "py.hpp"

#include <optional>
#include <type_traits>
#include <utility>

#include "errors.hpp"
#include "ffmpeg/decoder.hpp"
#include "ffmpeg/interrupt.hpp"

// Whether this thread runs the interpreter's signal handlers (the main
// thread). Lock held.
bool handles_signals();

// Raises what stopped a call early, if anything did: the exception kept for
// it, the timeout error, or RuntimeError for an interrupt (see Watch). Whether it raised. Lock held.
bool raise_stopped(ffmpeg::Stop& stop);

// Runs `work` (media work on a record that `watch` watches) without the
// lock. Its value, or empty with the exception raised: what stopped the call
// early comes first, even when the work then ended normally (a demuxer may
// take a failed read for the end of the input).
template <class Work>
auto watched_call(ffmpeg::Watch& watch, Work&& work) {
  ffmpeg::Stop stop;
  const bool signals = handles_signals();
  auto result = [&] {
    ffmpeg::Watching watching(watch, stop, signals);
    return py::without_lock(std::forward<Work>(work));
  }();
  std::optional<std::remove_cvref_t<decltype(result.value())>> value;
  if (raise_stopped(stop)) return value;
  if (!result.ok()) {
    raise_error(result.error());
    return value;
  }
  value.emplace(std::move(result).value());
  return value;
}

// watched_call for media work on `decoder`, which first recovers from what
// its previous call left behind (see Decoder::recover).
template <class Work>
auto watched_call(ffmpeg::Decoder& decoder, Work&& work) {
  return watched_call(decoder.watch(), [&]() -> decltype(work()) {
    if (auto failure = decoder.recover()) return std::move(*failure);
    return work();
  });
}
