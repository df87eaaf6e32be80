// Owning pointers for FFmpeg objects, each freed by its own free function.
#pragma once

#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/frame.h>
#include <libavutil/mem.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

namespace ffmpeg {

struct FormatContextFree {
  void operator()(AVFormatContext* context) const noexcept { avformat_close_input(&context); }
};
// Frees the buffer the context holds now (FFmpeg may have replaced the one
// it was given), then the context.
struct IoContextFree {
  void operator()(AVIOContext* context) const noexcept {
    av_freep(&context->buffer);
    avio_context_free(&context);
  }
};
struct CodecContextFree {
  void operator()(AVCodecContext* context) const noexcept { avcodec_free_context(&context); }
};
struct PacketFree {
  void operator()(AVPacket* packet) const noexcept { av_packet_free(&packet); }
};
// Gives back the buffers of a packet that is reused for every read (the
// record's) but keeps the packet itself: a packet read is let go of on every
// way out of the scope that read it, early returns included, so that no read
// finds the previous packet's data still referenced.
struct PacketUnref {
  void operator()(AVPacket* packet) const noexcept { av_packet_unref(packet); }
};
struct FrameFree {
  void operator()(AVFrame* frame) const noexcept { av_frame_free(&frame); }
};
struct ScaleContextFree {
  void operator()(SwsContext* context) const noexcept { sws_freeContext(context); }
};
struct ResampleContextFree {
  void operator()(SwrContext* context) const noexcept { swr_free(&context); }
};
struct MemoryFree {
  void operator()(void* memory) const noexcept { av_free(memory); }
};

using FormatContextPtr = std::unique_ptr<AVFormatContext, FormatContextFree>;
using IoContextPtr = std::unique_ptr<AVIOContext, IoContextFree>;
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextFree>;
using PacketPtr = std::unique_ptr<AVPacket, PacketFree>;
// The reference that one read holds on the record's packet.
using PacketReference = std::unique_ptr<AVPacket, PacketUnref>;
using FramePtr = std::unique_ptr<AVFrame, FrameFree>;
using ScaleContextPtr = std::unique_ptr<SwsContext, ScaleContextFree>;
using ResampleContextPtr = std::unique_ptr<SwrContext, ResampleContextFree>;
template <class T>
using MemoryPtr = std::unique_ptr<T, MemoryFree>;

}  // namespace ffmpeg
