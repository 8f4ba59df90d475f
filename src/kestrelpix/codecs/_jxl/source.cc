// Frame counting over any source, in place or in chunks.
#include "source.h"

#include <jxl/decode.h>
#include <jxl/decode_cxx.h>

#include <cstring>
#include <new>
#include <vector>

#include "common.h"
#include "status.h"

namespace kp {
namespace {

constexpr Py_ssize_t kChunkSize = 4194304;

}  // namespace

DecoderInput::~DecoderInput() {
  if (view_held_) PyBuffer_Release(&view_);
  if (opened_) {
    SavedError pending;
    Ref closed = call_method(opened_.get(), "close");
    if (!closed) PyErr_Clear();
  }
}

int DecoderInput::open(PyObject* data) {
  SourceKind kind;
  if (classify_source(data, &kind) < 0) return -1;
  if (kind == SourceKind::kBuffer) {
    if (PyObject_GetBuffer(data, &view_, PyBUF_SIMPLE) < 0) {
      // Not contiguous (NumPy says so with ValueError): its bytes, as
      // bytes() gives them.
      if (!PyErr_ExceptionMatches(PyExc_BufferError) && !PyErr_ExceptionMatches(PyExc_ValueError))
        return -1;
      PyErr_Clear();
      copy_ = Ref::steal(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyBytes_Type), data));
      if (!copy_ || PyObject_GetBuffer(copy_.get(), &view_, PyBUF_SIMPLE) < 0) return -1;
    }
    view_held_ = true;
    ended_ = true;
    return 0;
  }
  if (kind == SourceKind::kPath) {
    Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
    if (!builtins) return -1;
    opened_ = Ref::steal(PyObject_CallMethod(builtins.get(), "open", "Os", data, "rb"));
    if (!opened_) return -1;
    file_ = opened_;
    return 0;
  }
  file_ = Ref::borrow(data);
  return 0;
}

int DecoderInput::start(JxlDecoder* dec, bool* empty, bool close_at_end) {
  close_at_end_ = close_at_end;
  if (view_held_) {
    *empty = view_.len == 0;
    if (*empty) return 0;
    const JxlDecoderStatus st = JxlDecoderSetInput(dec, static_cast<const uint8_t*>(view_.buf),
                                                   static_cast<size_t>(view_.len));
    if (st != JXL_DEC_SUCCESS) return _raise_dec("JxlDecoderSetInput", st), -1;
    if (close_at_end_) JxlDecoderCloseInput(dec);
    return 0;
  }
  if (buf_.empty() && !ended_ && read_more() < 0) return -1;
  *empty = buf_.empty();
  if (*empty) return 0;
  return give(dec);
}

int DecoderInput::fill(size_t n) {
  while (!view_held_ && !ended_ && buf_.size() < n)
    if (read_more() < 0) return -1;
  return 0;
}

const uint8_t* DecoderInput::head() const noexcept {
  return view_held_ ? static_cast<const uint8_t*>(view_.buf) : buf_.data();
}

size_t DecoderInput::available() const noexcept {
  return view_held_ ? static_cast<size_t>(view_.len) : buf_.size();
}

int DecoderInput::refill(JxlDecoder* dec) {
  if (ended_) return 0;
  const size_t unprocessed = JxlDecoderReleaseInput(dec);
  buf_.erase(buf_.begin(), buf_.end() - static_cast<std::ptrdiff_t>(unprocessed));
  if (read_more() < 0 || give(dec) < 0) return -1;
  return 1;
}

int DecoderInput::read_more() {
  Ref size = Ref::steal(PyLong_FromSsize_t(kChunkSize));
  if (!size) return -1;
  Ref chunk = call_method(file_.get(), "read", size.get());
  if (!chunk) return -1;
  // Exact bytes or another buffer type; a subclass of bytes is not taken
  // for bytes.
  if (PyBytes_Check(chunk.get()) && !PyBytes_CheckExact(chunk.get())) {
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "bytes",
                 Py_TYPE(chunk.get())->tp_name);
    return -1;
  }
  Py_buffer v;
  if (PyObject_GetBuffer(chunk.get(), &v, PyBUF_SIMPLE) < 0) {
    PyErr_Format(PyExc_TypeError, "read() returned %.200s, expected bytes",
                 Py_TYPE(chunk.get())->tp_name);
    return -1;
  }
  const auto* p = static_cast<const uint8_t*>(v.buf);
  const size_t n = static_cast<size_t>(v.len);
  try {
    buf_.insert(buf_.end(), p, p + n);
  } catch (const std::bad_alloc&) {
    PyBuffer_Release(&v);
    PyErr_NoMemory();
    return -1;
  }
  PyBuffer_Release(&v);
  if (n == 0) ended_ = true;
  return 0;
}

