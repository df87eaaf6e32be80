// A stretch of an audio stream, read by seeking: the samples that one
// whole-stream read (with timestamps honoured) has at the same indices.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "ffmpeg/audio.hpp"
#include "ffmpeg/decoder.hpp"
#include "ffmpeg/resample.hpp"

namespace ffmpeg {

// The stream's first decoded frame, which sample 0 of every read stands
// for: its timestamp (none when the stream decodes to nothing) and rate.
// Decoded once per record, then kept.
Result<AudioOrigin> audio_origin(Decoder& decoder, PumpPolicy& pump);

// What a range read that stopped before the stream's end leaves for the
// next one, when that begins where it stopped: decoding goes on instead of
// seeking again (so reading a stream piece by piece gives exactly the whole
// read, even for decoders whose state a seek cannot restore). Any seek of
// the record drops it.
struct AudioContinuation {
  int sample_rate = 0;
  int channels = 0;
  std::int64_t next = 0;      // output index at which the next read would begin
  std::int64_t position = 0;  // input position of the next frame
  ChannelBuffers surplus;     // samples converted from `next` on
  // Where the input ended, when the read that kept this reached the end
  // (the surplus then holds every sample left).
  std::optional<std::int64_t> input_end;
  std::optional<Resampler> resampler;
};

struct AudioRange {
  // The samples; `start` is the time of the stream's first sample.
  AudioBatch batch;
  // The whole read's length, when this read reached the stream's end.
  std::optional<std::int64_t> total;
};

// The time in seconds of the stream's first sample (that of audio_origin),
// or none when the stream decodes to nothing.
Result<std::optional<double>> audio_start_time(Decoder& decoder, PumpPolicy& pump);

// Samples [first, end) (end: the stream's end when unset) of the whole read
// at `sample_rate` and `channels`. Decoding starts shortly before `first`:
// at a seek point far enough back for the decoder and the resampler to have
// settled, so the cost follows end - first, not first.
Result<AudioRange> decode_audio_range(Decoder& decoder, int sample_rate, int channels,
                                      std::int64_t first, std::optional<std::int64_t> end,
                                      PumpPolicy& pump);

}  // namespace ffmpeg
