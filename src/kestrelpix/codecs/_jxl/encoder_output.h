// The one path encoded bytes take out of libjxl: drained into a buffer that
// grows as libjxl fills it, then delivered to a destination (returned as
// bytes, written to a file object, or to a path). A value type: it knows
// nothing of the writer or of JPEG transcoding, which both hold one.
#pragma once

#include <jxl/encode.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <utility>

#include "py.h"

namespace kp {

// A block of raw memory from malloc, freed on destruction. `resize` keeps the
// bytes and, when it fails, leaves the block as it was. Safe to use without
// the interpreter lock.
class MallocBytes {
 public:
  MallocBytes() = default;
  MallocBytes(const MallocBytes&) = delete;
  MallocBytes& operator=(const MallocBytes&) = delete;
  MallocBytes(MallocBytes&& o) noexcept : p_(o.release()) {}
  MallocBytes& operator=(MallocBytes&& o) noexcept {
    if (this != &o) {
      reset();
      p_ = o.release();
    }
    return *this;
  }
  ~MallocBytes() { reset(); }

  uint8_t* get() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  bool resize(size_t size) noexcept {
    void* p = std::realloc(p_, size);
    if (!p) return false;
    p_ = static_cast<uint8_t*>(p);
    return true;
  }
  void reset() noexcept { std::free(std::exchange(p_, nullptr)); }
  // Hands the block to the caller, who frees it.
  uint8_t* release() noexcept { return std::exchange(p_, nullptr); }

 private:
  uint8_t* p_ = nullptr;
};

// Where a buffer that libjxl finds full starts growing from, and the most it
// grows by in one step.
inline constexpr uint64_t kMinOutbufCapacity = 32768;
inline constexpr uint64_t kMaxOutbufGrowth = 33554432;

// Doubles the capacity up to 32 MiB, then adds 32 MiB per step; an empty
// buffer (a stream whose configuration never completed) starts at 32 KiB so
// that growing always makes progress.
uint64_t grown_outbuf_capacity(uint64_t capacity);

// The first buffer of a frame encoder: a quarter (lossless) or a sixteenth
// (lossy) of the raw frame, in whole 64 KiB units, at least 32 KiB.
uint64_t first_outbuf_capacity(uint64_t frame_nbytes, bool lossless);

// What a destination argument is: None (the bytes are returned), a path
// (str or os.PathLike) or an object with write().
enum class DestKind { kNone, kPath, kFile };

// TypeError for anything else. Returns 0, or -1 with an error set.
int classify_destination(PyObject* dest, DestKind* kind);

// Hands `payload` (bytes) to dest.write until every byte is taken: a short
// count is continued with the rest, no count (None, as from raw files)
// means all was taken. `*done` counts the bytes taken, failure or not, so
// that a retry can go on from there. Returns 0, or -1 with an error set.
int write_all(PyObject* dest, PyObject* payload, Py_ssize_t* done);

// A path written only once its whole content exists: the bytes go to a
// temporary file beside it (same directory, so the final rename is atomic),
// which commit() renames into place. Until then an existing file stays
// exactly as it was; discard() (or destruction) removes the temporary file.
// The write and seek steps touch no Python object; the others need the
// interpreter lock.
class AtomicFile {
 public:
  AtomicFile() = default;
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;
  ~AtomicFile() { discard(); }

  // Takes the path (str or os.PathLike) and checks what can be checked
  // before any byte exists: the directory is there and writable, the path
  // is no directory. Creates nothing. Returns 0, or -1 with OSError set.
  int prepare(PyObject* path);
  bool prepared() const noexcept { return static_cast<bool>(path_); }
  // Creates the temporary file. Returns 0, or -1 with OSError set.
  int create();
  bool is_open() const noexcept { return fd_ >= 0; }
  // Writes `size` bytes at the current position; on failure the error is
  // kept for raise_error(). Touches no Python object.
  bool write_nogil(const uint8_t* data, size_t size) noexcept;
  bool seek_nogil(uint64_t position) noexcept;
  // Writes all of `data` with the interpreter lock released. Returns 0, or
  // -1 with OSError set.
  int write(const uint8_t* data, size_t size);
  // Renames the temporary file over the path. Returns 0, or -1 with OSError
  // set (the temporary file is then gone and the path untouched).
  int commit();
  // Closes and removes the temporary file, if any. Keeps the path.
  void discard() noexcept;
  // Forgets the path too.
  void reset() noexcept;
  // OSError for the last failed write or seek, naming the path.
  int raise_error();
  // The errno of the last failed write or seek, 0 when none failed.
  int error() const noexcept { return errno_; }
  PyObject* path() const noexcept { return path_.get(); }

 private:
  int raise_errno(int err, PyObject* filename);

  Ref path_;          // as the caller gave it, for error messages
  std::string target_;  // the file system path renamed onto
  std::string temp_;
  int fd_ = -1;
  int errno_ = 0;
  bool had_mode_ = false;
  unsigned mode_ = 0;  // an existing file's permissions, kept by the new one
};

// Returns `data` as bytes (kNone), or writes it to the object or to the path
// (through an AtomicFile, so that a failed call never creates, truncates or
// half-writes it) and returns None. Null with an error set on failure.
PyObject* deliver(PyObject* dest, DestKind kind, const uint8_t* data, size_t size);

// The encoded bytes of one stream.
class EncoderOutput {
 public:
  // How a lock-free drain ended.
  enum class Drained { kDone, kFailed, kOutOfMemory };

  // At least `capacity` bytes of room; a buffer kept from an earlier attempt
  // keeps its bytes. Returns 0, or -1 with MemoryError set.
  int reserve(uint64_t capacity);
  // Pulls every byte libjxl gives now, growing the buffer as needed; a
  // failed growth keeps what was collected. `*status` is libjxl's last
  // status. Touches no Python object.
  Drained drain_nogil(JxlEncoder* enc, JxlEncoderStatus* status) noexcept;
  // drain_nogil with the interpreter lock released, its failure raised.
  // Returns 0, or -1 with an error set.
  int drain(JxlEncoder* enc);

  const uint8_t* data() const noexcept { return buf_.get(); }
  uint64_t size() const noexcept { return used_; }
  // The bytes as a new bytes object.
  Ref bytes() const;
  // Writes to dest.write what an earlier, failed attempt did not deliver;
  // after success the buffer is empty again. Returns 0, or -1 with an error.
  int write_to(PyObject* dest);
  // Frees the buffer.
  void reset() noexcept;

 private:
  MallocBytes buf_;
  uint64_t capacity_ = 0;
  uint64_t used_ = 0;
  // Of used_, the bytes a failed delivery already handed over.
  uint64_t written_ = 0;
};

}  // namespace kp
