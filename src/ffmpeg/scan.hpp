// One pass over all packets of the stream, without decoding.
#pragma once

#include <cstdint>
#include <vector>

#include "ffmpeg/decoder.hpp"

namespace ffmpeg {

struct PacketRecord {
  std::int64_t timestamp;  // pts, or dts when pts is unset
  std::int64_t duration;
  bool key;
};

// Every packet of the stream in timestamp order; leaves the decoder rewound.
Result<std::vector<PacketRecord>> scan(Decoder& decoder);

}  // namespace ffmpeg
