// Timestamp mode: the frames a player shows at given times. The frame shown
// at t is the last decoded frame whose time is at or before t; after the
// final frame, t is covered only inside that frame's duration.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>

#include "ffmpeg/plan.hpp"

namespace ffmpeg {

// One entry per time, in caller order; the times must be finite and
// strictly increasing.
Result<Plan> plan_seconds(const SecondsRequest& request);

// Leaves the frame shown at each time in the record's `frame`, decoding
// forward and seeking only when the container index shows a key frame
// between the shown frame and the next time.
class PlaybackChooser {
 public:
  using Answers = SecondsSelection;

  // Allocates the lookahead frame.
  static Result<PlaybackChooser> create(PumpPolicy& pump);

  [[nodiscard]] Failure choose(Decoder& decoder, const SecondsSelection& selection);

 private:
  enum class State : std::uint8_t { unpositioned, playing, ended };

  PlaybackChooser() = default;
  Failure choose_frame(Decoder& decoder, double t, SkipUnreferenced& skip);
  Failure again_earlier(Decoder& decoder, double t, SkipUnreferenced& skip);
  // From `from` instead (once, see landed_): the key frame before a landing.
  Failure seek_for(Decoder& decoder, double t, SkipUnreferenced& skip,
                   std::optional<std::int64_t> from = std::nullopt);
  Failure advance(Decoder& decoder, double t, SkipUnreferenced& skip);
  Failure end_rule(Decoder& decoder, double t);

  PumpPolicy* pump_ = nullptr;
  State state_ = State::unpositioned;
  // While playing: the first frame decoded after the shown one. The two
  // frame objects trade places with the record's `frame`.
  FramePtr lookahead_;
  std::int64_t shown_timestamp_ = 0;
  // The first frame decoded after the latest seek, when the stream's end
  // may yet be decoded again from the key frame before it: after a seek to
  // the key frame of an open group of pictures, H.264 with B-pyramids drops
  // the frames after it at the stream's end (see plan.cpp).
  std::optional<std::int64_t> landed_;
  // Unreferenced frames before this are not decoded (see SkipUnreferenced).
  std::int64_t skip_below_ = std::numeric_limits<std::int64_t>::min();
};

}  // namespace ffmpeg
