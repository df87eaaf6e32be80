// The differences between the FFmpeg releases this module builds against:
// FFmpeg 5.1 to 9.0 (libavformat 59 to 63, libavcodec 59 to 63, libavutil 57 to 61).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/frame.h>
}

namespace ffmpeg::compat {

struct SideData {
  const std::uint8_t* data = nullptr;
  std::size_t size = 0;
};

// The display matrix a stream's header carries, if any. Newer releases keep
// global side data in the codec parameters, older ones on the stream.
inline SideData display_matrix(const AVStream* stream) {
#if LIBAVCODEC_VERSION_INT >= AV_VERSION_INT(60, 30, 100)
  const AVCodecParameters* parameters = stream->codecpar;
  const AVPacketSideData* side_data = av_packet_side_data_get(
      parameters->coded_side_data, parameters->nb_coded_side_data, AV_PKT_DATA_DISPLAYMATRIX);
  if (side_data == nullptr) return {};
  return {side_data->data, side_data->size};
#else
  std::size_t size = 0;
  const std::uint8_t* data = av_stream_get_side_data(stream, AV_PKT_DATA_DISPLAYMATRIX, &size);
  return {data, data == nullptr ? 0 : size};
#endif
}

// The number an enum field of an FFmpeg struct holds. Demuxers copy some
// tags (colour space, primaries, transfer) from the file unchecked, so the
// field may hold a value that no enumerator names, which C++ must not read
// as the enum type.
template <class Enum>
int stored_value(const Enum& field) {
  static_assert(std::is_enum_v<Enum> && sizeof(Enum) == sizeof(int));
  int value = 0;
  std::memcpy(&value, &field, sizeof value);
  return value;
}

// A decoded frame's duration in its stream's time base (0 when unknown).
inline std::int64_t frame_duration(const AVFrame* frame) {
#if LIBAVUTIL_VERSION_INT >= AV_VERSION_INT(57, 30, 100)
  return frame->duration;
#else
  return frame->pkt_duration;
#endif
}

// Whether a decoded frame is interlaced (its two fields may come from two
// packets).
inline bool interlaced(const AVFrame* frame) {
#if LIBAVUTIL_VERSION_INT >= AV_VERSION_INT(58, 7, 100)
  return (frame->flags & AV_FRAME_FLAG_INTERLACED) != 0;
#else
  return frame->interlaced_frame != 0;
#endif
}

// Whether a decoded frame came out of damage: the decoder concealed errors
// in it, or flags it corrupt (a reference missing, decoding started at a
// point that does not recover at once).
inline bool damaged(const AVFrame* frame) {
  return frame->decode_error_flags != 0 || (frame->flags & AV_FRAME_FLAG_CORRUPT) != 0;
}

}  // namespace ffmpeg::compat
