// What the video path keeps from one call to the next: the colour
// converter, the scaling stages of resizes and the buffers that rotations
// and conversions write into, all owned here and freed together.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "ffmpeg/handles.hpp"

namespace ffmpeg {

// One cached bilinear scaling stage of the video path, keyed by the sizes
// and the pixel format it was built for. The context is declared last so
// that it is freed before its frame.
struct Resizer {
  FramePtr frame;
  ScaleContextPtr context;
  int source_width = 0;
  int source_height = 0;
  int target_width = 0;
  int target_height = 0;
  int pixel_format = 0;
};

struct ColorConverterKey {
  int width = 0;
  int height = 0;
  int source_format = 0;
  int target_format = 0;
  bool operator==(const ColorConverterKey&) const = default;
};

// The cached scaler of the one-pass resize: from the cropped decoded picture
// straight to the output size and layout, or, for large reductions, to planar
// YUV of the output size that the packer turns into the output layout. The
// contexts are declared last so that they are freed before their frames.
struct DirectScaler {
  FramePtr frame;    // the output, when it cannot go straight into the batch
  FramePtr between;  // the planar picture between the two steps
  ScaleContextPtr context;
  ScaleContextPtr packer;
  ColorConverterKey source;  // the cropped picture's size and format, the format scaled to
  int target_width = 0;
  int target_height = 0;
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
    color_converter.reset();
    color_converter_key.reset();
    rgb_frame.reset();
    std::vector<std::uint8_t>().swap(staging_buffer);
    std::vector<std::uint8_t>().swap(second_staging_buffer);
  }

  // Lets go of every FFmpeg object without freeing it (see
  // Decoder::abandon).
  void abandon() noexcept {
    for (Resizer& resizer : resizers) {
      (void)resizer.frame.release();
      (void)resizer.context.release();
    }
    (void)direct.frame.release();
    (void)direct.between.release();
    (void)direct.context.release();
    (void)direct.packer.release();
    (void)color_converter.release();
    (void)rgb_frame.release();
  }

  std::vector<Resizer> resizers;
  DirectScaler direct;
  ScaleContextPtr color_converter;
  std::optional<ColorConverterKey> color_converter_key;
  FramePtr rgb_frame;  // the converted picture, when it cannot go straight into the batch
  std::vector<std::uint8_t> staging_buffer;
  std::vector<std::uint8_t> second_staging_buffer;  // a rotation of a rotated image
};

}  // namespace ffmpeg
