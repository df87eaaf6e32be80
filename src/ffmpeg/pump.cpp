// The frame pump: packets in, decoded frames out, and the seek that resets it.
#include "ffmpeg/compat.hpp"
#include "ffmpeg/decoder.hpp"
#include "ffmpeg/frame_walk.hpp"

namespace ffmpeg {

AVDiscard SkipUnreferenced::discard_for(std::int64_t pts) {
  const bool early = pts != AV_NOPTS_VALUE && pts < below_;
  if (!early && pts != AV_NOPTS_VALUE && up_to_ && pts <= *up_to_) below_ = pts;
  return early ? AVDISCARD_NONREF : AVDISCARD_DEFAULT;
}

SkipUnreferenced::~SkipUnreferenced() {
  decoder_.codec_context_->skip_frame = AVDISCARD_DEFAULT;
}

Result<Pulled> Decoder::next(PumpPolicy& policy, SkipUnreferenced* skip) {
  AVCodecContext* context = codec_context_.get();
  AVFrame* decoded = frame_.get();
  av_frame_unref(decoded);
  bool finished_input = cursor_.drained;
  int received = avcodec_receive_frame(context, decoded);
  while (received < 0) {
    if (received == AVERROR_EOF) return Pulled::end;
    if (received == AVERROR_INVALIDDATA && policy.skip_invalid) {
      // The frame of a bad packet, reported late (frame threads, delay):
      // the decoder goes on with the next one.
      ++policy.skipped;
      ++cursor_.skipped_since_seek;
      codec_damaged_ = true;
      received = avcodec_receive_frame(context, decoded);
      continue;
    }
    if (received != AVERROR(EAGAIN)) return std::move(*check(received, "receive decoded frame"));
    if (finished_input) return Pulled::end;

    PacketReference read;
    const int status = read_packet(read);
    if (status == AVERROR_EOF) {
      cursor_.drained = true;
      if (auto failure = check(avcodec_send_packet(context, nullptr), "drain decoder")) {
        return std::move(*failure);
      }
      finished_input = true;
    } else if (status < 0) {
      return std::move(*check(status, "read packet"));
    } else if (media_type_ == MediaType::video && (read->flags & AV_PKT_FLAG_DISCARD)) {
      continue;  // let go of as this pass ends
    } else {
      const int sent = send(std::move(read), skip);
      if (sent == AVERROR_INVALIDDATA && policy.skip_invalid) {
        ++policy.skipped;
        ++cursor_.skipped_since_seek;
        codec_damaged_ = true;
      } else if (auto failure = check(sent, "send packet")) {
        return std::move(*failure);
      }
      finished_input = false;
    }
    received = avcodec_receive_frame(context, decoded);
  }
  if (compat::damaged(decoded)) {
    ++policy.damaged;
    codec_damaged_ = true;
  }
  return Pulled::frame;
}

int Decoder::send(PacketReference packet, SkipUnreferenced* skip) {
  codec_used_ = true;
  if (skip != nullptr) codec_context_->skip_frame = skip->discard_for(packet->pts);
  return avcodec_send_packet(codec_context_.get(), packet.get());
}

int Decoder::read_packet(PacketReference& read) {
  AVPacket* packet = packet_.get();
  if (cursor_.packet_pending) {
    cursor_.packet_pending = false;
    cursor_.at_stream_start = false;
    read.reset(packet);
    return 0;
  }
  for (;;) {
    const int status = av_read_frame(format_context_.get(), packet);
    if (status < 0) {
      // A read that failed (stopped, or its input broke) may have taken in
      // part of the first packet: the stream's start is to be found again.
      if (status != AVERROR_EOF) cursor_.at_stream_start = false;
      return status;
    }
    PacketReference held(packet);  // a packet of another stream goes at once
    if (packet->stream_index == stream_index_) {
      read = std::move(held);
      break;
    }
  }
  if (cursor_.at_stream_start && !cursor_.first_packet) {
    cursor_.first_packet = PacketMark::of(packet);
  }
  cursor_.at_stream_start = false;
  return 0;
}

int Decoder::peek_packet(const AVPacket*& packet) {
  const bool at_start = cursor_.at_stream_start;
  PacketReference read;
  const int status = read_packet(read);
  if (status < 0) return status;
  (void)read.release();  // handed out by the next read
  cursor_.packet_pending = true;
  cursor_.at_stream_start = at_start;
  packet = packet_.get();
  return 0;
}

void Decoder::drop_pending_packet() {
  const PacketReference pending(packet_.get());  // blank unless a rewind read ahead
  cursor_.packet_pending = false;
}

// Clears what decoding carried over from before a seek. A flush does not
// clear everything a video decoder kept: H.264 leaves what it parsed of a
// damaged slice to add into the next picture it decodes, a key frame too,
// without flagging it. So a video decoder on one thread that was sent a
// packet since it was opened is replaced by a newly opened one (as the
// audio calls do after each rewind; a few microseconds): after a seek it
// decodes what a decoder opened there decodes, whatever it met before.
// With frame threads, where opening starts the threads again (milliseconds
// per seek), only after it met damage that showed (a packet skipped, a
// frame flagged).
Failure Decoder::reset_decoding() {
  av_frame_unref(frame_.get());
  if (media_type_ == MediaType::video && codec_used_ && (threads_ == 1 || codec_damaged_)) {
    codec_used_ = codec_damaged_ = false;
    if (auto failure = open_codec()) return failure;
  } else {
    avcodec_flush_buffers(codec_context_.get());
  }
  cursor_.drained = false;
  cursor_.ended_early = false;
  cursor_.skipped_since_seek = 0;
  cursor_.video_position.reset();
  cursor_.audio_continuation.reset();
  return std::nullopt;
}

Failure Decoder::send_alone(PacketPtr packet) {
  codec_used_ = true;
  AVCodecContext* context = codec_context_.get();
  if (auto failure = check(avcodec_send_packet(context, packet.get()), "send packet")) {
    return failure;
  }
  cursor_.drained = cursor_.ended_early = true;
  return check(avcodec_send_packet(context, nullptr), "drain decoder");
}

void Decoder::take_out_held_frames(PumpPolicy& pump) {
  if (!codec_used_) return;
  AVCodecContext* context = codec_context_.get();
  AVFrame* decoded = frame_.get();
  // A decoder already drained (at the input's end) may still hold frames.
  const bool sent = cursor_.drained || avcodec_send_packet(context, nullptr) >= 0;
  cursor_.drained = cursor_.ended_early = true;
  while (sent) {
    av_frame_unref(decoded);
    const int received = avcodec_receive_frame(context, decoded);
    if (received == AVERROR_EOF || (received < 0 && received != AVERROR_INVALIDDATA)) break;
    if (received < 0 || compat::damaged(decoded)) {
      ++pump.damaged;
      codec_damaged_ = true;
    }
  }
  av_frame_unref(decoded);
}

Failure Decoder::seek(std::int64_t target) {
  if (target <= start_time()) return rewind();
  drop_pending_packet();
  cursor_.at_stream_start = false;
  if (auto failure = walk_raw_audio_frames(format_context_.get(), stream(), target)) {
    return failure;
  }
  if (auto failure =
          check(av_seek_frame(format_context_.get(), stream_index_, target, AVSEEK_FLAG_BACKWARD),
                "seek")) {
    return failure;
  }
  return reset_decoding();
}

Failure Decoder::rewind() {
  if (auto failure = reset_decoding()) return failure;
  if (cursor_.at_stream_start) return std::nullopt;
  if (cursor_.first_packet && !cursor_.rewind_reopens) {
    drop_pending_packet();
    if (av_seek_frame(format_context_.get(), stream_index_, start_time(), AVSEEK_FLAG_BACKWARD) >=
        0) {
      PacketReference read;
      const int status = read_packet(read);
      if (status >= 0 && !PacketMark::of(read.get()).after(*cursor_.first_packet)) {
        (void)read.release();  // handed out by the next read
        cursor_.packet_pending = true;
        cursor_.at_stream_start = true;
        return std::nullopt;
      }
      if (status < 0 && status != AVERROR_EOF) return check(status, "read packet");
    }
    cursor_.rewind_reopens = true;
  }
  return reopen_input();
}

}  // namespace ffmpeg
