#include "ffmpeg/transform.hpp"

#include <cstdint>
#include <cstring>
#include <limits>

namespace ffmpeg {

std::optional<Transform> parse_transform(std::string_view name, const std::int32_t (&values)[4]) {
  Transform transform{Transform::Kind::crop, {values[0], values[1], values[2], values[3]}};
  if (name == "crop") return transform;
  if (name == "resize") {
    transform.kind = Transform::Kind::resize;
    return transform;
  }
  if (name == "rotate") {
    transform.kind = Transform::Kind::rotate;
    transform.values[0] = values[0] & 3;
    return transform;
  }
  return std::nullopt;
}

Result<Size> validate_transforms(const std::vector<Transform>& transforms, Size size) {
  for (const Transform& transform : transforms) {
    const auto [a, b, c, d] = transform.values;
    switch (transform.kind) {
      case Transform::Kind::rotate:
        if (a & 1) size = {size.width, size.height};
        break;
      case Transform::Kind::crop: {
        // Sums of two 32-bit values cannot overflow 64 bits.
        const bool inside = a >= 0 && b >= 0 && c >= 1 && d >= 1 &&
                            std::int64_t{a} + c <= size.height && std::int64_t{b} + d <= size.width;
        if (!inside) return Error::value("crop exceeds the frame");
        size = {c, d};
        break;
      }
      case Transform::Kind::resize:
        if (c < 1 || d < 1) return Error::value("resize size must be positive");
        size = {c, d};
        break;
    }
  }
  return size;
}

namespace {

// Rows padded as generously as any buffer of the video path pads them.
bool addressable(Size size, int bytes_per_pixel) {
  constexpr std::int64_t padding = 64;
  const std::int64_t row = (std::int64_t{size.width} * bytes_per_pixel + padding - 1) / padding *
                           padding;
  return row * size.height <= std::numeric_limits<int>::max();
}

}  // namespace

Failure check_scalable(const std::vector<Transform>& transforms, Size size,
                       const OutputPlan& plan) {
  if (plan.native) return std::nullopt;
  const int b = plan.bytes_per_pixel();
  bool fits = addressable(size, b);
  for (const Transform& transform : transforms) {
    const int height = transform.values[2];
    const int width = transform.values[3];
    switch (transform.kind) {
      case Transform::Kind::rotate:
        if (transform.values[0] & 1) size = {size.width, size.height};
        fits = fits && addressable(size, b);
        break;
      case Transform::Kind::crop:  // a view of an image already checked
        size = {height, width};
        break;
      case Transform::Kind::resize:
        size = {height, width};
        fits = fits && addressable(size, b);
        break;
    }
  }
  if (!fits) return Error::runtime("frame is too large to scale");
  return std::nullopt;
}

namespace {

constexpr ScaleNames resize_names{"allocate resize frame", "resize failed"};

// Turns `image` by `turns` quarter turns counter-clockwise into `scratch`.
// Each destination row walks one source row or column, forwards or back.
Image rotate(const Image& image, int turns, int bytes_per_pixel,
             std::vector<std::uint8_t>& scratch) {
  const bool odd = turns & 1;
  const int width = odd ? image.height : image.width;
  const int height = odd ? image.width : image.height;
  const std::ptrdiff_t b = bytes_per_pixel;
  const std::ptrdiff_t stride = (width * b + 63) / 64 * 64;
  scratch.resize(static_cast<std::size_t>(stride) * height + 64);
  const auto pixel = [&](std::ptrdiff_t row, std::ptrdiff_t column) {
    return image.data + row * image.stride + column * b;
  };
  for (int r = 0; r < height; ++r) {
    const std::uint8_t* in = nullptr;
    std::ptrdiff_t step = 0;
    switch (turns) {
      case 0:
        in = pixel(r, 0), step = b;
        break;
      case 1:
        in = pixel(0, image.width - 1 - r), step = image.stride;
        break;
      case 2:
        in = pixel(image.height - 1 - r, image.width - 1), step = -b;
        break;
      default:
        in = pixel(image.height - 1, r), step = -image.stride;
        break;
    }
    std::uint8_t* out = scratch.data() + r * stride;
    for (int c = 0; c < width; ++c, out += b, in += step) std::memcpy(out, in, b);
  }
  return Image{scratch.data(), stride, width, height};
}

// Whether `data` points into `buffer`.
bool holds(const std::vector<std::uint8_t>& buffer, const std::uint8_t* data) {
  const auto start = reinterpret_cast<std::uintptr_t>(buffer.data());
  const auto at = reinterpret_cast<std::uintptr_t>(data);
  return !buffer.empty() && at >= start && at - start < buffer.size();
}

}  // namespace

Result<Image> Decoder::resize_picture(std::size_t stage, const Image& image, int height,
                                      int width, AVPixelFormat format) {
  std::vector<Resizer>& resizers = video_cache_.resizers;
  if (resizers.size() <= stage) resizers.emplace_back();
  Resizer& resizer = resizers[stage];
  auto frame = resize_frame(resizer.frame);
  if (!frame.ok()) return std::move(frame).error();
  SwsContext* context = resizer.scaler.fit(
      {image.width, image.height, format, width, height, format, SWS_BILINEAR});
  if (context == nullptr) {
    resizer.scaler.forget();  // tried again on the stage's next use
    return Error::runtime("cannot initialize resize");
  }
  return scale_image(context, Planes::of(image), {width, height, format, frame.value()},
                     resize_names);
}

// A rotation never writes over its own source: an image in (or cropped
// from) one scratch buffer is turned into the other.
Image Decoder::rotate_picture(const Image& image, int turns, int bytes_per_pixel) {
  std::vector<std::uint8_t>& scratch = holds(video_cache_.staging_buffer, image.data)
                                           ? video_cache_.second_staging_buffer
                                           : video_cache_.staging_buffer;
  return rotate(image, turns, bytes_per_pixel, scratch);
}

Result<Image> apply_transforms(Decoder& decoder, Image image,
                               const std::vector<Transform>& transforms, const OutputPlan& plan) {
  const int b = plan.bytes_per_pixel();
  std::size_t stage = 0;
  for (const Transform& transform : transforms) {
    switch (transform.kind) {
      case Transform::Kind::crop: {
        const auto [top, left, height, width] = transform.values;
        image.data += top * image.stride + static_cast<std::ptrdiff_t>(left) * b;
        image.height = height;
        image.width = width;
        break;
      }
      case Transform::Kind::resize: {
        const int height = transform.values[2];
        const int width = transform.values[3];
        auto resized = decoder.resize_picture(stage++, image, height, width, plan.target);
        if (!resized.ok()) return std::move(resized).error();
        image = resized.value();
        break;
      }
      case Transform::Kind::rotate:
        image = decoder.rotate_picture(image, transform.values[0], b);
        break;
    }
  }
  return image;
}

}  // namespace ffmpeg
