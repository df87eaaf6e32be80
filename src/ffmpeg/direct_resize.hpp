// The one-pass resize: the colour conversion scales the (cropped) decoded
// picture straight to the requested size, so the full-size RGB image is never
// made. Serves a transform list with one resize, crops only before it and
// quarter turns anywhere. Large reductions of 8-bit YUV are scaled into
// planar YUV of the output size and packed into RGB from there, which gives
// the same pixels sooner.
#pragma once

#include <optional>
#include <vector>

#include "ffmpeg/convert.hpp"
#include "ffmpeg/transform.hpp"

namespace ffmpeg {

struct DirectResize {
  // The crop of the decoded picture (all of it when the list has no crop).
  int top = 0;
  int left = 0;
  int height = 0;
  int width = 0;
  // The size the conversion scales to, in the decoded picture's orientation.
  int scaled_height = 0;
  int scaled_width = 0;
  // Quarter turns counter-clockwise of the scaled picture, as transforms.
  std::vector<Transform> turns;
};

// How the validated `transforms` map onto one scaling conversion of pictures
// of `stream` size in `pixel_format`, or nothing when they do not: no resize,
// two resizes, a crop after the resize, or a crop that the source planes
// cannot take exactly (an offset that splits subsampled chroma, a format
// without addressable planes).
std::optional<DirectResize> plan_direct_resize(const std::vector<Transform>& transforms,
                                               Size stream, int pixel_format);

// The frame cropped and scaled into the plan's layout in one conversion,
// written into `into` when given and safe, else into the cached frame.
// Empty when the frame's format is not the one the plan was made for.
Result<std::optional<Image>> convert_resized(Decoder& decoder, const AVFrame* frame,
                                             const DirectResize& resize, const OutputPlan& plan,
                                             int planned_format, const Image* into = nullptr);

}  // namespace ffmpeg
