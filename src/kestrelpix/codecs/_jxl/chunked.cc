// The streaming encode: the chunked frame source, the output processor, and
// the writer's streaming frame and close steps.
#include "chunked.h"

#include "npy.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdio>
#include <deque>
#include <mutex>
#include <new>
#include <unordered_map>
#include <vector>

#include "frame_format.h"
#include "status.h"
#include "writer.h"

namespace kp {

// ---------------------------------------------------------------------------
// CarriedError

CarriedError::~CarriedError() {
  Py_XDECREF(type_);
  Py_XDECREF(value_);
  Py_XDECREF(tb_);
}

void CarriedError::take() noexcept {
  if (type_) {
    PyErr_Clear();
  } else {
    PyErr_Fetch(&type_, &value_, &tb_);
  }
  failed_.store(true);
}

bool CarriedError::raise() noexcept {
  if (!type_) return false;
  PyErr_Restore(std::exchange(type_, nullptr), std::exchange(value_, nullptr),
                std::exchange(tb_, nullptr));
  return true;
}

Ref slice_object(size_t start, size_t stop) {
  Ref a = Ref::steal(PyLong_FromSize_t(start));
  Ref b = Ref::steal(PyLong_FromSize_t(stop));
  if (!a || !b) return {};
  return Ref::steal(PySlice_New(a.get(), b.get(), nullptr));
}

// ---------------------------------------------------------------------------
// StreamOutput

int StreamOutput::attach(JxlEncoder* enc, AtomicFile* file, PyObject* dest,
                         CarriedError* error) {
  file_ = file;
  dest_ = dest;
  error_ = error;
  bool seekable = file != nullptr;
  if (!file) {
    // A file object is sought in only when it says it can be; otherwise
    // libjxl keeps in memory what it would come back to.
    Ref answer = call_method(dest, "seekable");
    int yes = answer ? PyObject_IsTrue(answer.get()) : 0;
    if (yes < 0 || !answer) PyErr_Clear(), yes = 0;
    if (yes) {
      Ref where = call_method(dest, "tell");
      base_ = where ? PyLong_AsLongLong(where.get()) : -1;
      if (base_ < 0) PyErr_Clear();
      seekable = base_ >= 0;
    }
  }
  JxlEncoderOutputProcessor processor = {this, get_buffer, release_buffer,
                                         seekable ? seek : nullptr, set_finalized_position};
  const JxlEncoderStatus status = JxlEncoderSetOutputProcessor(enc, processor);
  if (status != JXL_ENC_SUCCESS) {
    raise_enc("JxlEncoderSetOutputProcessor", status, JxlEncoderGetError(enc));
    return -1;
  }
  return 0;
}

void* StreamOutput::get_buffer(void* opaque, size_t* size) noexcept {
  auto* self = static_cast<StreamOutput*>(opaque);
  // An error elsewhere stops the encode: libjxl then returns an error.
  if (self->error_->failed()) {
    *size = 0;
    return nullptr;
  }
  const size_t wanted = std::max<size_t>(*size, 65536);
  if (self->capacity_ < wanted) {
    if (!self->buf_.resize(wanted)) {
      GilHolder gil;
      PyErr_SetString(PyExc_MemoryError, "jxl: failed to allocate an output buffer");
      self->error_->take();
      *size = 0;
      return nullptr;
    }
    self->capacity_ = wanted;
  }
  *size = self->capacity_;
  return self->buf_.get();
}

bool StreamOutput::write_to_object(size_t size) noexcept {
  GilHolder gil;
  Ref payload = Ref::steal(
      PyBytes_FromStringAndSize(reinterpret_cast<const char*>(buf_.get()),
                                static_cast<Py_ssize_t>(size)));
  Py_ssize_t done = 0;
  if (payload && write_all(dest_, payload.get(), &done) == 0) return true;
  error_->take();
  return false;
}

void StreamOutput::release_buffer(void* opaque, size_t written) noexcept {
  auto* self = static_cast<StreamOutput*>(opaque);
  if (written == 0 || self->error_->failed()) return;
  if (self->file_) {
    if (!self->file_->write_nogil(self->buf_.get(), written)) self->error_->mark();
    return;
  }
  self->write_to_object(written);
}

void StreamOutput::seek(void* opaque, uint64_t position) noexcept {
  auto* self = static_cast<StreamOutput*>(opaque);
  if (self->error_->failed()) return;
  if (self->file_) {
    if (!self->file_->seek_nogil(position)) self->error_->mark();
    return;
  }
  GilHolder gil;
  Ref where = Ref::steal(PyLong_FromUnsignedLongLong(
      static_cast<unsigned long long>(self->base_) + position));
  if (!where || !call_method(self->dest_, "seek", where.get())) self->error_->take();
}

void StreamOutput::set_finalized_position(void*, uint64_t) noexcept {
  // Everything is written as it comes: nothing is held to be let go.
}

// ---------------------------------------------------------------------------
// The chunked frame source

namespace {

// One frame's source: every rectangle libjxl asks for is sliced from the
// array-like, checked, made contiguous and held until libjxl releases it.
// After the first failure every request gets zeros (libjxl still reads
// what it asked for) and the output processor stops the encode.
class ChunkSource {
 public:
  ChunkSource(Writer& w, PyObject* frame, CarriedError& error)
      : w_(w), frame_(frame), error_(error),
        total_(static_cast<double>(w.frame_pixels())) {}
  ~ChunkSource() {
    held_.clear();
    sliced_.clear();
    for (const ZeroBlock& z : zeros_) munmap(z.data, z.size);
  }
  ChunkSource(const ChunkSource&) = delete;
  ChunkSource& operator=(const ChunkSource&) = delete;

