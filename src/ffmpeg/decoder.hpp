// The media-level record of an open decoder: the FFmpeg contexts of one
// stream, the frame pump over them, and the caches of the video path.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "ffmpeg/error.hpp"
#include "ffmpeg/handles.hpp"
#include "ffmpeg/interrupt.hpp"
#include "ffmpeg/input.hpp"
#include "ffmpeg/io.hpp"
#include "ffmpeg/scale.hpp"
#include "ffmpeg/source.hpp"
#include "ffmpeg/video_cache.hpp"
#include "ffmpeg/video_request.hpp"

namespace ffmpeg {

class Decoder;
struct Transform;
struct AudioContinuation;
struct StreamInfo;
struct DirectResize;

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
  // The record's frame holds the frame at `end`, decoded but not handed out
  // yet: it stood in for a lost frame (see PtsChooser) and is the next one.
  bool pending = false;
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
//
// `damaged` counts the frames that came out with errors concealed, or
// flagged corrupt (decoded from a damaged packet, or with a reference
// missing): such a frame may depend on what the decoder decoded before the
// latest seek, so that a decoder started elsewhere can give another one.
struct PumpPolicy {
  bool skip_invalid = false;
  std::size_t skipped = 0;
  std::size_t damaged = 0;
};

// Which unreferenced frames the pump may leave undecoded, in the calls of
// Decoder::next it is passed to: those whose packets are timestamped before
// `below()`, as a search for a later frame would drop them anyway. With
// `up_to` set, `below()` follows the latest packet at or before `up_to` that
// is surely decoded: an earlier unreferenced frame is then never the last one
// at or before `up_to`. Once it goes out of scope, the decoder decodes every
// frame again.
class SkipUnreferenced {
 public:
  SkipUnreferenced(Decoder& decoder, std::int64_t below, std::optional<std::int64_t> up_to)
      : decoder_(decoder), below_(below), up_to_(up_to) {}
  ~SkipUnreferenced();
  SkipUnreferenced(const SkipUnreferenced&) = delete;
  SkipUnreferenced& operator=(const SkipUnreferenced&) = delete;

  std::int64_t below() const { return below_; }
  // For the caller to say that it sought: the packets decoded before the
  // seek say nothing of what is decoded after it.
  void restart() {
    if (up_to_) below_ = std::numeric_limits<std::int64_t>::min();
  }

 private:
  friend class Decoder;
  // How the decoder treats the packet timestamped `pts` about to be sent,
  // noting it when it is surely decoded.
  AVDiscard discard_for(std::int64_t pts);

