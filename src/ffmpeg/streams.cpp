#include "ffmpeg/streams.hpp"

namespace ffmpeg {

Result<std::vector<StreamInfo>> Decoder::streams(Source source, std::optional<double> timeout,
                                                 IoSettings io, Interruption& caller) {
  // A record that holds the container only: it is torn down as any other.
  Decoder decoder;
  decoder.io_settings_ = io;
  decoder.watch_ = std::make_unique<Watch>(timeout);
  Watching watching(*decoder.watch_, caller);
  if (auto failure = decoder.open_container(std::move(source))) return std::move(*failure);

  const AVFormatContext* format = decoder.format_context_.get();
  std::vector<StreamInfo> streams;
  streams.reserve(format->nb_streams);
  for (unsigned i = 0; i < format->nb_streams; ++i) {
    const AVCodecParameters* parameters = format->streams[i]->codecpar;
    streams.push_back({
        static_cast<int>(i),
        name(av_get_media_type_string(parameters->codec_type)).value_or("unknown"),
        name(avcodec_get_name(parameters->codec_id)),
        avcodec_find_decoder(parameters->codec_id) != nullptr,
    });
  }
  return streams;
}

}  // namespace ffmpeg
