// Decoder.scan(): every packet of the stream as (timestamp, duration, key).
#include "calls.hpp"
#include "decoder_object.hpp"
#include "errors.hpp"
#include "ffmpeg/scan.hpp"
#include "values.hpp"

PyObject* decoder_scan(DecoderObject* self, PyObject*, PyObject*) {
  auto use = Use::exclusive(self);
  if (!use) return nullptr;
  ffmpeg::Decoder* decoder = reading_record(self);
  if (decoder == nullptr) return nullptr;

  auto scanned = watched_call(*decoder, [decoder] { return ffmpeg::scan(*decoder); });
  if (!scanned) return nullptr;

  const auto& records = *scanned;
  py::Ref list = py::Ref::steal(PyList_New(static_cast<Py_ssize_t>(records.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < records.size(); ++i) {
    const ffmpeg::PacketRecord& record = records[i];
    py::Ref timestamp = values::integer(record.timestamp);
    py::Ref duration = values::integer(record.duration);
    py::Ref key = values::boolean(record.key);
    py::Ref item = py::Ref::steal(PyTuple_New(3));
    if (!timestamp || !duration || !key || !item) return py::fail();
    PyTuple_SetItem(item.get(), 0, timestamp.release());
    PyTuple_SetItem(item.get(), 1, duration.release());
    PyTuple_SetItem(item.get(), 2, key.release());
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item.release());
  }
  return list.release();
}
