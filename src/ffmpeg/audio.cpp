#include "ffmpeg/audio.hpp"

#include <algorithm>
#include <cstring>

#include "ffmpeg/plan.hpp"
#include "ffmpeg/resample.hpp"

namespace ffmpeg {

namespace {

// Seeks to just before the stream's start (or its first tick when that is
// negative), falling back to 0, then starts a fresh decoder there: audio
// decoders keep state that a flush does not reset, and every call must give
// the same samples.
Failure position_at_start(Decoder& decoder) {
  if (decoder.seek(std::min<std::int64_t>(decoder.start_time(), 0) - 1)) {
    if (auto failure = decoder.seek(0)) return failure;
  }
  return decoder.open_codec();
}

arrays::SampleBuffer join(const ChannelBuffers& buffers) {
  const std::size_t length = buffers.front().size();
  const std::size_t total = length * buffers.size();
  auto block = arrays::SampleBuffer::allocate(arrays::ElementType::float32, total, total, false);
  float* out = block.as<float>();
  for (const auto& channel : buffers) {
    if (length > 0) std::memcpy(out, channel.data(), length * sizeof(float));
    out += length;
  }
  return block;
}

}  // namespace

Result<AudioBatch> decode_audio(Decoder& decoder, int sample_rate, int channels,
                                std::optional<double> stop) {
  if (decoder.media_type == MediaType::video) {
    return Error::runtime("cannot decode audio from video stream");
  }
  if (sample_rate < 1 || channels < 1 || channels > 64) {
    return Error::value("sample_rate and num_channels must be positive (channels <= 64)");
  }
  if (auto failure = position_at_start(decoder)) return std::move(*failure);

  ChannelBuffers buffers(channels);
  std::optional<Resampler> resampler;
  double first_time = 0.0;
  for (;;) {
    auto pulled = decoder.next();
    if (!pulled.ok()) return std::move(pulled).error();
    if (pulled.value() == Pulled::end) break;
    const AVFrame* frame = decoder.frame.get();
    auto timestamp = frame_timestamp(frame);
    if (!timestamp.ok()) return std::move(timestamp).error();
    if (!resampler) {
      auto created = Resampler::create(frame, sample_rate, channels);
      if (!created.ok()) return std::move(created).error();
      resampler.emplace(std::move(created).value());
      first_time = to_seconds(timestamp.value(), decoder.time_base);
    }
    if (auto failure = resampler->convert(buffers, frame)) return std::move(*failure);
    // Samples are never cut: the frame that reaches the stop time stays whole.
    const double reached =
        first_time + static_cast<double>(buffers.front().size()) / static_cast<double>(sample_rate);
    if (stop && reached >= *stop) break;
  }

  AudioBatch batch;
  if (resampler) {
    if (auto failure = resampler->flush(buffers)) return std::move(*failure);
    batch.start = first_time;
  } else {
    batch.start = to_seconds(decoder.start_time(), decoder.time_base);
  }
  batch.channels = channels;
  batch.length = buffers.front().size();
  batch.samples = join(buffers);
  return batch;
}

}  // namespace ffmpeg
