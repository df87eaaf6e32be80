// The Decoder type: construction, closing, garbage-collector support,
// deallocation and the method table.
#include <array>
#include <cmath>
#include <memory>
#include <mutex>
#include <new>
#include <string>


#include "args.hpp"
#include "calls.hpp"
#include "decoder_object.hpp"
#include "errors.hpp"
#include "file_input.hpp"
#include "py.hpp"
#include "source.hpp"

namespace {

// C++ exceptions (out of memory above all) stop here, before the interpreter.
template <class Call>
PyObject* guarded(Call&& call) noexcept {
  try {
    return call();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& error) {
    PyErr_SetString(PyExc_SystemError, error.what());
    return nullptr;
  }
}

template <PyObject* (*Method)(DecoderObject*, PyObject*, PyObject*)>
PyObject* entry(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  DecoderObject* decoder = as_decoder(self);
  ErrorTypes::Scope raising(decoder->errors);
  return guarded([&] { return Method(decoder, args, kwargs); });
}

PyObject* static_entry_streams(PyObject* unused, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] { return decoder_streams(unused, args, kwargs); });
}

template <PyObject* (*Method)(DecoderObject*, PyObject*, PyObject*)>
PyObject* entry_noargs(PyObject* self, PyObject*) noexcept {
  return entry<Method>(self, nullptr, nullptr);
}

// Takes the record out, so that the object is closed, and tears it down
// (outside the record lock: a file object's reference may go with it).
void close_record(DecoderObject* self) {
  if (!self->state) return;
  (void)replace_record(self, std::nullopt);
}

// A given buffer_size also reads file objects as remote files (IoSettings).
bool convert_buffer_size(PyObject* value, ffmpeg::IoSettings& io) {
  if (value == nullptr || value == Py_None) return true;
  io.remote = true;
  return args::convert(value, "buffer_size", args::as_int32, io.buffer_size);
}

bool check_buffer_size(const ffmpeg::IoSettings& io) {
  using Io = ffmpeg::IoSettings;
  if (io.buffer_size >= Io::smallest_buffer_size && io.buffer_size <= Io::largest_buffer_size) {
    return true;
  }
  PyErr_Format(PyExc_ValueError, "buffer_size must be from %d to %d bytes, not %d",
               Io::smallest_buffer_size, Io::largest_buffer_size, io.buffer_size);
  return false;
}

PyObject* decoder_new_impl(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static constexpr std::array<const char*, 7> names{
      "source", "media_type", "stream_index", "threads", "timeout", "buffer_size", "error_types"};
  std::array<PyObject*, 7> bound{};
  if (!args::bind("Decoder.__new__", names, 2, args, kwargs, bound, 3)) return nullptr;

  std::string media_type;
  std::optional<int> stream_index;
  int threads = 1;
  if (!args::convert(bound[1], "media_type", args::as_text, media_type)) return nullptr;
  if (bound[2] != nullptr && bound[2] != Py_None) {
    std::int32_t index = 0;
    if (!args::convert(bound[2], "stream_index", args::as_int32, index)) return nullptr;
    stream_index = index;
  }
  if (bound[3] != nullptr && !args::convert(bound[3], "threads", args::as_int32, threads)) {
    return nullptr;
  }
  std::optional<double> timeout;
  if (bound[4] != nullptr && bound[4] != Py_None &&
      !args::convert(bound[4], "timeout", args::as_double, timeout.emplace())) {
    return nullptr;
  }
  ffmpeg::IoSettings io;
  if (!convert_buffer_size(bound[5], io)) return nullptr;
  ErrorTypes errors;
  if (!ErrorTypes::parse(bound[6], errors)) return nullptr;
  ErrorTypes::Scope raising(errors);

  std::optional<ffmpeg::Source> source = classify_source(bound[0], io);
  if (!source) return nullptr;
  ffmpeg::MediaType kind;
  if (media_type == "video") {
    kind = ffmpeg::MediaType::video;
  } else if (media_type == "audio") {
    kind = ffmpeg::MediaType::audio;
  } else {
    PyErr_SetString(PyExc_ValueError, "media_type must be video or audio");
    return nullptr;
  }
  if (timeout && !(std::isfinite(*timeout) && *timeout > 0)) {
    PyErr_SetString(PyExc_ValueError, "timeout must be a positive number of seconds");
    return nullptr;
  }
  if (!check_buffer_size(io)) return nullptr;

  auto opened = opening_call([&](ffmpeg::Interruption& call) {
    return ffmpeg::Decoder::open(std::move(*source), kind, stream_index, threads, timeout, io,
                                 call);
  });
  if (!opened) return nullptr;

  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* object = alloc(type, 0);
  if (object == nullptr) return nullptr;  // the record is torn down on return
  DecoderObject* self = as_decoder(object);
  new (&self->state) std::optional<ffmpeg::Decoder>(std::move(opened));
  new (&self->use) std::atomic<std::uint64_t>(0);  // free: counted by no process
  new (&self->record_lock) std::mutex();
  new (&self->errors) ErrorTypes(std::move(errors));
  return object;
}

PyObject* decoder_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] { return decoder_new_impl(type, args, kwargs); });
}

PyObject* decoder_close(DecoderObject* self, PyObject*, PyObject*) {
  auto use = Use::exclusive(self);
  if (!use) return nullptr;
  close_record(self);
  Py_RETURN_NONE;
}

// What `read` makes of the open record, under shared use: the accessors
// of what the last call met.
template <typename Read>
PyObject* read_record(DecoderObject* self, Read read) {
  auto use = Use::shared(self);
  if (!use) return nullptr;
  const ffmpeg::Decoder* decoder = open_record(self);
  if (decoder == nullptr) return nullptr;
  return read(*decoder);
}

