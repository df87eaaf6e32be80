#include "ffmpeg/plan.hpp"

#include <algorithm>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <utility>

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

// Whether decoding from where a seek landed starts at a key frame at or
// before `target`: the packets up to the first key frame are read (and let
// go of: without their references they decode to no frame worth having)
// and that key frame, left as the next packet to read, must be timestamped
// at or before `target`. A later key frame, or none before the end or
// before decoding passes `target`, means the seek landed after the key
// frame meant. `lead` is the largest lead of
// a packet's presentation time over its decoding time among those read.
struct Landing {
  bool at_or_before = false;
  std::int64_t lead = 0;
};

Result<Landing> land(Decoder& decoder, std::int64_t target) {
  Landing landing;
  for (;;) {
    const AVPacket* packet = nullptr;
    const int status = decoder.peek_packet(packet);
    if (status == AVERROR_EOF) return landing;
    if (status < 0) return std::move(*check(status, "read packet"));
    if (!(packet->flags & AV_PKT_FLAG_DISCARD)) {
      std::int64_t lead = 0;
      if (packet->pts != AV_NOPTS_VALUE && packet->dts != AV_NOPTS_VALUE &&
          !__builtin_sub_overflow(packet->pts, packet->dts, &lead)) {
        landing.lead = std::max(landing.lead, lead);
      }
      if (packet->flags & AV_PKT_FLAG_KEY) {
        landing.at_or_before = packet->pts == AV_NOPTS_VALUE || packet->pts <= target;
        return landing;
      }
      // Decoding times only grow and no frame is shown before it is
      // decoded: past `target` in decoding order, no key frame to come is
      // shown at or before it. So a stream with few key frames is read no
      // further than the request reaches.
      if (packet->dts != AV_NOPTS_VALUE && packet->dts > target) return landing;
    }
    PacketReference dropped;
    (void)decoder.read_packet(dropped);  // the one peeked at
  }
}

// One frame period of the stream in ticks (its rate from the header), at
// least 1.
std::int64_t frame_period(const Decoder& decoder) {
  const AVStream* stream = decoder.stream();
  AVRational rate = stream->avg_frame_rate;
  if (rate.num <= 0 || rate.den <= 0) rate = stream->r_frame_rate;
  if (rate.num <= 0 || rate.den <= 0) return 1;
  return std::max<std::int64_t>(1, av_rescale_q(1, av_inv_q(rate), decoder.time_base()));
}

// The backward seek for frames decoded from the key frame at or before
// `target`, made to land at or before that key frame. A container indexed
// by key frames lands on one, and its first packet says so at once. MPEG-TS
// and MPEG-PS seek by a search over every packet's decoding time instead:
// they land on the last packet decoded at or before `target`, which with
// B-frames lies after the key frame shown at `target` (decoded a few frame
// periods before it), where nothing can be decoded until the next key
// frame. Such a landing is found out by the packets after it (see land), and
// the seek aims earlier: by the largest lead of presentation over decoding
// time seen there, then twice as far each time, down to the stream's start.
// The lead that lands well is kept for the decoder's next seeks.
Failure seek_to_key_frame(Decoder& decoder, std::int64_t target) {
  std::int64_t lead = decoder.seek_lead();
  for (;;) {
    std::int64_t point = 0;
    if (__builtin_sub_overflow(target, lead, &point)) point = decoder.start_time();
    if (auto failure = decoder.seek(point)) {
      // An earlier point than the one asked for can be refused (before a
      // demuxer's first seek point): the stream start then.
      if (lead == 0) return failure;
      return decoder.seek(decoder.start_time());
    }
    if (point <= decoder.start_time()) return std::nullopt;  // rewound: the first packet
    auto landing = land(decoder, target);
    if (!landing.ok()) return std::move(landing).error();
    if (landing.value().at_or_before) {
      decoder.keep_seek_lead(lead);
      return std::nullopt;
    }
    std::int64_t further = frame_period(decoder);
    if (lead > 0 && __builtin_mul_overflow(lead, 2, &further)) {
      further = std::numeric_limits<std::int64_t>::max();
    }
    lead = std::max(landing.value().lead, further);
  }
}

// How many packets after a key frame are read to learn whether a frame
// decoded later could come before it; beyond that the search decodes on.
constexpr int key_frame_lookahead = 16;

// Whether the packets after `key` (read, not decoded) show that no frame
// decoded after it has a timestamp from `wanted` to the key frame's own:
// a packet decoded at or after the key frame's time (decoding times only
// grow, and no frame is shown before it is decoded) ends the search; one
// timestamped in that span, or the limit, says no.
bool nothing_before(Decoder& decoder, const AVPacket& key, std::int64_t wanted) {
  for (int i = 0; i < key_frame_lookahead; ++i) {
    PacketReference read;
    const int status = decoder.read_packet(read);
    if (status == AVERROR_EOF) return true;
    if (status < 0) return false;
    if (read->flags & AV_PKT_FLAG_DISCARD) continue;
    if (read->pts == AV_NOPTS_VALUE || (read->pts >= wanted && read->pts <= key.pts)) return false;
    if (read->dts != AV_NOPTS_VALUE && read->dts >= key.pts) return true;
  }
  return false;
}

