// Seek planning and frame selection: the ordered plan of one video call and
// the choice of the decoded frame that answers each entry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <variant>
#include <vector>

#include "ffmpeg/decoder.hpp"
#include "ffmpeg/video_request.hpp"

namespace ffmpeg {

struct PtsSelection {
  bool exact;
  std::int64_t pts;
  std::int64_t seek_pts;
  std::int64_t occurrence = 0;  // among frames of the timestamp found
};

struct SecondsSelection {
  double seconds;
};

using Selection = std::variant<PtsSelection, SecondsSelection>;

// One plan entry and the output positions it answers, in caller order; the
// first is the primary position.
struct PlanEntry {
  Selection selection;
  std::vector<std::size_t> indices;
};

using Plan = std::vector<PlanEntry>;

// One entry per distinct pts (and occurrence, when the targets name them),
// ascending; duplicates join the first one's entry (whose seek point wins).
Plan plan_pts(const PtsRequest& request);

// A frame's pts, else its best-effort timestamp.
Result<std::int64_t> frame_timestamp(const AVFrame* frame);

// Leaves the frame that answers each timestamp selection in the record's
// `frame`, seeking only when the seek point changes or the search overshot.
// A seek point that is the very frame after the last answer is reached by
// decoding on: a walk through the stream never flushes the decoder at key
// frames.
class PtsChooser {
 public:
  using Answers = PtsSelection;

  // Takes over where the decoder's previous decode_video call stopped, if
  // nothing has moved it since. With `seek_by_index`, see PtsRequest.
  // `entries` is the plan's length: the last entry's frame, when it is the
  // key frame a seek lands on, is taken without decoding the frames after
  // it (0: not known, never).
  //
  // With `stand_in` (and the pump skipping invalid packets), an exact target
  // that no frame answers, because decoding since the seek skipped packets
  // (its own, or one it refers to), is answered by the next frame decoded,
  // which then also answers the targets after it that it reaches: the call
  // goes on, where otherwise it would fail, and stood_in() says so.
  //
  // Unless `continuation`, a decoder that met damage since it was last
  // reset does not go on from the previous call.
  PtsChooser(Decoder& decoder, PumpPolicy& pump, bool seek_by_index = false,
             std::size_t entries = 0, bool stand_in = false, bool continuation = false);
  // Records where this call stopped, for the next one.
  void finish(Decoder& decoder) const;

  [[nodiscard]] Failure choose(Decoder& decoder, const PtsSelection& selection);
  // Whether the latest choice was a stand-in for a lost frame.
  bool stood_in() const { return stood_in_; }
  // Whether the call went on from where the previous one stopped.
  bool went_on() const { return went_on_; }

 private:
  PumpPolicy* pump_;
  bool positioned_ = false;
  std::int64_t last_seek_pts_ = 0;
  // The timestamp of the packet the latest seek of this call landed on.
  std::optional<std::int64_t> landed_;
  std::int64_t last_pts_ = 0;  // answered last, while positioned
  std::int64_t last_end_ = 0;  // where the frame after it starts, if known
  std::int64_t last_occurrence_ = 0;  // of its timestamp, while positioned
  bool resumed_ = false;       // positioned by the previous call
  bool went_on_ = false;       // decoded on from there, for a choice
  bool seek_by_index_ = false;
  std::size_t left_ = 0;  // entries still to choose, when known
  bool stand_in_ = false;
  bool stood_in_ = false;
  // The record's frame (at last_end_) stood in and is the next frame.
  bool pending_ = false;
};

}  // namespace ffmpeg
