// Draining libjxl's encoder output and delivering it.
#include "encoder_output.h"

#include <algorithm>

#include "input.h"
#include "status.h"

namespace kp {

uint64_t grown_outbuf_capacity(uint64_t capacity) {
  if (capacity == 0) return kMinOutbufCapacity;
  return capacity + std::min(capacity, kMaxOutbufGrowth);
}

uint64_t first_outbuf_capacity(uint64_t frame_nbytes, bool lossless) {
  uint64_t capacity = lossless ? frame_nbytes / 4 : frame_nbytes / 16;
  capacity = (capacity + 65535) & ~uint64_t{65535};
  return std::max(capacity, kMinOutbufCapacity);
}

int classify_destination(PyObject* dest, DestKind* kind) {
  if (dest == Py_None) {
    *kind = DestKind::kNone;
    return 0;
  }
  const int path = is_path_like(dest);
  if (path < 0) return -1;
  if (path) {
    *kind = DestKind::kPath;
    return 0;
  }
  Ref write = Ref::steal(PyObject_GetAttrString(dest, "write"));
  if (write) {
    *kind = DestKind::kFile;
    return 0;
  }
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
  PyErr_Clear();
  PyErr_Format(PyExc_TypeError, "dest must be path, file-like, or None; got %S",
               reinterpret_cast<PyObject*>(Py_TYPE(dest)));
  return -1;
}

int write_all(PyObject* dest, PyObject* payload, Py_ssize_t* done) {
  const Py_ssize_t total = PyBytes_GET_SIZE(payload);
  *done = 0;
  Ref chunk = Ref::borrow(payload);
  Ref view;
  for (;;) {
    Ref written = call_method(dest, "write", chunk.get());
    if (!written) return -1;
    // None: a writer that does not count (as many hand-written ones do)
    // took everything. Anything else but an int says nothing we can trust.
    if (written.get() == Py_None) {
      *done = total;
      return 0;
    }
    if (!PyLong_Check(written.get()) || PyBool_Check(written.get())) {
      PyErr_Format(PyExc_TypeError,
                   "jxl: destination write() returned %.200s, expected the number of bytes "
                   "written (an int) or None",
                   Py_TYPE(written.get())->tp_name);
      return -1;
    }
    const Py_ssize_t n = PyLong_AsSsize_t(written.get());
    if (n == -1 && PyErr_Occurred()) return -1;
    const Py_ssize_t remaining = total - *done;
    if (n == remaining) {
      *done = total;
      return 0;
    }
    if (n < 0 || n > remaining) {
      PyErr_Format(PyExc_OSError,
                   "jxl: destination write() returned invalid length %zd "
                   "(should have been between 0 and %zd)",
                   n, remaining);
      return -1;
    }
    if (n == 0) {
      // Offering the same bytes again could go on for ever.
      PyErr_Format(PyExc_OSError, "jxl: destination write() accepted none of %zd bytes",
                   remaining);
      return -1;
    }
    *done += n;
    if (!view) view = Ref::steal(PyMemoryView_FromObject(payload));
    if (!view) return -1;
    chunk = Ref::steal(PySequence_GetSlice(view.get(), *done, total));
    if (!chunk) return -1;
  }
}

int EncoderOutput::reserve(uint64_t capacity) {
  if (buf_ && capacity_ >= capacity) return 0;
  if (capacity > SIZE_MAX || !buf_.resize(static_cast<size_t>(capacity))) {
    PyErr_SetString(PyExc_MemoryError, "jxl: failed to allocate output buffer");
    return -1;
  }
  capacity_ = capacity;
  return 0;
}

EncoderOutput::Drained EncoderOutput::drain_nogil(JxlEncoder* enc,
                                                  JxlEncoderStatus* status) noexcept {
  for (;;) {
    uint8_t* next_out = buf_.get() + used_;
    size_t avail_out = capacity_ - used_;
    *status = JxlEncoderProcessOutput(enc, &next_out, &avail_out);
    used_ = capacity_ - avail_out;
    if (*status == JXL_ENC_SUCCESS) return Drained::kDone;
    if (*status != JXL_ENC_NEED_MORE_OUTPUT) return Drained::kFailed;
    const uint64_t grown = grown_outbuf_capacity(capacity_);
    if (!buf_.resize(grown)) return Drained::kOutOfMemory;
    capacity_ = grown;
  }
}

int EncoderOutput::drain(JxlEncoder* enc) {
  JxlEncoderStatus status = JXL_ENC_SUCCESS;
  const Drained drained = without_gil([&] { return drain_nogil(enc, &status); });
  switch (drained) {
    case Drained::kDone:
      return 0;
    case Drained::kOutOfMemory:
      PyErr_SetString(PyExc_MemoryError, "jxl: failed to grow output buffer");
      return -1;
    case Drained::kFailed:
      break;
  }
  return raise_enc("JxlEncoderProcessOutput", status, JxlEncoderGetError(enc)), -1;
}

Ref EncoderOutput::bytes() const {
  return Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(buf_.get()),
                                              static_cast<Py_ssize_t>(used_)));
}

int EncoderOutput::write_to(PyObject* dest) {
  if (used_ == 0) return 0;
  Ref payload = Ref::steal(PyBytes_FromStringAndSize(
      reinterpret_cast<const char*>(buf_.get() + written_),
      static_cast<Py_ssize_t>(used_ - written_)));
  if (!payload) return -1;
  Py_ssize_t done = 0;
  const int rc = write_all(dest, payload.get(), &done);
  written_ += static_cast<uint64_t>(done);
  if (rc < 0) return -1;
  used_ = 0;
  written_ = 0;
  return 0;
}

PyObject* deliver(PyObject* dest, DestKind kind, const uint8_t* data, size_t size) {
  Ref payload = Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data),
                                                     static_cast<Py_ssize_t>(size)));
  if (!payload) return nullptr;
  if (kind == DestKind::kNone) return payload.release();
  Py_ssize_t done = 0;
  if (kind == DestKind::kFile) {
    if (write_all(dest, payload.get(), &done) < 0) return nullptr;
    Py_RETURN_NONE;
  }
  Ref file = open_path(dest, "wb");
  if (!file) return nullptr;
  if (write_all(file.get(), payload.get(), &done) < 0) {
    // Closed as a `with` block would: the write error stands.
    SavedError pending;
    if (!call_method(file.get(), "close")) PyErr_Clear();
    return nullptr;
  }
  if (!call_method(file.get(), "close")) return nullptr;
  Py_RETURN_NONE;
}

void EncoderOutput::reset() noexcept {
  buf_.reset();
  capacity_ = 0;
  used_ = 0;
  written_ = 0;
}

}  // namespace kp
