// Decoder.decode_video(): argument conversion, the shared video path that
// checks the request, runs it without the interpreter lock and builds the
// result tuple.
#include <array>
#include <string>
#include <vector>

#include "args.hpp"
#include "arrays/array.hpp"
#include "calls.hpp"
#include "decoder_object.hpp"
#include "errors.hpp"
#include "ffmpeg/transform.hpp"
#include "ffmpeg/video_request.hpp"
#include "values.hpp"

namespace {

struct TransformTuple {
  std::string name;
  std::int32_t values[4];
};

bool as_target(PyObject* item, ffmpeg::Target& target) {
  PyObject* items[2];
  return args::as_tuple(item, 2, items) && args::as_long(items[0], target.pts) &&
         args::as_long(items[1], target.seek_pts);
}

bool as_targets(PyObject* value, std::vector<ffmpeg::Target>& targets) {
  return args::for_each(
      value, [&](std::size_t n) { targets.reserve(n); },
      [&](PyObject* item) { return as_target(item, targets.emplace_back()); });
}

bool as_seconds(PyObject* value, std::vector<double>& seconds) {
  return args::for_each(
      value, [&](std::size_t n) { seconds.reserve(n); },
      [&](PyObject* item) { return args::as_double(item, seconds.emplace_back()); });
}

bool as_occurrences(PyObject* value, std::vector<std::int64_t>& occurrences) {
  return args::for_each(
      value, [&](std::size_t n) { occurrences.reserve(n); },
      [&](PyObject* item) { return args::as_long(item, occurrences.emplace_back()); });
}

bool as_transform(PyObject* item, TransformTuple& transform) {
  PyObject* items[5];
  if (!args::as_tuple(item, 5, items) || !args::as_text(items[0], transform.name)) return false;
  for (int i = 0; i < 4; ++i) {
    if (!args::as_int32(items[i + 1], transform.values[i])) return false;
  }
  return true;
}

bool as_transforms(PyObject* value, std::vector<TransformTuple>& transforms) {
  return args::for_each(
      value, [&](std::size_t n) { transforms.reserve(n); },
      [&](PyObject* item) { return as_transform(item, transforms.emplace_back()); });
}

py::Ref float_list(const std::vector<double>& numbers) {
  py::Ref list = py::Ref::steal(PyList_New(static_cast<Py_ssize_t>(numbers.size())));
  if (!list) return list;
  for (std::size_t i = 0; i < numbers.size(); ++i) {
    py::Ref number = values::real(numbers[i]);
    if (!number) return {};
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), number.release());
  }
  return list;
}

// The shared path of both video calls, from the closed check to the tuple.
PyObject* video_request(DecoderObject* self, ffmpeg::VideoRequest request,
                        const std::string& output_dtype,
                        const std::vector<TransformTuple>& transform_tuples, bool direct_resize,
                        bool skip_invalid) {
  ffmpeg::Decoder* decoder = reading_record(self);
  if (decoder == nullptr) return nullptr;
  std::vector<ffmpeg::Transform> transforms;
  transforms.reserve(transform_tuples.size());
  for (const TransformTuple& tuple : transform_tuples) {
    auto transform = ffmpeg::parse_transform(tuple.name, tuple.values);
    if (!transform) {
      PyErr_SetString(PyExc_ValueError, "invalid transform");
      return nullptr;
    }
    transforms.push_back(*transform);
  }
  const auto output = ffmpeg::output_type(output_dtype);
  if (!output) {
    PyErr_SetString(PyExc_ValueError, "invalid video output dtype");
    return nullptr;
  }

  ffmpeg::PumpPolicy pump{skip_invalid};
  auto decoded = watched_call(*decoder, [&] {
    return decoder->video(std::move(request), *output, std::move(transforms), direct_resize, pump);
  });
  decoder->count_skipped(pump);
  if (!decoded) return nullptr;

  ffmpeg::VideoBatch& batch = *decoded;
  py::Ref times = float_list(batch.times);
  py::Ref durations = float_list(batch.durations);
  if (!times || !durations) return py::fail();
  py::Ref array = py::Ref::steal(arrays::make_array(
      std::move(batch.samples),
      {batch.count, static_cast<std::size_t>(batch.height), static_cast<std::size_t>(batch.width),
       static_cast<std::size_t>(batch.channels)}));
  if (!array) return nullptr;
  return PyTuple_Pack(3, array.get(), times.get(), durations.get());
}

}  // namespace

