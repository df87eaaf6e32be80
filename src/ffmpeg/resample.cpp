#include "ffmpeg/resample.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libavutil/samplefmt.h>
}

namespace ffmpeg {

namespace {

// The library mixes only between layouts whose channels it knows. A count
// with no standard layout gets the source's channels in order, then silence
// (or the first `channels` of them when the source has more).
Failure pass_channels_through(SwrContext* context, int inputs, int outputs) {
  std::vector<double> matrix(static_cast<std::size_t>(inputs) * outputs, 0.0);
  for (int c = 0; c < std::min(inputs, outputs); ++c) matrix[c * inputs + c] = 1.0;
  return check(swr_set_matrix(context, matrix.data(), inputs), "configure audio resampling");
}

// Room left after the library's own bound on what one conversion returns.
constexpr int slack = 32;
constexpr int max_channels = 64;

}  // namespace

Result<Resampler> Resampler::create(const AVFrame* first, int rate, int channels,
                                    bool follow_timestamps, std::optional<double> starts_at) {
  Resampler resampler;
  resampler.continue_at_ = starts_at;
  resampler.rate_ = rate;
  resampler.channels_ = channels;
  resampler.follow_timestamps_ = follow_timestamps;
  if (auto failure = resampler.configure(first)) return std::move(*failure);
  return resampler;
}

Resampler::Resampler(Resampler&& other) noexcept
    : context_(std::move(other.context_)),
      input_layout_(std::exchange(other.input_layout_, AVChannelLayout{})),
      input_format_(other.input_format_),
      input_rate_(other.input_rate_),
      rate_(other.rate_),
      channels_(other.channels_),
      fed_(other.fed_),
      follow_timestamps_(other.follow_timestamps_),
      continue_at_(other.continue_at_) {}

Resampler::~Resampler() { av_channel_layout_uninit(&input_layout_); }

Failure Resampler::configure(const AVFrame* frame) {
  if (context_ && follow_timestamps_) {
    // Where the flushed context's output ends, in 1 / (input rate × output
    // rate) units: the new context carries on from there.
    const std::int64_t next = swr_next_pts(context_.get(), std::numeric_limits<std::int64_t>::min());
    continue_at_ = static_cast<double>(next) / (static_cast<double>(input_rate_) * rate_);
  }
  context_.reset();
  AVChannelLayout output_layout{};
  av_channel_layout_default(&output_layout, channels_);
  const bool unordered = output_layout.order == AV_CHANNEL_ORDER_UNSPEC;
  SwrContext* context = nullptr;
  // Older releases take the input layout as non-const; it is only read.
  const int configured = swr_alloc_set_opts2(&context, &output_layout, AV_SAMPLE_FMT_FLTP, rate_,
                                             const_cast<AVChannelLayout*>(&frame->ch_layout),
                                             static_cast<AVSampleFormat>(frame->format),
                                             frame->sample_rate, 0, nullptr);
  av_channel_layout_uninit(&output_layout);
  context_.reset(context);
  if (auto failure = check(configured, "configure audio resampling")) return failure;
  if (unordered) {
    if (auto failure = pass_channels_through(context, frame->ch_layout.nb_channels, channels_)) return failure;
  }
  if (follow_timestamps_) {
    if (auto failure = follow_timestamps(context, frame->sample_rate)) return failure;
  }
  if (auto failure = check(swr_init(context), "initialize audio resampling")) return failure;

  av_channel_layout_uninit(&input_layout_);
  if (auto failure = check(av_channel_layout_copy(&input_layout_, &frame->ch_layout),
                           "configure audio resampling")) {
    return failure;
  }
  input_format_ = frame->format;
  input_rate_ = frame->sample_rate;
  fed_ = 0;
  return std::nullopt;
}

Failure Resampler::follow_timestamps(SwrContext* context, int input_rate) const {
  // Hard compensation only (silence or dropped samples), never stretching,
  // and only beyond the tolerance.
  int status = av_opt_set_double(context, "min_comp", timestamp_tolerance, 0);
  if (status >= 0) status = av_opt_set_double(context, "min_hard_comp", timestamp_tolerance, 0);
  if (status >= 0 && continue_at_) {
    // In samples of the input rate.
    status = av_opt_set_int(context, "first_pts", std::llround(*continue_at_ * input_rate), 0);
  }
  return check(status, "configure audio resampling");
}

bool Resampler::same_input(const AVFrame* frame) const {
  return frame->format == input_format_ && frame->sample_rate == input_rate_ &&
         av_channel_layout_compare(&frame->ch_layout, &input_layout_) == 0;
}

Failure Resampler::run(ChannelBuffers& buffers, const std::uint8_t* const* planes, int count) {
  const int bound = swr_get_out_samples(context_.get(), count);
  if (auto failure = check(bound, "get audio output size")) return failure;
  // Convert straight into the ends of the channel buffers, which grow
  // geometrically; only what the library wrote is kept.
  const std::size_t before = buffers.front().size();
  std::array<std::uint8_t*, max_channels> outputs{};
  for (int c = 0; c < channels_; ++c) {
    buffers[c].resize(before + bound + slack);
    outputs[c] = reinterpret_cast<std::uint8_t*>(buffers[c].data() + before);
  }
  const int got = swr_convert(context_.get(), outputs.data(), bound,
                              const_cast<const std::uint8_t**>(planes), count);
  const std::size_t kept = got < 0 ? before : before + got;
  for (int c = 0; c < channels_; ++c) buffers[c].resize(kept);
  return check(got, "resample audio");
}

Failure Resampler::convert(ChannelBuffers& buffers, const AVFrame* frame, double seconds,
                           int from, std::int64_t silence) {
  if (!same_input(frame)) {
    if (auto failure = flush(buffers)) return failure;
    if (auto failure = configure(frame)) return failure;
  }
  if (silence > 0) {
    // Given as input, so that the filter runs over it as over samples;
    // the output it gives comes out with the frame's.
    const auto count = static_cast<int>(std::min<std::int64_t>(silence, 1 << 30));
    if (auto failure = check(swr_inject_silence(context_.get(), count), "resample audio")) {
      return failure;
    }
    fed_ += count;
  }
  if (follow_timestamps_) {
    // The library compares the frame's time, in 1 / (input rate × output
    // rate) units, with where its output stands, and fills or drops; it
    // reports nothing but the position.
    const double units = seconds * static_cast<double>(input_rate_) * rate_;
    swr_next_pts(context_.get(), std::llround(units));
  }
  const int count = frame->nb_samples - from;
  fed_ += count;
  if (from == 0) return run(buffers, frame->extended_data, count);
  // Planes from sample `from` on: one per channel, or one interleaved.
  const auto format = static_cast<AVSampleFormat>(frame->format);
  const bool planar = av_sample_fmt_is_planar(format) != 0;
  const int planes = planar ? frame->ch_layout.nb_channels : 1;
  const std::size_t step = static_cast<std::size_t>(av_get_bytes_per_sample(format)) *
                           (planar ? 1 : frame->ch_layout.nb_channels) * from;
  std::vector<const std::uint8_t*> moved(planes);
  for (int p = 0; p < planes; ++p) moved[p] = frame->extended_data[p] + step;
  return run(buffers, moved.data(), count);
}

Failure Resampler::flush(ChannelBuffers& buffers) {
  const std::size_t start = buffers.front().size();
  // The output the buffered input still owes, rounded up.
  const std::int64_t owed = swr_get_delay(context_.get(), rate_);
  // When the input was shorter than about twice the filter (long at low
  // output rates: 32 input samples per output sample), the library's own
  // end padding is too short to bring out the owed samples, up to all of
  // them. Silence behind the input brings them out; what follows is cut.
  const double filter = 33.0 * input_rate_ / rate_;
  const bool pad = rate_ < input_rate_ && static_cast<double>(fed_) < 2 * filter;
  if (pad) {
    if (auto failure = check(swr_inject_silence(context_.get(), static_cast<int>(std::min(
                                                                    filter, 1.0e9))),
                             "resample audio")) {
      return failure;
    }
  }
  // The output bound asked before flushing can leave out the padding the
  // flush adds: ask again until nothing more comes.
  for (;;) {
    const std::size_t before = buffers.front().size();
    if (auto failure = run(buffers, nullptr, 0)) return failure;
    if (buffers.front().size() == before) break;
  }
  if (pad) {
    const std::size_t kept = std::min(buffers.front().size(), start + static_cast<std::size_t>(owed));
    for (auto& buffer : buffers) buffer.resize(kept);
  }
  return std::nullopt;
}

}  // namespace ffmpeg
