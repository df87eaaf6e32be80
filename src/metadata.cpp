// Decoder.metadata(): the stream's header as an ordered dictionary.
#include <array>

#include "args.hpp"
#include "decoder_object.hpp"
#include "ffmpeg/metadata.hpp"
#include "values.hpp"

namespace {

class DictBuilder {
 public:
  DictBuilder() : dict_(py::Ref::steal(PyDict_New())) {}
  // Inserts `value` under `key`; false with an exception set on failure.
  bool set(const char* key, py::Ref value) {
    if (!ok_ || !dict_ || !value) return ok_ = false;
    return ok_ = PyDict_SetItemString(dict_.get(), key, value.get()) == 0;
  }
  PyObject* finish() { return ok_ && dict_ ? dict_.release() : py::fail(); }

 private:
  py::Ref dict_;
  bool ok_ = true;
};

py::Ref ratio(AVRational value) {
  return py::Ref::steal(Py_BuildValue("(ii)", value.num, value.den));
}

}  // namespace

PyObject* decoder_metadata(DecoderObject* self, PyObject* args, PyObject* kwargs) {
  static constexpr std::array<const char*, 1> names{"apply_rotation"};
  std::array<PyObject*, 1> bound{};
  if (!args::bind("Decoder.metadata", names, 0, args, kwargs, bound)) return nullptr;
  auto use = Use::shared(self);
  if (!use) return nullptr;
  bool apply_rotation = true;
  if (bound[0] != nullptr &&
      !args::convert(bound[0], "apply_rotation", args::as_bool, apply_rotation)) {
    return nullptr;
  }
  const ffmpeg::Decoder* decoder = open_record(self);
  if (decoder == nullptr) return nullptr;

  const ffmpeg::StreamMetadata m = ffmpeg::describe(*decoder);
  const bool video = m.media_type == ffmpeg::MediaType::video;
  std::optional<double> rotation;
  if (video && apply_rotation) {
    const ffmpeg::Rotation found = ffmpeg::display_rotation(*decoder);
    if (found.kind == ffmpeg::Rotation::Kind::reflected) {
      PyErr_SetString(PyExc_NotImplementedError,
                      "reflected or singular display matrices are unsupported");
      return nullptr;
    }
    if (found.kind == ffmpeg::Rotation::Kind::angle) rotation = found.degrees;
  }

  using namespace values;
  DictBuilder dict;
  dict.set("stream_index", integer(m.stream_index));
  dict.set("media_type", text(std::string(video ? "video" : "audio")));
  dict.set("time_base_num", integer(m.time_base_num));
  dict.set("time_base_den", integer(m.time_base_den));
  dict.set("codec", text(m.codec));
  dict.set("bit_rate", real(m.bit_rate));
  dict.set("duration_seconds_from_header", real(m.duration_seconds_from_header));
  dict.set("container_duration", real(m.container_duration));
  dict.set("begin_stream_seconds_from_header", real(m.begin_stream_seconds_from_header));
  if (video) {
    const ffmpeg::VideoProperties& v = m.video;
    dict.set("width", integer(v.width));
    dict.set("height", integer(v.height));
    dict.set("num_frames_from_header", integer(v.num_frames_from_header));
    dict.set("average_fps_from_header", real(v.average_fps_from_header));
    dict.set("pixel_aspect_ratio", ratio(v.pixel_aspect_ratio));
    dict.set("pixel_format", text(v.pixel_format));
    dict.set("bit_depth", v.bit_depth ? integer(*v.bit_depth) : none());
    dict.set("color_range", text(v.color_range));
    dict.set("color_space", text(v.color_space));
    dict.set("color_primaries", text(v.color_primaries));
    dict.set("color_transfer_characteristic", text(v.color_transfer_characteristic));
    dict.set("rotation", real(rotation));
  } else {
    const ffmpeg::AudioProperties& a = m.audio;
    dict.set("sample_rate", integer(a.sample_rate));
    dict.set("num_channels", integer(a.num_channels));
    dict.set("sample_format", text(a.sample_format));
  }
  return dict.finish();
}
