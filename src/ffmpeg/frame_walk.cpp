#include "ffmpeg/frame_walk.hpp"

#include <algorithm>
#include <array>
#include <limits>
#include <optional>
#include <string_view>
#include <vector>

namespace ffmpeg {

namespace {

// What one frame header says that decides where the next frame starts.
struct FrameHeader {
  int bytes = 0;
  int samples = 0;
  int sample_rate = 0;
  // The bits that fix the stream's layout (version, layer, profile, rate,
  // channels): a change is left to the library's own checks.
  std::uint32_t layout = 0;
};

// Kbit/s by bit-rate index (1-14), layer III: MPEG-1, then MPEG-2 and 2.5.
constexpr std::array<std::array<int, 15>, 2> bit_rates{{
    {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320},
    {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},
}};
constexpr std::array<int, 3> mpeg1_rates{44100, 48000, 32000};

// The header of an MP3 (layer III) frame at `bytes`, if one is there.
std::optional<FrameHeader> parse_mp3(const std::uint8_t* bytes) {
  const std::uint32_t word = (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) |
                             (std::uint32_t{bytes[2]} << 8) | bytes[3];
  if ((word & 0xffe00000u) != 0xffe00000u) return std::nullopt;
  const unsigned version = (word >> 19) & 3;  // 0: MPEG-2.5, 1: reserved, 2: MPEG-2, 3: MPEG-1
  const unsigned layer = (word >> 17) & 3;    // 1: layer III
  const unsigned rate_index = (word >> 12) & 15;
  const unsigned frequency = (word >> 10) & 3;
  // Reserved values, and the free format, whose frames have no size in
  // their header.
  if (version == 1 || layer != 1 || rate_index == 0 || rate_index == 15 || frequency == 3) {
    return std::nullopt;
  }
  const bool mpeg1 = version == 3;
  const int sample_rate = mpeg1_rates[frequency] >> (mpeg1 ? 0 : (version == 2 ? 1 : 2));
  const int kbits = bit_rates[mpeg1 ? 0 : 1][rate_index];
  const int padding = static_cast<int>((word >> 9) & 1);
  FrameHeader header;
  header.sample_rate = sample_rate;
  header.layout = word & 0xfffe0c00u;  // the parser's own test of a frame's layout
  header.samples = mpeg1 ? 1152 : 576;
  header.bytes = (mpeg1 ? 144000 : 72000) * kbits / sample_rate + padding;
  return header;
}

constexpr std::array<int, 13> adts_rates{96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                         22050, 16000, 12000, 11025, 8000,  7350};

// The header of an ADTS (raw AAC) frame at `bytes`, if one is there: one
// block of 1024 samples (frames of several blocks are left to the library).
std::optional<FrameHeader> parse_adts(const std::uint8_t* bytes) {
  if (bytes[0] != 0xff || (bytes[1] & 0xf6) != 0xf0) return std::nullopt;  // sync, layer 0
  const unsigned frequency = (bytes[2] >> 2) & 15;
  const int length = ((bytes[3] & 3) << 11) | (bytes[4] << 3) | (bytes[5] >> 5);
  if (frequency >= adts_rates.size() || length < 7 || (bytes[6] & 3) != 0) return std::nullopt;
  FrameHeader header;
  header.bytes = length;
  header.samples = 1024;
  header.sample_rate = adts_rates[frequency];
  // Version, profile, rate and channels.
  header.layout = (std::uint32_t{bytes[1]} & 0x08) << 16 | (std::uint32_t{bytes[2]} & 0xfd) << 8 |
                  (bytes[3] & 0xc0);
  return header;
}

// A raw format whose packets are its frames, one after another from the
// first, each timed by the frames before it.
struct RawFormat {
  std::string_view demuxer;
  AVCodecID codec;
  int header_bytes;
  std::optional<FrameHeader> (*parse)(const std::uint8_t*);
};

constexpr std::array<RawFormat, 2> raw_formats{{
    {"mp3", AV_CODEC_ID_MP3, 4, parse_mp3},
    {"aac", AV_CODEC_ID_AAC, 7, parse_adts},
}};

// Reads the input forward in pieces and hands out the bytes at a position.
// The pieces start small and double up to 256 KiB, so that a seek a few
// frames on reads little more than those frames (each byte of a remote
// source costs), while a long walk makes few calls.
class Window {
 public:
  explicit Window(AVIOContext* io) : io_(io) {}

