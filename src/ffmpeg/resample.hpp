// The audio conversion stage of one decode_audio call: any decoded sample
// format, layout and rate to planar float at the requested rate and count.
#pragma once

#include <cstdint>
#include <vector>

#include "ffmpeg/error.hpp"
#include "ffmpeg/handles.hpp"

namespace ffmpeg {

// One growing list of samples per output channel; all the same length.
using ChannelBuffers = std::vector<std::vector<float>>;

class Resampler {
 public:
  // Converts frames shaped like `first` to `channels` channels at `rate`.
  static Result<Resampler> create(const AVFrame* first, int rate, int channels);

  Resampler(Resampler&& other) noexcept;
  Resampler& operator=(Resampler&&) = delete;
  ~Resampler();

  // Appends one frame's converted samples. A frame whose sample format,
  // layout or rate differs from the frames before it first flushes this
  // context and rebuilds it from the new frame.
  [[nodiscard]] Failure convert(ChannelBuffers& buffers, const AVFrame* frame);
  // Appends the samples the context still holds.
  [[nodiscard]] Failure flush(ChannelBuffers& buffers);

 private:
  Resampler() = default;
  Failure configure(const AVFrame* frame);
  Failure run(ChannelBuffers& buffers, const std::uint8_t* const* planes, int count);
  bool same_input(const AVFrame* frame) const;

  ResampleContextPtr context_;
  AVChannelLayout input_layout_{};
  int input_format_ = -1;
  int input_rate_ = 0;
  int rate_ = 0;
  int channels_ = 0;
};

}  // namespace ffmpeg
