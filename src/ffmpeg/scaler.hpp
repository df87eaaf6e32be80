// One cached scaling context of the video path with the key it was built
// for. Building a context (filter tables, vector code) costs far more than
// scaling a small picture, so each is kept across frames and calls and built
// again only when it is asked for with another key.
#pragma once

#include <optional>

#include "ffmpeg/handles.hpp"

namespace ffmpeg {

// Everything a scaling context is built from.
struct ScaleKey {
  int source_width = 0;
  int source_height = 0;
  int source_format = 0;
  int target_width = 0;
  int target_height = 0;
  int target_format = 0;
  int flags = 0;
  bool operator==(const ScaleKey&) const = default;
};

class Scaler {
 public:
  // The context for `key`, built now when the last one asked for had
  // another key. A failed build is remembered under its key: asking again
  // gives null without another attempt, until forget().
  SwsContext* fit(const ScaleKey& key) {
    if (key_ == key) return context_.get();
    context_.reset();  // the old one goes before the new one takes memory
    context_.reset(sws_getContext(
        key.source_width, key.source_height, static_cast<AVPixelFormat>(key.source_format),
        key.target_width, key.target_height, static_cast<AVPixelFormat>(key.target_format),
        key.flags, nullptr, nullptr, nullptr));
    key_ = key;
    return context_.get();
  }

  // Whether the next fit(key) reuses what is held.
  bool holds(const ScaleKey& key) const { return key_ == key; }

  SwsContext* get() const { return context_.get(); }

  // Frees the context; the next fit builds whatever its key.
  void forget() noexcept {
    context_.reset();
    key_.reset();
  }

  // Lets go of the context without freeing it (see Decoder::abandon).
  void abandon() noexcept {
    (void)context_.release();
    key_.reset();
  }

 private:
  ScaleContextPtr context_;
  std::optional<ScaleKey> key_;
};

}  // namespace ffmpeg
