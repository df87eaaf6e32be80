// Failure reporting of the media layer: one error record, the status check
// that makes it from an FFmpeg code, and the result type that carries it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace ffmpeg {

struct Error {
  enum class Kind : std::uint8_t { runtime = 0, value = 1 };
  // The few failures that callers act on, so that they can be told apart
  // without reading the message (see ErrorTypes in src/errors.hpp). The
  // kind alone decides the built-in exception; a reason only lets a caller
  // substitute a subclass of it.
  enum class Reason : std::uint8_t {
    none,
    no_stream,         // no stream of the media type, or the index is out of range
    wrong_media_type,  // the index names a stream of the other type
    no_decoder,        // the linked FFmpeg cannot decode the stream's codec
    no_frame,          // a video target after the last frame
    not_shown,         // a time at which no frame is shown
    shared_timestamps, // frames sharing a timestamp, refused by timestamp mode
  };
  static constexpr std::size_t reasons = 7;

  std::string message;
  Kind kind = Kind::runtime;
  Reason reason = Reason::none;

  static Error runtime(std::string message, Reason reason = Reason::none) {
    return {std::move(message), Kind::runtime, reason};
  }
  static Error value(std::string message, Reason reason = Reason::none) {
    return {std::move(message), Kind::value, reason};
  }
};

// Empty on success.
using Failure = std::optional<Error>;

// A value or the error that prevented it.
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Result(Error error) : state_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const noexcept { return state_.index() == 0; }
  T& value() & { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  Error& error() & { return std::get<1>(state_); }
  Error&& error() && { return std::get<1>(std::move(state_)); }

 private:
  std::variant<T, Error> state_;
};

// A negative FFmpeg status becomes "<context>: <FFmpeg's description>".
[[nodiscard]] Failure check(int status, std::string_view context);

// A nullable C string from FFmpeg as optional UTF-8 text.
std::optional<std::string> name(const char* text);

// Bytes as UTF-8, each invalid sequence replaced by U+FFFD.
std::string lossy_utf8(std::string_view bytes);

}  // namespace ffmpeg