  Decoder& decoder_;
  std::int64_t below_;
  std::optional<std::int64_t> up_to_;
};

// Where the record's input and decoder stand between two calls of the pump,
// and what callers left there to go on from. What each part means, who sets
// and clears it, and what holds between them:
//
// - `drained`: the input has ended and the decoder was sent the end of the
//   stream; the pump reads no packet until a seek, it only polls the
//   decoder. Set by next() and send_alone() (see `ended_early`); cleared by
//   a seek that succeeds and by every rewind.
// - `at_stream_start`: the next packet read is the stream's first: nothing
//   was read since the input was (re)opened, or a rewind saw that it landed
//   on the first packet. Set by opening, reopening and such a rewind;
//   cleared by every read and every seek that is not a rewind.
// - `packet_pending`: the record's packet holds the stream's next packet,
//   which a rewind read to see where it landed, or a caller peeked at; the
//   next read returns it. Set by a rewind, together with `at_stream_start`,
//   and by peek_packet, which leaves `at_stream_start` as it was before its
//   read; cleared by the read that returns it, by a seek that is not a
//   rewind and by reopening (a rewind that finds the input at the stream's
//   start keeps it: it is the first packet). So it implies
//   `at_stream_start` unless a peek set it. The record's packet holds a
//   reference only while this is set: every other read lets go of its
//   packet (a PacketReference) before the call that read it returns.
// - `first_packet`: where the stream's first packet lies, noted by the
//   first read after opening; kept for the record's life (a reopened input
//   has the same first packet).
// - `rewind_reopens`: a seek to the stream's start was seen to land after
//   its first packet, or could not be told to land on it, so every later
//   rewind reopens the input. Set by a rewind; never cleared.
// - `ended_early`: the decoder was sent one key frame's packet and then the
//   end of the stream (send_alone), so that it hands that frame out without
//   waiting for the frames its reordering delay holds it back for. It
//   implies `drained`: the input has not ended, but the pump reads no
//   packet until a seek. Cleared by every seek and rewind.
// - `skipped_since_seek`: packets the pump skipped as invalid since the
//   latest seek or rewind, which cleared it: a frame missing since then may
//   be one of theirs.
// - `video_position` and `audio_continuation`: where the last decode_video
//   (or decode_audio_range) call left the decoder, for the next call of the
//   same kind to go on from without seeking. Kept by that call as it ends,
//   taken by the next one as it starts (so used at most once), and cleared
//   by a seek that succeeds and by every rewind, after which the decoder no
//   longer stands there. A record decodes one media type, so at most one
//   of them is set.
struct Cursor {
  bool drained = false;
  bool at_stream_start = false;
  bool packet_pending = false;
  bool rewind_reopens = false;
  bool ended_early = false;
  std::size_t skipped_since_seek = 0;
  std::optional<PacketMark> first_packet;
  std::optional<VideoPosition> video_position;
  std::shared_ptr<AudioContinuation> audio_continuation;
};

class Decoder {
 public:
  // Opens the container, chooses the stream and opens its decoder. Reads
  // are watched as one call of `caller` (see Watch), with the read
  // `timeout` kept for every later call. Bytes and inputs are read as `io`
  // says.
  static Result<Decoder> open(Source source, MediaType media_type, std::optional<int> stream_index,
                              int threads, std::optional<double> timeout, IoSettings io,
                              Interruption& caller);

  // Every stream of `source`'s container, from one opening (see streams.hpp).
  static Result<std::vector<StreamInfo>> streams(Source source, std::optional<double> timeout,
                                                 IoSettings io, Interruption& caller);

  Decoder(Decoder&&) noexcept = default;
  Decoder& operator=(Decoder&&) = delete;
  ~Decoder();

  // The frame pump: the next decoded frame (then in frame()), or the end of
  // the stream. `skip`, when given, lets it leave unreferenced frames
  // undecoded.
  Result<Pulled> next(PumpPolicy& policy, SkipUnreferenced* skip = nullptr);
  // Backward seek to the nearest seek point at or before `target` (in
  // `time_base()` ticks), then a decoder flush. A target at or before the
  // stream's start rewinds.
  [[nodiscard]] Failure seek(std::int64_t target);
  // Back to the stream's first packet, then a decoder flush. Seeking to the
  // start time can land after packets stored before the first seek point
  // (Matroska keeps encoder priming at negative times): the packet it lands
  // on is compared with the first one read after opening, and when it comes
  // later, or when that first packet is not known, the input is opened again.
  [[nodiscard]] Failure rewind();
  // The next packet of the stream, held by `read` on success: the one a
  // rewind read ahead, else the next one the demuxer returns for the stream.
  // 0, AVERROR_EOF or another error status.
  int read_packet(PacketReference& read);
  // The next packet of the stream, as read_packet finds it, left to be read
  // again by the next read (valid until then); 0, AVERROR_EOF or another
  // error status.
  int peek_packet(const AVPacket*& packet);
  // Replaces the codec context by a newly opened one: a decoder in its
  // initial state, as a flush does not fully restore (random generators,
  // priming to skip).
  [[nodiscard]] Failure open_codec();
  // Run first by every call that reads media. After a call that left a
  // network input in doubt (see Watch::input_failed), the input is opened
  // again, a new connection at the stream's start, before anything reads
  // it; until a reopening succeeds, every call tries one. Local files and
  // custom I/O go on as they stand (their next read just starts afresh).
  [[nodiscard]] Failure recover();

