// The batch of one video call: size checks, the buffer of one slot per
// target (taken slot by slot as frames arrive), frame placement, and the
// final element type.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "arrays/buffer.hpp"
#include "ffmpeg/convert.hpp"
#include "ffmpeg/video_request.hpp"

namespace ffmpeg {

class Batch {
 public:
  // Checks the sizes and allocates; throws std::bad_alloc when the memory
  // cannot be had.
  static Result<Batch> prepare(std::size_t count, const OutputPlan& plan, int height, int width);

  // Where the image of target `index` goes: its slot, rows back to back,
  // with its memory taken now that a frame is coming.
  Image slot(std::size_t index) const;

  // Copies `image` into the slot of the first index (unless it was written
  // there in place), then that slot into the others; records the frame's
  // time and duration for each index.
  [[nodiscard]] Failure write(const Image& image, std::int64_t timestamp, std::int64_t duration,
                              AVRational time_base, std::span<const std::size_t> indices);

  // The samples in their final element type: the buffer itself for uint8
  // and uint16 (put in the machine's byte order), a new one for float32.
  VideoBatch finish() &&;

 private:
  Batch() = default;

  arrays::SampleBuffer buffer_;
  OutputPlan plan_;
  std::size_t count_ = 0;
  int height_ = 0;
  int width_ = 0;
  std::size_t row_bytes_ = 0;
  std::size_t frame_bytes_ = 0;
  std::vector<double> times_;
  std::vector<double> durations_;
};

}  // namespace ffmpeg
