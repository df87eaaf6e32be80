#include "ffmpeg/io.hpp"

#include <climits>
#include <cstring>
#include <limits>
#include <string>
#include <utility>

namespace ffmpeg {

namespace {

// "<type qualname>: <str(exception)>" for the pending exception, which is
// cleared. Called with the interpreter lock held.
std::string describe_pending_exception() {
  py::Ref error = py::take_exception();
  std::string message = "Exception";
  if (error) {
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(error.get()));
    py::Ref qualname = py::Ref::steal(PyObject_GetAttrString(type, "__qualname__"));
    Py_ssize_t size = 0;
    const char* text = qualname ? PyUnicode_AsUTF8AndSize(qualname.get(), &size) : nullptr;
    if (text != nullptr) message.assign(text, size);
    PyErr_Clear();
  }
  message += ": ";
  py::Ref text = py::Ref::steal(error ? PyObject_Str(error.get()) : nullptr);
  py::Ref encoded = py::Ref::steal(
      text ? PyUnicode_AsEncodedString(text.get(), "utf-8", "backslashreplace") : nullptr);
  if (encoded) {
    message.append(PyBytes_AsString(encoded.get()), PyBytes_Size(encoded.get()));
  } else {
    message += "<exception str() failed>";
  }
  PyErr_Clear();
  return message;
}

// Reads a Python integer result as a signed 64-bit value.
bool to_offset(PyObject* result, std::int64_t& offset) {
  if (result == nullptr || !PyLong_Check(result)) return false;
  const long long value = PyLong_AsLongLong(result);
  if (value == -1 && PyErr_Occurred()) return false;
  offset = value;
  return true;
}

int read_memory(MemoryReader& reader, std::uint8_t* buffer, int size) {
  if (reader.watch->poll()) return AVERROR_EXIT;
  if (reader.position >= reader.bytes.size) return AVERROR_EOF;
  const std::uint64_t left = reader.bytes.size - reader.position;
  const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(left, size));
  std::memcpy(buffer, reader.bytes.data.get() + reader.position, count);
  reader.position += count;
  return static_cast<int>(count);
}

// Calls the object's seek(to, from); false with an exception set, or a
// result that is not an integer.
bool call_seek(PyObject* file, std::int64_t to, int from, std::int64_t& position) {
  py::Ref result =
      py::Ref::steal(PyObject_CallMethod(file, "seek", "Li", static_cast<long long>(to), from));
  return to_offset(result.get(), position);
}

// After a failed call the object may stand anywhere (a read that raised
// after reading part of what it was asked for): a remote reader first puts
// it back where FFmpeg goes on reading.
bool find_place(FileReader& reader) {
  if (!reader.cursor || reader.cursor->position || reader.io == nullptr) return true;
  std::int64_t position = 0;
  if (!call_seek(reader.object.get(), reader.io->pos, SEEK_SET, position)) return false;
  reader.cursor->moved(position);
  return true;
}

// A signal that arrives while `read` runs in C (io.BytesIO) is handled here,
// as the interpreter would after a call of its own.
int read_file(FileReader& reader, std::uint8_t* buffer, int size) {
  if (reader.watch->stopped()) return AVERROR_EXIT;
  py::Locked locked;
  if (!find_place(reader)) return reader.watch->failed_call(AVERROR(EIO));
  // Where the object stands is unknown again unless the read succeeds.
  std::optional<std::int64_t> start;
  if (reader.cursor) {
    size = reader.cursor->read_size(size);
    start = std::exchange(reader.cursor->position, std::nullopt);
  }
  py::Ref result = py::Ref::steal(PyObject_CallMethod(reader.object.get(), "read", "i", size));
  if (!result) {
    reader.watch->read_failed();
    return reader.watch->failed_call(AVERROR(EIO));
  }
  if (reader.watch->check_signals()) return AVERROR_EXIT;
  if (!PyBytes_Check(result.get()) || PyBytes_Size(result.get()) > size) {
    reader.watch->read_failed();
    return AVERROR(EIO);
  }
  const Py_ssize_t count = PyBytes_Size(result.get());
  if (reader.cursor) reader.cursor->read(start, static_cast<int>(count));
  if (count == 0) return AVERROR_EOF;
  std::memcpy(buffer, PyBytes_AsString(result.get()), count);
  return static_cast<int>(count);
}

std::int64_t seek_memory(MemoryReader& reader, std::int64_t offset, int whence) {
  const auto length = static_cast<std::int64_t>(reader.bytes.size);
  if (whence & AVSEEK_SIZE) return length;
  std::int64_t base = 0;
  switch (whence & ~(AVSEEK_SIZE | AVSEEK_FORCE)) {
    case SEEK_SET:
      base = 0;
      break;
    case SEEK_CUR:
      base = static_cast<std::int64_t>(reader.position);
      break;
    case SEEK_END:
      base = length;
      break;
    default:
      return AVERROR(EINVAL);
  }
  std::int64_t target = 0;
  if (__builtin_add_overflow(base, offset, &target) || target < 0 || target > length) {
    return AVERROR(EINVAL);
  }
  reader.position = static_cast<std::uint64_t>(target);
  return target;
}

