// Sources: classifying them, reading them whole or in chunks, measuring
// them, and the chunked input of a parse-only decoder.
#include "input.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <string>

#include "status.h"

namespace kp {

// ---------------------------------------------------------------------------
// Classifying

namespace {

// Has `read`, and is not bytes, bytearray or memoryview. Returns 1, 0 or -1
// with an error set.
int is_readable_file(PyObject* obj) {
  int has_read = PyObject_HasAttrString(obj, "read");
  if (!has_read) return 0;
  return !(PyBytes_Check(obj) || PyByteArray_Check(obj) || PyMemoryView_Check(obj));
}

}  // namespace

int is_path_like(PyObject* obj) {
  if (PyUnicode_Check(obj)) return 1;
  PyObject* os = module_global("os");
  if (!os) return -1;
  Ref pathlike = Ref::steal(PyObject_GetAttrString(os, "PathLike"));
  if (!pathlike) return -1;
  return PyObject_IsInstance(obj, pathlike.get());
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
  *kind = file_like ? SourceKind::kFile : SourceKind::kOther;
  return 0;
}

int refuse_source(PyObject* data, const char* what) {
  PyErr_Format(PyExc_TypeError,
               "jxl: %s must be a bytes-like object, a path or a binary file object, not %.200s",
               what, Py_TYPE(data)->tp_name);
  return -1;
}

int check_bytes(PyObject* obj, bool exact_only) {
  const bool refused = exact_only ? !PyBytes_CheckExact(obj)
                                  : PyBytes_Check(obj) && !PyBytes_CheckExact(obj);
  if (!refused) return 0;
  PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "bytes", Py_TYPE(obj)->tp_name);
  return -1;
}

// ---------------------------------------------------------------------------
// Reading whole, measuring

Ref open_path(PyObject* path, const char* mode) {
  Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
  if (!builtins) return {};
  return Ref::steal(PyObject_CallMethod(builtins.get(), "open", "Os", path, mode));
}

Ref read_result(Ref got) {
  if (!got || PyBytes_CheckExact(got.get())) return got;
  // Any bytes-like result (a bytes subclass, a bytearray, a memoryview) is
  // taken as its bytes, as the streaming reader takes it. None is what a
  // non-blocking file object returns with no data at hand: not supported,
  // like anything else that is not bytes.
  if (got.get() != Py_None && PyObject_CheckBuffer(got.get()))
    return Ref::steal(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyBytes_Type), got.get()));
  PyErr_Format(PyExc_TypeError, "read() returned %.200s, expected bytes",
               Py_TYPE(got.get())->tp_name);
  return {};
}

Ref read_whole(PyObject* data, SourceKind kind) {
  if (kind != SourceKind::kPath) return read_result(call_method(data, "read"));
  Ref file = open_path(data, "rb");
  if (!file) return {};
  Ref content = read_result(call_method(file.get(), "read"));
  if (!content) {
    // Close as a `with` block would, keeping the read error.
    SavedError read_error;
    Ref closed = call_method(file.get(), "close");
    PyErr_Clear();
    return {};
  }
  if (!call_method(file.get(), "close")) return {};
  return content;
}

