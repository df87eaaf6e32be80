#include "ffmpeg/audio_parts.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ffmpeg/plan.hpp"

extern "C" {
#include <libavutil/mathematics.h>
}

namespace ffmpeg {

Failure position_at_start(Decoder& decoder) {
  if (auto failure = decoder.rewind()) return failure;
  return decoder.open_codec();
}

double reached(const ChannelBuffers& buffers, double first_time, int sample_rate) {
  return first_time +
         static_cast<double>(buffers.front().size()) / static_cast<double>(sample_rate);
}

namespace {

// The longest run of silence a gap in the timestamps may add when no stop
// time bounds it: a timestamp is only the file's word, and a jump of hours
// would otherwise take gigabytes.
constexpr double longest_gap = 600.0;  // seconds

}  // namespace

Result<double> placement(double time, double reached, std::optional<double> stop) {
  // The silence before a frame past the stop is the same up to the stop
  // (and a filter's length beyond) wherever the frame is put.
  constexpr double beyond_stop = 1.0;  // seconds, far more than any filter
  if (stop && time >= *stop) return std::min(time, std::max(*stop, reached) + beyond_stop);
  if (time - reached > longest_gap) {
    char text[160];
    std::snprintf(text, sizeof text,
                  "audio timestamps jump ahead by %.6g s at %.6g s; give a stop time to read "
                  "across the gap",
                  time - reached, reached);
    return Error::runtime(text);
  }
  return time;
}

FrameTimeline::FrameTimeline(const Decoder& decoder, const AudioOrigin& origin)
    : time_base_(decoder.time_base()),
      origin_(origin.timestamp.value_or(0)),
      origin_samples_(origin.samples),
      rate_(origin.sample_rate),
      coarse_(static_cast<std::int64_t>(time_base_.num) * origin.sample_rate > time_base_.den),
      snapped_(coarse_ && decoder.stream()->codecpar->frame_size > 0),
      tolerance_(static_cast<std::int64_t>(Resampler::timestamp_tolerance * origin.sample_rate)) {}

std::int64_t FrameTimeline::position_of(std::int64_t timestamp, int samples) const {
  const std::int64_t position = av_rescale_q(timestamp - origin_, time_base_, AVRational{1, rate_});
  if (!snapped_ || position <= 0 || samples < 1) return position;
  const std::int64_t frames = (position - origin_samples_ + samples / 2) / samples;
  return origin_samples_ + std::max<std::int64_t>(frames, 0) * samples;
}

std::int64_t FrameTimeline::place(const AVFrame* frame, bool after_skip) {
  auto timestamp = frame_timestamp(frame);
  if (!timestamp.ok()) return 0;
  const std::int64_t stamped = position_of(timestamp.value(), frame->nb_samples);
  const std::int64_t ahead = stamped - position_;
  if (std::llabs(ahead) > tolerance_) {
    position_ = stamped;
    return 0;
  }
  // Only frames at the first rate: the silence is counted in its samples.
  if (!after_skip || ahead <= 0 || frame->sample_rate != rate_) return 0;
  position_ = stamped;
  return ahead;
}

void FrameTimeline::advance(const AVFrame* frame) {
  position_ += frame->sample_rate == rate_
                   ? frame->nb_samples
                   : av_rescale(frame->nb_samples, rate_, frame->sample_rate);
}

arrays::SampleBuffer join(const ChannelBuffers& buffers) {
  return join(buffers, 0, buffers.front().size());
}

arrays::SampleBuffer join(const ChannelBuffers& buffers, std::size_t skip, std::size_t length) {
  const std::size_t total = length * buffers.size();
  auto block = arrays::SampleBuffer::allocate(arrays::ElementType::float32, total, total);
  float* out = block.as<float>();
  for (const auto& channel : buffers) {
    if (length > 0) std::memcpy(out, channel.data() + skip, length * sizeof(float));
    out += length;
  }
  return block;
}

}  // namespace ffmpeg