  JxlChunkedFrameInputSource source() {
    return {this, color_format, color_at, extra_format, extra_at, release};
  }

 private:
  static void color_format(void* opaque, JxlPixelFormat* pf) noexcept {
    *pf = static_cast<ChunkSource*>(opaque)->w_._pixel_format;
  }
  static void extra_format(void* opaque, size_t, JxlPixelFormat* pf) noexcept {
    *pf = static_cast<ChunkSource*>(opaque)->w_._pixel_format;
    pf->num_channels = 1;
  }
  static const void* color_at(void* opaque, size_t x, size_t y, size_t xs, size_t ys,
                              size_t* row_offset) noexcept {
    return static_cast<ChunkSource*>(opaque)->fetch(-1, x, y, xs, ys, row_offset);
  }
  static const void* extra_at(void* opaque, size_t ec, size_t x, size_t y, size_t xs,
                              size_t ys, size_t* row_offset) noexcept {
    return static_cast<ChunkSource*>(opaque)->fetch(static_cast<long>(ec), x, y, xs, ys,
                                                    row_offset);
  }
  static void release(void* opaque, const void* buf) noexcept {
    auto* self = static_cast<ChunkSource*>(opaque);
    if (self->is_zeros(buf)) return;
    GilHolder gil;
    auto it = self->held_.find(buf);
    if (it != self->held_.end()) {
      Ref gone = std::move(it->second);
      self->held_.erase(it);
    }
  }

  const void* fetch(long channel, size_t x, size_t y, size_t xs, size_t ys,
                    size_t* row_offset) noexcept;
  Ref slice(size_t x, size_t y, size_t xs, size_t ys);
  Ref shared_slice(size_t x, size_t y, size_t xs, size_t ys);
  Ref channels_of(Ref full, long channel);
  const void* zeros(size_t xs, size_t ys, size_t* row_offset) noexcept;
  bool is_zeros(const void* buf) noexcept {
    std::lock_guard<std::mutex> lock(zeros_mutex_);
    for (const ZeroBlock& z : zeros_)
      if (z.data == buf) return true;
    return false;
  }

