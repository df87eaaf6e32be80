#include "file_input.hpp"

#include <cstring>
#include <string>
#include <utility>

#include "watch.hpp"

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

// Calls the object's seek(to, from); false with an exception set, or a
// result that is not an integer.
bool call_seek(PyObject* file, std::int64_t to, int from, std::int64_t& position) {
  py::Ref result =
      py::Ref::steal(PyObject_CallMethod(file, "seek", "Li", static_cast<long long>(to), from));
  return to_offset(result.get(), position);
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

FileInput::FileInput(py::Ref object, const ffmpeg::IoSettings& io) : object_(std::move(object)) {
  if (io.remote) cursor_.emplace().largest = io.buffer_size;
}

ffmpeg::Failure FileInput::start() {
  py::Locked locked;
  py::Ref result = py::Ref::steal(PyObject_CallMethod(object_.get(), "seek", "ii", 0, 0));
  if (!result) {
    if (PyErr_ExceptionMatches(PyExc_Exception)) {
      return ffmpeg::Error::runtime(describe_pending_exception());
    }
    (void)CallWatch::failed_call(watch(), 0);  // kept: raised in place of this error
    return ffmpeg::Error::runtime("rewind input");
  }
  if (cursor_) cursor_->moved(0);
  return std::nullopt;
}

bool FileInput::restore_position() {
  if (!cursor_ || cursor_->position || context() == nullptr) return true;
  std::int64_t position = 0;
  if (!call_seek(object_.get(), context()->pos, SEEK_SET, position)) return false;
  cursor_->moved(position);
  return true;
}

int FileInput::read(std::uint8_t* buffer, int size) {
  ffmpeg::Watch& watch = this->watch();
  if (watch.stopped()) return AVERROR_EXIT;
  py::Locked locked;
  if (!restore_position()) return CallWatch::failed_call(watch, AVERROR(EIO));
  // Where the object stands is unknown again unless the read succeeds.
  std::optional<std::int64_t> start;
  if (cursor_) {
    size = cursor_->read_size(size);
    start = std::exchange(cursor_->position, std::nullopt);
  }
  py::Ref result = py::Ref::steal(PyObject_CallMethod(object_.get(), "read", "i", size));
  if (!result) {
    watch.read_failed();
    return CallWatch::failed_call(watch, AVERROR(EIO));
  }
  if (CallWatch::check_signals(watch)) return AVERROR_EXIT;
  if (!PyBytes_Check(result.get()) || PyBytes_Size(result.get()) > size) {
    watch.read_failed();
    return AVERROR(EIO);
  }
  const Py_ssize_t count = PyBytes_Size(result.get());
  if (cursor_) cursor_->read(start, static_cast<int>(count));
  if (count == 0) return AVERROR_EOF;
  std::memcpy(buffer, PyBytes_AsString(result.get()), count);
  return static_cast<int>(count);
}

std::int64_t FileInput::size() {
  ffmpeg::Watch& watch = this->watch();
  if (watch.stopped()) return AVERROR_EXIT;
  py::Locked locked;
  PyObject* file = object_.get();
  std::int64_t end = 0;
  bool ok = true;
  if (!cursor_) {
    // Every call goes to the object: seek(0, 1), seek(0, 2) and back.
    std::int64_t current = 0, back = 0;
    ok = call_seek(file, 0, SEEK_CUR, current) && call_seek(file, 0, SEEK_END, end) &&
         call_seek(file, current, SEEK_SET, back);
  } else if (cursor_->size) {
    end = *cursor_->size;
  } else {
    // Asked once; the position is known or asked first.
    std::int64_t current = 0, back = 0;
    if (cursor_->position) {
      current = *cursor_->position;
    } else {
      ok = call_seek(file, 0, SEEK_CUR, current);
    }
    ok = ok && call_seek(file, 0, SEEK_END, end);
    if (ok) {
      cursor_->position.reset();
      ok = call_seek(file, current, SEEK_SET, back);
    }
    if (ok) {
      cursor_->position = back;
      cursor_->size = end;
    }
  }
  if (!ok) return CallWatch::failed_call(watch, AVERROR(EIO));
  if (CallWatch::check_signals(watch)) return AVERROR_EXIT;
  return end;
}

std::int64_t FileInput::seek(std::int64_t offset, int whence) {
  ffmpeg::Watch& watch = this->watch();
  if (watch.stopped()) return AVERROR_EXIT;
  py::Locked locked;
  std::int64_t position = 0;
  bool ok = true;
  if (!cursor_) {
    ok = call_seek(object_.get(), offset, whence, position);
  } else if (whence == SEEK_SET && cursor_->position == offset) {
    // Only the calls that the cursor cannot answer go to the object.
    position = offset;
  } else {
    cursor_->position.reset();
    ok = call_seek(object_.get(), offset, whence, position);
    if (ok) cursor_->moved(position);
  }
  if (!ok) return CallWatch::failed_call(watch, AVERROR(EIO));
  if (CallWatch::check_signals(watch)) return AVERROR_EXIT;
  return position;
}
