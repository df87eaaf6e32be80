// The audio conversion stage of one decode_audio call: any decoded sample
// format, layout and rate to planar float at the requested rate and count.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "ffmpeg/error.hpp"
#include "ffmpeg/handles.hpp"

namespace ffmpeg {

// One growing list of samples per output channel; all the same length.
using ChannelBuffers = std::vector<std::vector<float>>;

class Resampler {
 public:
  // Converts frames shaped like `first` to `channels` channels at `rate`.
  // With `follow_timestamps`, each frame is placed at its own time (see
  // `convert`) rather than right after the samples before it.
  // A read that begins inside the stream gives `starts_at`, the time its
  // output begins: a first frame later than that comes after silence.
  static Result<Resampler> create(const AVFrame* first, int rate, int channels,
                                  bool follow_timestamps = false,
                                  std::optional<double> starts_at = std::nullopt);

  Resampler(Resampler&& other) noexcept;
  Resampler& operator=(Resampler&&) = delete;
  ~Resampler();

  // Appends one frame's converted samples. A frame whose sample format,
  // layout or rate differs from the frames before it first flushes this
  // context and rebuilds it from the new frame. When following timestamps,
  // `seconds` is the frame's time: a gap of more than `timestamp_tolerance`
  // since the samples before it is filled with silence, and an overlap of
  // more than that drops as many samples. The frame's first `from` samples
  // are left out (a read that begins inside the frame). `silence` samples
  // (at the frame's rate) of silence go before it: what a skipped packet
  // held (see FrameTimeline).
  [[nodiscard]] Failure convert(ChannelBuffers& buffers, const AVFrame* frame,
                                double seconds = 0.0, int from = 0, std::int64_t silence = 0);
  // Appends the samples the context still holds.
  [[nodiscard]] Failure flush(ChannelBuffers& buffers);
  // Counts `samples` as given already: a read that starts inside the stream
  // ends it as the whole read would (see `flush`).
  void count_as_fed(std::int64_t samples) { fed_ += samples; }

  // Seconds by which a frame may stray from where the samples before it end
  // without being moved: well above the jitter of rounded timestamps, and
  // the threshold the ffmpeg tool's `aresample=async=1` uses.
  static constexpr double timestamp_tolerance = 0.1;

 private:
  Resampler() = default;
  Failure configure(const AVFrame* frame);
  Failure follow_timestamps(SwrContext* context, int input_rate) const;
  Failure run(ChannelBuffers& buffers, const std::uint8_t* const* planes, int count);
  bool same_input(const AVFrame* frame) const;

  ResampleContextPtr context_;
  AVChannelLayout input_layout_{};
  int input_format_ = -1;
  int input_rate_ = 0;
  int rate_ = 0;
  int channels_ = 0;
  std::int64_t fed_ = 0;  // input samples given to this context
  bool follow_timestamps_ = false;
  // While following timestamps: where the output stands, in seconds, when a
  // rebuilt context takes over; unset for the first context.
  std::optional<double> continue_at_;
};

}  // namespace ffmpeg
