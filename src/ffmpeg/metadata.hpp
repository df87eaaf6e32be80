// What a stream's header says about it, read from the structures filled when
// the decoder was opened; nothing is read from the input.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "ffmpeg/decoder.hpp"

namespace ffmpeg {

struct VideoProperties {
  int width = 0;
  int height = 0;
  std::optional<std::int64_t> num_frames_from_header;
  std::optional<double> average_fps_from_header;
  AVRational pixel_aspect_ratio{0, 1};
  std::optional<std::string> pixel_format;
  std::optional<int> bit_depth;
  std::optional<std::string> color_range;
  std::optional<std::string> color_space;
  std::optional<std::string> color_primaries;
  std::optional<std::string> color_transfer_characteristic;
};

struct AudioProperties {
  int sample_rate = 0;
  int num_channels = 0;
  std::optional<std::string> sample_format;
};

struct StreamMetadata {
  int stream_index = 0;
  MediaType media_type = MediaType::video;
  int time_base_num = 0;
  int time_base_den = 1;
  std::optional<std::string> codec;
  double bit_rate = 0.0;
  std::optional<double> duration_seconds_from_header;
  std::optional<double> container_duration;
  std::optional<double> begin_stream_seconds_from_header;
  VideoProperties video;  // video streams only
  AudioProperties audio;  // audio streams only
};

StreamMetadata describe(const Decoder& decoder);

// The display rotation of a video stream's header.
struct Rotation {
  enum class Kind : std::uint8_t { none, angle, reflected } kind = Kind::none;
  double degrees = 0.0;
};

Rotation display_rotation(const Decoder& decoder);

}  // namespace ffmpeg
