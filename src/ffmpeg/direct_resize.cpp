#include "ffmpeg/direct_resize.hpp"

extern "C" {
#include <libavutil/pixdesc.h>
}

namespace ffmpeg {

namespace {

// A crop given in the picture turned by `turns` quarter turns, as a crop of
// the unturned picture of `height` x `width`.
void unturned_crop(int turns, int height, int width, const std::int32_t (&crop)[4], int& top,
                   int& left, int& crop_height, int& crop_width) {
  const auto [r, c, h, w] = crop;
  switch (turns) {
    case 0:
      top = r, left = c, crop_height = h, crop_width = w;
      break;
    case 1:
      top = c, left = width - r - h, crop_height = w, crop_width = h;
      break;
    case 2:
      top = height - r - h, left = width - c - w, crop_height = h, crop_width = w;
      break;
    default:
      top = height - c - w, left = r, crop_height = w, crop_width = h;
      break;
  }
}

// Whether the planes of `format` can be cut at (top, left) by moving their
// pointers: byte-addressable components and offsets that keep subsampled
// chroma whole.
bool croppable(int format, int top, int left) {
  const AVPixFmtDescriptor* descriptor = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(format));
  if (descriptor == nullptr) return false;
  constexpr auto unaddressable =
      AV_PIX_FMT_FLAG_BITSTREAM | AV_PIX_FMT_FLAG_HWACCEL | AV_PIX_FMT_FLAG_PAL;
  if (descriptor->flags & unaddressable) return false;
  if (top == 0 && left == 0) return true;
  return top % (1 << descriptor->log2_chroma_h) == 0 &&
         left % (1 << descriptor->log2_chroma_w) == 0;
}

// The first byte of the crop in each plane of the frame.
void crop_planes(const AVFrame* frame, int top, int left, const std::uint8_t* (&planes)[4]) {
  const AVPixFmtDescriptor* descriptor =
      av_pix_fmt_desc_get(static_cast<AVPixelFormat>(frame->format));
  for (int p = 0; p < 4; ++p) planes[p] = frame->data[p];
  const bool yuv = !(descriptor->flags & AV_PIX_FMT_FLAG_RGB) && descriptor->nb_components >= 3;
  // Each plane moves by the step of its first component; chroma of YUV
  // formats by the subsampled offsets.
  bool moved[4] = {false, false, false, false};
  for (int c = 0; c < descriptor->nb_components; ++c) {
    const AVComponentDescriptor& component = descriptor->comp[c];
    const int p = component.plane;
    if (moved[p] || planes[p] == nullptr) continue;
    moved[p] = true;
    const bool chroma = yuv && (c == 1 || c == 2);
    const int row = chroma ? top >> descriptor->log2_chroma_h : top;
    const int column = chroma ? left >> descriptor->log2_chroma_w : left;
    planes[p] += static_cast<std::ptrdiff_t>(row) * frame->linesize[p] +
                 static_cast<std::ptrdiff_t>(column) * component.step;
  }
}

}  // namespace

std::optional<DirectResize> plan_direct_resize(const std::vector<Transform>& transforms,
                                               Size stream, int pixel_format) {
  DirectResize plan;
  plan.height = stream.height;
  plan.width = stream.width;
  bool resized = false;
  int turns = 0;
  for (const Transform& transform : transforms) {
    switch (transform.kind) {
      case Transform::Kind::rotate:
        turns = (turns + transform.values[0]) & 3;
        break;
      case Transform::Kind::crop: {
        if (resized) return std::nullopt;
        int top = 0, left = 0, height = 0, width = 0;
        unturned_crop(turns, plan.height, plan.width, transform.values, top, left, height, width);
        plan.top += top;
        plan.left += left;
        plan.height = height;
        plan.width = width;
        break;
      }
      case Transform::Kind::resize:
        if (resized) return std::nullopt;
        resized = true;
        plan.scaled_height = (turns & 1) ? transform.values[3] : transform.values[2];
        plan.scaled_width = (turns & 1) ? transform.values[2] : transform.values[3];
        break;
    }
  }
  if (!resized || !croppable(pixel_format, plan.top, plan.left)) return std::nullopt;
  if (turns != 0) plan.turns.push_back({Transform::Kind::rotate, {turns, 0, 0, 0}});
  return plan;
}

Result<std::optional<Image>> convert_resized(Decoder& decoder, const AVFrame* frame,
                                             const DirectResize& resize, const OutputPlan& plan,
                                             int planned_format, const Image* into) {
  if (frame->width != decoder.width || frame->height != decoder.height) {
    return Error::runtime("dynamic frame dimensions are unsupported");
  }
  if (frame->format != planned_format) return std::optional<Image>{};

  DirectScaler& scaler = decoder.video_cache.direct;
  const ColorConverterKey key{resize.width, resize.height, frame->format, plan.target};
  const bool same = scaler.source == key && scaler.target_width == resize.scaled_width &&
                    scaler.target_height == resize.scaled_height;
  if (!same || !scaler.context) {
    scaler.context.reset(sws_getContext(
        resize.width, resize.height, static_cast<AVPixelFormat>(frame->format), resize.scaled_width,
        resize.scaled_height, plan.target, SWS_BILINEAR, nullptr, nullptr, nullptr));
    if (!scaler.context) return Error::runtime("cannot initialize color conversion");
    scaler.source = key;
    scaler.target_width = resize.scaled_width;
    scaler.target_height = resize.scaled_height;
  }
  if (auto failure = set_color_details(scaler.context.get(), frame)) return std::move(*failure);

  const std::uint8_t* planes[4] = {};
  crop_planes(frame, resize.top, resize.left, planes);
  Image image;
  if (into != nullptr && fits_in_place(*into)) {
    image = *into;
  } else {
    AVFrame* out = scaler.frame.get();
    if (out == nullptr) {
      scaler.frame.reset(av_frame_alloc());
      out = scaler.frame.get();
      if (out == nullptr) return Error::runtime("cannot allocate resize frame");
    }
    if (out->width != resize.scaled_width || out->height != resize.scaled_height ||
        out->format != plan.target || out->data[0] == nullptr) {
      av_frame_unref(out);
      out->width = resize.scaled_width;
      out->height = resize.scaled_height;
      out->format = plan.target;
      if (auto failure = check(av_frame_get_buffer(out, 32), "allocate resize frame")) {
        return std::move(*failure);
      }
    }
    image = Image{out->data[0], out->linesize[0], out->width, out->height};
  }
  std::uint8_t* const destination[4] = {image.data, nullptr, nullptr, nullptr};
  const int strides[4] = {static_cast<int>(image.stride), 0, 0, 0};
  const int rows = sws_scale(scaler.context.get(), planes, frame->linesize, 0, resize.height,
                             destination, strides);
  if (rows != resize.scaled_height) return Error::runtime("color conversion failed");
  return std::optional<Image>{image};
}

}  // namespace ffmpeg
