// Steps shared by the whole-stream and the range reads of audio.
#pragma once

#include <cstdint>
#include <optional>

#include "arrays/buffer.hpp"
#include "ffmpeg/decoder.hpp"
#include "ffmpeg/resample.hpp"

namespace ffmpeg {

// Rewinds to the stream's first packet, then starts a fresh decoder there:
// audio decoders keep state that a flush does not reset, and every call
// must give the same samples.
[[nodiscard]] Failure position_at_start(Decoder& decoder);

// The time at which the samples converted so far end, when the first of
// them is at `first_time`.
double reached(const ChannelBuffers& buffers, double first_time, int sample_rate);

// The time at which a frame is placed when frames follow their timestamps:
// its own, but just past the stop when it begins beyond it (no more silence
// is made than the call asks for). A jump of more than `longest_gap` with
// no stop to bound it fails.
Result<double> placement(double time, double reached, std::optional<double> stop);

// Where the frames of a stream go when they follow their timestamps, in
// samples at the first frame's rate since the first frame: the one rule
// by which the whole read and the range reads place them. A frame goes
// right after the frames before it unless its timestamp strays from there
// by more than Resampler::timestamp_tolerance (it then goes at its
// timestamp, and the resampler fills or drops the difference), or lies
// ahead right after a packet the decoder skipped: the skipped samples then
// become silence, so that what follows stays at its timestamp, where a
// read that seeks past the damage finds it. Coarse timestamps (a tick
// longer than a sample, as Matroska's milliseconds) are snapped to the
// frames of a fixed-size codec: after the first frame (which may be
// shorter), one every `samples`; other codecs' frames vary in size, and
// theirs are taken as they are.
class FrameTimeline {
 public:
  FrameTimeline(const Decoder& decoder, const AudioOrigin& origin);

  int rate() const { return rate_; }
  bool coarse() const { return coarse_; }
  // The time in seconds of position(), the first frame being at `first_time`.
  double time(double first_time) const {
    return first_time + static_cast<double>(position_) / static_cast<double>(rate_);
  }
  // The position of a frame with `timestamp` and `samples`.
  std::int64_t position_of(std::int64_t timestamp, int samples) const;

  // Where the next frame goes when it follows the frames before it.
  std::int64_t position() const { return position_; }
  void set_position(std::int64_t position) { position_ = position; }
  // Places `frame` (decoded right after a skipped packet, or not), which
  // then lies at position(); returns how many samples of silence go before
  // it (positive only after a skipped packet).
  std::int64_t place(const AVFrame* frame, bool after_skip);
  // Moves on past the frame placed last.
  void advance(const AVFrame* frame);

 private:
  AVRational time_base_;
  std::int64_t origin_;
  int origin_samples_;
  int rate_;
  bool coarse_;
  bool snapped_;  // coarse timestamps of a codec with a fixed frame size
  std::int64_t tolerance_;
  std::int64_t position_ = 0;
};

// The channel buffers joined channel after channel: all their samples, or
// `length` of them from sample `skip` on.
arrays::SampleBuffer join(const ChannelBuffers& buffers);
arrays::SampleBuffer join(const ChannelBuffers& buffers, std::size_t skip, std::size_t length);

}  // namespace ffmpeg
