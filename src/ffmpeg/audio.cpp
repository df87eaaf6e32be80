#include "ffmpeg/audio.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <new>

#include "ffmpeg/audio_parts.hpp"
#include "ffmpeg/plan.hpp"
#include "ffmpeg/resample.hpp"

namespace ffmpeg {

namespace {

// Samples per channel that the stream's stated length (or the stop time,
// when it comes first) suggests, so that the channel buffers seldom grow.
// Only a hint, and bounded: a header may state anything.
std::size_t expected_length(const Decoder& decoder, int sample_rate, int channels,
                            std::optional<double> stop) {
  const AVStream* stream = decoder.stream();
  double seconds = 0.0;
  if (stream->duration != AV_NOPTS_VALUE && stream->duration > 0) {
    seconds = to_seconds(stream->duration, stream->time_base);
  } else if (decoder.format()->duration != AV_NOPTS_VALUE &&
             decoder.format()->duration > 0) {
    seconds = static_cast<double>(decoder.format()->duration) / AV_TIME_BASE;
  }
  if (stop && !std::isnan(*stop)) {
    const double start = to_seconds(decoder.start_time(), decoder.time_base());
    seconds = std::min(seconds, std::max(*stop - start, 0.0));
  }
  constexpr double margin = 4096;                                // samples
  const double bound = static_cast<double>(1 << 26) / channels;  // 256 MB of samples in all
  const double samples = std::min(seconds * sample_rate + margin, bound);
  return samples > 0 ? static_cast<std::size_t>(samples) : 0;
}

}  // namespace

Result<AudioBatch> decode_audio(Decoder& decoder, int sample_rate, int channels,
                                std::optional<double> stop, bool honour_timestamps,
                                PumpPolicy& pump) {
  if (decoder.media_type() == MediaType::video) {
    return Error::runtime("cannot decode audio from video stream");
  }
  if (sample_rate < 1 || channels < 1 || channels > 64) {
    return Error::value("sample_rate and num_channels must be positive (channels <= 64)");
  }
  if (auto failure = position_at_start(decoder)) return std::move(*failure);

  ChannelBuffers buffers(channels);
  try {
    const std::size_t expected = expected_length(decoder, sample_rate, channels, stop);
    for (auto& buffer : buffers) buffer.reserve(expected);
  } catch (const std::bad_alloc&) {
    // Only a hint: the buffers grow as they fill.
  }
  std::optional<Resampler> resampler;
  std::optional<FrameTimeline> timeline;  // when following the timestamps
  double first_time = 0.0;
  for (;;) {
    const std::size_t skipped = pump.skipped;
    auto pulled = decoder.next(pump);
    if (!pulled.ok()) return std::move(pulled).error();
    if (pulled.value() == Pulled::end) break;
    const AVFrame* frame = decoder.frame();
    auto timestamp = frame_timestamp(frame);
    if (!timestamp.ok()) return std::move(timestamp).error();
    const double time = to_seconds(timestamp.value(), decoder.time_base());
    if (!resampler) {
      auto created = Resampler::create(frame, sample_rate, channels, honour_timestamps);
      if (!created.ok()) return std::move(created).error();
      resampler.emplace(std::move(created).value());
      first_time = time;
      if (honour_timestamps) {
        timeline.emplace(decoder, AudioOrigin{timestamp.value(), frame->sample_rate, frame->nb_samples});
      }
    }
    double placed = time;
    std::int64_t silence = 0;
    if (timeline) {
      // The frame goes where the timeline puts it, the time a range read
      // gives it too (coarse timestamps snapped, jitter ignored).
      silence = timeline->place(frame, pump.skipped != skipped);
      auto at = placement(timeline->time(first_time), reached(buffers, first_time, sample_rate),
                          stop);
      if (!at.ok()) return std::move(at).error();
      placed = at.value();
      timeline->advance(frame);
    }
    if (auto failure = resampler->convert(buffers, frame, placed, 0, silence)) {
      return std::move(*failure);
    }
    // Samples are never cut: the frame that reaches the stop time stays whole.
    if (stop && reached(buffers, first_time, sample_rate) >= *stop) break;
  }

  AudioBatch batch;
  if (resampler) {
    if (auto failure = resampler->flush(buffers)) return std::move(*failure);
    batch.start = first_time;
  } else {
    batch.start = to_seconds(decoder.start_time(), decoder.time_base());
  }
  batch.channels = channels;
  batch.length = buffers.front().size();
  batch.samples = join(buffers);
  return batch;
}

}  // namespace ffmpeg
