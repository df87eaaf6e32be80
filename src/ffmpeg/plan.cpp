#include "ffmpeg/plan.hpp"

#include <map>
#include <string>

#include "ffmpeg/compat.hpp"

namespace ffmpeg {

Plan plan_timestamps(const TimestampRequest& request) {
  std::map<std::int64_t, std::pair<std::int64_t, std::vector<std::size_t>>> by_pts;
  for (std::size_t i = 0; i < request.targets.size(); ++i) {
    const Target& target = request.targets[i];
    auto [entry, inserted] =
        by_pts.try_emplace(target.pts, target.seek_pts, std::vector<std::size_t>{});
    entry->second.second.push_back(i);
  }
  Plan plan;
  plan.reserve(by_pts.size());
  for (auto& [pts, entry] : by_pts) {
    plan.push_back({TimestampSelection{request.exact, pts, entry.first}, std::move(entry.second)});
  }
  return plan;
}

Result<std::int64_t> frame_timestamp(const AVFrame* frame) {
  if (frame->pts != AV_NOPTS_VALUE) return frame->pts;
  if (frame->best_effort_timestamp != AV_NOPTS_VALUE) return frame->best_effort_timestamp;
  return Error::runtime("decoded frame has no timestamp");
}

namespace {

// Decodes forward to the first frame whose timestamp is at or after `pts`.
Result<std::int64_t> search(Decoder& decoder, std::int64_t pts, PumpPolicy& pump) {
  SkippingUnreferenced skipping(decoder, SkipUnreferenced{pts, std::nullopt});
  for (;;) {
    auto pulled = decoder.next(pump);
    if (!pulled.ok()) return std::move(pulled).error();
    if (pulled.value() == Pulled::end) {
      return Error::runtime("no decoded frame at PTS " + std::to_string(pts));
    }
    auto timestamp = frame_timestamp(decoder.frame.get());
    if (!timestamp.ok() || timestamp.value() >= pts) return timestamp;
  }
}

}  // namespace

TimestampChooser::TimestampChooser(Decoder& decoder, PumpPolicy& pump) : pump_(&pump) {
  if (decoder.video_position) {
    positioned_ = true;
    last_seek_pts_ = decoder.video_position->seek_pts;
    last_pts_ = decoder.video_position->pts;
    last_end_ = decoder.video_position->end;
    resumed_ = true;
    decoder.video_position.reset();
  }
}

void TimestampChooser::finish(Decoder& decoder) const {
  if (positioned_) decoder.video_position = VideoPosition{last_seek_pts_, last_pts_, last_end_};
}

Failure TimestampChooser::choose(Decoder& decoder, const TimestampSelection& selection) {
  // Decoding goes on from the previous answer when the seek point is the
  // same. Across calls only towards a later frame, which is what a seek
  // would find too; within a call the plan ascends.
  const bool same_seek_point =
      last_seek_pts_ == selection.seek_pts && (!resumed_ || selection.pts > last_pts_);
  const bool next_frame = selection.seek_pts > last_pts_ && selection.seek_pts <= last_end_;
  const bool continues = positioned_ && (same_seek_point || next_frame);
  resumed_ = false;
  if (!continues) {
    if (auto failure = decoder.seek(selection.seek_pts)) return failure;
  }
  last_seek_pts_ = selection.seek_pts;
  auto found = search(decoder, selection.pts, *pump_);
  if (!found.ok()) return std::move(found).error();
  if (!selection.exact || found.value() == selection.pts) {
    positioned_ = true;
    last_pts_ = found.value();
    const std::int64_t duration = compat::frame_duration(decoder.frame.get());
    std::int64_t end = 0;
    last_end_ =
        duration > 0 && !__builtin_add_overflow(last_pts_, duration, &end) ? end : last_pts_;
    return std::nullopt;
  }
  // Overshot (a seek point after the target): start over from the stream
  // start; the next selection seeks again.
  positioned_ = false;
  if (auto failure = decoder.seek(decoder.start_time())) return failure;
  found = search(decoder, selection.pts, *pump_);
  if (!found.ok()) return std::move(found).error();
  if (found.value() != selection.pts) {
    return Error::runtime("no decoded frame at exact PTS " + std::to_string(selection.pts));
  }
  return std::nullopt;
}

}  // namespace ffmpeg
