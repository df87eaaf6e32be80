// Pixel conversion: the output plan of a call and one decoded frame turned
// into an image of the output layout.
#pragma once

#include <cstddef>
#include <cstdint>

#include "arrays/buffer.hpp"
#include "ffmpeg/decoder.hpp"
#include "ffmpeg/scale.hpp"
#include "ffmpeg/video_request.hpp"

namespace ffmpeg {

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

// The frame as an image of the plan's layout, valid until the next frame is
// converted: the frame's own plane for native output, else RGB written by the
// cached colour converter into `into` when given and safe (see
// fits_in_place), or into the record's RGB frame.
Result<Image> convert_frame(Decoder& decoder, const AVFrame* frame, const OutputPlan& plan,
                            const Image* into = nullptr);

}  // namespace ffmpeg
