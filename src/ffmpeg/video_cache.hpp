// What the video path keeps from one call to the next: the colour
// converter, the scaling stages of resizes and the buffers that rotations
// and conversions write into, all owned here and freed together.
#pragma once

#include <cstdint>
#include <vector>

#include "ffmpeg/handles.hpp"
#include "ffmpeg/scaler.hpp"

namespace ffmpeg {

// One cached bilinear scaling stage of the video path and the frame it
// writes. The scaler is declared last so that it is freed before its frame.
struct Resizer {
  FramePtr frame;
  Scaler scaler;

  void abandon() noexcept {
    (void)frame.release();
    scaler.abandon();
  }
};

// The cached scalers of the one-pass resize: from the cropped decoded
// picture straight to the output size and layout, or, for large reductions,
// to planar YUV of the output size that the packer turns into the output
// layout. The packer is built again whenever the scaling step is, so the
// pair always starts from the library's colour settings together.
struct DirectScaler {
  FramePtr frame;    // the output, when it cannot go straight into the batch
  FramePtr between;  // the planar picture between the two steps
  Scaler scaling;
  Scaler packer;

  void abandon() noexcept {
    (void)frame.release();
    (void)between.release();
    scaling.abandon();
    packer.abandon();
  }
};

class VideoCache {
 public:
  VideoCache() = default;
  VideoCache(VideoCache&&) noexcept = default;
  VideoCache& operator=(VideoCache&&) = delete;
  ~VideoCache() { clear(); }

  // Frees everything in a fixed order: the scaling stages, the converter,
  // then the frame and buffers they wrote into.
  void clear() noexcept {
    resizers.clear();
    resizers.shrink_to_fit();
    direct = DirectScaler{};
    color_converter.forget();
    rgb_frame.reset();
    std::vector<std::uint8_t>().swap(staging_buffer);
    std::vector<std::uint8_t>().swap(second_staging_buffer);
  }

  // Lets go of every FFmpeg object without freeing it (see
  // Decoder::abandon).
  void abandon() noexcept {
    for (Resizer& resizer : resizers) resizer.abandon();
    direct.abandon();
    color_converter.abandon();
    (void)rgb_frame.release();
  }

  std::vector<Resizer> resizers;
  DirectScaler direct;
  Scaler color_converter;
  FramePtr rgb_frame;  // the converted picture, when it cannot go straight into the batch
  std::vector<std::uint8_t> staging_buffer;
  std::vector<std::uint8_t> second_staging_buffer;  // a rotation of a rotated image
};

}  // namespace ffmpeg
