// The frame of every call that reads media: its reads watched for signals,
// kept exceptions and the timeout (CallWatch), with the interpreter lock
// released. The only places that release the lock.
#pragma once

#include "py.hpp"

#include <optional>
#include <type_traits>
#include <utility>

#include "errors.hpp"
#include "ffmpeg/decoder.hpp"
#include "ffmpeg/interrupt.hpp"
#include "watch.hpp"

namespace detail {

// The value of a finished call, or empty with the exception raised: what
// stopped the call early comes first, even when the work then ended
// normally (a demuxer may take a failed read for the end of the input).
template <class Result>
auto finish_call(CallWatch& call, Result& result) {
  std::optional<std::remove_cvref_t<decltype(result.value())>> value;
  if (call.raise()) return value;
  if (!result.ok()) {
    raise_error(result.error());
    return value;
  }
  value.emplace(std::move(result).value());
  return value;
}

}  // namespace detail

// Runs `work(call)` without the lock: media work that watches its reads as
// one call of `call` (opening a decoder, listing streams: a record that makes
// its own watch). Its value, or empty with the exception raised.
template <class Work>
auto opening_call(Work&& work) {
  CallWatch call;
  auto result = py::without_lock([&] { return std::forward<Work>(work)(call); });
  return detail::finish_call(call, result);
}

// Runs `work` (media work on a record that `watch` watches) without the
// lock, as opening_call.
template <class Work>
auto watched_call(ffmpeg::Watch& watch, Work&& work) {
  return opening_call([&](ffmpeg::Interruption& call) {
    ffmpeg::Watching watching(watch, call);
    return std::forward<Work>(work)();
  });
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
