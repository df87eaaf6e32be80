#include "ffmpeg/batch.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

namespace ffmpeg {

namespace {

// Slack after the last slot, never part of the result.
constexpr std::size_t slack = 64;

bool multiply(std::uint64_t a, std::uint64_t b, std::uint64_t& product) {
  return !__builtin_mul_overflow(a, b, &product);
}

}  // namespace

Result<Batch> Batch::prepare(std::size_t count, const OutputPlan& plan, int height, int width) {
  const auto h = static_cast<std::uint64_t>(static_cast<std::uint32_t>(height));
  const auto w = static_cast<std::uint64_t>(static_cast<std::uint32_t>(width));
  std::uint64_t pixels = 0, samples = 0, all_samples = 0, bytes = 0;
  if (!multiply(w, h, pixels) || !multiply(pixels, plan.channels, samples)) {
    return Error::runtime("frame is too large");
  }
  if (!multiply(samples, count, all_samples) || !multiply(all_samples, plan.sample_width, bytes) ||
      bytes > std::numeric_limits<std::uint64_t>::max() - slack) {
    return Error::runtime("batch is too large");
  }
  if (bytes + slack > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
    throw std::bad_alloc();
  }

  Batch batch;
  batch.plan_ = plan;
  batch.count_ = count;
  batch.height_ = height;
  batch.width_ = width;
  batch.row_bytes_ = w * plan.channels * plan.sample_width;
  batch.frame_bytes_ = h * batch.row_bytes_;
  // Samples of two bytes are assembled in a buffer of 16-bit elements, which
  // uint16 output hands out as it is. Not zero-filled: every slot is written
  // whole before the array is handed out, and a failed call hands out
  // nothing. Not committed either: the size comes from the stream's header,
  // which may lie, so memory is taken slot by slot as frames arrive.
  const auto assembled =
      plan.sample_width == 2 ? arrays::ElementType::uint16 : arrays::ElementType::uint8;
  const std::size_t element = arrays::element_size(assembled);
  batch.buffer_ = arrays::SampleBuffer::allocate(
      assembled, bytes / element, (bytes + slack) / element, arrays::Pages::as_written);
  batch.times_.assign(count, 0.0);
  batch.durations_.assign(count, 0.0);
  return batch;
}

Image Batch::slot(std::size_t index) const {
  buffer_.commit(index * frame_bytes_, frame_bytes_);
  return Image{buffer_.data.get() + index * frame_bytes_, static_cast<std::ptrdiff_t>(row_bytes_),
               width_, height_};
}

Failure Batch::write(const Image& image, std::int64_t timestamp, std::int64_t duration,
                     AVRational time_base, std::span<const std::size_t> indices) {
  const std::size_t stride_magnitude =
      static_cast<std::size_t>(image.stride < 0 ? -image.stride : image.stride);
  if (image.data == nullptr || stride_magnitude < row_bytes_) {
    return Error::runtime("invalid decoded frame stride");
  }
  std::uint8_t* const samples = buffer_.data.get();
  std::uint8_t* const primary = samples + indices.front() * frame_bytes_;
  if (image.data != primary) {
    const std::uint8_t* row = image.data;
    for (int r = 0; r < height_; ++r, row += image.stride) {
      std::memcpy(primary + r * row_bytes_, row, row_bytes_);
    }
  }
  const double time = to_seconds(timestamp, time_base);
  const double length = to_seconds(duration, time_base);
  for (const std::size_t index : indices) {
    if (index != indices.front()) {
      buffer_.commit(index * frame_bytes_, frame_bytes_);
      std::memmove(samples + index * frame_bytes_, primary, frame_bytes_);
    }
    times_[index] = time;
    durations_[index] = length;
  }
  return std::nullopt;
}

VideoBatch Batch::finish() && {
  VideoBatch result;
  result.count = count_;
  result.height = height_;
  result.width = width_;
  result.channels = plan_.channels;
  result.times = std::move(times_);
  result.durations = std::move(durations_);

  switch (plan_.element) {
    case arrays::ElementType::uint8:
      result.samples = std::move(buffer_);
      break;
    case arrays::ElementType::uint16: {
      // In place: each value is read before it is written over.
      const bool big_endian_host = std::endian::native == std::endian::big;
      if (plan_.big_endian != big_endian_host) {
        std::uint16_t* values = buffer_.as<std::uint16_t>();
        for (std::size_t i = 0; i < buffer_.length; ++i) {
          values[i] = static_cast<std::uint16_t>(values[i] << 8 | values[i] >> 8);
        }
      }
      result.samples = std::move(buffer_);
      break;
    }
    case arrays::ElementType::float32: {
      const std::size_t n = buffer_.length;
      const std::uint8_t* bytes = buffer_.data.get();
      auto samples = arrays::SampleBuffer::allocate(arrays::ElementType::float32, n, n);
      float* out = samples.as<float>();
      for (std::size_t i = 0; i < n; ++i) {
        out[i] = static_cast<float>(bytes[2 * i] | bytes[2 * i + 1] << 8) / 65535.0f;
      }
      result.samples = std::move(samples);
      break;
    }
  }
  return result;
}

}  // namespace ffmpeg
