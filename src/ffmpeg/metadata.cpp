#include "ffmpeg/metadata.hpp"

#include <cmath>
#include <cstring>

#include "ffmpeg/compat.hpp"

extern "C" {
#include <libavutil/display.h>
#include <libavutil/pixdesc.h>
}

namespace ffmpeg {

namespace {

// FFmpeg's name for a colour tag; nothing when it is unspecified or a value
// FFmpeg does not know.
template <class Enum>
std::optional<std::string> tag_name(const Enum& field, Enum unspecified, Enum count,
                                    const char* (*name_of)(Enum)) {
  const int value = compat::stored_value(field);
  if (value < 0 || value >= count || value == unspecified) return std::nullopt;
  return name(name_of(static_cast<Enum>(value)));
}

VideoProperties video_properties(const AVStream* stream) {
  const AVCodecParameters* parameters = stream->codecpar;
  VideoProperties video;
  video.width = parameters->width;
  video.height = parameters->height;
  if (stream->nb_frames > 0) video.num_frames_from_header = stream->nb_frames;
  const double fps =
      static_cast<double>(stream->r_frame_rate.num) / static_cast<double>(stream->r_frame_rate.den);
  if (fps > 0.0) video.average_fps_from_header = fps;
  video.pixel_aspect_ratio = parameters->sample_aspect_ratio;
  const auto format = static_cast<AVPixelFormat>(parameters->format);
  video.pixel_format = name(av_get_pix_fmt_name(format));
  if (const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(format)) {
    video.bit_depth = descriptor->comp[0].depth;
  }
  video.color_range = tag_name(parameters->color_range, AVCOL_RANGE_UNSPECIFIED, AVCOL_RANGE_NB,
                               av_color_range_name);
  video.color_space =
      tag_name(parameters->color_space, AVCOL_SPC_UNSPECIFIED, AVCOL_SPC_NB, av_color_space_name);
  video.color_primaries = tag_name(parameters->color_primaries, AVCOL_PRI_UNSPECIFIED, AVCOL_PRI_NB,
                                   av_color_primaries_name);
  video.color_transfer_characteristic =
      tag_name(parameters->color_trc, AVCOL_TRC_UNSPECIFIED, AVCOL_TRC_NB, av_color_transfer_name);
  return video;
}

AudioProperties audio_properties(const AVStream* stream) {
  const AVCodecParameters* parameters = stream->codecpar;
  AudioProperties audio;
  audio.sample_rate = parameters->sample_rate;
  audio.num_channels = parameters->ch_layout.nb_channels;
  audio.sample_format =
      name(av_get_sample_fmt_name(static_cast<AVSampleFormat>(parameters->format)));
  return audio;
}

}  // namespace

StreamMetadata describe(const Decoder& decoder) {
  const AVStream* stream = decoder.stream();
  const AVFormatContext* format = decoder.format();
  StreamMetadata metadata;
  metadata.stream_index = decoder.stream_index();
  metadata.media_type = decoder.media_type();
  metadata.time_base_num = decoder.time_base().num;
  metadata.time_base_den = decoder.time_base().den;
  metadata.codec = name(avcodec_get_name(stream->codecpar->codec_id));
  metadata.bit_rate = static_cast<double>(stream->codecpar->bit_rate);
  if (stream->duration >= 1) {
    metadata.duration_seconds_from_header = to_seconds(stream->duration, decoder.time_base());
  }
  if (format->duration >= 1) {
    metadata.container_duration = static_cast<double>(format->duration) / 1000000.0;
  }
  if (stream->start_time != AV_NOPTS_VALUE) {
    metadata.begin_stream_seconds_from_header = to_seconds(stream->start_time, decoder.time_base());
  }
  if (decoder.media_type() == MediaType::video) {
    metadata.video = video_properties(stream);
  } else {
    metadata.audio = audio_properties(stream);
  }
  return metadata;
}

Rotation display_rotation(const Decoder& decoder) {
  const compat::SideData side_data = compat::display_matrix(decoder.stream());
  if (side_data.data == nullptr || side_data.size < 9 * sizeof(std::int32_t)) return {};
  std::int32_t matrix[9];
  std::memcpy(matrix, side_data.data, sizeof matrix);
  const double determinant = static_cast<double>(matrix[0]) * static_cast<double>(matrix[4]) -
                             static_cast<double>(matrix[1]) * static_cast<double>(matrix[3]);
  if (!(determinant > 0.0)) return {Rotation::Kind::reflected, 0.0};
  const double angle = av_display_rotation_get(matrix);
  if (!std::isfinite(angle) || angle == 0.0) return {};
  return {Rotation::Kind::angle, angle};
}

}  // namespace ffmpeg