  // Decodes the frames a video request asks for into one batch. With
  // `direct_resize`, a resize is done by the colour conversion itself when
  // the transforms allow it.
  Result<VideoBatch> video(VideoRequest request, OutputType output,
                           std::vector<Transform> transforms, bool direct_resize,
                           PumpPolicy& pump);

  // The frame the pump decoded last; valid until the next call of next() or
  // seek().
  const AVFrame* frame() const { return frame_.get(); }
  // Trades the record's frame for `other`: a caller keeps a decoded frame
  // without copying it while the pump decodes into the other one.
  void trade_frame(FramePtr& other) noexcept { frame_.swap(other); }

  // Sends `packet`, a key frame read just after a seek, then the end of the
  // stream (see Cursor, `ended_early`); the pump then hands out its frame.
  [[nodiscard]] Failure send_alone(PacketPtr packet);
  // Takes out the frames the decoder holds decoded beyond the last one
  // handed out (those its reordering delay keeps back), counting the damaged
  // ones in `pump`, and leaves the decoder ended early: the next call seeks.
  // A call that answers part of a request so learns of damage that one
  // decoder, going on through the rest of the request, carries into what it
  // decodes next (concealment draws on earlier pictures, also across key
  // frames), and that the call would otherwise never see.
  void take_out_held_frames(PumpPolicy& pump);
  bool ended_early() const { return cursor_.ended_early; }

  // How far (in ticks) before a key frame's timestamp a seek aims so as to
  // land at or before that key frame: 0 until a seek landed after one (see
  // seek_to_key_frame in plan.cpp), then what made it land well.
  std::int64_t seek_lead() const { return seek_lead_; }
  void keep_seek_lead(std::int64_t lead) { seek_lead_ = lead; }

  // Where the previous decode_video call stopped, if nothing moved the
  // decoder since; taken, so that one call at most goes on from it.
  std::optional<VideoPosition> take_video_position() {
    return std::exchange(cursor_.video_position, std::nullopt);
  }
  // Whether the decoder met damage (a packet skipped as invalid, a frame
  // flagged) since its codec was last opened afresh (see reset_decoding).
  bool met_damage() const { return codec_damaged_; }
  void keep_video_position(VideoPosition position) { cursor_.video_position = position; }
  // The same for decode_audio_range.
  std::shared_ptr<AudioContinuation> take_audio_continuation() {
    return std::exchange(cursor_.audio_continuation, nullptr);
  }
  void keep_audio_continuation(std::shared_ptr<AudioContinuation> continuation) {
    cursor_.audio_continuation = std::move(continuation);
  }
  // The audio stream's first frame, once a range read has looked for it.
  const std::optional<AudioOrigin>& audio_origin() const { return audio_origin_; }
  void keep_audio_origin(AudioOrigin origin) { audio_origin_ = origin; }

  // Invalid packets the last decoding call skipped, as its pump counted.
  std::size_t skipped_packets() const { return skipped_packets_; }
  // Frames of the last decoding call that came out damaged (see PumpPolicy).
  std::size_t damaged_frames() const { return damaged_frames_; }
  void count_skipped(const PumpPolicy& pump) {
    skipped_packets_ = pump.skipped;
    damaged_frames_ = pump.damaged;
  }
  // Whether the pump skipped an invalid packet since the latest seek.
  bool skipped_since_seek() const { return cursor_.skipped_since_seek > 0; }
  // Output positions of the last decode_video call whose frame was lost to
  // skipped packets and that the next decoded frame answered (stand_in).
  const std::vector<std::size_t>& stand_ins() const { return stand_ins_; }
  // Adds positions of the running call that a stand-in answered.
  void note_stand_ins(const std::vector<std::size_t>& positions) {
    stand_ins_.insert(stand_ins_.end(), positions.begin(), positions.end());
  }

  // What every call's reads are watched by.
  Watch& watch() const { return *watch_; }

