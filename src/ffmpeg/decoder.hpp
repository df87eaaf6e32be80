// The media-level record of an open decoder: the FFmpeg contexts of one
// stream, the frame pump over them, and the caches of the video path.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ffmpeg/error.hpp"
#include "ffmpeg/handles.hpp"
#include "ffmpeg/interrupt.hpp"
#include "ffmpeg/io.hpp"
#include "ffmpeg/source.hpp"
#include "ffmpeg/video_cache.hpp"
#include "ffmpeg/video_request.hpp"

namespace ffmpeg {

struct Transform;
struct OutputPlan;
struct AudioContinuation;
struct StreamInfo;

enum class MediaType : std::uint8_t { video = 0, audio = 1 };

// Seconds of `ticks` in `time_base`: ticks × num ÷ den, in doubles.
inline double to_seconds(std::int64_t ticks, AVRational time_base) {
  return static_cast<double>(ticks) * static_cast<double>(time_base.num) /
         static_cast<double>(time_base.den);
}

// Where the last decode_video call left the decoder: just after the frame
// answering `pts`, reached by decoding forward from `seek_pts`; the next
// frame starts at `end` (`pts` when that frame's duration is unknown).
struct VideoPosition {
  std::int64_t seek_pts;
  std::int64_t pts;
  std::int64_t end;
};

// Which unreferenced frames the pump need not decode. With `up_to` set,
// `below` follows the latest packet at or before `up_to` that is surely
// decoded: an earlier unreferenced frame is then never the last one at or
// before `up_to`.
struct SkipUnreferenced {
  std::int64_t below;
  std::optional<std::int64_t> up_to;
};

// Where a packet lies in its stream, to tell whether a rewind reached the
// stream's first packet: decoding time, presentation time and byte position,
// each AV_NOPTS_VALUE or -1 when unknown.
struct PacketMark {
  std::int64_t dts;
  std::int64_t pts;
  std::int64_t pos;

  static PacketMark of(const AVPacket* packet) { return {packet->dts, packet->pts, packet->pos}; }
  // Whether this packet surely comes after `other`, by the first measure
  // both know.
  bool after(const PacketMark& other) const {
    if (dts != AV_NOPTS_VALUE && other.dts != AV_NOPTS_VALUE) return dts > other.dts;
    if (pts != AV_NOPTS_VALUE && other.pts != AV_NOPTS_VALUE) return pts > other.pts;
    if (pos >= 0 && other.pos >= 0) return pos > other.pos;
    return false;
  }
};

// An audio stream's first decoded frame: its timestamp (none when the
// stream decodes to no frame at all) and its sample rate.
struct AudioOrigin {
  std::optional<std::int64_t> timestamp;
  int sample_rate = 0;
  int samples = 0;  // the frame's length
};

// What one call of the frame pump produced.
enum class Pulled : std::uint8_t { frame, end };

// How the pump of one call treats packets the decoder rejects as invalid
// data (AVERROR_INVALIDDATA from sending a packet or receiving its frame):
// by default they end the call with the error; with `skip_invalid` the pump
// counts them in `skipped` and goes on with the next packet, as a damaged
// stretch of a file is usually followed by good ones. Other failures (out of
// memory, a broken decoder) always end the call.
struct PumpPolicy {
  bool skip_invalid = false;
  std::size_t skipped = 0;
};

class Decoder {
 public:
  // Opens the container, chooses the stream and opens its decoder. Reads
  // are watched as one call recorded in `stop` (see Watch), with the read
  // `timeout` kept for every later call. Bytes and file objects are read
  // as `io` says.
  static Result<Decoder> open(Source source, MediaType media_type, std::optional<int> stream_index,
                              int threads, std::optional<double> timeout, IoSettings io,
                              Stop& stop, bool signals);

  // Every stream of `source`'s container, from one opening (see streams.hpp).
  static Result<std::vector<StreamInfo>> streams(Source source, std::optional<double> timeout,
                                                 IoSettings io, Stop& stop, bool signals);

  Decoder(Decoder&&) noexcept = default;
  Decoder& operator=(Decoder&&) = delete;
  ~Decoder();

