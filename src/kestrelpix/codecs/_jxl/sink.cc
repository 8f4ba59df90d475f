// Decoding into writable array-likes, band by band through libjxl's
// image-out callback.
#include "npy.h"

#include "sink.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "frame_format.h"
#include "frame_count.h"
#include "reader.h"
#include "status.h"

namespace kp {
namespace {

constexpr size_t kDefaultBandRows = 256;
constexpr size_t kMaxBandBytes = size_t{64} << 20;

}  // namespace

bool MappedBytes::allocate(size_t size) noexcept {
  reset();
  void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return false;
  // Written once, in order, and soon dropped: ordinary pages serve it
  // better than huge ones the kernel clears at first touch (advice only).
  madvise(p, size, MADV_NOHUGEPAGE);
  p_ = static_cast<uint8_t*>(p);
  size_ = size;
  return true;
}

void MappedBytes::reset() noexcept {
  if (p_) munmap(p_, size_);
  p_ = nullptr;
  size_ = 0;
}

Ref MappedBytes::to_capsule() noexcept {
  Ref capsule = Ref::steal(PyCapsule_New(p_, nullptr, [](PyObject* c) {
    munmap(PyCapsule_GetPointer(c, nullptr), reinterpret_cast<size_t>(PyCapsule_GetContext(c)));
  }));
  if (!capsule) {
    reset();
    return {};
  }
  if (PyCapsule_SetContext(capsule.get(), reinterpret_cast<void*>(size_)) < 0) {
    PyCapsule_SetDestructor(capsule.get(), nullptr);
    reset();
    return {};
  }
  p_ = nullptr;
  size_ = 0;
  return capsule;
}

int check_sink(const Reader& r, PyObject* sink, const npy_intp* dims, int ndim) {
  Ref shape = Ref::steal(PyObject_GetAttrString(sink, "shape"));
  Ref dtype_attr = shape ? Ref::steal(PyObject_GetAttrString(sink, "dtype")) : Ref();
  if (!shape || !dtype_attr || !PyObject_HasAttrString(reinterpret_cast<PyObject*>(Py_TYPE(sink)),
                                                       "__setitem__")) {
    if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError,
                 "jxl: out must be a NumPy array or an object with shape, dtype and slice "
                 "assignment, not %.200s",
                 Py_TYPE(sink)->tp_name);
    return -1;
  }
  PyArray_Descr* descr = nullptr;
  if (!PyArray_DescrConverter(dtype_attr.get(), &descr)) return -1;
  Ref dtype = Ref::steal(reinterpret_cast<PyObject*>(descr));
  if (descr->type_num != r.frame_typenum || !PyArray_ISNBO(descr->byteorder)) {
    PyErr_Format(PyExc_TypeError, "jxl: out has dtype %R, the stream decodes to %R",
                 dtype.get(), r._frame_dtype.get());
    return -1;
  }
  Ref want = Ref::steal(PyArray_IntTupleFromIntp(ndim, dims));
  Ref got = Ref::steal(PySequence_Tuple(shape.get()));
  if (!want || !got) return -1;
  const int same = PyObject_RichCompareBool(got.get(), want.get(), Py_EQ);
  if (same < 0) return -1;
  if (!same) {
    PyErr_Format(PyExc_ValueError, "jxl: out has shape %R, the result has shape %R", got.get(),
                 want.get());
    return -1;
  }
  return 0;
}

size_t sink_band_rows(PyObject* sink, size_t row_bytes, Py_ssize_t axis) {
  size_t rows = std::clamp<size_t>(kMaxBandBytes / std::max<size_t>(row_bytes, 1), 1,
                                   kDefaultBandRows);
  Ref chunks = Ref::steal(PyObject_GetAttrString(sink, "chunks"));
  if (!chunks) {
    PyErr_Clear();
    return rows;
  }
  // A Dask array's chunks are tuples of sizes per axis; Zarr's and h5py's
  // one size per axis. Only a regular row chunking is followed.
  Ref first = PySequence_Check(chunks.get())
                  ? Ref::steal(PySequence_GetItem(chunks.get(), axis))
                  : Ref();
  const size_t chunk = first && PyLong_Check(first.get()) ? PyLong_AsSize_t(first.get()) : 0;
  PyErr_Clear();
  if (chunk > 0 && chunk <= kMaxBandBytes / std::max<size_t>(row_bytes, 1)) rows = chunk;
  return rows;
}

