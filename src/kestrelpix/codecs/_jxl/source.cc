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

// One buffer of input at a time for a decoder subscribed to frame events
// only. `more` appends the next chunk to `buf` and returns 1, 0 at the end
// of the source, or -1 with an error set.
template <class More>
int count_with(JxlDecoder* dec, std::vector<uint8_t>& buf, bool whole, More&& more,
               uint64_t* count) {
  JxlDecoderStatus status = JxlDecoderSubscribeEvents(dec, JXL_DEC_FRAME);
  if (status != JXL_DEC_SUCCESS) return _raise_dec("JxlDecoderSubscribeEvents", status), -1;
  const uint8_t* data = buf.data();
  size_t size = buf.size();
  status = JxlDecoderSetInput(dec, data, size);
  if (status != JXL_DEC_SUCCESS) return _raise_dec("JxlDecoderSetInput", status), -1;
  bool ended = whole;
  *count = 0;
  for (;;) {
    status = without_gil([dec] { return JxlDecoderProcessInput(dec); });
    if (status == JXL_DEC_FRAME) {
      ++*count;
    } else if (status == JXL_DEC_SUCCESS) {
      return 0;
    } else if (status == JXL_DEC_ERROR) {
      return _raise_dec("JxlDecoderProcessInput", status), -1;
    } else if (status == JXL_DEC_NEED_MORE_INPUT) {
      if (ended) {
        raise_jxl_error("jxl: truncated stream while counting frames");
        return -1;
      }
      // Keep what libjxl has not consumed, then add the next chunk.
      const size_t unprocessed = JxlDecoderReleaseInput(dec);
      buf.erase(buf.begin(), buf.end() - static_cast<std::ptrdiff_t>(unprocessed));
      const int got = more(buf);
      if (got < 0) return -1;
      ended = got == 0;
      status = JxlDecoderSetInput(dec, buf.data(), buf.size());
      if (status != JXL_DEC_SUCCESS) return _raise_dec("JxlDecoderSetInput", status), -1;
    }
  }
}

int count_in_place(PyObject* data, uint64_t* count) {
  Py_buffer view;
  Ref copy;
  if (PyObject_GetBuffer(data, &view, PyBUF_SIMPLE) < 0) {
    // Not contiguous: its bytes, as bytes() gives them.
    if (!PyErr_ExceptionMatches(PyExc_BufferError) &&
        !PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_ValueError))
      return -1;
    PyErr_Clear();
    copy = Ref::steal(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyBytes_Type), data));
    if (!copy || PyObject_GetBuffer(copy.get(), &view, PyBUF_SIMPLE) < 0) return -1;
  }
  struct Release {
    Py_buffer* v;
    ~Release() { PyBuffer_Release(v); }
  } release{&view};
  return count_frames_in(static_cast<const uint8_t*>(view.buf), static_cast<size_t>(view.len),
                         count);
}

// Appends file.read(kChunkSize) to buf: 1, 0 at the end, or -1.
int read_chunk(PyObject* file, std::vector<uint8_t>& buf) {
  Ref size = Ref::steal(PyLong_FromSsize_t(kChunkSize));
  if (!size) return -1;
  Ref chunk = call_method(file, "read", size.get());
  if (!chunk) return -1;
  Py_buffer view;
  if (PyObject_GetBuffer(chunk.get(), &view, PyBUF_SIMPLE) < 0) {
    PyErr_Format(PyExc_TypeError, "read() returned %.200s, expected bytes",
                 Py_TYPE(chunk.get())->tp_name);
    return -1;
  }
  const auto* p = static_cast<const uint8_t*>(view.buf);
  const size_t n = static_cast<size_t>(view.len);
  try {
    buf.insert(buf.end(), p, p + n);
  } catch (const std::bad_alloc&) {
    PyBuffer_Release(&view);
    PyErr_NoMemory();
    return -1;
  }
  PyBuffer_Release(&view);
  return n > 0 ? 1 : 0;
}

int count_in_file(PyObject* file, uint64_t* count) {
  std::vector<uint8_t> buf;
  const int first = read_chunk(file, buf);
  *count = 0;
  if (first <= 0) return first;  // empty: no frames
  JxlDecoderPtr dec = JxlDecoderMake(nullptr);
  if (!dec) return raise_jxl_error("JxlDecoderCreate returned NULL"), -1;
  return count_with(dec.get(), buf, /*whole=*/false,
                    [file](std::vector<uint8_t>& b) { return read_chunk(file, b); }, count);
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
  SourceKind kind;
  if (classify_source(data, &kind) < 0) return -1;
  if (kind == SourceKind::kBuffer) return count_in_place(data, count);
  if (kind == SourceKind::kFile) return count_in_file(data, count);
  Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
  if (!builtins) return -1;
  Ref file = Ref::steal(PyObject_CallMethod(builtins.get(), "open", "Os", data, "rb"));
  if (!file) return -1;
  const int rc = count_in_file(file.get(), count);
  // Closed as a `with` block would, keeping the counting error if any.
  if (rc < 0) {
    SavedError error;
    if (!call_method(file.get(), "close")) PyErr_Clear();
    return -1;
  }
  return call_method(file.get(), "close") ? 0 : -1;
}

}  // namespace kp
