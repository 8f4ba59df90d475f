// The streaming encode (streaming=True): libjxl's chunked frame input reads
// each frame in the rectangles libjxl asks for from any array-like (shape,
// dtype, 2-D slicing, np.asarray), and its output processor writes the
// stream to the destination as libjxl produces it. libjxl calls both from
// its own threads while the encoding thread waits without the interpreter
// lock: each callback takes the lock for exactly the Python calls it makes,
// and the first exception raised there is carried back and raised once
// libjxl has returned.
#pragma once

#include <jxl/encode.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "encoder_output.h"
#include "py.h"

namespace kp {

// The first exception raised in a callback, kept until the encoding thread
// raises it. take() and raise() need the interpreter lock; failed() does not.
class CarriedError {
 public:
  CarriedError() = default;
  CarriedError(const CarriedError&) = delete;
  CarriedError& operator=(const CarriedError&) = delete;
  ~CarriedError();

  // Moves the current exception here (a later one is dropped).
  void take() noexcept;
  // Marks a failure whose error is raised by other means (an OS error).
  void mark() noexcept { failed_.store(true); }
  bool failed() const noexcept { return failed_.load(std::memory_order_relaxed); }
  // Sets the carried exception as the current one; false when none is kept.
  bool raise() noexcept;

 private:
  std::atomic<bool> failed_{false};
  PyObject* type_ = nullptr;
  PyObject* value_ = nullptr;
  PyObject* tb_ = nullptr;
};

// libjxl's output processor over a destination: a path (through its
// AtomicFile, written without the interpreter lock) or an object with
// write() (and seek()/tell() when seekable() says so; otherwise libjxl keeps
// what it would come back to in memory).
class StreamOutput {
 public:
  StreamOutput() = default;
  StreamOutput(const StreamOutput&) = delete;
  StreamOutput& operator=(const StreamOutput&) = delete;

  // Attaches to `enc`. `file` (a path's, created by then) or `dest` (a
  // writable object, borrowed: the writer keeps it alive). Returns 0, or -1
  // with an error set.
  int attach(JxlEncoder* enc, AtomicFile* file, PyObject* dest, CarriedError* error);

 private:
  static void* get_buffer(void* opaque, size_t* size) noexcept;
  static void release_buffer(void* opaque, size_t written) noexcept;
  static void seek(void* opaque, uint64_t position) noexcept;
  static void set_finalized_position(void* opaque, uint64_t position) noexcept;
  bool write_to_object(size_t size) noexcept;

  MallocBytes buf_;
  size_t capacity_ = 0;
  AtomicFile* file_ = nullptr;
  PyObject* dest_ = nullptr;
  long long base_ = 0;  // dest's position when the stream began
  CarriedError* error_ = nullptr;
};

// slice(start, stop). Null with an error set.
Ref slice_object(size_t start, size_t stop);

// A stand-in for an array-like's frame: a NumPy array of its shape and
// dtype whose every element is one and the same zero (no memory), for the
// checks made on a frame before any pixel is read. Null with an error set.
Ref frame_proxy(PyObject* arr);

}  // namespace kp