BandWriter::BandWriter(PyObject* sink, Py_ssize_t frame, const Reader& r, size_t rows)
    : sink_(sink),
      frame_(frame),
      typenum_(r.frame_typenum),
      xsize_(r._basic_info.xsize),
      ysize_(r._basic_info.ysize),
      samples_(r._samples),
      pixel_bytes_(r._samples * sample_size(r._pixel_format.data_type)),
      rows_(std::max<size_t>(rows, 1)) {}

BandWriter::~BandWriter() = default;

JxlDecoderStatus BandWriter::attach(JxlDecoder* dec, const JxlPixelFormat* pf) noexcept {
  // libjxl takes init and destroy together or neither.
  return JxlDecoderSetMultithreadedImageOutCallback(dec, pf, init, run, [](void*) {}, this);
}

void* BandWriter::init(void* opaque, size_t, size_t) noexcept { return opaque; }

size_t BandWriter::band_rows(size_t index) const noexcept {
  return std::min(rows_, ysize_ - index * rows_);
}

void BandWriter::run(void* opaque, size_t, size_t x, size_t y, size_t count,
                     const void* pixels) noexcept {
  auto* self = static_cast<BandWriter*>(opaque);
  if (self->error_.failed() || y >= self->ysize_ || x + count > self->xsize_) return;
  const size_t index = y / self->rows_;
  const size_t row_bytes = self->xsize_ * self->pixel_bytes_;
  uint8_t* base;
  {
    std::lock_guard<std::mutex> lock(self->mutex_);
    Band& band = self->bands_[index];
    if (!band.data && !band.data.allocate(self->band_rows(index) * row_bytes)) {
      self->bands_.erase(index);
      GilHolder gil;
      PyErr_SetString(PyExc_MemoryError, "jxl: failed to allocate a band of rows");
      self->error_.take();
      return;
    }
    base = band.data.get();
  }
  // Other threads write other pixels of the same band meanwhile; the map
  // node (and so its buffer) stays put until the band is complete.
  std::memcpy(base + (y % self->rows_) * row_bytes + x * self->pixel_bytes_, pixels,
              count * self->pixel_bytes_);
  Band done;
  {
    std::lock_guard<std::mutex> lock(self->mutex_);
    auto it = self->bands_.find(index);
    it->second.filled += count;
    if (it->second.filled < self->band_rows(index) * self->xsize_) return;
    done = std::move(it->second);
    self->bands_.erase(it);
  }
  self->deliver(index, done);
}

void BandWriter::deliver(size_t index, Band& band) noexcept {
  GilHolder gil;
  if (error_.failed()) return;
  const size_t y0 = index * rows_;
  const size_t rows = band_rows(index);
  npy_intp dims[3] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(xsize_),
                      static_cast<npy_intp>(samples_)};
  // The array owns the band from here (a sink may keep it rather than copy).
  uint8_t* data = band.data.get();
  Ref owner = band.data.to_capsule();
  Ref arr = owner ? Ref::steal(PyArray_SimpleNewFromData(samples_ == 1 ? 2 : 3, dims, typenum_,
                                                         data))
                  : Ref();
  if (arr && PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(arr.get()),
                                   owner.release()) < 0)
    arr.clear();
  Ref rows_key = slice_object(y0, y0 + rows);
  Ref key;
  if (rows_key) {
    key = frame_ < 0 ? rows_key
                     : Ref::steal(Py_BuildValue("(nO)", frame_, rows_key.get()));
  }
  if (!arr || !key || PyObject_SetItem(sink_, key.get(), arr.get()) < 0) error_.take();
}

int BandWriter::finish() {
  // Bands libjxl left incomplete (pixels it never visited): what they have.
  std::unordered_map<size_t, Band> left;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    left.swap(bands_);
  }
  for (auto& [index, band] : left) deliver(index, band);
  if (error_.raise()) return -1;
  return 0;
}

// ---------------------------------------------------------------------------
// The reader's sink paths

