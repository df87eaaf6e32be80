// Seek points for raw MP3 and ADTS (AAC) files, found by walking the frame
// headers.
#pragma once

#include <cstdint>

#include "ffmpeg/error.hpp"

extern "C" {
#include <libavformat/avformat.h>
}

namespace ffmpeg {

// A raw MP3 or ADTS file has no index: before a seek to `target` (in the
// stream's time base) the library reads every packet up to it, through its
// parser, to learn where frames lie. Their headers alone tell that, so this
// walks them in growing reads, from the last seek point the library knows,
// and records a seek point every few frames up to just past `target`: the
// library's own seek then starts at the last of them before `target`, at
// the same position and time its packet-by-packet walk would have reached.
// Streams it cannot walk exactly (another container, a free bit rate, a
// change of layout, AAC decoded at another rate, a time base that does not
// count frames evenly) are left to the library; where the headers stop (a
// tag, damage) the library walks on from the last point recorded.
[[nodiscard]] Failure walk_raw_audio_frames(AVFormatContext* format, AVStream* stream,
                                             std::int64_t target);

}  // namespace ffmpeg
