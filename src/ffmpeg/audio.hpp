// decode_audio on the media side: the whole stream, or up to a stop time,
// as planar float at the requested rate and channel count.
#pragma once

#include <cstddef>
#include <optional>

#include "arrays/buffer.hpp"
#include "ffmpeg/decoder.hpp"

namespace ffmpeg {

// Samples of shape (channels, length), channel after channel, and the time
// in seconds at which they begin.
struct AudioBatch {
  arrays::SampleBuffer samples;
  int channels = 0;
  std::size_t length = 0;
  double start = 0.0;
};

// By default sample k is placed at the first frame's time + k / rate. With
// `honour_timestamps`, every frame is placed at its own time instead: a gap
// between frames is filled with silence and an overlap dropped, once either
// exceeds Resampler::timestamp_tolerance.
Result<AudioBatch> decode_audio(Decoder& decoder, int sample_rate, int channels,
                                std::optional<double> stop, bool honour_timestamps,
                                PumpPolicy& pump);

}  // namespace ffmpeg
