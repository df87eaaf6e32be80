// Failure reporting of the media layer: one error record, the status check
// that makes it from an FFmpeg code, and the result type that carries it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace ffmpeg {

struct Error {
  enum class Kind : std::uint8_t { runtime = 0, value = 1 };

  std::string message;
  Kind kind = Kind::runtime;

  static Error runtime(std::string message) { return {std::move(message), Kind::runtime}; }
  static Error value(std::string message) { return {std::move(message), Kind::value}; }
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
