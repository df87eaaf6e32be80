// What a decoder reads from: a path or URL, a copy of encoded bytes, or an
// input of the caller's (a Python file object, see src/file_input.hpp).
#pragma once

#include <memory>
#include <string>
#include <variant>

#include "ffmpeg/input.hpp"

namespace ffmpeg {

struct Path {
  std::string text;
};

using Source = std::variant<Path, Memory, std::unique_ptr<Input>>;

}  // namespace ffmpeg
