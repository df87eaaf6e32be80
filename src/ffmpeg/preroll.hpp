// How much audio a decoder must be fed after a seek before its output
// matches what it gives when decoding from the stream's start.
#pragma once

#include <cstdint>

extern "C" {
#include <libavcodec/codec_par.h>
}

namespace ffmpeg {

// Samples (at the stream's rate) to decode and drop after landing on a
// packet; 0 where each packet decodes on its own.
std::int64_t preroll_samples(const AVCodecParameters* parameters);

}  // namespace ffmpeg
