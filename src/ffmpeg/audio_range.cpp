#include "ffmpeg/audio_range.hpp"

#include <algorithm>
#include <cmath>
#include <new>
#include <memory>
#include <numeric>

#include "ffmpeg/audio_parts.hpp"
#include "ffmpeg/plan.hpp"
#include "ffmpeg/preroll.hpp"
#include "ffmpeg/resample.hpp"

extern "C" {
#include <libavutil/mathematics.h>
}

namespace ffmpeg {

Result<AudioOrigin> audio_origin(Decoder& decoder, PumpPolicy& pump) {
  if (decoder.audio_origin()) return *decoder.audio_origin();
  if (auto failure = position_at_start(decoder)) return std::move(*failure);
  auto pulled = decoder.next(pump);
  if (!pulled.ok()) return std::move(pulled).error();
  AudioOrigin origin;
  if (pulled.value() == Pulled::frame) {
    auto timestamp = frame_timestamp(decoder.frame());
    if (!timestamp.ok()) return std::move(timestamp).error();
    origin.timestamp = timestamp.value();
    origin.sample_rate = decoder.frame()->sample_rate;
    origin.samples = decoder.frame()->nb_samples;
  }
  decoder.keep_audio_origin(origin);
  return origin;
}

Result<std::optional<double>> audio_start_time(Decoder& decoder, PumpPolicy& pump) {
  if (decoder.media_type() == MediaType::video) {
    return Error::runtime("cannot decode audio from video stream");
  }
  auto origin = audio_origin(decoder, pump);
  if (!origin.ok()) return std::move(origin).error();
  const auto& timestamp = origin.value().timestamp;
  if (!timestamp) return std::optional<double>();
  return std::optional<double>(to_seconds(*timestamp, decoder.time_base()));
}

namespace {

std::int64_t floor_div(std::int64_t a, std::int64_t b) {
  const std::int64_t q = a / b;
  return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

// How output samples sit on the input: the resampler centres output sample
// k on input sample k × in / out, so every `out_step` output samples span
// exactly `in_step` input ones, and a resampler started on a multiple of
// `in_step` computes the same samples as one started at the stream's first,
// once `history` input samples lie behind it.
struct Grid {
  int input_rate;
  int output_rate;
  std::int64_t in_step;
  std::int64_t out_step;
  std::int64_t history;

  static Grid of(int input_rate, int output_rate) {
    const std::int64_t common = std::gcd(input_rate, output_rate);
    // The library's default filter: 32 taps of the lower rate, widened by
    // its cutoff (0.97); twice that, and some, is ample.
    const double taps = 34.0 * std::max(1.0, static_cast<double>(input_rate) / output_rate);
    const std::int64_t history =
        input_rate == output_rate ? 0 : 2 * static_cast<std::int64_t>(std::ceil(taps)) + 16;
    return {input_rate, output_rate, input_rate / common, output_rate / common, history};
  }
  // The latest input sample on the grid from which output sample `index`
  // is computed as the whole read computes it; and the output sample there.
  std::int64_t start_input(std::int64_t index) const {
    const std::int64_t centre = av_rescale_rnd(index, input_rate, output_rate, AV_ROUND_DOWN);
    return std::max<std::int64_t>(0, floor_div(centre - history, in_step) * in_step);
  }
  std::int64_t output_at(std::int64_t input) const { return input / in_step * out_step; }
};

// One range read: where the decoder stands (input samples since the first
// frame) and what it produced.
class RangeRead {
 public:
  RangeRead(Decoder& decoder, PumpPolicy& pump, const AudioOrigin& origin, int rate,
            int channels)
      : decoder_(decoder),
        pump_(pump),
        origin_(*origin.timestamp),
        timeline_(decoder, origin),
        grid_(Grid::of(origin.sample_rate, rate)),
        first_time_(to_seconds(origin_, decoder.time_base())),
        channels_(channels),
        buffers_(channels) {}

  // Output samples [first, end), from input sample `from` on the grid.
  Failure read(std::int64_t first, std::optional<std::int64_t> end);
  // The same, going on from where an earlier read stopped.
  Failure resume(AudioContinuation&& kept, std::optional<std::int64_t> end);
  // What the next read needs to go on after output sample `end`.
  std::shared_ptr<AudioContinuation> continuation(std::int64_t end);

  const ChannelBuffers& buffers() const { return buffers_; }
  std::int64_t output_start() const { return output_start_; }
  // Where the input ended, when the read reached it.
  std::optional<std::int64_t> input_end() const { return input_end_; }
  bool fed() const { return resampler_.has_value(); }
  // Whether the last frame converted was put nearer than its time, past
  // the stop (see placement): a read going on from here would find it
  // misplaced, so the next one must seek instead.
  bool moved_last() const { return moved_last_; }

 private:
  Failure land(std::int64_t from);
  Result<bool> place();
  Result<bool> pull();
  Failure feed(std::int64_t from, std::optional<std::int64_t> end, bool pull_first);

  Decoder& decoder_;
  PumpPolicy& pump_;
  std::int64_t origin_;
  FrameTimeline timeline_;  // where the frames go, and where the next one does
  Grid grid_;
  double first_time_;
  int channels_;
  ChannelBuffers buffers_;
  std::optional<Resampler> resampler_;
  std::int64_t output_start_ = 0;
  std::optional<std::int64_t> input_end_;
  bool after_skip_ = false;  // a packet was skipped just before the frame in the record
  bool moved_last_ = false;
};

// The next frame, or false at the end of the stream.
Result<bool> RangeRead::pull() {
  const std::size_t skipped = pump_.skipped;
  auto pulled = decoder_.next(pump_);
  if (!pulled.ok()) return std::move(pulled).error();
  after_skip_ = pump_.skipped != skipped;
  return pulled.value() == Pulled::frame;
}

// Decodes up to the first frame with a timestamp and sets the position from
// it; false when the stream ends first. Frames without one (a demuxer that
// learns times only at the end of a page) are part of the pre-roll.
Result<bool> RangeRead::place() {
  constexpr int most_untimed = 64;
  for (int frame = 0; frame < most_untimed; ++frame) {
    auto more = pull();
    if (!more.ok() || !more.value()) return more;
    auto timestamp = frame_timestamp(decoder_.frame());
    if (!timestamp.ok()) continue;
    timeline_.set_position(timeline_.position_of(timestamp.value(), decoder_.frame()->nb_samples));
    return true;
  }
  return Error::runtime("decoded frame has no timestamp");
}

// Seeks far enough before input sample `from` for the decoder to have
// settled there, with a decoder in its initial state, and leaves the first
// placed frame in the record. A seek that lands too late is tried again
// further back; the stream's start is the last resort, and always right.
Failure RangeRead::land(std::int64_t from) {
  const AVCodecParameters* parameters = decoder_.stream()->codecpar;
  const std::int64_t preroll = preroll_samples(parameters);
  // Coarse timestamps place only frames of a fixed size; other streams
  // with them are read from the start.
  const bool placeable = !timeline_.coarse() || parameters->frame_size > 0;
  std::int64_t back = preroll;
  for (int attempt = 0; placeable && attempt < 4 && from - back > 0; ++attempt) {
    const std::int64_t target =
        origin_ + av_rescale_q_rnd(from - back, AVRational{1, grid_.input_rate},
                                   decoder_.time_base(), AV_ROUND_DOWN);
    const bool sought = !decoder_.seek(target).has_value();
    if (!sought) break;
    if (auto failure = decoder_.open_codec()) return failure;
    auto placed = place();
    if (!placed.ok()) return std::move(placed).error();
    if (placed.value() && timeline_.position() <= from - preroll) return std::nullopt;
    // Too late (or past the end): go back by what was missing, and more.
    const std::int64_t missing = placed.value() ? timeline_.position() - (from - preroll) : back;
    back = 2 * back + missing;
  }
  if (auto failure = position_at_start(decoder_)) return failure;
  auto placed = place();
  if (!placed.ok()) return std::move(placed).error();
  if (!placed.value()) input_end_ = 0;
  return std::nullopt;
}

Failure RangeRead::read(std::int64_t first, std::optional<std::int64_t> end) {
  const std::int64_t from = grid_.start_input(first);
  output_start_ = grid_.output_at(from);
  if (auto failure = land(from)) return failure;
  if (input_end_) return std::nullopt;
  try {
    // Only a hint, and bounded (256 MB of samples in all): `end` may be
    // far past the stream's end.
    const std::int64_t hint = end ? *end - output_start_ : grid_.output_rate;
    const std::int64_t most = (std::int64_t{1} << 26) / channels_;
    const auto expected = static_cast<std::size_t>(std::min(hint, most) + 4096);
    for (auto& buffer : buffers_) buffer.reserve(expected);
  } catch (const std::bad_alloc&) {
    // Only a hint: the buffers grow as they fill.
  }
  return feed(from, end, false);
}

Failure RangeRead::resume(AudioContinuation&& kept, std::optional<std::int64_t> end) {
  buffers_ = std::move(kept.surplus);
  resampler_.emplace(std::move(*kept.resampler));
  timeline_.set_position(kept.position);
  output_start_ = kept.next;
  input_end_ = kept.input_end;
  // The samples kept may cover this read already (pieces shorter than a
  // frame): the next frame waits for the read that needs it.
  const auto kept_up_to = output_start_ + static_cast<std::int64_t>(buffers_.front().size());
  if (input_end_ || (end && kept_up_to >= *end)) return std::nullopt;
  return feed(timeline_.position(), end, true);
}

std::shared_ptr<AudioContinuation> RangeRead::continuation(std::int64_t end) {
  auto kept = std::make_shared<AudioContinuation>();
  kept->sample_rate = grid_.output_rate;
  kept->channels = channels_;
  kept->next = end;
  kept->position = timeline_.position();
  kept->input_end = input_end_;
  const auto used = static_cast<std::ptrdiff_t>(end - output_start_);
  for (auto& buffer : buffers_) buffer.erase(buffer.begin(), buffer.begin() + used);
  kept->surplus = std::move(buffers_);
  kept->resampler.emplace(std::move(*resampler_));
  return kept;
}

// Converts the frames from input sample `from` on, the one in the record
// first (or the next one, with `pull_first`), until output sample `end` or
// the end of the stream. Stopping at `end`, the position is the next frame's.
Failure RangeRead::feed(std::int64_t from, std::optional<std::int64_t> end, bool pull_first) {
  const auto rate = static_cast<double>(grid_.output_rate);
  const std::optional<double> stop =
      end ? std::optional<double>(first_time_ + static_cast<double>(*end) / rate) : std::nullopt;
  const double start_time = first_time_ + static_cast<double>(output_start_) / rate;
  bool have = true;
  if (pull_first) {
    auto more = pull();
    if (!more.ok()) return std::move(more).error();
    have = more.value();
  }
  while (have) {
    const AVFrame* frame = decoder_.frame();
    // Frames follow one another unless their timestamps jump, or a skipped
    // packet left a gap, as in the whole read.
    const std::int64_t expected = timeline_.position();
    const std::int64_t gap = timeline_.place(frame, after_skip_);
    const std::int64_t position = timeline_.position();
    const std::int64_t next = position + frame->nb_samples;
    if (next > from) {
      const auto skip = static_cast<int>(std::max<std::int64_t>(0, from - position));
      // The part of the gap's silence from `from` on: of the gap a skipped
      // packet left, or of any gap the read begins in (a frame that lies
      // past `from` comes after a jump of its timestamps, however little
      // of it is left from `from` on; the whole read filled it all).
      const std::int64_t silence =
          gap > 0 || !resampler_ ? std::max<std::int64_t>(0, position - std::max(expected, from))
                                 : 0;
      if (!resampler_) {
        // Its output begins at `from` even when the first frame comes later
        // (a gap in the timestamps), as the whole read's does.
        const double starts_at = first_time_ + static_cast<double>(from) / grid_.input_rate;
        auto created = Resampler::create(frame, grid_.output_rate, channels_, true, starts_at);
        if (!created.ok()) return std::move(created).error();
        resampler_.emplace(std::move(created).value());
        resampler_->count_as_fed(from);
      }
      const double time =
          first_time_ + static_cast<double>(position + skip) / grid_.input_rate;
      auto placed = placement(time, reached(buffers_, start_time, grid_.output_rate), stop);
      if (!placed.ok()) return std::move(placed).error();
      moved_last_ = placed.value() != time;
      if (auto failure = resampler_->convert(buffers_, frame, placed.value(), skip, silence)) {
        return failure;
      }
      const auto produced = static_cast<std::int64_t>(buffers_.front().size());
      if (end && output_start_ + produced >= *end) {
        timeline_.set_position(next);
        return std::nullopt;
      }
    }
    timeline_.set_position(next);
    auto more = pull();
    if (!more.ok()) return std::move(more).error();
    have = more.value();
  }
  input_end_ = timeline_.position();
  if (resampler_) return resampler_->flush(buffers_);
  return std::nullopt;
}

// The largest output index a read works with: past any stream's end (17
// years at the highest rates), and small enough that the input positions
// and timestamps computed from it fit 64 bits. A bound beyond it stands
// for it: a read there finds the stream's end.
std::int64_t last_index(const Decoder& decoder, int input_rate, int output_rate) {
  constexpr double most = static_cast<double>(std::int64_t{1} << 60);
  const AVRational base = decoder.time_base();
  const double seconds = std::min({most / input_rate, most / output_rate,
                                   base.den > 0 && base.num > 0 ? most * base.num / base.den : most});
  return static_cast<std::int64_t>(std::min(most, std::floor(seconds * output_rate)));
}

}  // namespace

Result<AudioRange> decode_audio_range(Decoder& decoder, int sample_rate, int channels,
                                      std::int64_t first, std::optional<std::int64_t> end,
                                      PumpPolicy& pump) {
  if (decoder.media_type() == MediaType::video) {
    return Error::runtime("cannot decode audio from video stream");
  }
  if (sample_rate < 1 || channels < 1 || channels > 64) {
    return Error::value("sample_rate and num_channels must be positive (channels <= 64)");
  }
  if (first < 0 || (end && *end < first)) {
    return Error::value("first and end must be sample indices with 0 <= first <= end");
  }
  auto found = audio_origin(decoder, pump);
  if (!found.ok()) return std::move(found).error();
  const AudioOrigin& origin = found.value();
  AudioRange range;
  range.batch.channels = channels;
  if (!origin.timestamp) {
    range.batch.start = to_seconds(decoder.start_time(), decoder.time_base());
    range.batch.samples = join(ChannelBuffers(channels));
    range.total = 0;
    return range;
  }
  range.batch.start = to_seconds(*origin.timestamp, decoder.time_base());
  const std::int64_t last = last_index(decoder, origin.sample_rate, sample_rate);
  first = std::min(first, last);
  if (end) end = std::min(*end, last);
  RangeRead read(decoder, pump, origin, sample_rate, channels);
  const std::shared_ptr<AudioContinuation> kept = decoder.take_audio_continuation();
  const bool goes_on = kept && kept->sample_rate == sample_rate && kept->channels == channels &&
                       kept->next == first && kept->resampler;
  if (auto failure = goes_on ? read.resume(std::move(*kept), end) : read.read(first, end)) {
    return std::move(*failure);
  }
  if (read.input_end() && !read.fed()) {
    // Nothing of the stream lies at `first` or later: read its last samples
    // for the length of the whole read.
    const std::int64_t final = av_rescale(std::max<std::int64_t>(0, *read.input_end() - 1),
                                          sample_rate, origin.sample_rate);
    RangeRead tail(decoder, pump, origin, sample_rate, channels);
    if (auto failure = tail.read(std::min(final, first), std::nullopt)) return std::move(*failure);
    range.total = tail.output_start() + static_cast<std::int64_t>(tail.buffers().front().size());
    range.batch.samples = join(ChannelBuffers(channels));
    return range;
  }
  const auto produced = static_cast<std::int64_t>(read.buffers().front().size());
  if (read.input_end()) range.total = read.output_start() + produced;
  const std::int64_t skip = std::min(produced, first - read.output_start());
  std::int64_t length = produced - skip;
  if (end) length = std::min(length, *end - first);
  range.batch.length = static_cast<std::size_t>(length);
  range.batch.samples =
      join(read.buffers(), static_cast<std::size_t>(skip), range.batch.length);
  // The next piece goes on from here, even from samples kept past the
  // stream's end (the resampler's last ones).
  if (end && !read.moved_last() && (!read.input_end() || *end < read.output_start() + produced)) {
    decoder.keep_audio_continuation(read.continuation(*end));
  }
  return range;
}

}  // namespace ffmpeg
