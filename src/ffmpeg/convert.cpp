#include "ffmpeg/convert.hpp"

#include "ffmpeg/compat.hpp"

namespace ffmpeg {

namespace {

constexpr ScaleNames rgb_names{"allocate RGB frame", "color conversion failed"};

}  // namespace

std::optional<OutputType> output_type(std::string_view name) {
  for (std::size_t i = 0; i < output_type_names.size(); ++i) {
    if (output_type_names[i] == name) return static_cast<OutputType>(i);
  }
  return std::nullopt;
}

Result<OutputPlan> output_plan(OutputType type, int stream_pixel_format) {
  using arrays::ElementType;
  switch (type) {
    case OutputType::uint8:
      return OutputPlan{ElementType::uint8, 3, 1, false, false, AV_PIX_FMT_RGB24};
    case OutputType::uint16:
      return OutputPlan{ElementType::uint16, 3, 2, false, false, AV_PIX_FMT_RGB48LE};
    case OutputType::float32:
      return OutputPlan{ElementType::float32, 3, 2, false, false, AV_PIX_FMT_RGB48LE};
    case OutputType::native:
      break;
  }
  const auto native = [](ElementType element, int channels, bool big_endian) {
    const int width = element == ElementType::uint8 ? 1 : 2;
    return OutputPlan{element, channels, width, big_endian, true, AV_PIX_FMT_NONE};
  };
  switch (stream_pixel_format) {
    case AV_PIX_FMT_RGB24:
      return native(ElementType::uint8, 3, false);
    case AV_PIX_FMT_GRAY8:
      return native(ElementType::uint8, 1, false);
    case AV_PIX_FMT_RGBA:
      return native(ElementType::uint8, 4, false);
    case AV_PIX_FMT_GRAY16BE:
      return native(ElementType::uint16, 1, true);
    case AV_PIX_FMT_GRAY16LE:
      return native(ElementType::uint16, 1, false);
    case AV_PIX_FMT_GRAY12LE:
      return native(ElementType::uint16, 1, false);
    default:
      return Error::value("native output does not support this pixel format");
  }
}

Failure set_color_details(SwsContext* converter, const AVFrame* frame) {
  int* source_table = nullptr;
  int* target_table = nullptr;
  int source_range = 0, target_range = 0, brightness = 0, contrast = 0, saturation = 0;
  if (auto failure =
          check(sws_getColorspaceDetails(converter, &source_table, &source_range, &target_table,
                                         &target_range, &brightness, &contrast, &saturation),
                "read color conversion settings")) {
    return failure;
  }
  const int range = compat::stored_value(frame->color_range);
  if (range != AVCOL_RANGE_UNSPECIFIED) source_range = range == AVCOL_RANGE_JPEG ? 1 : 0;
  // Any value: the library falls back to its default for ones it lacks.
  const int* coefficients = sws_getCoefficients(compat::stored_value(frame->colorspace));
  return check(sws_setColorspaceDetails(converter, coefficients, source_range, coefficients,
                                        target_range, brightness, contrast, saturation),
               "configure color conversion");
}

Result<Image> convert_frame(Decoder& decoder, const AVFrame* frame, const OutputPlan& plan,
                            const Image* into) {
  if (frame->width != decoder.width() || frame->height != decoder.height()) {
    return Error::runtime("dynamic frame dimensions are unsupported");
  }
  if (plan.native) {
    if (frame->format != decoder.pixel_format()) {
      return Error::value("pixel format changed within stream");
    }
    return Image{frame->data[0], frame->linesize[0], frame->width, frame->height};
  }

  return decoder.convert_picture(frame, plan.target, into);
}

Result<Image> Decoder::convert_picture(const AVFrame* frame, AVPixelFormat target,
                                       const Image* into) {
  // A failed build stays under its key, so later frames fail at once.
  SwsContext* converter = video_cache_.color_converter.fit(
      {frame->width, frame->height, frame->format, frame->width, frame->height, target, 0});
  if (converter == nullptr) return Error::runtime("cannot initialize color conversion");
  if (auto failure = set_color_details(converter, frame)) return std::move(*failure);
  const ScaleTarget output{frame->width, frame->height, target, video_cache_.rgb_frame.get(),
                           into};
  return scale_image(converter, Planes::of(frame), output, rgb_names);
}

}  // namespace ffmpeg
