// Decoder.decode_audio_range() and Decoder.audio_start_time(): audio by
// sample indices of the whole-stream read, found by seeking.
#include <array>
#include <optional>

#include "args.hpp"
#include "calls.hpp"
#include "decoder_object.hpp"
#include "errors.hpp"
#include "ffmpeg/audio_range.hpp"
#include "values.hpp"

PyObject* decoder_decode_audio_range(DecoderObject* self, PyObject* args, PyObject* kwargs) {
  static constexpr std::array<const char*, 5> names{"sample_rate", "channels", "first", "end",
                                                    "skip_invalid"};
  std::array<PyObject*, 5> bound{};
  if (!args::bind("Decoder.decode_audio_range", names, 3, args, kwargs, bound, 1)) {
    return nullptr;
  }
  auto use = Use::exclusive(self);
  if (!use) return nullptr;

  std::int32_t sample_rate = 0;
  std::int32_t channels = 0;
  std::int64_t first = 0;
  std::optional<std::int64_t> end;
  ffmpeg::PumpPolicy pump;
  if (!args::convert(bound[0], "sample_rate", args::as_int32, sample_rate) ||
      !args::convert(bound[1], "channels", args::as_int32, channels) ||
      !args::convert(bound[2], "first", args::as_long, first) ||
      (bound[3] != nullptr && bound[3] != Py_None &&
       !args::convert(bound[3], "end", args::as_long, end.emplace())) ||
      (bound[4] != nullptr &&
       !args::convert(bound[4], "skip_invalid", args::as_bool, pump.skip_invalid))) {
    return nullptr;
  }
  ffmpeg::Decoder* decoder = reading_record(self);
  if (decoder == nullptr) return nullptr;

  auto decoded = watched_call(*decoder, [&] {
    return ffmpeg::decode_audio_range(*decoder, sample_rate, channels, first, end, pump);
  });
  decoder->count_skipped(pump);
  if (!decoded) return nullptr;

  ffmpeg::AudioRange& range = *decoded;
  py::Ref start = values::real(range.batch.start);
  py::Ref total = values::integer(range.total);
  if (!start || !total) return nullptr;
  py::Ref array = py::Ref::steal(audio_array(range.batch));
  if (!array) return nullptr;
  return PyTuple_Pack(3, array.get(), start.get(), total.get());
}

PyObject* decoder_audio_start_time(DecoderObject* self, PyObject* args, PyObject* kwargs) {
  static constexpr std::array<const char*, 1> names{"skip_invalid"};
  std::array<PyObject*, 1> bound{};
  if (!args::bind("Decoder.audio_start_time", names, 0, args, kwargs, bound, 1)) return nullptr;
  auto use = Use::exclusive(self);
  if (!use) return nullptr;
  ffmpeg::PumpPolicy pump;
  if (bound[0] != nullptr &&
      !args::convert(bound[0], "skip_invalid", args::as_bool, pump.skip_invalid)) {
    return nullptr;
  }
  ffmpeg::Decoder* decoder = reading_record(self);
  if (decoder == nullptr) return nullptr;

  auto found = watched_call(*decoder,
                            [&] { return ffmpeg::audio_start_time(*decoder, pump); });
  if (!found) return nullptr;
  return values::real(*found).release();
}