// The search for the last target of a call just after its seek: when the
// first packet is a key frame at or after the target's time and the packets
// after it show that no frame decoded later comes before it (see above), it
// is the frame the search would find, and the decoder hands it out alone,
// without decoding the frames its reordering delay waits for. Any other
// first packet is searched from as usual. When the packets after the key
// frame say no, or for an interlaced frame (its other field may be in the
// next packet), the search starts over from the seek: the packets read
// ahead were never decoded.
Result<std::int64_t> search_key_frame(Decoder& decoder, const PtsSelection& selection,
                                      PumpPolicy& pump) {
  const AVPacket* first = nullptr;
  const int status = decoder.peek_packet(first);
  if (status < 0 && status != AVERROR_EOF) return std::move(*check(status, "read packet"));
  if (status < 0 || (first->flags & AV_PKT_FLAG_DISCARD) || !(first->flags & AV_PKT_FLAG_KEY) ||
      first->pts == AV_NOPTS_VALUE || first->pts < selection.pts) {
    return search(decoder, selection.pts, pump);  // from the packet peeked at
  }
  PacketPtr key(av_packet_alloc());
  if (!key) return Error::runtime("cannot allocate decoding buffers");
  {
    PacketReference read;
    (void)decoder.read_packet(read);  // the one peeked at
    av_packet_move_ref(key.get(), read.get());
  }
  const std::size_t skipped = pump.skipped;
  if (nothing_before(decoder, *key, selection.pts) && !decoder.send_alone(std::move(key))) {
    auto found = search(decoder, selection.pts, pump);
    if (found.ok() && !compat::interlaced(decoder.frame())) return found;
  }
  pump.skipped = skipped;
  if (auto failure = seek_to_key_frame(decoder, selection.seek_pts)) return std::move(*failure);
  return search(decoder, selection.pts, pump);
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

PtsChooser::PtsChooser(Decoder& decoder, PumpPolicy& pump, bool seek_by_index,
                       std::size_t entries, bool stand_in, bool continuation)
    : pump_(&pump), seek_by_index_(seek_by_index), left_(entries),
      stand_in_(stand_in && pump.skip_invalid) {
  auto position = decoder.take_video_position();
  if (position && (continuation || !decoder.met_damage())) {
    positioned_ = true;
    last_seek_pts_ = position->seek_pts;
    last_pts_ = position->pts;
    last_end_ = position->end;
    pending_ = position->pending;
    resumed_ = true;
  }
}

void PtsChooser::finish(Decoder& decoder) const {
  if (positioned_ && !decoder.ended_early()) {
    decoder.keep_video_position({last_seek_pts_, last_pts_, last_end_, pending_});
  }
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
  if (resumed_ && continues) went_on_ = true;
  resumed_ = false;
  stood_in_ = false;
  const bool last = left_ == 1;
  if (left_ > 0) --left_;
  const bool pending = std::exchange(pending_, false) && continues;
  if (!continues) {
    if (auto failure = seek_to_key_frame(decoder, selection.seek_pts)) return failure;
    const AVPacket* first = nullptr;
    landed_.reset();
    if (decoder.peek_packet(first) >= 0 && first->pts != AV_NOPTS_VALUE) landed_ = first->pts;
  }
  last_seek_pts_ = selection.seek_pts;
  const std::size_t skipped = pump_->skipped, damaged = pump_->damaged;
  // A frame that stood in for a lost one answers the targets it reaches.
  auto found = pending && last_end_ >= selection.pts ? Result<std::int64_t>(last_end_)
               : !continues && last && selection.occurrence == 0
                   ? search_key_frame(decoder, selection, *pump_)
                   : search(decoder, selection.pts, *pump_);
  const std::int64_t started = std::min(landed_.value_or(selection.seek_pts), selection.seek_pts);
  if (!found.ok() && !pending && found.error().reason == Error::Reason::no_frame &&
      started > decoder.start_time()) {
    // After a seek to the key frame of an open group of pictures (H.264
    // with B-pyramids), the decoder holds back frames after it as not yet
    // recovered, and at the stream's end drops them: decoded from the key
    // frame before, they come out. The packets skipped are those of the
    // second pass; where it fails too, the first pass's answer stands.
    const std::size_t first_skipped = pump_->skipped, first_damaged = pump_->damaged;
    pump_->skipped = skipped;
    pump_->damaged = damaged;
    if (auto failure = seek_to_key_frame(decoder, started - 1)) return failure;
    landed_.reset();
    auto again = search(decoder, selection.pts, *pump_);
    if (again.ok()) {
      found = std::move(again);
    } else {
      pump_->skipped = first_skipped;
      pump_->damaged = first_damaged;
    }
  }
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
    // A decoder drained early cannot go on: the next call seeks.
    positioned_ = !decoder.ended_early();
    last_pts_ = found.value();
    const std::int64_t duration = compat::frame_duration(decoder.frame());
    std::int64_t end = 0;
    last_end_ =
        duration > 0 && !__builtin_add_overflow(last_pts_, duration, &end) ? end : last_pts_;
    return std::nullopt;
  }
  if (stand_in_ && selection.occurrence == 0 && decoder.skipped_since_seek()) {
    // Lost to the packets skipped since the seek (a search from the stream
    // start would skip them again): the frame found stands in, and stays
    // the next frame for the targets after this one.
    stood_in_ = pending_ = true;
    positioned_ = !decoder.ended_early();
    last_pts_ = selection.pts;
    last_end_ = found.value();
    last_occurrence_ = 0;
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
