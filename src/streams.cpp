// Decoder.streams(): the streams of a source's container, from one opening,
// for callers that look at a file before choosing what to decode.
#include <array>
#include <cmath>

#include "args.hpp"
#include "calls.hpp"
#include "decoder_object.hpp"
#include "ffmpeg/streams.hpp"
#include "source.hpp"
#include "values.hpp"

namespace {

py::Ref stream_dict(const ffmpeg::StreamInfo& stream) {
  using namespace values;
  py::Ref dict = py::Ref::steal(PyDict_New());
  if (!dict) return dict;
  const std::array<std::pair<const char*, py::Ref>, 4> items{{
      {"index", integer(stream.index)},
      {"media_type", text(stream.media_type)},
      {"codec", text(stream.codec)},
      {"decodable", boolean(stream.decodable)},
  }};
  for (const auto& [key, value] : items) {
    if (!value || PyDict_SetItemString(dict.get(), key, value.get()) < 0) return {};
  }
  return dict;
}

}  // namespace

PyObject* decoder_streams(PyObject*, PyObject* args, PyObject* kwargs) {
  static constexpr std::array<const char*, 2> names{"source", "timeout"};
  std::array<PyObject*, 2> bound{};
  if (!args::bind("Decoder.streams", names, 1, args, kwargs, bound, 1)) return nullptr;
  std::optional<double> timeout;
  if (bound[1] != nullptr && bound[1] != Py_None &&
      !args::convert(bound[1], "timeout", args::as_double, timeout.emplace())) {
    return nullptr;
  }
  std::optional<ffmpeg::Source> source = classify_source(bound[0], ffmpeg::IoSettings{});
  if (!source) return nullptr;
  if (timeout && !(std::isfinite(*timeout) && *timeout > 0)) {
    PyErr_SetString(PyExc_ValueError, "timeout must be a positive number of seconds");
    return nullptr;
  }

  auto listed = opening_call([&](ffmpeg::Interruption& call) {
    return ffmpeg::Decoder::streams(std::move(*source), timeout, ffmpeg::IoSettings{}, call);
  });
  if (!listed) return nullptr;

  py::Ref list = py::Ref::steal(PyList_New(0));
  if (!list) return nullptr;
  for (const ffmpeg::StreamInfo& stream : *listed) {
    py::Ref item = stream_dict(stream);
    if (!item || PyList_Append(list.get(), item.get()) < 0) return py::fail();
  }
  return list.release();
}
