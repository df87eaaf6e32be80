// Opening a decoder on one stream of a source, and tearing it down.
#include "ffmpeg/decoder.hpp"

#include <string_view>

extern "C" {
#include <libavutil/opt.h>
}

namespace ffmpeg {

namespace {

AVMediaType av_media_type(MediaType media_type) {
  return media_type == MediaType::video ? AVMEDIA_TYPE_VIDEO : AVMEDIA_TYPE_AUDIO;
}

// Packets of the other streams are never needed: the demuxer may skip them.
void discard_other_streams(AVFormatContext* format, int stream_index) {
  for (unsigned i = 0; i < format->nb_streams; ++i) {
    if (static_cast<int>(i) != stream_index) format->streams[i]->discard = AVDISCARD_ALL;
  }
}

// Whether a reopened container describes the stream it had.
bool same_stream(const AVFormatContext* format, int stream_index, const AVStream* before) {
  if (static_cast<unsigned>(stream_index) >= format->nb_streams) return false;
  const AVStream* after = format->streams[stream_index];
  return after->codecpar->codec_type == before->codecpar->codec_type &&
         after->codecpar->codec_id == before->codecpar->codec_id &&
         av_cmp_q(after->time_base, before->time_base) == 0;
}

// Whether reading `url` goes through a connection that opening it again
// renews: not a local file, a pipe or a descriptor, which reopening cannot
// renew (a pipe would go on from where it stands).
bool reconnects(const std::string& url) {
  const char* protocol = avio_find_protocol_name(url.c_str());
  if (protocol == nullptr) return false;
  const std::string_view name(protocol);
  return name != "file" && name != "pipe" && name != "fd";
}

// Points the watch at a container being opened, and back at the previous
// one unless the opening succeeds.
class WatchingInput {
 public:
  WatchingInput(Watch& watch, AVFormatContext* format)
      : watch_(watch), previous_(watch.input()) {
    watch.watch_input(format);
  }
  ~WatchingInput() {
    if (!kept_) watch_.watch_input(previous_);
  }
  WatchingInput(const WatchingInput&) = delete;
  WatchingInput& operator=(const WatchingInput&) = delete;
  void keep() { kept_ = true; }

