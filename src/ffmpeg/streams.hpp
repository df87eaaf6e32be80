// What a container holds: each stream's index, media type and codec, and
// whether the linked FFmpeg can decode it.
#pragma once

#include <optional>
#include <string>

#include "ffmpeg/decoder.hpp"

namespace ffmpeg {

struct StreamInfo {
  int index = 0;
  std::string media_type;  // FFmpeg's name: "video", "audio", "subtitle", ...
  std::optional<std::string> codec;
  bool decodable = false;
};

}  // namespace ffmpeg