  // The next decoded frame (left in `frame`), or the end of the stream.
  Result<Pulled> next(PumpPolicy& policy);
  // Backward seek to the nearest seek point at or before `target` (in
  // `time_base` ticks), then a decoder flush. A target at or before the
  // stream's start rewinds.
  [[nodiscard]] Failure seek(std::int64_t target);
  // Back to the stream's first packet, then a decoder flush. Seeking to the
  // start time can land after packets stored before the first seek point
  // (Matroska keeps encoder priming at negative times): the packet it lands
  // on is compared with the first one read after opening, and when it comes
  // later, or when that first packet is not known, the input is opened again.
  [[nodiscard]] Failure rewind();
  // The next packet of the stream in `packet`: the one a rewind read ahead,
  // else the next one the demuxer returns for the stream. 0, AVERROR_EOF or
  // another error status.
  int read_packet();

  // Opens the container afresh (`url`, or the custom I/O from where it stands).
  Result<FormatContextPtr> open_input(bool reopening) const;
  [[nodiscard]] Failure reopen_input();

  // Replaces the codec context by a newly opened one: a decoder in its
  // initial state, as a flush does not fully restore (random generators,
  // priming to skip).
  [[nodiscard]] Failure open_codec();

  // Decodes the frames a video request asks for into one batch. With
  // `direct_resize`, a resize is done by the colour conversion itself when
  // the transforms allow it.
  Result<VideoBatch> video(VideoRequest request, OutputType output,
                           std::vector<Transform> transforms, bool direct_resize,
                           PumpPolicy& pump);

  // Whether this record was opened by another process: this is a forked
  // child, which shares the parent's file descriptors and their positions.
  bool inherited() const { return opened_in != getpid(); }
  bool reads_file_object() const {
    return reader && std::holds_alternative<FileReader>(*reader);
  }
  // The same source opened afresh in a forked child (a path by its name,
  // bytes from the child's own copy), on the same stream.
  Result<Decoder> renewed(Stop& stop, bool signals);

  AVStream* stream() const { return format_context->streams[stream_index]; }
  // The stream's start time from its header, 0 when it has none.
  std::int64_t start_time() const {
    const std::int64_t start = stream()->start_time;
    return start == AV_NOPTS_VALUE ? 0 : start;
  }

  // Declared first so that it outlives everything that polls it.
  std::unique_ptr<Watch> watch;
  FormatContextPtr format_context;
  CodecContextPtr codec_context;
  PacketPtr packet;
  FramePtr frame;
  IoContextPtr io_context;
  std::unique_ptr<Reader> reader;
  IoSettings io_settings;  // how `reader` was set up
  std::string url;  // empty with custom I/O
  AVRational time_base{0, 1};
  int width = 0;
  int height = 0;
  int pixel_format = -1;
  int stream_index = 0;
  int threads = 1;  // decoding threads asked for at opening
  pid_t opened_in = getpid();
  MediaType media_type = MediaType::video;
  VideoCache video_cache;
  bool drained = false;
  // Invalid packets the last decoding call skipped.
  std::size_t skipped_packets = 0;
  // The next packet of the stream is its first: nothing was read since the
  // input was opened, or a rewind was seen to reach the first packet.
  bool at_stream_start = false;
  bool packet_pending = false;  // `packet` holds what a rewind read ahead
  bool rewind_reopens = false;  // a seek to the start skipped packets before
  // The stream's first packet, as read after opening.
  std::optional<PacketMark> first_packet;
  // Lets a decode_video call that continues the previous one skip its seek;
  // any seek clears it.
  std::optional<VideoPosition> video_position;
  // While set, frames that no other frame refers to and whose packets are
  // timestamped before `below` are not decoded: a search for a later frame
  // would drop them anyway.
  std::optional<SkipUnreferenced> skip_unreferenced;
  // The audio stream's first frame, once a range read has looked for it.
  std::optional<AudioOrigin> audio_origin;
  // Where the latest audio range read stopped, to go on from; cleared by
  // every seek.
  std::shared_ptr<AudioContinuation> audio_continuation;

 private:
  Decoder() = default;
  [[nodiscard]] Failure open_container(Source source);
  void reset_decoding();
  void abandon() noexcept;
};

// Lets the pump skip unreferenced frames for the current scope.
class SkippingUnreferenced {
 public:
  SkippingUnreferenced(Decoder& decoder, SkipUnreferenced skip) : decoder_(decoder) {
    decoder.skip_unreferenced = skip;
  }
  ~SkippingUnreferenced() {
    decoder_.skip_unreferenced.reset();
    decoder_.codec_context->skip_frame = AVDISCARD_DEFAULT;
  }
  SkippingUnreferenced(const SkippingUnreferenced&) = delete;
  SkippingUnreferenced& operator=(const SkippingUnreferenced&) = delete;

 private:
  Decoder& decoder_;
};

}  // namespace ffmpeg