  // The `count` bytes at `position`, or none at the end of the input.
  Result<const std::uint8_t*> at(std::int64_t position, int count) {
    if (position < start_ || position + count > start_ + length_) {
      if (auto failure = fill(position)) return std::move(*failure);
      if (length_ < count) return static_cast<const std::uint8_t*>(nullptr);
    }
    return data_.data() + (position - start_);
  }

 private:
  static constexpr std::size_t first_size = std::size_t{16} << 10;
  static constexpr std::size_t largest_size = std::size_t{256} << 10;

  Failure fill(std::int64_t position) {
    length_ = 0;
    data_.resize(data_.empty() ? first_size : std::min(2 * data_.size(), largest_size));
    if (avio_seek(io_, position, SEEK_SET) < 0) return std::nullopt;
    start_ = position;
    const int read = avio_read(io_, data_.data(), static_cast<int>(data_.size()));
    if (read == AVERROR_EOF || read == 0) return std::nullopt;
    if (auto failure = check(read, "read")) return failure;
    length_ = read;
    return std::nullopt;
  }

  AVIOContext* io_;
  std::vector<std::uint8_t> data_;
  std::int64_t start_ = 0;
  std::int64_t length_ = 0;
};

}  // namespace

Failure walk_raw_audio_frames(AVFormatContext* format, AVStream* stream, std::int64_t target) {
  const RawFormat* raw = nullptr;
  for (const RawFormat& candidate : raw_formats) {
    if (candidate.demuxer == format->iformat->name && candidate.codec == stream->codecpar->codec_id) {
      raw = &candidate;
    }
  }
  if (raw == nullptr || format->pb == nullptr) return std::nullopt;
  const int count = avformat_index_get_entries_count(stream);
  if (count == 0) return std::nullopt;
  const AVIndexEntry* last = avformat_index_get_entry(stream, count - 1);
  // Points past `target` already known: the library's seek needs no more.
  if (last->timestamp > target || last->pos < 0 || last->timestamp == AV_NOPTS_VALUE) {
    return std::nullopt;
  }
  Window window(format->pb);
  auto first = window.at(last->pos, raw->header_bytes);
  if (!first.ok()) return std::move(first).error();
  if (first.value() == nullptr) return std::nullopt;
  const std::optional<FrameHeader> start = raw->parse(first.value());
  // Durations are counted at the stream's rate: a frame that decodes to
  // another (AAC with spectral band replication) is not counted here.
  if (!start || start->sample_rate != stream->codecpar->sample_rate) return std::nullopt;
  // Packet times count frames in the stream's time base: only where a
  // frame's length is a whole number of ticks do they add up exactly.
  const AVRational base = stream->time_base;
  const std::int64_t ticks = std::int64_t{start->samples} * base.den;
  const std::int64_t per_tick = std::int64_t{start->sample_rate} * base.num;
  if (per_tick <= 0 || ticks % per_tick != 0) return std::nullopt;
  const std::int64_t frame_ticks = ticks / per_tick;

  // A point every 16 frames (under half a second): a seek then reads at
  // most that much more than it needs.
  constexpr int spacing = 16;
  std::int64_t position = last->pos;
  std::int64_t timestamp = last->timestamp;
  std::int64_t marked = timestamp;
  for (std::int64_t frames = 0;; ++frames) {
    auto bytes = window.at(position, raw->header_bytes);
    if (!bytes.ok()) return std::move(bytes).error();
    if (bytes.value() == nullptr) break;
    const std::optional<FrameHeader> header = raw->parse(bytes.value());
    if (!header || header->layout != start->layout) break;
    if (frames % spacing == 0 && timestamp != marked) {
      if (av_add_index_entry(stream, position, timestamp, 0, 0, AVINDEX_KEYFRAME) < 0) break;
      marked = timestamp;
      if (timestamp > target) break;
    }
    // (Timestamps near the end of their range, as a damaged file may
    // give the library, end the walk before they overflow.)
    if (timestamp > std::numeric_limits<std::int64_t>::max() - frame_ticks) break;
    position += header->bytes;
    timestamp += frame_ticks;
  }
  return std::nullopt;
}

}  // namespace ffmpeg
