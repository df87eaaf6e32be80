// Opening a decoder on one stream of a source, and tearing it down.
#include "ffmpeg/decoder.hpp"

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

}  // namespace

// Opens the container afresh, from the path or through the custom I/O, and
// reads its stream information. A reopening reports its failures as the
// seek it stands for.
Result<FormatContextPtr> Decoder::open_input(bool reopening) const {
  FormatContextPtr format;
  if (io_context) {
    format.reset(avformat_alloc_context());
    if (!format) return Error::runtime("cannot allocate format context");
    format->pb = io_context.get();
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
      avformat_open_input(&opening, io_context ? nullptr : url.c_str(), nullptr, nullptr);
  format.reset(opening);
  if (auto failure = check(opened, reopening ? "seek" : "open input")) return std::move(*failure);
  if (auto failure = check(avformat_find_stream_info(format.get(), nullptr),
                           reopening ? "seek" : "read stream metadata")) {
    return std::move(*failure);
  }
  return format;
}

// Reads the input again from its first byte, as opening did, for a rewind
// that a seek cannot do without skipping packets.
Failure Decoder::reopen_input() {
  av_packet_unref(packet.get());
  packet_pending = false;
  at_stream_start = false;
  if (io_context) {
    const std::int64_t sought = avio_seek(io_context.get(), 0, SEEK_SET);
    if (auto failure = check(sought < 0 ? static_cast<int>(sought) : 0, "seek")) {
      return failure;
    }
  }
  auto reopened = open_input(true);
  if (!reopened.ok()) return std::move(reopened).error();
  AVFormatContext* format = reopened.value().get();
  // The same file must describe the same stream.
  const AVStream* before = stream();
  if (static_cast<unsigned>(stream_index) >= format->nb_streams ||
      format->streams[stream_index]->codecpar->codec_type != before->codecpar->codec_type ||
      format->streams[stream_index]->codecpar->codec_id != before->codecpar->codec_id ||
      av_cmp_q(format->streams[stream_index]->time_base, before->time_base) != 0) {
    return Error::runtime("the input changed while it was open");
  }
  discard_other_streams(format, stream_index);
  format_context = std::move(reopened).value();
  at_stream_start = true;
  return std::nullopt;
}

Result<Decoder> Decoder::open(Source source, MediaType media_type, std::optional<int> stream_index,
                              int threads) {
  Decoder decoder;
  decoder.media_type = media_type;

  if (auto* path = std::get_if<Path>(&source)) {
    if (path->text.find('\0') != std::string::npos) return Error::value("path contains NUL");
    decoder.url = std::move(path->text);
  } else if (auto failure = prepare_custom_io(std::move(source), decoder)) {
    return std::move(*failure);
  }
  auto opened = decoder.open_input(false);
  if (!opened.ok()) return std::move(opened).error();
  decoder.format_context = std::move(opened).value();
  AVFormatContext* format = decoder.format_context.get();

  const AVMediaType type = av_media_type(media_type);
  decoder.stream_index =
      stream_index ? *stream_index : av_find_best_stream(format, type, -1, -1, nullptr, 0);
  if (decoder.stream_index < 0 ||
      static_cast<unsigned>(decoder.stream_index) >= format->nb_streams) {
    return Error::value("no valid stream of the requested media type");
  }
  discard_other_streams(format, decoder.stream_index);
  const AVStream* stream = format->streams[decoder.stream_index];
  const AVCodecParameters* parameters = stream->codecpar;
  if (parameters->codec_type != type) return Error::value("stream has the wrong media type");
  if (media_type == MediaType::video) {
    decoder.width = parameters->width;
    decoder.height = parameters->height;
    decoder.pixel_format = parameters->format;
  }
  decoder.time_base = stream->time_base;
  if (decoder.time_base.num < 1 || decoder.time_base.den < 1) {
    return Error::runtime("invalid stream time base");
  }

  decoder.threads = threads;
  if (auto failure = decoder.open_codec()) return std::move(*failure);

  decoder.packet.reset(av_packet_alloc());
  decoder.frame.reset(av_frame_alloc());
  decoder.video_cache.rgb_frame.reset(av_frame_alloc());
  if (!decoder.packet || !decoder.frame || !decoder.video_cache.rgb_frame) {
    return Error::runtime("cannot allocate decoding buffers");
  }
  decoder.drained = false;
  decoder.at_stream_start = true;
  return decoder;
}

Failure Decoder::open_codec() {
  const AVCodecParameters* parameters = stream()->codecpar;
  const AVCodec* codec = avcodec_find_decoder(parameters->codec_id);
  if (codec == nullptr) return Error::runtime("FFmpeg has no decoder for this codec");
  codec_context.reset(avcodec_alloc_context3(codec));
  AVCodecContext* context = codec_context.get();
  if (context == nullptr) return Error::runtime("cannot allocate codec context");
  if (auto failure =
          check(avcodec_parameters_to_context(context, parameters), "configure decoder")) {
    return failure;
  }
  context->thread_count = threads;
  context->pkt_timebase = stream()->time_base;
  return check(avcodec_open2(context, codec, nullptr), "open decoder");
}

// Frees in a fixed order: the video caches, the frames and packet, the
// decoder, the container, then the custom I/O and the reader behind it.
Decoder::~Decoder() {
  video_cache.clear();
  frame.reset();
  packet.reset();
  codec_context.reset();
  format_context.reset();
  io_context.reset();
  reader.reset();
}

}  // namespace ffmpeg