  Writer& w_;
  PyObject* frame_;
  CarriedError& error_;
  // What libjxl holds, by the address handed out (the same rectangle may
  // be out twice). Touched with the interpreter lock held.
  std::unordered_multimap<const void*, Ref> held_;
  double total_;
  double done_ = 0;
  // With extra channels libjxl asks for each rectangle once per channel: a
  // checked slice is kept until every channel has had its part, so that a
  // source that computes its slices (Dask) computes each once. A few at a
  // time: threads work on neighbouring rectangles.
  struct Sliced {
    size_t x, y, xs, ys;
    Ref full;
    size_t parts_left;  // channels yet to ask for it
  };
  static constexpr size_t kKeptSlices = 8;
  std::deque<Sliced> sliced_;
  struct ZeroBlock {
    void* data;
    size_t size;
  };
  std::mutex zeros_mutex_;
  std::vector<ZeroBlock> zeros_;
};

const void* ChunkSource::zeros(size_t xs, size_t ys, size_t* row_offset) noexcept {
  const JxlPixelFormat& pf = w_._pixel_format;
  *row_offset = xs * std::max<size_t>(pf.num_channels, 1) * sample_size(pf.data_type);
  const size_t size = std::max<size_t>(*row_offset * ys, 1);
  // Untouched anonymous pages: read as zeros, never resident. libjxl may
  // still hold an earlier one, so a larger request gets another.
  std::lock_guard<std::mutex> lock(zeros_mutex_);
  for (const ZeroBlock& z : zeros_)
    if (z.size >= size) return z.data;
  void* data = mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  // Without even that, libjxl gets nothing; the stopped output ends it.
  if (data == MAP_FAILED) return nullptr;
  zeros_.push_back({data, size});
  return data;
}

Ref ChunkSource::slice(size_t x, size_t y, size_t xs, size_t ys) {
  Ref rows = slice_object(y, y + ys);
  Ref cols = slice_object(x, x + xs);
  if (!rows || !cols) return {};
  Ref key = Ref::steal(PyTuple_Pack(2, rows.get(), cols.get()));
  if (!key) return {};
  Ref part = Ref::steal(PyObject_GetItem(frame_, key.get()));
  if (!part) return {};
  PyObject* np = module_global("np");
  if (!np) return {};
  Ref arr = call_method(np, "asarray", part.get());
  if (!arr) return {};
  auto* a = reinterpret_cast<PyArrayObject*>(arr.get());
  if (!PyArray_Check(arr.get())) {
    PyErr_SetString(PyExc_TypeError, "jxl: the source's slice is not an array");
    return {};
  }
  PyObject* dtype = reinterpret_cast<PyObject*>(PyArray_DESCR(a));
  const int same = PyObject_RichCompareBool(dtype, w_._first_dtype.get(), Py_EQ);
  if (same < 0) return {};
  if (!same) {
    PyErr_Format(PyExc_ValueError,
                 "jxl: source[%zu:%zu, %zu:%zu] came back as %R, but the source's dtype is %R",
                 y, y + ys, x, x + xs, dtype, w_._first_dtype.get());
    return {};
  }
  const int ndim = PyArray_NDIM(a);
  const npy_intp* dims = PyArray_DIMS(a);
  const uint64_t samples = w_._first_samples;
  // A 0-d array has no dims at all, a 1-d one only the first.
  const bool fits = ndim >= 2 && ndim <= 3 && dims[0] == static_cast<npy_intp>(ys) &&
                    dims[1] == static_cast<npy_intp>(xs) &&
                    ((ndim == 2 && samples == 1 && w_.frame_ndim() == 2) ||
                     (ndim == 3 && static_cast<uint64_t>(dims[2]) == samples));
  if (!fits) {
    Ref shape = Ref::steal(PyObject_GetAttrString(arr.get(), "shape"));
    if (!shape) return {};
    char want[64];
    if (w_.frame_ndim() == 2)
      std::snprintf(want, sizeof want, "(%zu, %zu)", ys, xs);
    else
      std::snprintf(want, sizeof want, "(%zu, %zu, %llu)", ys, xs,
                    static_cast<unsigned long long>(samples));
    PyErr_Format(PyExc_ValueError,
                 "jxl: source[%zu:%zu, %zu:%zu] came back with shape %R, not %s", y, y + ys, x,
                 x + xs, shape.get(), want);
    return {};
  }
  // Rows whose pixels lie packed one after the other (a band of a memmap or
  // of a C-ordered array) are read where they are, libjxl stepping from row
  // to row by the array's own stride; anything else is copied first.
  const npy_intp pixel = static_cast<npy_intp>(samples * sample_size(w_._pixel_format.data_type));
  const bool packed = PyArray_ISALIGNED(a) && PyArray_STRIDE(a, 0) >= pixel * dims[1] &&
                      PyArray_STRIDE(a, 1) == pixel &&
                      (ndim == 2 || PyArray_STRIDE(a, 2) == pixel / static_cast<npy_intp>(samples));
  if (!packed || !w_.opts.extras.empty()) {
    arr = Ref::steal(PyArray_NewCopy(a, NPY_CORDER));
    if (!arr) return {};
  }
  if (w_.check_samples(&arr) < 0) return {};
  return arr;
}

Ref ChunkSource::shared_slice(size_t x, size_t y, size_t xs, size_t ys) {
  if (w_.opts.extras.empty()) return slice(x, y, xs, ys);
  for (auto it = sliced_.begin(); it != sliced_.end(); ++it) {
    if (it->x != x || it->y != y || it->xs != xs || it->ys != ys) continue;
    Ref full = it->full;
    if (--it->parts_left == 0) sliced_.erase(it);
    return full;
  }
  Ref full = slice(x, y, xs, ys);
  if (!full) return {};
  try {
    sliced_.push_back({x, y, xs, ys, full, w_.opts.extras.size()});
    if (sliced_.size() > kKeptSlices) sliced_.pop_front();
  } catch (const std::bad_alloc&) {
    // Not kept: the next channel slices it again.
  }
  return full;
}

// The colour channels (channel -1) or one extra channel of a checked slice,
// contiguous.
Ref ChunkSource::channels_of(Ref full, long channel) {
  if (w_.opts.extras.empty()) return full;
  const size_t color = w_._color_channels;
  Ref index = channel < 0 ? slice_object(0, color)
                          : Ref::steal(PyLong_FromSize_t(color + static_cast<size_t>(channel)));
  if (!index) return {};
  Ref key = Ref::steal(PyTuple_Pack(2, Py_Ellipsis, index.get()));
  if (!key) return {};
  Ref part = Ref::steal(PyObject_GetItem(full.get(), key.get()));
  if (!part) return {};
  return Ref::steal(PyArray_NewCopy(reinterpret_cast<PyArrayObject*>(part.get()), NPY_CORDER));
}

const void* ChunkSource::fetch(long channel, size_t x, size_t y, size_t xs, size_t ys,
                               size_t* row_offset) noexcept {
  if (error_.failed()) return zeros(xs, ys, row_offset);
  GilHolder gil;
  Ref part;
  Ref full = shared_slice(x, y, xs, ys);
  if (full) part = channels_of(std::move(full), channel);
  PyObject* progress = w_.opts.progress.get();
  if (part && channel < 0 && progress && progress != Py_None) {
    done_ += static_cast<double>(xs) * static_cast<double>(ys);
    Ref fraction = Ref::steal(PyFloat_FromDouble(std::min(1.0, done_ / total_)));
    if (!fraction || !Ref::steal(PyObject_CallOneArg(progress, fraction.get())))
      part.clear();
  }
  if (!part) {
    error_.take();
    return zeros(xs, ys, row_offset);
  }
  auto* a = reinterpret_cast<PyArrayObject*>(part.get());
  *row_offset = static_cast<size_t>(PyArray_STRIDE(a, 0));
  const void* data = PyArray_DATA(a);
  held_.emplace(data, std::move(part));
  return data;
}

}  // namespace

// ---------------------------------------------------------------------------
// The writer's streaming steps

int Writer::submit_chunked(PyObject* frame, bool is_last) {
  if (!_stream_attached) {
    if (_own_dest && !dest_file.is_open() && dest_file.create() < 0) return -1;
    if (stream_out.attach(_encoder.get(), _own_dest ? &dest_file : nullptr,
                          _own_dest ? nullptr : _dest_obj.get(), &stream_error) < 0)
      return -1;
    _stream_attached = true;
  }
  JxlEncoderStatus status;
  {
    ChunkSource source(*this, frame, stream_error);
    status = without_gil([&] {
      return JxlEncoderAddChunkedFrame(_frame_settings, is_last ? JXL_TRUE : JXL_FALSE,
                                       source.source());
    });
  }
  ++_frame_count;
  if (is_last) _input_closed = true;
  if (status == JXL_ENC_SUCCESS && !stream_error.failed()) return 0;
  return fail_streaming("JxlEncoderAddChunkedFrame", status);
}

int Writer::fail_streaming(const char* func, JxlEncoderStatus status) {
  if (stream_error.raise()) {
  } else if (dest_file.is_open() && dest_file.error()) {
    dest_file.raise_error();
  } else if (runner.short_of_threads()) {
    PyErr_SetString(PyExc_MemoryError,
                    "jxl: out of memory: not every worker thread could be started, and "
                    "libjxl then failed; fewer threads (numthreads=) may do");
  } else {
    raise_status(func, status);
  }
  // The stream cannot go on: what was written of it goes.
  SavedError pending;
  release_after_error();
  return -1;
}

int Writer::finish_streaming() {
  if (!_stream_attached) return 0;  // no frame: an empty stream, as without streaming
  JxlEncoderCloseInput(_encoder.get());
  const JxlEncoderStatus status =
      without_gil([&] { return JxlEncoderFlushInput(_encoder.get()); });
  if (status == JXL_ENC_SUCCESS && !stream_error.failed()) return 0;
  return fail_streaming("JxlEncoderFlushInput", status);
}

Ref frame_proxy(PyObject* arr) {
  PyObject* np = module_global("np");
  if (!np) return {};
  Ref shape = Ref::steal(PyObject_GetAttrString(arr, "shape"));
  if (!shape) return {};
  Ref dims = Ref::steal(PySequence_Tuple(shape.get()));
  if (!dims) return {};
  Ref dtype_attr = Ref::steal(PyObject_GetAttrString(arr, "dtype"));
  if (!dtype_attr) return {};
  PyArray_Descr* descr = nullptr;
  if (!PyArray_DescrConverter(dtype_attr.get(), &descr)) return {};
  PyArray_Dims pdims = {nullptr, 0};
  if (!PyArray_IntpConverter(dims.get(), &pdims)) {
    Py_DECREF(descr);
    return {};
  }
  for (int i = 0; i < pdims.len; ++i) {
    if (pdims.ptr[i] < 0) {
      PyDimMem_FREE(pdims.ptr);
      Py_DECREF(descr);
      PyErr_SetString(PyExc_ValueError, "jxl: the source's shape has a negative size");
      return {};
    }
  }
  // One sample seen everywhere: shape and dtype without the memory.
  std::vector<npy_intp> strides(static_cast<size_t>(pdims.len), 0);
  Ref base = Ref::steal(PyArray_Zeros(0, nullptr, descr, 0));  // steals descr
  Ref proxy;
  if (base) {
    Py_INCREF(PyArray_DESCR(reinterpret_cast<PyArrayObject*>(base.get())));
    proxy = Ref::steal(PyArray_NewFromDescr(
        &PyArray_Type, PyArray_DESCR(reinterpret_cast<PyArrayObject*>(base.get())), pdims.len,
        pdims.ptr, strides.data(), PyArray_DATA(reinterpret_cast<PyArrayObject*>(base.get())),
        0, nullptr));
    if (proxy && PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(proxy.get()),
                                       base.release()) < 0)
      proxy.clear();
  }
  PyDimMem_FREE(pdims.ptr);
  return proxy;
}

}  // namespace kp