 private:
  Watch& watch_;
  AVFormatContext* previous_;
  bool kept_ = false;
};

}  // namespace

// Opens the container afresh, from the path or through the custom I/O, and
// reads its stream information. A reopening reports its failures as the
// seek it stands for.
Result<FormatContextPtr> Decoder::open_input(bool reopening) const {
  // Allocated here for a path too, so that the interrupt callback is there
  // from the first read.
  FormatContextPtr format(avformat_alloc_context());
  if (!format) return Error::runtime("cannot allocate format context");
  format->interrupt_callback = watch_->callback();
  WatchingInput watching(*watch_, format.get());
  if (io_context_) {
    format->pb = io_context_.get();
    format->flags |= AVFMT_FLAG_CUSTOM_IO;
    // Media given as bytes or a file object must not lead the demuxer to
    // open other files or URLs (concat lists, playlists, external
    // references): no protocol is allowed, and nested demuxers inherit the
    // list.
    if (av_opt_set(format.get(), "protocol_whitelist", "none", 0) < 0) {
      return Error::runtime("cannot restrict input protocols");
    }
  }
  // On failure FFmpeg frees a pre-allocated context and nulls the pointer.
  AVFormatContext* opening = format.release();
  const int opened =
      avformat_open_input(&opening, io_context_ ? nullptr : url_.c_str(), nullptr, nullptr);
  format.reset(opening);
  watch_->watch_input(opening);
  if (auto failure = check(opened, reopening ? "seek" : "open input")) return std::move(*failure);
  if (auto failure = check(avformat_find_stream_info(format.get(), nullptr),
                           reopening ? "seek" : "read stream metadata")) {
    return std::move(*failure);
  }
  watching.keep();
  return format;
}

// Reads the input again from its first byte, as opening did, for a rewind
// that a seek cannot do without skipping packets.
Failure Decoder::reopen_input() {
  drop_pending_packet();
  cursor_.at_stream_start = false;
  if (io_context_) {
    const std::int64_t sought = avio_seek(io_context_.get(), 0, SEEK_SET);
    if (auto failure = check(sought < 0 ? static_cast<int>(sought) : 0, "seek")) {
      return failure;
    }
  }
  auto reopened = open_input(true);
  if (!reopened.ok()) return std::move(reopened).error();
  AVFormatContext* format = reopened.value().get();
  // The same file must describe the same stream.
  if (!same_stream(format, stream_index_, stream())) {
    watch_->watch_input(format_context_.get());
    return Error::runtime("the input changed while it was open");
  }
  discard_other_streams(format, stream_index_);
  format_context_ = std::move(reopened).value();
  cursor_.at_stream_start = true;
  return std::nullopt;
}

Failure Decoder::recover() {
  if (network_input_ && watch_->input_failed()) input_broken_ = true;
  if (!input_broken_) return std::nullopt;
  if (auto failure = reset_decoding()) return failure;
  if (auto failure = reopen_input()) return failure;
  input_broken_ = false;
  return std::nullopt;
}

// The container of `source` opened, from the path or through the custom I/O
// that `io_settings_` describes, with its stream information read.
Failure Decoder::open_container(Source source) {
  if (auto* path = std::get_if<Path>(&source)) {
    if (path->text.find('\0') != std::string::npos) return Error::value("path contains NUL");
    url_ = std::move(path->text);
    network_input_ = reconnects(url_);
  } else {
    auto input = prepare_custom_io(std::move(source), *watch_, io_settings_);
    if (!input.ok()) return std::move(input).error();
    input_ = std::move(input.value().input);
    io_context_ = std::move(input.value().context);
  }
  auto opened = open_input(false);
  if (!opened.ok()) return std::move(opened).error();
  format_context_ = std::move(opened).value();
  return std::nullopt;
}

Result<Decoder> Decoder::open(Source source, MediaType media_type, std::optional<int> stream_index,
                              int threads, std::optional<double> timeout, IoSettings io,
                              Interruption& caller) {
  Decoder decoder;
  decoder.media_type_ = media_type;
  decoder.io_settings_ = io;
  decoder.watch_ = std::make_unique<Watch>(timeout);
  Watching watching(*decoder.watch_, caller);

  if (auto failure = decoder.open_container(std::move(source))) return std::move(*failure);
  AVFormatContext* format = decoder.format_context_.get();

  const AVMediaType type = av_media_type(media_type);
  decoder.stream_index_ =
      stream_index ? *stream_index : av_find_best_stream(format, type, -1, -1, nullptr, 0);
  if (decoder.stream_index_ < 0 ||
      static_cast<unsigned>(decoder.stream_index_) >= format->nb_streams) {
    return Error::value("no valid stream of the requested media type", Error::Reason::no_stream);
  }
  discard_other_streams(format, decoder.stream_index_);
  const AVStream* stream = format->streams[decoder.stream_index_];
  const AVCodecParameters* parameters = stream->codecpar;
  if (parameters->codec_type != type) {
    return Error::value("stream has the wrong media type", Error::Reason::wrong_media_type);
  }
  if (media_type == MediaType::video) {
    decoder.width_ = parameters->width;
    decoder.height_ = parameters->height;
    decoder.pixel_format_ = parameters->format;
  }
  decoder.time_base_ = stream->time_base;
  if (decoder.time_base_.num < 1 || decoder.time_base_.den < 1) {
    return Error::runtime("invalid stream time base");
  }

  decoder.threads_ = threads;
  if (auto failure = decoder.open_codec()) return std::move(*failure);

  decoder.packet_.reset(av_packet_alloc());
  decoder.frame_.reset(av_frame_alloc());
  decoder.video_cache_.rgb_frame.reset(av_frame_alloc());
  if (!decoder.packet_ || !decoder.frame_ || !decoder.video_cache_.rgb_frame) {
    return Error::runtime("cannot allocate decoding buffers");
  }
  decoder.cursor_.at_stream_start = true;
  return decoder;
}

Failure Decoder::open_codec() {
  const AVCodecParameters* parameters = stream()->codecpar;
  const AVCodec* codec = avcodec_find_decoder(parameters->codec_id);
  if (codec == nullptr) {
    return Error::runtime("FFmpeg has no decoder for this codec", Error::Reason::no_decoder);
  }
  codec_context_.reset(avcodec_alloc_context3(codec));
  AVCodecContext* context = codec_context_.get();
  if (context == nullptr) return Error::runtime("cannot allocate codec context");
  if (auto failure =
          check(avcodec_parameters_to_context(context, parameters), "configure decoder")) {
    return failure;
  }
  context->thread_count = threads_;
  context->pkt_timebase = stream()->time_base;
  return check(avcodec_open2(context, codec, nullptr), "open decoder");
}

Result<Decoder> Decoder::renewed(Interruption& caller) {
  Source source = Path{url_};
  if (input_) {
    auto* memory = dynamic_cast<MemoryInput*>(input_.get());
    if (memory == nullptr) {
      return Error::runtime("this input cannot be opened again in a forked child process");
    }
    source = memory->take_bytes();
  }
  auto opened = open(std::move(source), media_type_, stream_index_, threads_, watch_->timeout(),
                     io_settings_, caller);
  if (opened.ok() && !same_stream(opened.value().format(), stream_index_, stream())) {
    return Error::runtime("the input changed while it was open");
  }
  return opened;
}

// A forked child must not free the FFmpeg objects of its parent: a decoder
// with threads of its own would wait for threads that do not exist in the
// child (a hang), and buffers may return to pools whose locks such a thread
// held at the fork. Their memory is the parent's, copied only when written,
// so leaving it costs the child next to nothing; the input behind custom
// I/O (plain memory, or the caller's) is released as usual.
void Decoder::abandon() noexcept {
  video_cache_.abandon();
  (void)frame_.release();
  (void)packet_.release();
  (void)codec_context_.release();
  (void)format_context_.release();
  (void)io_context_.release();
}

// Frees in a fixed order: the video caches, the frames and packet, the
// decoder, the container, then the custom I/O and the input behind it.
Decoder::~Decoder() {
  if (inherited()) abandon();
  video_cache_.clear();
  frame_.reset();
  packet_.reset();
  codec_context_.reset();
  format_context_.reset();
  io_context_.reset();
  input_.reset();
  watch_.reset();
}

}  // namespace ffmpeg