// Every call goes to the object: the size query as seek(0, 1), seek(0, 2)
// and back.
bool seek_plain(PyObject* file, std::int64_t offset, int whence, std::int64_t& position) {
  if (whence & AVSEEK_SIZE) {
    std::int64_t current = 0, back = 0;
    return call_seek(file, 0, SEEK_CUR, current) && call_seek(file, 0, SEEK_END, position) &&
           call_seek(file, current, SEEK_SET, back);
  }
  return call_seek(file, offset, whence & ~(AVSEEK_SIZE | AVSEEK_FORCE), position);
}

// Only the calls that the cursor cannot answer go to the object.
bool seek_remote(PyObject* file, FileCursor& cursor, std::int64_t offset, int whence,
                 std::int64_t& position) {
  if (whence & AVSEEK_SIZE) {
    if (!cursor.size) {
      std::int64_t current = 0, end = 0, back = 0;
      if (cursor.position) {
        current = *cursor.position;
      } else if (!call_seek(file, 0, SEEK_CUR, current)) {
        return false;
      }
      if (!call_seek(file, 0, SEEK_END, end)) return false;
      cursor.position.reset();
      if (!call_seek(file, current, SEEK_SET, back)) return false;
      cursor.position = back;
      cursor.size = end;
    }
    position = *cursor.size;
    return true;
  }
  whence &= ~(AVSEEK_SIZE | AVSEEK_FORCE);
  if (whence == SEEK_SET && cursor.position == offset) {
    position = offset;
    return true;
  }
  cursor.position.reset();
  if (!call_seek(file, offset, whence, position)) return false;
  cursor.moved(position);
  return true;
}

std::int64_t seek_file(FileReader& reader, std::int64_t offset, int whence) {
  if (reader.watch->stopped()) return AVERROR_EXIT;
  py::Locked locked;
  PyObject* file = reader.object.get();
  std::int64_t position = 0;
  const bool ok = reader.cursor ? seek_remote(file, *reader.cursor, offset, whence, position)
                                : seek_plain(file, offset, whence, position);
  if (!ok) return reader.watch->failed_call(AVERROR(EIO));
  if (reader.watch->check_signals()) return AVERROR_EXIT;
  return position;
}

// Rewinds a file object to its start; the error names the exception raised,
// unless that is kept for the caller.
Failure rewind(FileObject& file, Watch& watch) {
  py::Locked locked;
  py::Ref result = py::Ref::steal(PyObject_CallMethod(file.object.get(), "seek", "ii", 0, 0));
  if (result) return std::nullopt;
  if (PyErr_ExceptionMatches(PyExc_Exception)) return Error::runtime(describe_pending_exception());
  (void)watch.failed_call(0);  // kept: raised in place of this error
  return Error::runtime("rewind input");
}

}  // namespace

void FileCursor::read(std::optional<std::int64_t> start, int count) {
  if (start) position = *start + count;
  if (count > 0) window = window > largest / 2 ? largest : window * 2;
}

void FileCursor::moved(std::int64_t to) {
  position = to;
  window = first_read < largest ? first_read : largest;
}

int read_memory(void* opaque, std::uint8_t* buffer, int size) noexcept {
  if (size < 1) return AVERROR(EINVAL);
  try {
    auto& reader = *static_cast<Reader*>(opaque);
    if (auto* memory = std::get_if<MemoryReader>(&reader))
      return read_memory(*memory, buffer, size);
    return read_file(std::get<FileReader>(reader), buffer, size);
  } catch (...) {
    return AVERROR(ENOMEM);
  }
}

std::int64_t seek_memory(void* opaque, std::int64_t offset, int whence) noexcept {
  try {
    auto& reader = *static_cast<Reader*>(opaque);
    if (auto* memory = std::get_if<MemoryReader>(&reader))
      return seek_memory(*memory, offset, whence);
    return seek_file(std::get<FileReader>(reader), offset, whence);
  } catch (...) {
    return AVERROR(ENOMEM);
  }
}

Result<CustomInput> prepare_custom_io(Source&& source, Watch& watch, IoSettings settings) {
  const int buffer_size = settings.buffer_size;
  CustomInput input;
  if (auto* file = std::get_if<FileObject>(&source)) {
    if (auto failure = rewind(*file, watch)) return std::move(*failure);
    FileReader reader{std::move(file->object), &watch, std::nullopt};
    if (settings.remote) {
      reader.cursor.emplace().largest = buffer_size;
      reader.cursor->moved(0);  // rewound
    }
    input.reader = std::make_unique<Reader>(std::move(reader));
  } else {
    input.reader =
        std::make_unique<Reader>(MemoryReader{std::move(std::get<Memory>(source)), &watch});
  }

  MemoryPtr<std::uint8_t> buffer(static_cast<std::uint8_t*>(av_malloc(buffer_size)));
  if (!buffer) return Error::runtime("cannot allocate input buffer");
  input.context.reset(avio_alloc_context(buffer.get(), buffer_size, 0, input.reader.get(),
                                         &read_memory, nullptr, &seek_memory));
  if (!input.context) return Error::runtime("cannot allocate input context");
  (void)buffer.release();  // the I/O context owns it now
  if (auto* file = std::get_if<FileReader>(input.reader.get())) file->io = input.context.get();
  return input;
}

}  // namespace ffmpeg
