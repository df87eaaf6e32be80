#include "ffmpeg/audio_parts.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>

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