// How many invalid packets the last decode call skipped (see skip_invalid).
PyObject* decoder_skipped_packets(DecoderObject* self, PyObject*, PyObject*) {
  return read_record(self, [](const ffmpeg::Decoder& decoder) {
    return PyLong_FromSize_t(decoder.skipped_packets());
  });
}

// Asks the call running on this object in another thread, if any, to stop
// at its next read; takes no use (that call holds it), and the record lock
// keeps the record in place meanwhile (close may run in a third thread).
PyObject* decoder_interrupt(DecoderObject* self, PyObject*, PyObject*) {
  {
    std::lock_guard hold(self->record_lock);
    if (self->state) self->state->watch().interrupt();
  }
  Py_RETURN_NONE;
}

// How many frames of the last decode call came out damaged (see PumpPolicy).
PyObject* decoder_damaged_frames(DecoderObject* self, PyObject*, PyObject*) {
  return read_record(self, [](const ffmpeg::Decoder& decoder) {
    return PyLong_FromSize_t(decoder.damaged_frames());
  });
}

// The output positions of the last decode_video call answered by a stand-in.
PyObject* decoder_stand_ins(DecoderObject* self, PyObject*, PyObject*) {
  return read_record(self, [](const ffmpeg::Decoder& decoder) -> PyObject* {
    const auto& positions = decoder.stand_ins();
    py::Ref list = py::Ref::steal(PyList_New(static_cast<Py_ssize_t>(positions.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < positions.size(); ++i) {
      PyObject* number = PyLong_FromSize_t(positions[i]);
      if (number == nullptr) return nullptr;
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), number);
    }
    return list.release();
  });
}

int decoder_traverse(PyObject* object, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(object));
  DecoderObject* self = as_decoder(object);
  // Set once at construction and dropped only by clearing, which needs
  // exclusive use; visited whatever the use.
  if (int visited = self->errors.traverse(visit, arg)) return visited;
  auto use = Use::try_shared(self);
  if (!use || !self->state) return 0;
  const auto* file = dynamic_cast<const FileInput*>(self->state->custom_input());
  if (file != nullptr) Py_VISIT(file->object());
  return 0;
}

int decoder_clear(PyObject* object) {
  DecoderObject* self = as_decoder(object);
  auto use = Use::exclusive(self);
  if (!use) return -1;
  close_record(self);
  self->errors.clear();
  return 0;
}

void decoder_dealloc(PyObject* object) {
  PyTypeObject* type = Py_TYPE(object);
  PyObject_GC_UnTrack(object);
  DecoderObject* self = as_decoder(object);
  close_record(self);
  std::destroy_at(&self->state);
  std::destroy_at(&self->use);
  std::destroy_at(&self->record_lock);
  std::destroy_at(&self->errors);
  auto free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free(object);
  Py_DECREF(type);
}

constexpr int keywords = METH_VARARGS | METH_KEYWORDS;

// The text signatures of the constructor and of the first five methods are
// the established ones callers introspect, so they keep their exact texts and
// list no keyword-only argument added since; the stub (_av.pyi) names every
// argument.
PyMethodDef methods[] = {
    {"metadata",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry<decoder_metadata>)), keywords,
     "metadata($self, apply_rotation=True)\n--\n\n"},
    {"scan",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry_noargs<decoder_scan>)),
     METH_NOARGS, "scan($self)\n--\n\n"},
    {"decode_video",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry<decoder_decode_video>)),
     keywords,
     "decode_video($self, targets, output_dtype, exact, transforms=...)\n--\n\n"},
    {"decode_timestamps",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry<decoder_decode_timestamps>)),
     keywords,
     "decode_timestamps($self, seconds, output_dtype, transforms=...)\n--\n\n"},
    {"decode_audio",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry<decoder_decode_audio>)),
     keywords,
     "decode_audio($self, sample_rate, channels, stop=None)\n--\n\n"},
    {"decode_audio_range",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry<decoder_decode_audio_range>)),
     keywords,
     "decode_audio_range($self, sample_rate, channels, first, end=None, *, skip_invalid=False)\n"
     "--\n\n"},
    {"audio_start_time",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry<decoder_audio_start_time>)),
     keywords, "audio_start_time($self, *, skip_invalid=False)\n--\n\n"},
    {"skipped_packets",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry_noargs<decoder_skipped_packets>)),
     METH_NOARGS, "skipped_packets($self)\n--\n\n"},
    {"damaged_frames",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry_noargs<decoder_damaged_frames>)),
     METH_NOARGS, "damaged_frames($self)\n--\n\n"},
    {"stand_ins",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry_noargs<decoder_stand_ins>)),
     METH_NOARGS, "stand_ins($self)\n--\n\n"},
    {"streams", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(static_entry_streams)),
     keywords | METH_STATIC, "streams(source, *, timeout=None)\n--\n\n"},
    {"close",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry_noargs<decoder_close>)),
     METH_NOARGS, "close($self)\n--\n\n"},
    {"interrupt",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry_noargs<decoder_interrupt>)),
     METH_NOARGS, "interrupt($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc,
     const_cast<char*>("Decoder(source, media_type, stream_index=None, threads=1)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(decoder_new)},
    {Py_tp_traverse, reinterpret_cast<void*>(decoder_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(decoder_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(decoder_dealloc)},
    {Py_tp_methods, methods},
    {0, nullptr},
};

PyType_Spec spec = {
    "quorvex_av._av.Decoder",
    static_cast<int>(sizeof(DecoderObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE,
    slots,
};

}  // namespace

PyObject* decoder_type() {
  static PyObject* type = PyType_FromSpec(&spec);
  if (type == nullptr) return nullptr;
  return Py_NewRef(type);
}
