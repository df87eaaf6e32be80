// The frame pump: packets in, decoded frames out, and the seek that resets it.
#include "ffmpeg/decoder.hpp"

#include <limits>

namespace ffmpeg {

Result<Pulled> Decoder::next(PumpPolicy& policy) {
  AVCodecContext* context = codec_context.get();
  av_frame_unref(frame.get());
  bool finished_input = drained;
  int received = avcodec_receive_frame(context, frame.get());
  while (received < 0) {
    if (received == AVERROR_EOF) return Pulled::end;
    if (received == AVERROR_INVALIDDATA && policy.skip_invalid) {
      // The frame of a bad packet, reported late (frame threads, delay):
      // the decoder goes on with the next one.
      ++policy.skipped;
      received = avcodec_receive_frame(context, frame.get());
      continue;
    }
    if (received != AVERROR(EAGAIN)) return std::move(*check(received, "receive decoded frame"));
    if (finished_input) return Pulled::end;

    const int read = read_packet();
    if (read == AVERROR_EOF) {
      drained = true;
      if (auto failure = check(avcodec_send_packet(context, nullptr), "drain decoder")) {
        return std::move(*failure);
      }
      finished_input = true;
    } else if (read < 0) {
      return std::move(*check(read, "read packet"));
    } else if (media_type == MediaType::video && (packet->flags & AV_PKT_FLAG_DISCARD)) {
      av_packet_unref(packet.get());
      continue;
    } else {
      if (skip_unreferenced) {
        const std::int64_t pts = packet->pts;
        const bool early = pts != AV_NOPTS_VALUE && pts < skip_unreferenced->below;
        context->skip_frame = early ? AVDISCARD_NONREF : AVDISCARD_DEFAULT;
        const auto& up_to = skip_unreferenced->up_to;
        if (!early && pts != AV_NOPTS_VALUE && up_to && pts <= *up_to) {
          skip_unreferenced->below = pts;
        }
      }
      const int sent = avcodec_send_packet(context, packet.get());
      av_packet_unref(packet.get());
      if (sent == AVERROR_INVALIDDATA && policy.skip_invalid) {
        ++policy.skipped;
      } else if (auto failure = check(sent, "send packet")) {
        return std::move(*failure);
      }
      finished_input = false;
    }
    received = avcodec_receive_frame(context, frame.get());
  }
  return Pulled::frame;
}

int Decoder::read_packet() {
  if (packet_pending) {
    packet_pending = false;
    at_stream_start = false;
    return 0;
  }
  for (;;) {
    const int read = av_read_frame(format_context.get(), packet.get());
    if (read < 0) return read;
    if (packet->stream_index == stream_index) break;
    av_packet_unref(packet.get());
  }
  if (at_stream_start && !first_packet) first_packet = PacketMark::of(packet.get());
  at_stream_start = false;
  return 0;
}

// Clears what decoding carried over from before a seek.
void Decoder::reset_decoding() {
  avcodec_flush_buffers(codec_context.get());
  av_frame_unref(frame.get());
  drained = false;
  video_position.reset();
  audio_continuation.reset();
  if (skip_unreferenced && skip_unreferenced->up_to) {
    skip_unreferenced->below = std::numeric_limits<std::int64_t>::min();
  }
}

Failure Decoder::seek(std::int64_t target) {
  if (target <= start_time()) return rewind();
  av_packet_unref(packet.get());
  packet_pending = false;
  at_stream_start = false;
  if (auto failure =
          check(av_seek_frame(format_context.get(), stream_index, target, AVSEEK_FLAG_BACKWARD),
                "seek")) {
    return failure;
  }
  reset_decoding();
  return std::nullopt;
}

Failure Decoder::rewind() {
  reset_decoding();
  if (at_stream_start) return std::nullopt;
  if (first_packet && !rewind_reopens) {
    av_packet_unref(packet.get());
    packet_pending = false;
    if (av_seek_frame(format_context.get(), stream_index, start_time(), AVSEEK_FLAG_BACKWARD) >=
        0) {
      const int read = read_packet();
      if (read >= 0 && !PacketMark::of(packet.get()).after(*first_packet)) {
        packet_pending = true;
        at_stream_start = true;
        return std::nullopt;
      }
      if (read < 0 && read != AVERROR_EOF) return check(read, "read packet");
    }
    rewind_reopens = true;
  }
  return reopen_input();
}

}  // namespace ffmpeg
