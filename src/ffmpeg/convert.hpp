// Pixel conversion: the output plan of a call and one decoded frame turned
// into an image of the output layout.
#pragma once

#include <cstddef>
#include <cstdint>

#include "arrays/buffer.hpp"
#include "ffmpeg/decoder.hpp"
#include "ffmpeg/video_request.hpp"

namespace ffmpeg {

// One packed image: first row, signed row stride in bytes, size in pixels.
struct Image {
  std::uint8_t* data = nullptr;
  std::ptrdiff_t stride = 0;
  int width = 0;
  int height = 0;
};

// What the samples of a call are, fixed before decoding.
struct OutputPlan {
  arrays::ElementType element = arrays::ElementType::uint8;
  int channels = 3;
  int sample_width = 1;     // bytes per sample while assembling
  bool big_endian = false;  // 2-byte samples stored big-endian
  bool native = false;
  AVPixelFormat target = AV_PIX_FMT_RGB24;  // conversion target of RGB output

  int bytes_per_pixel() const { return channels * sample_width; }
};

Result<OutputPlan> output_plan(OutputType type, int stream_pixel_format);

// Sets a converter to the frame's own colour space and, when it states one,
// range.
[[nodiscard]] Failure set_color_details(SwsContext* converter, const AVFrame* frame);

// Gives `frame` buffers of the given size and format, keeping the ones it has
// when they already fit; `what` names the step in the error.
[[nodiscard]] Failure fit_frame(AVFrame* frame, int width, int height, AVPixelFormat format,
                                const char* what);

// Whether the converter may write into `into` directly: its fast paths write
// whole blocks of up to 32 pixels per row and expect 16-byte aligned rows, so
// a destination without row padding is safe only when the width is a
// multiple of 32.
bool fits_in_place(const Image& into);

// The frame as an image of the plan's layout, valid until the next frame is
// converted: the frame's own plane for native output, else RGB written by the
// cached colour converter into `into` when given and safe (see below), or
// into the record's RGB frame.
Result<Image> convert_frame(Decoder& decoder, const AVFrame* frame, const OutputPlan& plan,
                            const Image* into = nullptr);

}  // namespace ffmpeg
