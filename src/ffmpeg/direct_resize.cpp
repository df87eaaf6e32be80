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

// The planes of the frame's crop of `height` rows starting at (top, left).
Planes cropped_planes(const AVFrame* frame, int top, int left, int height) {
  const AVPixFmtDescriptor* descriptor =
      av_pix_fmt_desc_get(static_cast<AVPixelFormat>(frame->format));
  Planes planes = Planes::of(frame);
  planes.rows = height;
  const bool yuv = !(descriptor->flags & AV_PIX_FMT_FLAG_RGB) && descriptor->nb_components >= 3;
  // Each plane moves by the step of its first component; chroma of YUV
  // formats by the subsampled offsets.
  bool moved[4] = {false, false, false, false};
  for (int c = 0; c < descriptor->nb_components; ++c) {
    const AVComponentDescriptor& component = descriptor->comp[c];
    const int p = component.plane;
    if (moved[p] || planes.data[p] == nullptr) continue;
    moved[p] = true;
    const bool chroma = yuv && (c == 1 || c == 2);
    const int row = chroma ? top >> descriptor->log2_chroma_h : top;
    const int column = chroma ? left >> descriptor->log2_chroma_w : left;
    planes.data[p] += static_cast<std::ptrdiff_t>(row) * frame->linesize[p] +
                      static_cast<std::ptrdiff_t>(column) * component.step;
  }
  return planes;
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

// Fits the scaling step (and the packing step, when there is one) to the
// crop size, the formats and the output size; a failure leaves neither
// built, so the next frame tries again.
Failure prepare_scaler(DirectScaler& scaler, const DirectResize& resize, int format,
                       AVPixelFormat target, AVPixelFormat planar) {
  const bool two_steps = planar != AV_PIX_FMT_NONE;
  // Exact rounding keeps the two steps equal to one; one step is exact
  // either way.
  const int flags = two_steps ? SWS_BILINEAR | SWS_ACCURATE_RND : SWS_BILINEAR;
  const int width = resize.scaled_width;
  const int height = resize.scaled_height;
  const AVPixelFormat scaled_to = two_steps ? planar : target;
  const ScaleKey scaling{resize.width, resize.height, format, width, height, scaled_to, flags};
  const ScaleKey packing{width, height, planar, width, height, target, flags};
  if (!scaler.scaling.holds(scaling)) scaler.packer.forget();
  bool built = scaler.scaling.fit(scaling) != nullptr;
  if (built && two_steps) built = scaler.packer.fit(packing) != nullptr;
  if (built) return std::nullopt;
  scaler.scaling.forget();
  scaler.packer.forget();
  return Error::runtime("cannot initialize color conversion");
}

constexpr ScaleNames direct_names{"allocate resize frame", "color conversion failed"};

}  // namespace

Result<std::optional<Image>> convert_resized(Decoder& decoder, const AVFrame* frame,
                                             const DirectResize& resize, const OutputPlan& plan,
                                             int planned_format, const Image* into) {
  if (frame->width != decoder.width() || frame->height != decoder.height()) {
    return Error::runtime("dynamic frame dimensions are unsupported");
  }
  if (frame->format != planned_format) return std::optional<Image>{};
  auto image = decoder.scale_picture(frame, resize, plan.target, into);
  if (!image.ok()) return std::move(image).error();
  return std::optional<Image>{image.value()};
}

Result<Image> Decoder::scale_picture(const AVFrame* frame, const DirectResize& resize,
                                     AVPixelFormat target, const Image* into) {
  DirectScaler& scaler = video_cache_.direct;
  const AVPixelFormat planar = planar_step(frame->format, resize, target);
  if (auto failure = prepare_scaler(scaler, resize, frame->format, target, planar)) {
    return std::move(*failure);
  }
  // The step that writes the output converts the colours: the packing step
  // when there is one.
  const bool two_steps = planar != AV_PIX_FMT_NONE;
  SwsContext* converting = two_steps ? scaler.packer.get() : scaler.scaling.get();
  if (auto failure = set_color_details(converting, frame)) return std::move(*failure);

  auto out = resize_frame(scaler.frame);
  if (!out.ok()) return std::move(out).error();
  const ScaleTarget output{resize.scaled_width, resize.scaled_height, target, out.value(), into};
  Planes source = cropped_planes(frame, resize.top, resize.left, resize.height);
  if (two_steps) {
    auto between = resize_frame(scaler.between);
    if (!between.ok()) return std::move(between).error();
    const ScaleTarget planar_target{resize.scaled_width, resize.scaled_height, planar,
                                    between.value()};
    auto scaled = scale_image(scaler.scaling.get(), source, planar_target, direct_names);
    if (!scaled.ok()) return std::move(scaled).error();
    source = Planes::of(between.value());
  }
  return scale_image(converting, source, output, direct_names);
}

}  // namespace ffmpeg
