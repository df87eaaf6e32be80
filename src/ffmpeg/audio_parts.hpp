// Steps shared by the whole-stream and the range reads of audio.
#pragma once

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

// The channel buffers joined channel after channel: all their samples, or
// `length` of them from sample `skip` on.
arrays::SampleBuffer join(const ChannelBuffers& buffers);
arrays::SampleBuffer join(const ChannelBuffers& buffers, std::size_t skip, std::size_t length);

}  // namespace ffmpeg
