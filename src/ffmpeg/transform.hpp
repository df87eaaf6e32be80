// Crop, resize and rotate: parsing, validation of the output size before any
// decoding, and application to each converted image.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "ffmpeg/convert.hpp"

namespace ffmpeg {

struct Transform {
  enum class Kind : std::uint8_t { crop, resize, rotate };
  Kind kind;
  // crop: top, left, height, width; resize: -, -, height, width;
  // rotate: quarter turns counter-clockwise (0 to 3), -, -, -.
  std::int32_t values[4];
};

// A transform from its name and four integers; empty for an unknown name.
std::optional<Transform> parse_transform(std::string_view name, const std::int32_t (&values)[4]);

struct Size {
  int height;
  int width;
};

// The image size after all transforms, starting from the stream's.
Result<Size> validate_transforms(const std::vector<Transform>& transforms, Size stream);

// Refuses ("frame is too large to scale") sizes the scaling library cannot
// address: it offsets rows with `int` arithmetic, so every RGB image it reads
// or writes (the full-size conversion, each resize, the one-pass resize and
// the rotated images a resize may read) must span at most INT_MAX bytes.
[[nodiscard]] Failure check_scalable(const std::vector<Transform>& transforms, Size stream,
                                     const OutputPlan& plan);

// Applies the transforms in order; the result has the validated size.
Result<Image> apply_transforms(Decoder& decoder, Image image,
                               const std::vector<Transform>& transforms, const OutputPlan& plan);

}  // namespace ffmpeg
