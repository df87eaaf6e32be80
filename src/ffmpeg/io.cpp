#include "ffmpeg/io.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

namespace ffmpeg {

void bind_input(Input& input, Watch& watch, const AVIOContext* context) noexcept {
  input.watch_ = &watch;
  input.context_ = context;
}

int MemoryInput::read(std::uint8_t* buffer, int size) {
  if (watch().poll()) return AVERROR_EXIT;
  if (position_ >= bytes_.size) return AVERROR_EOF;
  const std::uint64_t left = bytes_.size - position_;
  const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(left, size));
  std::memcpy(buffer, bytes_.data.get() + position_, count);
  position_ += count;
  return static_cast<int>(count);
}

std::int64_t MemoryInput::seek(std::int64_t offset, int whence) {
  const auto length = static_cast<std::int64_t>(bytes_.size);
  std::int64_t base = 0;
  switch (whence) {
    case SEEK_SET:
      base = 0;
      break;
    case SEEK_CUR:
      base = static_cast<std::int64_t>(position_);
      break;
    case SEEK_END:
      base = length;
      break;
    default:
      return AVERROR(EINVAL);
  }
  std::int64_t target = 0;
  if (__builtin_add_overflow(base, offset, &target) || target < 0 || target > length) {
    return AVERROR(EINVAL);
  }
  position_ = static_cast<std::uint64_t>(target);
  return target;
}

int read_memory(void* opaque, std::uint8_t* buffer, int size) noexcept {
  if (size < 1) return AVERROR(EINVAL);
  try {
    return static_cast<Input*>(opaque)->read(buffer, size);
  } catch (...) {
    return AVERROR(ENOMEM);
  }
}

std::int64_t seek_memory(void* opaque, std::int64_t offset, int whence) noexcept {
  try {
    auto& input = *static_cast<Input*>(opaque);
    if (whence & AVSEEK_SIZE) return input.size();
    return input.seek(offset, whence & ~(AVSEEK_SIZE | AVSEEK_FORCE));
  } catch (...) {
    return AVERROR(ENOMEM);
  }
}

Result<CustomInput> prepare_custom_io(Source&& source, Watch& watch, IoSettings settings) {
  const int buffer_size = settings.buffer_size;
  CustomInput custom;
  if (auto* bytes = std::get_if<Memory>(&source)) {
    custom.input = std::make_unique<MemoryInput>(std::move(*bytes));
  } else {
    custom.input = std::move(std::get<std::unique_ptr<Input>>(source));
  }
  bind_input(*custom.input, watch, nullptr);
  if (auto failure = custom.input->start()) return std::move(*failure);

  MemoryPtr<std::uint8_t> buffer(static_cast<std::uint8_t*>(av_malloc(buffer_size)));
  if (!buffer) return Error::runtime("cannot allocate input buffer");
  custom.context.reset(avio_alloc_context(buffer.get(), buffer_size, 0, custom.input.get(),
                                          &read_memory, nullptr, &seek_memory));
  if (!custom.context) return Error::runtime("cannot allocate input context");
  (void)buffer.release();  // the I/O context owns it now
  bind_input(*custom.input, watch, custom.context.get());
  return custom;
}

}  // namespace ffmpeg
