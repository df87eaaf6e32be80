// The request and result of one video call, shared by the layers of the
// video path.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <variant>
#include <vector>

#include "arrays/buffer.hpp"

namespace ffmpeg {

// The wanted frame's presentation timestamp and where to seek before
// decoding towards it, both in the stream's time base. Several frames may
// carry one timestamp: `occurrence` counts them from 0, in decoding order
// after the seek point.
struct Target {
  std::int64_t pts;
  std::int64_t seek_pts;
  std::int64_t occurrence = 0;
};

struct PtsRequest {
  std::vector<Target> targets;
  bool exact = false;
  // Whether the targets name occurrences (one per target, given in
  // `occurrences`); without, targets of one pts join.
  bool by_occurrence = false;
  std::vector<std::int64_t> occurrences;
  // Whether a target after the previous answer is reached by decoding on
  // unless the container's index lists a key frame before its seek point:
  // seek points may then differ for every target without costing a seek
  // each (a seek would find the same frame, only later).
  bool seek_by_index = false;
  // Whether an exact target whose frame was lost to packets skipped as
  // invalid is answered by the next frame decoded (see PtsChooser).
  bool stand_in = false;
  // Whether the targets are part of a larger request whose other targets
  // another call decodes: the last one is then decoded like the others, not
  // taken alone when it is a key frame, so that the call reads at least the
  // packets that one call for the whole request reads around its targets;
  // and see Decoder::take_out_held_frames.
  bool partial = false;
  // Whether the call continues a walk through the stream by the calls
  // before it (the batches of one stream): it then goes on from where the
  // previous call stopped whatever that met. Otherwise a call answers as a
  // decoder that seeks to its first target does (see Decoder::video).
  bool continuation = false;
};

struct SecondsRequest {
  std::vector<double> seconds;
  bool partial = false;  // as for PtsRequest, but for the key frame
};

using VideoRequest = std::variant<PtsRequest, SecondsRequest>;

enum class OutputType : std::uint8_t { uint8, uint16, float32, native };

// The names of the output types, in the order messages list them (the
// package takes its list of dtypes from here).
inline constexpr std::array<std::string_view, 4> output_type_names{"uint8", "uint16", "float32",
                                                                    "native"};

// One of output_type_names, matched exactly.
std::optional<OutputType> output_type(std::string_view name);

// The finished samples of one call: shape (count, height, width, channels),
// one time and duration in seconds per target.
struct VideoBatch {
  arrays::SampleBuffer samples;
  std::size_t count = 0;
  int height = 0;
  int width = 0;
  int channels = 0;
  std::vector<double> times;
  std::vector<double> durations;
};

}  // namespace ffmpeg
