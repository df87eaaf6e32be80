#include "ffmpeg/scan.hpp"

#include <algorithm>

namespace ffmpeg {

Result<std::vector<PacketRecord>> scan(Decoder& decoder) {
  if (auto failure = decoder.rewind()) return std::move(*failure);
  std::vector<PacketRecord> records;
  for (;;) {
    PacketReference packet;
    const int read = decoder.read_packet(packet);
    if (read == AVERROR_EOF) break;
    if (auto failure = check(read, "scan packets")) return std::move(*failure);
    if (packet->flags & AV_PKT_FLAG_DISCARD) continue;
    const std::int64_t timestamp = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
    if (timestamp == AV_NOPTS_VALUE) return Error::runtime("video packet has neither PTS nor DTS");
    records.push_back({timestamp, packet->duration, (packet->flags & AV_PKT_FLAG_KEY) != 0});
  }
  std::stable_sort(
      records.begin(), records.end(),
      [](const PacketRecord& a, const PacketRecord& b) { return a.timestamp < b.timestamp; });
  if (auto failure = decoder.rewind()) return std::move(*failure);
  return records;
}

}  // namespace ffmpeg