  // The cached steps of the video path, each on the record's own colour
  // converter, resize stages and buffers (VideoCache); an image is valid
  // until the same step runs again.
  // `frame` converted to `target` (convert.cpp), into `into` when given and
  // safe (see fits_in_place).
  Result<Image> convert_picture(const AVFrame* frame, AVPixelFormat target, const Image* into);
  // `frame` cropped and scaled to `target` in one pass (direct_resize.cpp).
  Result<Image> scale_picture(const AVFrame* frame, const DirectResize& resize,
                              AVPixelFormat target, const Image* into);
  // `image` scaled to `width` x `height` by resize stage `stage`, added
  // when there is none yet (transform.cpp).
  Result<Image> resize_picture(std::size_t stage, const Image& image, int height, int width,
                               AVPixelFormat format);
  // `image` turned by `turns` quarter turns counter-clockwise into a scratch
  // buffer of the record that does not hold `image` (transform.cpp).
  Image rotate_picture(const Image& image, int turns, int bytes_per_pixel);

  // Whether this record was opened by another process: this is a forked
  // child, which shares the parent's file descriptors and their positions.
  bool inherited() const { return opened_in_ != getpid(); }
  // The input behind the custom I/O, or null for a path.
  const Input* custom_input() const { return input_.get(); }
  // The same source opened afresh in a forked child (a path by its name,
  // bytes from the child's own copy), on the same stream. Inputs of the
  // caller's cannot be.
  Result<Decoder> renewed(Interruption& caller);

  // The stream and its container, as opening found them.
  AVStream* stream() const { return format_context_->streams[stream_index_]; }
  const AVFormatContext* format() const { return format_context_.get(); }
  int stream_index() const { return stream_index_; }
  MediaType media_type() const { return media_type_; }
  AVRational time_base() const { return time_base_; }
  // The stream's start time from its header, 0 when it has none.
  std::int64_t start_time() const {
    const std::int64_t start = stream()->start_time;
    return start == AV_NOPTS_VALUE ? 0 : start;
  }
  // A video stream's picture size and pixel format from its header.
  int width() const { return width_; }
  int height() const { return height_; }
  int pixel_format() const { return pixel_format_; }

 private:
  friend class SkipUnreferenced;

  Decoder() = default;
  // The container of `source` opened, from the path or through the custom
  // I/O that `io_settings_` describes, with its stream information read.
  [[nodiscard]] Failure open_container(Source source);
  // Opens the container afresh (`url_`, or the custom I/O from where it stands).
  Result<FormatContextPtr> open_input(bool reopening) const;
  [[nodiscard]] Failure reopen_input();
  // Sends the packet just read, which is let go of whatever the answer.
  int send(PacketReference packet, SkipUnreferenced* skip);
  // Lets go of a packet a rewind read ahead.
  void drop_pending_packet();
  [[nodiscard]] Failure reset_decoding();
  void abandon() noexcept;

  // Declared first so that it outlives everything that polls it.
  std::unique_ptr<Watch> watch_;
  FormatContextPtr format_context_;
  CodecContextPtr codec_context_;
  PacketPtr packet_;  // reused for every read
  FramePtr frame_;    // reused for every decoded frame
  IoContextPtr io_context_;
  std::unique_ptr<Input> input_;
  IoSettings io_settings_;  // how `input_` was set up
  std::string url_;         // empty with custom I/O
  AVRational time_base_{0, 1};
  int width_ = 0;
  int height_ = 0;
  int pixel_format_ = -1;
  int stream_index_ = 0;
  int threads_ = 1;  // decoding threads asked for at opening
  // Since the codec context was opened: a packet was sent to it; it met
  // damage (a packet skipped as invalid, a frame flagged). See reset_decoding.
  bool codec_used_ = false;
  bool codec_damaged_ = false;
  pid_t opened_in_ = getpid();
  MediaType media_type_ = MediaType::video;
  VideoCache video_cache_;
  Cursor cursor_;
  std::size_t skipped_packets_ = 0;
  std::size_t damaged_frames_ = 0;
  std::vector<std::size_t> stand_ins_;
  std::int64_t seek_lead_ = 0;
  std::optional<AudioOrigin> audio_origin_;
  // `url_` names a protocol whose connection a reopening renews.
  bool network_input_ = false;
  // The input is to be opened again before the next read (see recover()).
  bool input_broken_ = false;
};

}  // namespace ffmpeg
