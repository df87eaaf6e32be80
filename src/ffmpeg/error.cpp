#include "ffmpeg/error.hpp"

#include <cstring>

extern "C" {
#include <libavutil/error.h>
}

namespace ffmpeg {

namespace {

constexpr std::string_view replacement = "\xEF\xBF\xBD";

bool continuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// Length of the well-formed sequence that starts at text[i], or the length of
// its longest valid prefix (at least 1) negated when it is ill-formed.
int sequence_length(std::string_view text, std::size_t i) {
  const auto lead = static_cast<unsigned char>(text[i]);
  if (lead < 0x80) return 1;
  int length = 0;
  unsigned char low = 0x80, high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return -1;
  }
  for (int k = 1; k < length; ++k) {
    if (i + k >= text.size()) return -k;
    const auto byte = static_cast<unsigned char>(text[i + k]);
    const bool valid = k == 1 ? byte >= low && byte <= high : continuation(byte);
    if (!valid) return -k;
  }
  return length;
}

}  // namespace

std::string lossy_utf8(std::string_view bytes) {
  std::string text;
  text.reserve(bytes.size());
  for (std::size_t i = 0; i < bytes.size();) {
    const int length = sequence_length(bytes, i);
    if (length > 0) {
      text.append(bytes.substr(i, length));
      i += length;
    } else {
      text.append(replacement);
      i += -length;
    }
  }
  return text;
}

Failure check(int status, std::string_view context) {
  if (status >= 0) return std::nullopt;
  char description[256] = {};
  av_strerror(status, description, sizeof description);
  std::string message(context);
  message += ": ";
  message += lossy_utf8({description, strnlen(description, sizeof description)});
  return Error::runtime(std::move(message));
}

std::optional<std::string> name(const char* text) {
  if (text == nullptr) return std::nullopt;
  return lossy_utf8(text);
}

}  // namespace ffmpeg