namespace {

// Clears an AttributeError or OSError (io.UnsupportedOperation included);
// returns -1 for any other error.
int ignore_unsupported() {
  if (PyErr_ExceptionMatches(PyExc_AttributeError) || PyErr_ExceptionMatches(PyExc_OSError)) {
    PyErr_Clear();
    return 0;
  }
  return -1;
}

// The size an os.stat_result gives, or -1 when it describes no regular
// file: only those have a size that says how much a read will deliver (a
// pipe, socket or terminal reads as 0 bytes long).
int size_of_regular(PyObject* st, long long* fsize) {
  Ref mode = Ref::steal(PyObject_GetAttrString(st, "st_mode"));
  if (!mode) return -1;
  const long m = PyLong_AsLong(mode.get());
  if (m == -1 && PyErr_Occurred()) return -1;
  if (!S_ISREG(static_cast<mode_t>(m))) return 0;
  Ref size = Ref::steal(PyObject_GetAttrString(st, "st_size"));
  if (!size) return -1;
  *fsize = PyLong_AsLongLong(size.get());
  return *fsize == -1 && PyErr_Occurred() ? -1 : 0;
}

// A file object's end offset: fstat on its descriptor for a regular file,
// else seeking to the end and back.
int measure_file_object(PyObject* file, long long* fsize) {
  PyObject* os = module_global("os");
  if (!os) return -1;
  Ref fileno = call_method(file, "fileno");
  Ref st = fileno ? call_method(os, "fstat", fileno.get()) : Ref();
  if (st) return size_of_regular(st.get(), fsize);
  if (ignore_unsupported() < 0) return -1;

  Ref cur = call_method(file, "tell");
  if (!cur) return ignore_unsupported();
  Ref zero = Ref::steal(PyLong_FromLong(0));
  Ref whence = Ref::steal(PyLong_FromLong(2));
  if (!zero || !whence) return -1;
  if (!call_method(file, "seek", zero.get(), whence.get())) return ignore_unsupported();
  Ref end = call_method(file, "tell");
  if (!end) return ignore_unsupported();
  *fsize = PyLong_AsLongLong(end.get());
  if (*fsize == -1 && PyErr_Occurred()) return -1;
  if (!call_method(file, "seek", cur.get())) return ignore_unsupported();
  return 0;
}

// The size of the file at a path; an error other than OSError fails.
int measure_path(PyObject* path, long long* fsize) {
  PyObject* os = module_global("os");
  if (!os) return -1;
  Ref st = call_method(os, "stat", path);
  if (!st) {
    if (!PyErr_ExceptionMatches(PyExc_OSError)) return -1;
    PyErr_Clear();  // opening it will tell what is wrong
    return 0;
  }
  return size_of_regular(st.get(), fsize);
}

}  // namespace

int measure_source(PyObject* data, SourceKind kind, long long* size) {
  *size = -1;
  return kind == SourceKind::kPath ? measure_path(data, size) : measure_file_object(data, size);
}

// ---------------------------------------------------------------------------
// The container's box headers

void ContainerWalk::feed(const uint8_t* p, size_t n) noexcept {
  while (n > 0) {
    if (done_) {
      seen_ += n;
      return;
    }
    if (seen_ < box_start_) {  // inside a box's contents
      const uint64_t skip = std::min<uint64_t>(n, box_start_ - seen_);
      seen_ += skip;
      p += skip;
      n -= static_cast<size_t>(skip);
      continue;
    }
    head_[head_len_++] = *p++;
    --n;
    ++seen_;
    if (head_len_ == 2 && seen_ == 2 && head_[0] == 0xFF && head_[1] == 0x0A) {
      done_ = true;  // a bare codestream
      continue;
    }
    if (head_len_ == head_need_) header_complete();
  }
}

void ContainerWalk::header_complete() noexcept {
  auto be = [this](size_t at, size_t bytes) {
    uint64_t v = 0;
    for (size_t i = 0; i < bytes; ++i) v = (v << 8) | head_[at + i];
    return v;
  };
  const uint64_t size32 = be(0, 4);
  const bool jxlp = std::memcmp(head_ + 4, "jxlp", 4) == 0;
  const size_t header = size32 == 1 ? 16 : 8;
  if (head_need_ < header + (jxlp ? 4 : 0)) {
    head_need_ = header + (jxlp ? 4 : 0);
    if (head_len_ < head_need_) return;
  }
  const uint64_t size = size32 == 1 ? be(8, 8) : size32;
  if (box_start_ == 0) container_ = std::memcmp(head_ + 4, "JXL ", 4) == 0 && size == 12;
  const bool last_codestream =
      std::memcmp(head_ + 4, "jxlc", 4) == 0 || (jxlp && (head_[header] & 0x80) != 0);
  if (!container_ || (size != 0 && size < header) || size > UINT64_MAX - box_start_) {
    done_ = true;  // libjxl tells what is wrong
    return;
  }
  if (last_codestream) {
    found_ = true;
    end_ = size == 0 ? 0 : box_start_ + size;
  }
  if (last_codestream || size == 0) {
    done_ = true;
    return;
  }
  box_start_ += size;
  head_len_ = 0;
  head_need_ = 8;
}

// ---------------------------------------------------------------------------
// Held buffers and the chunked decoder input

