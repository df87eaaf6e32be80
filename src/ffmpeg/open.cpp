// Opening a decoder on one stream of a source, and tearing it down.
#include "ffmpeg/decoder.hpp"

namespace ffmpeg {

namespace {

AVMediaType av_media_type(MediaType media_type) {
  return media_type == MediaType::video ? AVMEDIA_TYPE_VIDEO : AVMEDIA_TYPE_AUDIO;
}

}  // namespace

Result<Decoder> Decoder::open(Source source, MediaType media_type, std::optional<int> stream_index,
                              int threads) {
  Decoder decoder;
  decoder.media_type = media_type;

  const char* url = nullptr;
  if (auto* path = std::get_if<Path>(&source)) {
    if (path->text.find('\0') != std::string::npos) return Error::value("path contains NUL");
    url = path->text.c_str();
  } else if (auto failure = prepare_custom_io(std::move(source), decoder)) {
    return std::move(*failure);
  }

  // On failure FFmpeg frees a pre-allocated context and nulls the pointer.
  AVFormatContext* format = decoder.format_context.release();
  const int opened = avformat_open_input(&format, url, nullptr, nullptr);
  decoder.format_context.reset(format);
  if (auto failure = check(opened, "open input")) return std::move(*failure);
  if (auto failure = check(avformat_find_stream_info(format, nullptr), "read stream metadata")) {
    return std::move(*failure);
  }

  const AVMediaType type = av_media_type(media_type);
  decoder.stream_index =
      stream_index ? *stream_index : av_find_best_stream(format, type, -1, -1, nullptr, 0);
  if (decoder.stream_index < 0 ||
      static_cast<unsigned>(decoder.stream_index) >= format->nb_streams) {
    return Error::value("no valid stream of the requested media type");
  }
  // Packets of the other streams are never needed: the demuxer may skip them.
  for (unsigned i = 0; i < format->nb_streams; ++i) {
    if (static_cast<int>(i) != decoder.stream_index) format->streams[i]->discard = AVDISCARD_ALL;
  }
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
  decoder.rgb_frame.reset(av_frame_alloc());
  if (!decoder.packet || !decoder.frame || !decoder.rgb_frame) {
    return Error::runtime("cannot allocate decoding buffers");
  }
  decoder.drained = false;
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
  resizers.clear();
  color_converter.reset();
  frame.reset();
  rgb_frame.reset();
  packet.reset();
  codec_context.reset();
  format_context.reset();
  io_context.reset();
  resizers.shrink_to_fit();
  std::vector<std::uint8_t>().swap(staging_buffer);
  std::vector<std::uint8_t>().swap(second_staging_buffer);
  reader.reset();
}

}  // namespace ffmpeg
