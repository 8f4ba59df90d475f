// Decoding into any writable array-like (`out=` objects that are not NumPy
// arrays: Zarr arrays, h5py datasets, anything with shape, dtype and slice
// assignment). libjxl hands out rows through its image-out callback, from
// its own threads; they gather in bands of rows, and each band, once whole,
// is assigned to the sink (`sink[y0:y1] = band`, or `sink[i, y0:y1]` for
// frame i of a stack) with the interpreter lock taken for just that. The
// whole frame is never in memory.
#pragma once

#include <jxl/decode.h>

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <unordered_map>
#include <utility>

#include "chunked.h"
#include "encoder_output.h"
#include "npy.h"
#include "py.h"

namespace kp {

class Reader;

// Whether `out` goes through this path: anything that is not a NumPy array.
inline bool is_sink(PyObject* out) { return out != Py_None && !PyArray_Check(out); }

// Checks a sink against the result's shape (`dims`) and the frames' dtype
// before any decoding: TypeError for a dtype (or an object without shape,
// dtype or __setitem__), ValueError for a shape. Returns 0, or -1.
int check_sink(const Reader& r, PyObject* sink, const npy_intp* dims, int ndim);

// A band's memory: mapped and unmapped directly rather than malloc'd.
// glibc raises its mmap threshold to the size of each large block freed, so
// that bands (and whatever the sink allocates below that size) would then
// come from heaps that keep freed memory resident: measured, a third of the
// peak of a decode into Zarr.
class MappedBytes {
 public:
  MappedBytes() = default;
  MappedBytes(const MappedBytes&) = delete;
  MappedBytes& operator=(const MappedBytes&) = delete;
  MappedBytes(MappedBytes&& o) noexcept
      : p_(std::exchange(o.p_, nullptr)), size_(std::exchange(o.size_, 0)) {}
  MappedBytes& operator=(MappedBytes&& o) noexcept {
    if (this != &o) {
      reset();
      p_ = std::exchange(o.p_, nullptr);
      size_ = std::exchange(o.size_, 0);
    }
    return *this;
  }
  ~MappedBytes() { reset(); }

  uint8_t* get() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  // Maps `size` (> 0) bytes of zeros. False when the system refuses.
  bool allocate(size_t size) noexcept;
  void reset() noexcept;
  // Hands the memory to a new capsule that unmaps it when released; null
  // with an error set (the memory unmapped) on failure.
  Ref to_capsule() noexcept;

 private:
  uint8_t* p_ = nullptr;
  size_t size_ = 0;
};

// The rows of one frame on their way to a sink.
class BandWriter {
 public:
  // `frame`: the frame's index in a stacked sink, or -1 when the sink is
  // the frame. `rows`: the band height.
  BandWriter(PyObject* sink, Py_ssize_t frame, const Reader& r, size_t rows);
  ~BandWriter();
  BandWriter(const BandWriter&) = delete;
  BandWriter& operator=(const BandWriter&) = delete;

  // Hands libjxl the callback for the frame being decoded. Touches no Python
  // object. Returns libjxl's status.
  JxlDecoderStatus attach(JxlDecoder* dec, const JxlPixelFormat* pf) noexcept;
  // After the frame: any band not delivered yet goes (there is none unless
  // libjxl skipped pixels), and what a callback raised is raised. Returns 0,
  // or -1 with an error set.
  int finish();

 private:
  struct Band {
    MappedBytes data;
    uint64_t filled = 0;  // pixels written into it
  };
  static void* init(void* opaque, size_t threads, size_t pixels_per_thread) noexcept;
  static void run(void* opaque, size_t thread, size_t x, size_t y, size_t count,
                  const void* pixels) noexcept;
  void deliver(size_t index, Band& band) noexcept;
  size_t band_rows(size_t index) const noexcept;

  PyObject* sink_;  // borrowed: the caller keeps it alive
  Py_ssize_t frame_;
  int typenum_;
  size_t xsize_, ysize_, samples_, pixel_bytes_, rows_;
  std::mutex mutex_;
  std::unordered_map<size_t, Band> bands_;
  CarriedError error_;
};

// The band height for a sink: its own row chunking when it has one
// (`chunks`, as Zarr, h5py and Dask arrays do) and a band of that many rows
// stays under 64 MiB (whole chunks spare the sink a read-modify-write),
// else 256 rows (fewer for very wide frames).
// `axis`: the sink's row axis (1 for a stack of frames).
size_t sink_band_rows(PyObject* sink, size_t row_bytes, Py_ssize_t axis);

// Decodes the reader's next frame into `sink` (as frame `frame` of a stack,
// or the whole sink when -1), the caller holding the reader's lock and
// having checked the sink. Returns 1, 0 when no frame is left, -1 with an
// error set.
int decode_frame_to_sink(Reader& r, PyObject* sink, Py_ssize_t frame);

// JxlReader.read(out=sink): every remaining frame. Returns a new reference
// to `sink`, or null with an error set.
PyObject* read_frames_to_sink(Reader& r, PyObject* sink);

}  // namespace kp
