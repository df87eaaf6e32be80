// What a decoder reads from: a path or URL, a copy of encoded bytes, or a
// Python binary file object.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <variant>

#include "py.hpp"

namespace ffmpeg {

struct Path {
  std::string text;
};

struct Memory {
  std::unique_ptr<std::uint8_t[]> data;
  std::size_t size = 0;
};

struct FileObject {
  py::Ref object;
};

using Source = std::variant<Path, Memory, FileObject>;

}  // namespace ffmpeg
