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

namespace {

// A large reduction of 8-bit 4:2:0 or 4:2:2 video to 8-bit RGB runs faster in
// two steps that give the very same pixels: scaling into planar 4:2:2 of the
// output size (vectorised), then packing that into RGB without scaling. One
// step packs while it filters rows, a pixel at a time. The two agree exactly
// for even output widths and row filters of more than two taps, which a
// reduction to half the height or less always has; elsewhere: one step.
AVPixelFormat planar_step(int format, const DirectResize& resize, AVPixelFormat target) {
  if (target != AV_PIX_FMT_RGB24 || resize.scaled_width % 2 != 0 ||
      resize.scaled_height * 2 > resize.height) {
    return AV_PIX_FMT_NONE;
  }
  // The same range on both sides, so the scaling step leaves values alone.
  switch (format) {
    case AV_PIX_FMT_YUV420P:
    case AV_PIX_FMT_YUV422P:
      return AV_PIX_FMT_YUV422P;
    case AV_PIX_FMT_YUVJ420P:
    case AV_PIX_FMT_YUVJ422P:
      return AV_PIX_FMT_YUVJ422P;
    default:
      return AV_PIX_FMT_NONE;
  }
}

// A cached frame of the given size and format, allocated on first use and
// when either changes.
Result<AVFrame*> sized_frame(FramePtr& cached, int width, int height, AVPixelFormat format) {
  if (!cached) {
    cached.reset(av_frame_alloc());
    if (!cached) return Error::runtime("cannot allocate resize frame");
  }
  AVFrame* frame = cached.get();
  if (auto failure = fit_frame(frame, width, height, format, "allocate resize frame")) {
    return std::move(*failure);
  }
  return frame;
}

// Rebuilds the scaling step (and the packing step, when there is one) when
// the crop size, the formats or the output size differ from what the cache
// was built for.
Failure prepare_scaler(DirectScaler& scaler, const DirectResize& resize, int format,
                       AVPixelFormat target) {
  const AVPixelFormat planar = planar_step(format, resize, target);
  const AVPixelFormat scaled_to = planar != AV_PIX_FMT_NONE ? planar : target;
  const ColorConverterKey key{resize.width, resize.height, format, scaled_to};
  if (scaler.context && scaler.source == key && scaler.target_width == resize.scaled_width &&
      scaler.target_height == resize.scaled_height) {
    return std::nullopt;
  }
  scaler.packer.reset();
  scaler.context.reset();
  // Exact rounding keeps the two steps equal to one; one step is exact
  // either way.
  const int flags = planar != AV_PIX_FMT_NONE ? SWS_BILINEAR | SWS_ACCURATE_RND : SWS_BILINEAR;
  scaler.context.reset(sws_getContext(
      resize.width, resize.height, static_cast<AVPixelFormat>(format), resize.scaled_width,
      resize.scaled_height, scaled_to, flags, nullptr, nullptr, nullptr));
  if (planar != AV_PIX_FMT_NONE && scaler.context) {
    scaler.packer.reset(sws_getContext(resize.scaled_width, resize.scaled_height, planar,
                                       resize.scaled_width, resize.scaled_height, target, flags,
                                       nullptr, nullptr, nullptr));
  }
  if (!scaler.context || (planar != AV_PIX_FMT_NONE && !scaler.packer)) {
    scaler.context.reset();
    return Error::runtime("cannot initialize color conversion");
  }
  scaler.source = key;
  scaler.target_width = resize.scaled_width;
  scaler.target_height = resize.scaled_height;
  return std::nullopt;
}

}  // namespace

Result<std::optional<Image>> convert_resized(Decoder& decoder, const AVFrame* frame,
                                             const DirectResize& resize, const OutputPlan& plan,
                                             int planned_format, const Image* into) {
  if (frame->width != decoder.width() || frame->height != decoder.height()) {
    return Error::runtime("dynamic frame dimensions are unsupported");
  }
  if (frame->format != planned_format) return std::optional<Image>{};

  DirectScaler& scaler = decoder.video_cache().direct;
  if (auto failure = prepare_scaler(scaler, resize, frame->format, plan.target)) {
    return std::move(*failure);
  }
  // The colour conversion happens in the packing step when there is one.
  SwsContext* converting = scaler.packer ? scaler.packer.get() : scaler.context.get();
  if (auto failure = set_color_details(converting, frame)) return std::move(*failure);

  Image image;
  if (into != nullptr && fits_in_place(*into)) {
    image = *into;
  } else {
    auto out = sized_frame(scaler.frame, resize.scaled_width, resize.scaled_height, plan.target);
    if (!out.ok()) return std::move(out).error();
    image = Image{out.value()->data[0], out.value()->linesize[0], resize.scaled_width,
                  resize.scaled_height};
  }
  std::uint8_t* const destination[4] = {image.data, nullptr, nullptr, nullptr};
  const int strides[4] = {static_cast<int>(image.stride), 0, 0, 0};

  const std::uint8_t* planes[4] = {};
  crop_planes(frame, resize.top, resize.left, planes);
  int rows = 0;
  if (scaler.packer) {
    const auto format = static_cast<AVPixelFormat>(scaler.source.target_format);
    auto between = sized_frame(scaler.between, resize.scaled_width, resize.scaled_height, format);
    if (!between.ok()) return std::move(between).error();
    AVFrame* planar = between.value();
    rows = sws_scale(scaler.context.get(), planes, frame->linesize, 0, resize.height, planar->data,
                     planar->linesize);
    if (rows == resize.scaled_height) {
      rows = sws_scale(scaler.packer.get(), planar->data, planar->linesize, 0, rows, destination,
                       strides);
    }
  } else {
    rows = sws_scale(scaler.context.get(), planes, frame->linesize, 0, resize.height, destination,
                     strides);
  }
  if (rows != resize.scaled_height) return Error::runtime("color conversion failed");
  return std::optional<Image>{image};
}

}  // namespace ffmpeg
