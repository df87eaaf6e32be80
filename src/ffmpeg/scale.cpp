#include "ffmpeg/scale.hpp"

namespace ffmpeg {

Planes Planes::of(const AVFrame* frame) {
  Planes planes;
  for (int p = 0; p < 4; ++p) {
    planes.data[p] = frame->data[p];
    planes.strides[p] = frame->linesize[p];
  }
  planes.rows = frame->height;
  return planes;
}

Planes Planes::of(const Image& image) {
  Planes planes;
  planes.data[0] = image.data;
  planes.strides[0] = static_cast<int>(image.stride);
  planes.rows = image.height;
  return planes;
}

Failure fit_frame(AVFrame* frame, int width, int height, AVPixelFormat format, const char* what) {
  if (frame->width == width && frame->height == height && frame->format == format &&
      frame->data[0] != nullptr) {
    return std::nullopt;
  }
  av_frame_unref(frame);
  frame->width = width;
  frame->height = height;
  frame->format = format;
  return check(av_frame_get_buffer(frame, 32), what);
}

bool fits_in_place(const Image& into) {
  return into.width % 32 == 0 && into.stride % 16 == 0 &&
         reinterpret_cast<std::uintptr_t>(into.data) % 16 == 0;
}

Result<AVFrame*> resize_frame(FramePtr& cached) {
  if (!cached) {
    cached.reset(av_frame_alloc());
    if (!cached) return Error::runtime("cannot allocate resize frame");
  }
  return cached.get();
}

Result<Image> scale_image(SwsContext* context, const Planes& source, const ScaleTarget& target,
                          const ScaleNames& names) {
  std::uint8_t* planes[4] = {};
  int strides[4] = {};
  Image image;
  if (target.into != nullptr && fits_in_place(*target.into)) {
    image = *target.into;
    planes[0] = image.data;
    strides[0] = static_cast<int>(image.stride);
  } else {
    AVFrame* frame = target.frame;
    if (auto failure =
            fit_frame(frame, target.width, target.height, target.format, names.allocate)) {
      return std::move(*failure);
    }
    for (int p = 0; p < 4; ++p) {
      planes[p] = frame->data[p];
      strides[p] = frame->linesize[p];
    }
    image = Image{frame->data[0], frame->linesize[0], target.width, target.height};
  }
  const int rows =
      sws_scale(context, source.data, source.strides, 0, source.rows, planes, strides);
  if (rows != target.height) return Error::runtime(names.failed);
  return image;
}

}  // namespace ffmpeg