namespace {

// A frame decoded whole (extra channels as planes, or an uncoalesced layer:
// no image-out callback for those) assigned to the sink a band at a time.
int assign_in_bands(PyObject* sink, Py_ssize_t frame, PyObject* pixels, size_t rows) {
  const npy_intp ysize = PyArray_DIM(reinterpret_cast<PyArrayObject*>(pixels), 0);
  for (npy_intp y0 = 0; y0 < ysize; y0 += static_cast<npy_intp>(rows)) {
    const size_t y1 = std::min<size_t>(static_cast<size_t>(ysize), y0 + rows);
    Ref rows_key = slice_object(static_cast<size_t>(y0), y1);
    if (!rows_key) return -1;
    Ref part = Ref::steal(PyObject_GetItem(pixels, rows_key.get()));
    Ref key = frame < 0 ? rows_key : Ref::steal(Py_BuildValue("(nO)", frame, rows_key.get()));
    if (!part || !key || PyObject_SetItem(sink, key.get(), part.get()) < 0) return -1;
  }
  return 0;
}

}  // namespace

int decode_frame_to_sink(Reader& r, PyObject* sink, Py_ssize_t frame) {
  const int ready = ready_to_decode(r);
  if (ready <= 0) return ready;
  const size_t row_bytes = r._basic_info.xsize * r._samples * sample_size(r._pixel_format.data_type);
  const size_t rows = sink_band_rows(sink, row_bytes, frame < 0 ? 0 : 1);
  Ref pixels;
  // Partial and downsampled renderings revisit pixels through libjxl's
  // flush: they go whole too.
  if (r.extras_mode || !r._coalesce || r.partial || r.downsampling > 1 || r.report_progress) {
    const int got = decode_next_frame(r, r._streaming, nullptr, nullptr, &pixels);
    if (got <= 0) return got;
    return assign_in_bands(sink, frame, pixels.get(), rows) < 0 ? -1 : 1;
  }
  BandWriter bands(sink, frame, r, rows);
  const int got = decode_next_frame(r, r._streaming, nullptr, sink, &pixels, &bands);
  if (got <= 0) return got;
  return bands.finish() < 0 ? -1 : 1;
}

PyObject* read_frames_to_sink(Reader& r, PyObject* sink) {
  // The frames left: one for a still, else counted ahead when the stream is
  // in memory, else as many as the sink holds (checked as they come).
  uint64_t left = 1;
  if (!r._have_basic_info || r._basic_info.have_animation) {
    uint64_t total = 0;
    if (!r._streaming && r._decoder && !r.decoder_failed &&
        count_frames_in(r._src_data, r._src_size, &total) == 0) {
      const uint64_t used = r.frames_skipped + r.frames_out;
      left = r._exhausted || total <= used ? 0 : total - used;
    } else {
      PyErr_Clear();
      Ref shape = Ref::steal(PyObject_GetAttrString(sink, "shape"));
      Ref first = shape ? Ref::steal(PySequence_GetItem(shape.get(), 0)) : Ref();
      const long long n = first ? PyLong_AsLongLong(first.get()) : -1;
      if (n < 0) PyErr_Clear();
      left = n > 0 ? static_cast<uint64_t>(n) : 1;
    }
  }
  if (left == 0) return raise_jxl_error("jxl: no frames in stream");
  npy_intp dims[4];
  int ndim = 0;
  if (left != 1) dims[ndim++] = static_cast<npy_intp>(left);
  dims[ndim++] = static_cast<npy_intp>(r._basic_info.ysize);
  dims[ndim++] = static_cast<npy_intp>(r._basic_info.xsize);
  if (r._samples != 1) dims[ndim++] = static_cast<npy_intp>(r._samples);
  if (check_sink(r, sink, dims, ndim) < 0) return nullptr;
  for (uint64_t i = 0; i < left; ++i) {
    const int got = decode_frame_to_sink(r, sink, left == 1 ? -1 : static_cast<Py_ssize_t>(i));
    if (got < 0) return nullptr;
    if (got == 0)
      return raise_jxl_error(i == 0 ? "jxl: no frames in stream"
                                    : "jxl: the stream ended before its last frame");
  }
  return Py_NewRef(sink);
}

}  // namespace kp
