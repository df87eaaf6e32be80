#include "ffmpeg/resample.hpp"

#include <array>
#include <utility>

extern "C" {
#include <libavutil/channel_layout.h>
}

namespace ffmpeg {

namespace {

// Room left after the library's own bound on what one conversion returns.
constexpr int slack = 32;
constexpr int max_channels = 64;

}  // namespace

Result<Resampler> Resampler::create(const AVFrame* first, int rate, int channels) {
  Resampler resampler;
  resampler.rate_ = rate;
  resampler.channels_ = channels;
  if (auto failure = resampler.configure(first)) return std::move(*failure);
  return resampler;
}

Resampler::Resampler(Resampler&& other) noexcept
    : context_(std::move(other.context_)),
      input_layout_(std::exchange(other.input_layout_, AVChannelLayout{})),
      input_format_(other.input_format_),
      input_rate_(other.input_rate_),
      rate_(other.rate_),
      channels_(other.channels_) {}

Resampler::~Resampler() { av_channel_layout_uninit(&input_layout_); }

Failure Resampler::configure(const AVFrame* frame) {
  context_.reset();
  AVChannelLayout output_layout{};
  av_channel_layout_default(&output_layout, channels_);
  SwrContext* context = nullptr;
  // Older releases take the input layout as non-const; it is only read.
  const int configured = swr_alloc_set_opts2(&context, &output_layout, AV_SAMPLE_FMT_FLTP, rate_,
                                             const_cast<AVChannelLayout*>(&frame->ch_layout),
                                             static_cast<AVSampleFormat>(frame->format),
                                             frame->sample_rate, 0, nullptr);
  av_channel_layout_uninit(&output_layout);
  context_.reset(context);
  if (auto failure = check(configured, "configure audio resampling")) return failure;
  if (auto failure = check(swr_init(context), "initialize audio resampling")) return failure;

  av_channel_layout_uninit(&input_layout_);
  if (auto failure = check(av_channel_layout_copy(&input_layout_, &frame->ch_layout),
                           "configure audio resampling")) {
    return failure;
  }
  input_format_ = frame->format;
  input_rate_ = frame->sample_rate;
  return std::nullopt;
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

Failure Resampler::convert(ChannelBuffers& buffers, const AVFrame* frame) {
  if (!same_input(frame)) {
    if (auto failure = flush(buffers)) return failure;
    if (auto failure = configure(frame)) return failure;
  }
  return run(buffers, frame->extended_data, frame->nb_samples);
}

Failure Resampler::flush(ChannelBuffers& buffers) { return run(buffers, nullptr, 0); }

}  // namespace ffmpeg
