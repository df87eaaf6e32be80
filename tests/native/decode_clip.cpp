// Usage: decode_clip FILE [video|audio]. Decodes the file's stream of that type through the
// media layer alone, once from the path and once from its bytes in memory, printing for each
// "<path|memory> <frames> <first frame timestamp>" (on a failure, the message on stderr and
// exit status 1). Run by tests/test_native.py.
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ffmpeg/decoder.hpp"

namespace {

struct Count {
  std::int64_t frames = 0, first = -1;
};

ffmpeg::Result<Count> decode(ffmpeg::Source source, ffmpeg::MediaType type) {
  ffmpeg::Interruption never;  // nothing to poll: every call runs to its end
  auto opened = ffmpeg::Decoder::open(std::move(source), type, std::nullopt, 1, std::nullopt,
                                      ffmpeg::IoSettings{}, never);
  if (!opened.ok()) return std::move(opened).error();
  ffmpeg::Decoder& decoder = opened.value();
  ffmpeg::Watching watching(decoder.watch(), never);
  if (auto failure = decoder.seek(decoder.start_time())) return std::move(*failure);
  ffmpeg::PumpPolicy policy;
  Count count;
  for (;; ++count.frames) {
    auto pulled = decoder.next(policy);
    if (!pulled.ok()) return std::move(pulled).error();
    if (pulled.value() == ffmpeg::Pulled::end) return count;
    const AVFrame* frame = decoder.frame();
    const auto timestamp = frame->pts != AV_NOPTS_VALUE ? frame->pts : frame->best_effort_timestamp;
    if (count.frames == 0) count.first = timestamp;
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: decode_clip FILE [video|audio]\n");
    return 2;
  }
  const std::string path = argv[1];
  const auto type = argc > 2 && std::string(argv[2]) == "audio" ? ffmpeg::MediaType::audio
                                                                : ffmpeg::MediaType::video;
  std::ifstream file(path, std::ios::binary);
  const std::vector<char> bytes{std::istreambuf_iterator<char>(file), {}};
  ffmpeg::Memory memory{std::make_unique<std::uint8_t[]>(bytes.size()), bytes.size()};
  std::copy(bytes.begin(), bytes.end(), memory.data.get());

  const char* names[] = {"path", "memory"};
  ffmpeg::Source sources[] = {ffmpeg::Path{path}, std::move(memory)};
  for (int i = 0; i < 2; ++i) {
    auto count = decode(std::move(sources[i]), type);
    if (!count.ok()) {
      std::fprintf(stderr, "%s: %s\n", names[i], count.error().message.c_str());
      return 1;
    }
    std::printf("%s %lld %lld\n", names[i], static_cast<long long>(count.value().frames),
                static_cast<long long>(count.value().first));
  }
  return 0;
}