int SourceBuffer::acquire(PyObject* obj) {
  if (PyObject_GetBuffer(obj, &view_, PyBUF_SIMPLE) < 0) {
    // Not contiguous (NumPy says so with ValueError): its bytes, as bytes()
    // gives them.
    if (!PyErr_ExceptionMatches(PyExc_BufferError) && !PyErr_ExceptionMatches(PyExc_ValueError))
      return -1;
    PyErr_Clear();
    copy_ = Ref::steal(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyBytes_Type), obj));
    if (!copy_ || PyObject_GetBuffer(copy_.get(), &view_, PyBUF_SIMPLE) < 0) return -1;
  }
  held_ = true;
  return 0;
}

DecoderInput::~DecoderInput() {
  if (opened_) {
    SavedError pending;
    Ref closed = call_method(opened_.get(), "close");
    if (!closed) PyErr_Clear();
  }
}

int DecoderInput::open(PyObject* data) {
  SourceKind kind;
  if (classify_source(data, &kind) < 0) return -1;
  switch (kind) {
    case SourceKind::kBuffer:
      if (held_.acquire(data) < 0) return -1;
      open_memory(held_.data(), held_.size());
      return 0;
    case SourceKind::kPath:
      opened_ = open_path(data, "rb");
      if (!opened_) return -1;
      file_ = opened_;
      return 0;
    case SourceKind::kFile:
      file_ = Ref::borrow(data);
      return 0;
    case SourceKind::kOther:
      break;
  }
  return refuse_source(data, "data");
}

void DecoderInput::open_memory(const uint8_t* data, size_t size) noexcept {
  in_memory_ = true;
  mem_ = data;
  mem_size_ = size;
  ended_ = true;
  walk_.feed(data, size);
}

int DecoderInput::check_codestream_whole(const char* what) {
  if (!walk_.container()) return 0;
  // What libjxl no longer needs is dropped while the rest is read.
  while (!ended_ && (!walk_.codestream_found() || walk_.codestream_end() > walk_.seen())) {
    buf_.clear();
    if (read_more() < 0) return -1;
  }
  if (!walk_.codestream_found() || walk_.codestream_end() <= walk_.seen()) return 0;
  const std::string message = std::string("jxl: truncated stream while ") + what +
                              ": the codestream box ends at byte " +
                              std::to_string(walk_.codestream_end()) + ", the stream at byte " +
                              std::to_string(walk_.seen());
  return raise_jxl_error(message.c_str()), -1;
}

int DecoderInput::start(JxlDecoder* dec, bool* empty, bool close_at_end) {
  close_at_end_ = close_at_end;
  if (!in_memory_ && buf_.empty() && !ended_ && read_more() < 0) return -1;
  *empty = available() == 0;
  if (*empty) return 0;
  return give(dec, head(), available());
}

int DecoderInput::fill(size_t n) {
  while (!ended_ && buf_.size() < n)
    if (read_more() < 0) return -1;
  return 0;
}

int DecoderInput::refill(JxlDecoder* dec) {
  if (ended_) return 0;
  const size_t unprocessed = JxlDecoderReleaseInput(dec);
  buf_.erase(buf_.begin(), buf_.end() - static_cast<std::ptrdiff_t>(unprocessed));
  if (read_more() < 0 || give(dec, buf_.data(), buf_.size()) < 0) return -1;
  return 1;
}

int DecoderInput::read_more() {
  Ref size = Ref::steal(PyLong_FromSize_t(kChunkSize));
  if (!size) return -1;
  Ref chunk = read_result(call_method(file_.get(), "read", size.get()));
  if (!chunk) return -1;
  const auto* p = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(chunk.get()));
  const size_t n = static_cast<size_t>(PyBytes_GET_SIZE(chunk.get()));
  try {
    buf_.insert(buf_.end(), p, p + n);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return -1;
  }
  walk_.feed(p, n);
  if (n == 0) ended_ = true;
  return 0;
}

int DecoderInput::give(JxlDecoder* dec, const uint8_t* data, size_t size) {
  const JxlDecoderStatus st = JxlDecoderSetInput(dec, data, size);
  if (st != JXL_DEC_SUCCESS) return raise_dec("JxlDecoderSetInput", st), -1;
  if (ended_ && close_at_end_) JxlDecoderCloseInput(dec);
  return 0;
}

}  // namespace kp
