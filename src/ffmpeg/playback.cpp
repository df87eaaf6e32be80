#include "ffmpeg/playback.hpp"

#include <cmath>
#include <limits>
#include <utility>

#include "ffmpeg/compat.hpp"

namespace ffmpeg {

namespace {

constexpr std::int64_t int64_max = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t int64_min = std::numeric_limits<std::int64_t>::min();

// floor(t ÷ tb), saturating at the limits of 64 bits.
std::int64_t to_ticks(double t, AVRational time_base) {
  const double ticks =
      std::floor(t / (static_cast<double>(time_base.num) / static_cast<double>(time_base.den)));
  if (ticks >= 9223372036854775807.0) return int64_max;
  if (ticks <= -9223372036854775808.0) return int64_min;
  return static_cast<std::int64_t>(ticks);
}

// One second in ticks, at least 1.
std::int64_t one_second(AVRational time_base) {
  const double ticks =
      std::ceil(1.0 / (static_cast<double>(time_base.num) / static_cast<double>(time_base.den)));
  if (ticks >= 9223372036854775807.0) return int64_max;
  return std::max<std::int64_t>(1, static_cast<std::int64_t>(ticks));
}

std::int64_t saturating_add(std::int64_t a, std::int64_t b) {
  std::int64_t sum = 0;
  if (__builtin_add_overflow(a, b, &sum)) return b > 0 ? int64_max : int64_min;
  return sum;
}

}  // namespace

Result<Plan> plan_seconds(const SecondsRequest& request) {
  const auto& seconds = request.seconds;
  bool valid = true;
  for (double t : seconds) valid = valid && std::isfinite(t);
  for (std::size_t i = 1; valid && i < seconds.size(); ++i) valid = seconds[i] > seconds[i - 1];
  if (!valid) return Error::runtime("timestamps must be finite, sorted and unique");
  Plan plan;
  plan.reserve(seconds.size());
  for (std::size_t i = 0; i < seconds.size(); ++i) {
    plan.push_back({SecondsSelection{seconds[i]}, {i}});
  }
  return plan;
}

Result<PlaybackChooser> PlaybackChooser::create(PumpPolicy& pump) {
  PlaybackChooser chooser;
  chooser.pump_ = &pump;
  chooser.lookahead_.reset(av_frame_alloc());
  if (!chooser.lookahead_) return Error::runtime("cannot allocate lookahead frame");
  return chooser;
}

Failure PlaybackChooser::choose(Decoder& decoder, const SecondsSelection& selection) {
  const double t = selection.seconds;
  // Decoding towards t may leave out an unreferenced frame once a later
  // frame at or before t is surely coming: the earlier one is never shown.
  // (One tick of margin keeps rounding between ticks and seconds out of it.)
  const std::int64_t target = to_ticks(t, decoder.time_base());
  SkipUnreferenced skip(decoder, skip_below_, target == int64_min ? target : target - 1);
  Failure failure = choose_frame(decoder, t, skip);
  skip_below_ = skip.below();
  return failure;
}

Failure PlaybackChooser::choose_frame(Decoder& decoder, double t, SkipUnreferenced& skip) {
  switch (state_) {
    case State::unpositioned:
      return seek_for(decoder, t, skip);
    case State::ended: {
      Failure failure = end_rule(decoder, t);
      if (failure && failure->reason == Error::Reason::not_shown && landed_) {
        return again_earlier(decoder, t, skip);
      }
      return failure;
    }
    case State::playing:
      break;
  }
  // A key frame between the shown frame and t: seeking beats decoding the
  // rest of the group of pictures.
  AVStream* stream = decoder.stream();
  const int index =
      av_index_search_timestamp(stream, to_ticks(t, decoder.time_base()), AVSEEK_FLAG_BACKWARD);
  const AVIndexEntry* entry = index >= 0 ? avformat_index_get_entry(stream, index) : nullptr;
  if (entry != nullptr && entry->timestamp > shown_timestamp_) return seek_for(decoder, t, skip);

  const AVFrame* next = lookahead_.get();
  const std::int64_t next_timestamp =
      next->pts != AV_NOPTS_VALUE ? next->pts : next->best_effort_timestamp;
  if (to_seconds(next_timestamp, decoder.time_base()) > t) return std::nullopt;  // shown again
  decoder.trade_frame(lookahead_);
  Failure failure = advance(decoder, t, skip);
  if (failure && failure->reason == Error::Reason::not_shown && landed_) {
    return again_earlier(decoder, t, skip);
  }
  return failure;
}

// Back-off search: seek to t's timestamp, then 1, 2, 4 ... seconds earlier,
// never before the stream start (tried last), until the first frame decoded
// is at or before t.
Failure PlaybackChooser::seek_for(Decoder& decoder, double t, SkipUnreferenced& skip,
                                  std::optional<std::int64_t> from) {
  const std::int64_t target = to_ticks(t, decoder.time_base());
  const std::int64_t start = decoder.start_time();
  std::int64_t step = one_second(decoder.time_base());
  std::int64_t point = from.value_or(target);
  for (;;) {
    const bool sought = !decoder.seek(point).has_value();
    if (sought) {
      skip.restart();
      const std::size_t skipped = pump_->skipped, damaged = pump_->damaged;
      auto pulled = decoder.next(*pump_, &skip);
      if (!pulled.ok()) return std::move(pulled).error();
      if (pulled.value() == Pulled::frame) {
        auto timestamp = frame_timestamp(decoder.frame());
        if (!timestamp.ok()) return std::move(timestamp).error();
        if (to_seconds(timestamp.value(), decoder.time_base()) <= t) {
          av_frame_unref(lookahead_.get());
          state_ = State::playing;
          landed_.reset();
          if (!from && timestamp.value() > start) landed_ = timestamp.value();
          Failure failure = advance(decoder, t, skip);
          if (failure && failure->reason == Error::Reason::not_shown && landed_) {
            pump_->skipped = skipped;  // counted for the second pass
            pump_->damaged = damaged;
            return again_earlier(decoder, t, skip);
          }
          return failure;
        }
      }
    }
    if (point <= start) {
      return Error::runtime("no frame at or before requested timestamp",
                            Error::Reason::not_shown);
    }
    std::int64_t earlier = 0;
    if (__builtin_sub_overflow(target, step, &earlier)) earlier = int64_min;
    point = std::max(start, earlier);
    step = step >= (std::int64_t{1} << 62) ? int64_max : step * 2;
  }
}

// The stream ended before t was covered, decoded from the key frame after
// the latest seek (landed_): once more from the key frame before it.
Failure PlaybackChooser::again_earlier(Decoder& decoder, double t, SkipUnreferenced& skip) {
  const std::int64_t from = *landed_ - 1;
  landed_.reset();
  return seek_for(decoder, t, skip, from);
}

// The record's frame is at or before t: decode forward while frames stay
// at or before t, keeping the last one as the shown frame.
Failure PlaybackChooser::advance(Decoder& decoder, double t, SkipUnreferenced& skip) {
  for (;;) {
    auto timestamp = frame_timestamp(decoder.frame());
    if (!timestamp.ok()) return std::move(timestamp).error();
    shown_timestamp_ = timestamp.value();
    av_frame_unref(lookahead_.get());
    if (auto failure =
            check(av_frame_ref(lookahead_.get(), decoder.frame()), "retain playback frame")) {
      return failure;
    }
    auto pulled = decoder.next(*pump_, &skip);
    if (!pulled.ok()) return std::move(pulled).error();
    if (pulled.value() == Pulled::end) {
      decoder.trade_frame(lookahead_);
      state_ = State::ended;
      return end_rule(decoder, t);
    }
    auto next = frame_timestamp(decoder.frame());
    if (!next.ok()) return std::move(next).error();
    if (next.value() <= shown_timestamp_) {
      return Error::runtime("timestamp mode requires strictly increasing frame PTS",
                            Error::Reason::shared_timestamps);
    }
    if (to_seconds(next.value(), decoder.time_base()) > t) {
      decoder.trade_frame(lookahead_);
      state_ = State::playing;
      return std::nullopt;
    }
  }
}

// After the stream ended, the final frame covers t only inside its duration.
Failure PlaybackChooser::end_rule(Decoder& decoder, double t) {
  const AVFrame* last = decoder.frame();
  auto timestamp = frame_timestamp(last);
  if (!timestamp.ok()) return std::move(timestamp).error();
  const std::int64_t duration = compat::frame_duration(last);
  const std::int64_t end = saturating_add(timestamp.value(), duration);
  if (duration < 1 || to_seconds(end, decoder.time_base()) <= t) {
    return Error::runtime("timestamp exceeds final frame duration or duration is unknown",
                          Error::Reason::not_shown);
  }
  return std::nullopt;
}

}  // namespace ffmpeg
