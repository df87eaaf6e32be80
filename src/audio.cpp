// Decoder.decode_audio(): the stream's samples as a (channels, samples)
// float32 array and the time at which they begin.
#include <array>
#include <optional>

#include "args.hpp"
#include "arrays/array.hpp"
#include "calls.hpp"
#include "decoder_object.hpp"
#include "errors.hpp"
#include "ffmpeg/audio.hpp"
#include "values.hpp"

PyObject* audio_array(ffmpeg::AudioBatch& batch) {
  return arrays::make_array(std::move(batch.samples),
                            {static_cast<std::size_t>(batch.channels), batch.length});
}

PyObject* decoder_decode_audio(DecoderObject* self, PyObject* args, PyObject* kwargs) {
  static constexpr std::array<const char*, 5> names{"sample_rate", "channels", "stop",
                                                    "honour_timestamps", "skip_invalid"};
  std::array<PyObject*, 5> bound{};
  if (!args::bind("Decoder.decode_audio", names, 2, args, kwargs, bound, 2)) return nullptr;
  auto use = Use::exclusive(self);
  if (!use) return nullptr;

  std::int32_t sample_rate = 0;
  std::int32_t channels = 0;
  std::optional<double> stop;
  if (!args::convert(bound[0], "sample_rate", args::as_int32, sample_rate) ||
      !args::convert(bound[1], "channels", args::as_int32, channels)) {
    return nullptr;
  }
  if (bound[2] != nullptr && bound[2] != Py_None &&
      !args::convert(bound[2], "stop", args::as_double, stop.emplace())) {
    return nullptr;
  }
  bool honour_timestamps = false;
  ffmpeg::PumpPolicy pump;
  if ((bound[3] != nullptr &&
       !args::convert(bound[3], "honour_timestamps", args::as_bool, honour_timestamps)) ||
      (bound[4] != nullptr &&
       !args::convert(bound[4], "skip_invalid", args::as_bool, pump.skip_invalid))) {
    return nullptr;
  }
  ffmpeg::Decoder* decoder = reading_record(self);
  if (decoder == nullptr) return nullptr;

  auto decoded = watched_call(*decoder, [&] {
    return ffmpeg::decode_audio(*decoder, sample_rate, channels, stop, honour_timestamps, pump);
  });
  decoder->count_skipped(pump);
  if (!decoded) return nullptr;

  ffmpeg::AudioBatch& batch = *decoded;
  py::Ref start = values::real(batch.start);
  if (!start) return nullptr;
  py::Ref array = py::Ref::steal(audio_array(batch));
  if (!array) return nullptr;
  return PyTuple_Pack(2, array.get(), start.get());
}