PyObject* decoder_decode_video(DecoderObject* self, PyObject* args, PyObject* kwargs) {
  static constexpr std::array<const char*, 11> names{
      "targets",       "output_dtype", "exact",   "transforms", "direct_resize", "occurrences",
      "skip_invalid", "seek_by_index", "stand_in", "partial",   "continuation"};
  std::array<PyObject*, 11> bound{};
  if (!args::bind("Decoder.decode_video", names, 3, args, kwargs, bound, 7)) return nullptr;
  auto use = Use::exclusive(self);
  if (!use) return nullptr;

  ffmpeg::PtsRequest request;
  std::string output_dtype;
  std::vector<TransformTuple> transforms;
  bool direct_resize = false;
  bool skip_invalid = false;
  if (!args::convert(bound[0], "targets", as_targets, request.targets) ||
      !args::convert(bound[1], "output_dtype", args::as_text, output_dtype) ||
      !args::convert(bound[2], "exact", args::as_bool, request.exact) ||
      (bound[3] != nullptr && !args::convert(bound[3], "transforms", as_transforms, transforms)) ||
      (bound[4] != nullptr &&
       !args::convert(bound[4], "direct_resize", args::as_bool, direct_resize)) ||
      (bound[5] != nullptr && bound[5] != Py_None &&
       !args::convert(bound[5], "occurrences", as_occurrences, request.occurrences)) ||
      (bound[6] != nullptr &&
       !args::convert(bound[6], "skip_invalid", args::as_bool, skip_invalid)) ||
      (bound[7] != nullptr &&
       !args::convert(bound[7], "seek_by_index", args::as_bool, request.seek_by_index)) ||
      (bound[8] != nullptr &&
       !args::convert(bound[8], "stand_in", args::as_bool, request.stand_in)) ||
      (bound[9] != nullptr &&
       !args::convert(bound[9], "partial", args::as_bool, request.partial)) ||
      (bound[10] != nullptr &&
       !args::convert(bound[10], "continuation", args::as_bool, request.continuation))) {
    return nullptr;
  }
  request.by_occurrence = bound[5] != nullptr && bound[5] != Py_None;
  return video_request(self, std::move(request), output_dtype, transforms, direct_resize,
                       skip_invalid);
}

PyObject* decoder_decode_timestamps(DecoderObject* self, PyObject* args, PyObject* kwargs) {
  static constexpr std::array<const char*, 6> names{
      "seconds", "output_dtype", "transforms", "direct_resize", "skip_invalid", "partial"};
  std::array<PyObject*, 6> bound{};
  if (!args::bind("Decoder.decode_timestamps", names, 2, args, kwargs, bound, 3)) return nullptr;
  auto use = Use::exclusive(self);
  if (!use) return nullptr;

  ffmpeg::SecondsRequest request;
  std::string output_dtype;
  std::vector<TransformTuple> transforms;
  bool direct_resize = false;
  bool skip_invalid = false;
  if (!args::convert(bound[0], "seconds", as_seconds, request.seconds) ||
      !args::convert(bound[1], "output_dtype", args::as_text, output_dtype) ||
      (bound[2] != nullptr && !args::convert(bound[2], "transforms", as_transforms, transforms)) ||
      (bound[3] != nullptr &&
       !args::convert(bound[3], "direct_resize", args::as_bool, direct_resize)) ||
      (bound[4] != nullptr &&
       !args::convert(bound[4], "skip_invalid", args::as_bool, skip_invalid)) ||
      (bound[5] != nullptr &&
       !args::convert(bound[5], "partial", args::as_bool, request.partial))) {
    return nullptr;
  }
  return video_request(self, std::move(request), output_dtype, transforms, direct_resize,
                       skip_invalid);
}
