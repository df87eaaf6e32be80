// One pass of the scaling library: a picture through a context into an
// image of the output, written in place when that is safe, else into a
// frame kept for it. The full-size conversion, the resize stages and the
// one-pass resize all scale this way.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ffmpeg/error.hpp"
#include "ffmpeg/handles.hpp"

namespace ffmpeg {

// One packed image: first row, signed row stride in bytes, size in pixels.
struct Image {
  std::uint8_t* data = nullptr;
  std::ptrdiff_t stride = 0;
  int width = 0;
  int height = 0;
};

// What a scaling pass reads: the first byte and row stride of up to four
// planes, and how many rows.
struct Planes {
  const std::uint8_t* data[4] = {};
  int strides[4] = {};
  int rows = 0;

  static Planes of(const AVFrame* frame);
  static Planes of(const Image& image);
};

// Where a scaling pass writes an image of `width` x `height` in `format`:
// into `into` when given and safe (see fits_in_place), else into `frame`.
struct ScaleTarget {
  int width = 0;
  int height = 0;
  AVPixelFormat format = AV_PIX_FMT_NONE;
  AVFrame* frame = nullptr;
  const Image* into = nullptr;
};

// How a pass names its failures: giving the frame buffers (the context of
// the library's status) and scaling to another row count than asked.
struct ScaleNames {
  const char* allocate;
  const char* failed;
};

// Gives `frame` buffers of the given size and format, keeping the ones it has
// when they already fit; `what` names the step in the error.
[[nodiscard]] Failure fit_frame(AVFrame* frame, int width, int height, AVPixelFormat format,
                                const char* what);

// Whether the converter may write into `into` directly: its fast paths write
// whole blocks of up to 32 pixels per row and expect 16-byte aligned rows, so
// a destination without row padding is safe only when the width is a
// multiple of 32.
bool fits_in_place(const Image& into);

// The frame `cached` holds, allocated (without buffers) on first use.
Result<AVFrame*> resize_frame(FramePtr& cached);

// Scales `source` through `context` to `target`; the image is valid until
// the target's frame is written again.
Result<Image> scale_image(SwsContext* context, const Planes& source, const ScaleTarget& target,
                          const ScaleNames& names);

}  // namespace ffmpeg
