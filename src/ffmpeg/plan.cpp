#include "ffmpeg/plan.hpp"

#include <algorithm>
#include <map>
#include <optional>
#include <string>

#include "ffmpeg/compat.hpp"

namespace ffmpeg {

Plan plan_pts(const PtsRequest& request) {
  using Key = std::pair<std::int64_t, std::int64_t>;  // pts, occurrence
  std::map<Key, std::pair<std::int64_t, std::vector<std::size_t>>> by_pts;
  for (std::size_t i = 0; i < request.targets.size(); ++i) {
    const Target& target = request.targets[i];
    const Key key{target.pts, request.by_occurrence ? target.occurrence : 0};
    auto [entry, inserted] = by_pts.try_emplace(key, target.seek_pts, std::vector<std::size_t>{});
    entry->second.second.push_back(i);
  }
  Plan plan;
  plan.reserve(by_pts.size());
  for (auto& [key, entry] : by_pts) {
    plan.push_back({PtsSelection{request.exact, key.first, entry.first, key.second},
                    std::move(entry.second)});
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
  SkipUnreferenced skip(decoder, pts, std::nullopt);
  for (;;) {
    auto pulled = decoder.next(pump, &skip);
    if (!pulled.ok()) return std::move(pulled).error();
    if (pulled.value() == Pulled::end) {
      return Error::runtime("no decoded frame at PTS " + std::to_string(pts),
                            Error::Reason::no_frame);
    }
    auto timestamp = frame_timestamp(decoder.frame());
    if (!timestamp.ok() || timestamp.value() >= pts) return timestamp;
  }
}

// From the frame found (occurrence `seen` of its timestamp `found`), decodes
// on to the `wanted` occurrence; the frames must keep that timestamp.
Failure skip_to_occurrence(Decoder& decoder, PumpPolicy& pump, std::int64_t found,
                           std::int64_t seen, std::int64_t wanted, std::int64_t pts) {
  for (; seen < wanted; ++seen) {
    auto pulled = decoder.next(pump);
    if (!pulled.ok()) return std::move(pulled).error();
    std::optional<std::int64_t> timestamp;
    if (pulled.value() == Pulled::frame) {
      auto next = frame_timestamp(decoder.frame());
      if (!next.ok()) return std::move(next).error();
      timestamp = next.value();
    }
    if (timestamp != found) {
      return Error::runtime(
          "no decoded frame at PTS " + std::to_string(pts) + " occurrence " +
              std::to_string(wanted),
          Error::Reason::no_frame);
    }
  }
  return std::nullopt;
}

// Whether the container's index lists a key frame after `after` and at or
// before `up_to`, where a seek to `up_to` could land.
bool indexed_key_frame_between(const Decoder& decoder, std::int64_t after, std::int64_t up_to) {
  AVStream* stream = decoder.stream();
  const int index = av_index_search_timestamp(stream, up_to, AVSEEK_FLAG_BACKWARD);
  const AVIndexEntry* entry = index >= 0 ? avformat_index_get_entry(stream, index) : nullptr;
  return entry != nullptr && entry->timestamp > after;
}

}  // namespace

PtsChooser::PtsChooser(Decoder& decoder, PumpPolicy& pump, bool seek_by_index)
    : pump_(&pump), seek_by_index_(seek_by_index) {
  if (auto position = decoder.take_video_position()) {
    positioned_ = true;
    last_seek_pts_ = position->seek_pts;
    last_pts_ = position->pts;
    last_end_ = position->end;
    resumed_ = true;
  }
}

void PtsChooser::finish(Decoder& decoder) const {
  if (positioned_) decoder.keep_video_position({last_seek_pts_, last_pts_, last_end_});
}

Failure PtsChooser::choose(Decoder& decoder, const PtsSelection& selection) {
  // Decoding goes on from the previous answer when the seek point is the
  // same. Across calls only towards a later frame, which is what a seek
  // would find too; within a call the plan ascends.
  const bool same_seek_point =
      last_seek_pts_ == selection.seek_pts && (!resumed_ || selection.pts > last_pts_);
  const bool next_frame = selection.seek_pts > last_pts_ && selection.seek_pts <= last_end_;
  bool continues = positioned_ && (same_seek_point || next_frame);
  if (seek_by_index_) {
    // Frames come in presentation order, so the first one at or after a
    // later target is the same whether decoding goes on or seeks first; an
    // earlier target (or the same one) needs the seek.
    continues = positioned_ && selection.pts > last_pts_ &&
                (same_seek_point || next_frame ||
                 !indexed_key_frame_between(decoder, last_pts_, selection.seek_pts));
  }
  resumed_ = false;
  if (!continues) {
    if (auto failure = decoder.seek(selection.seek_pts)) return failure;
  }
  last_seek_pts_ = selection.seek_pts;
  auto found = search(decoder, selection.pts, *pump_);
  if (!found.ok()) return std::move(found).error();
  if (!selection.exact || found.value() == selection.pts) {
    // Going on from the previous answer, a frame of the same timestamp is
    // the next occurrence of it.
    const bool same_timestamp = continues && last_pts_ == found.value();
    const std::int64_t seen = same_timestamp ? last_occurrence_ + 1 : 0;
    if (auto failure =
            skip_to_occurrence(decoder, *pump_, found.value(), seen, selection.occurrence,
                               selection.pts)) {
      return failure;
    }
    last_occurrence_ = std::max(seen, selection.occurrence);
    positioned_ = true;
    last_pts_ = found.value();
    const std::int64_t duration = compat::frame_duration(decoder.frame());
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
    return Error::runtime("no decoded frame at exact PTS " + std::to_string(selection.pts),
                          Error::Reason::no_frame);
  }
  return skip_to_occurrence(decoder, *pump_, found.value(), 0, selection.occurrence,
                            selection.pts);
}

}  // namespace ffmpeg