int DecoderInput::give(JxlDecoder* dec) {
  const JxlDecoderStatus st = JxlDecoderSetInput(dec, buf_.data(), buf_.size());
  if (st != JXL_DEC_SUCCESS) return _raise_dec("JxlDecoderSetInput", st), -1;
  if (ended_ && close_at_end_) JxlDecoderCloseInput(dec);
  return 0;
}

namespace {

// Counts frames with the input handed over piece by piece; the input is
// never closed, so running out of it means the stream is truncated.
int count_from(DecoderInput& input, uint64_t* count) {
  *count = 0;
  JxlDecoderPtr owner = JxlDecoderMake(nullptr);
  if (!owner) return raise_jxl_error("JxlDecoderCreate returned NULL"), -1;
  JxlDecoder* dec = owner.get();
  JxlDecoderStatus status = JxlDecoderSubscribeEvents(dec, JXL_DEC_FRAME);
  if (status != JXL_DEC_SUCCESS) return _raise_dec("JxlDecoderSubscribeEvents", status), -1;
  bool empty = false;
  if (input.start(dec, &empty, /*close_at_end=*/false) < 0) return -1;
  if (empty) return 0;
  for (;;) {
    status = without_gil([dec] { return JxlDecoderProcessInput(dec); });
    if (status == JXL_DEC_FRAME) {
      ++*count;
    } else if (status == JXL_DEC_SUCCESS) {
      return 0;
    } else if (status == JXL_DEC_ERROR) {
      return _raise_dec("JxlDecoderProcessInput", status), -1;
    } else if (status == JXL_DEC_NEED_MORE_INPUT) {
      const int more = input.refill(dec);
      if (more < 0) return -1;
      if (more == 0) {
        raise_jxl_error("jxl: truncated stream while counting frames");
        return -1;
      }
    }
  }
}

}  // namespace

int count_frames_in(const uint8_t* data, size_t size, uint64_t* count) {
  *count = 0;
  if (size == 0) return 0;
  JxlDecoderPtr dec = JxlDecoderMake(nullptr);
  if (!dec) return raise_jxl_error("JxlDecoderCreate returned NULL"), -1;
  // The whole stream at once, never closed: running out of it means the
  // stream is truncated. The buffer is only read, in place.
  JxlDecoder* d = dec.get();
  JxlDecoderStatus status = JxlDecoderSubscribeEvents(d, JXL_DEC_FRAME);
  if (status != JXL_DEC_SUCCESS) return _raise_dec("JxlDecoderSubscribeEvents", status), -1;
  status = JxlDecoderSetInput(d, data, size);
  if (status != JXL_DEC_SUCCESS) return _raise_dec("JxlDecoderSetInput", status), -1;
  for (;;) {
    status = without_gil([d] { return JxlDecoderProcessInput(d); });
    if (status == JXL_DEC_FRAME) {
      ++*count;
    } else if (status == JXL_DEC_SUCCESS) {
      return 0;
    } else if (status == JXL_DEC_NEED_MORE_INPUT) {
      raise_jxl_error("jxl: truncated stream while counting frames");
      return -1;
    } else if (status == JXL_DEC_ERROR) {
      return _raise_dec("JxlDecoderProcessInput", status), -1;
    }
  }
}

int classify_source(PyObject* data, SourceKind* kind) {
  const int path_like = is_path_like(data);
  if (path_like < 0) return -1;
  if (path_like) {
    *kind = SourceKind::kPath;
    return 0;
  }
  if (PyObject_CheckBuffer(data)) {
    *kind = SourceKind::kBuffer;
    return 0;
  }
  const int file_like = is_readable_file(data);
  if (file_like < 0) return -1;
  if (file_like) {
    *kind = SourceKind::kFile;
    return 0;
  }
  PyErr_Format(PyExc_TypeError,
               "jxl: data must be a bytes-like object, a path or a binary file object, "
               "not %.200s",
               Py_TYPE(data)->tp_name);
  return -1;
}

int count_frames(PyObject* data, uint64_t* count) {
  // Exact bytes or another buffer type; a subclass of bytes is not taken
  // for bytes.
  if (PyBytes_Check(data) && !PyBytes_CheckExact(data)) {
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "bytes", Py_TYPE(data)->tp_name);
    return -1;
  }
  DecoderInput input;
  if (input.open(data) < 0) return -1;
  return count_from(input, count);
}

}  // namespace kp
