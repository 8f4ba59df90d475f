// Every source an encoded stream (or a JPEG file) is read from: a bytes-like
// object read in place, a path, a binary file object, an object exporting
// its bytes. One classifier, one chunk size and one bytes check serve the
// reader, its streaming feed, probe, frame_count and the JPEG functions.
#pragma once

#include <jxl/decode.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "py.h"

namespace kp {

// What one read() of a path or file object asks for; also the size above
// which a streaming reader reads a source in chunks rather than whole.
inline constexpr size_t kChunkSize = 4194304;

// What kind of source an object is. An object exporting its bytes counts as
// a buffer even when it also has read() (an mmap).
enum class SourceKind { kBuffer, kPath, kFile, kOther };

// Classifies `data`, in that order: a path (str or os.PathLike), a buffer,
// a file object (has read(), is not bytes, bytearray or memoryview), or
// none of these. Returns 0, or -1 with an error set.
int classify_source(PyObject* data, SourceKind* kind);

// TypeError for a source of none of the kinds; `what` names the argument.
// Returns -1.
int refuse_source(PyObject* data, const char* what);

// Exact bytes or another buffer type: a subclass of bytes is not taken for
// bytes (TypeError); with `exact_only`, nothing but bytes is. Returns 0, or
// -1 with TypeError set.
int check_bytes(PyObject* obj, bool exact_only = false);

// True for str (and subclasses) and os.PathLike instances.
// Returns 1, 0, or -1 with an error set.
int is_path_like(PyObject* obj);

// `builtins.open(path, mode)`.
Ref open_path(PyObject* path, const char* mode);

// What a read() returned, as exact bytes: a bytes-like result is copied
// into bytes; None (a non-blocking file object with no data at hand) or
// anything else raises TypeError. Passes a null (an error set) through.
Ref read_result(Ref got);

// The whole of a path (as `with open(path, 'rb') as f: f.read()` reads it)
// or of a file object (its read() from where it stands), as exact bytes.
Ref read_whole(PyObject* data, SourceKind kind);

// The total size of a path or file object, or -1 in `*size` when it cannot
// be told (a pipe, a socket, a terminal). Returns 0, or -1 with an error.
int measure_source(PyObject* data, SourceKind kind, long long* size);

// The bytes of a bytes-like object, held in place until destruction; one
// that is not contiguous is copied first, as bytes() copies it.
class SourceBuffer {
 public:
  SourceBuffer() = default;
  SourceBuffer(const SourceBuffer&) = delete;
  SourceBuffer& operator=(const SourceBuffer&) = delete;
  ~SourceBuffer() {
    if (held_) PyBuffer_Release(&view_);
  }
  // Returns 0, or -1 with an error set.
  int acquire(PyObject* obj);
  bool held() const noexcept { return held_; }
  const uint8_t* data() const noexcept { return static_cast<const uint8_t*>(view_.buf); }
  size_t size() const noexcept { return held_ ? static_cast<size_t>(view_.len) : 0; }

 private:
  Py_buffer view_{};
  bool held_ = false;
  Ref copy_;
};

// Where a container's codestream ends, told from its box headers as the
// bytes go by (fed in order from the first). libjxl stops at the last frame's
// header without looking for the frame's data; the box that holds it says
// how long it is.
class ContainerWalk {
 public:
  void feed(const uint8_t* p, size_t n) noexcept;
  // The bytes fed so far.
  uint64_t seen() const noexcept { return seen_; }
  // The stream is a container (its first box is the signature box).
  bool container() const noexcept { return container_; }
  // Once the last codestream box ("jxlc", or the "jxlp" marked last) was
  // found: the offset its contents end at (0 when it runs to the end of the
  // file); else 0.
  bool codestream_found() const noexcept { return found_; }
  uint64_t codestream_end() const noexcept { return end_; }

 private:
  void header_complete() noexcept;

  uint64_t seen_ = 0;
  uint64_t box_start_ = 0;
  uint8_t head_[20] = {};
  size_t head_len_ = 0;
  size_t head_need_ = 8;
  bool container_ = false;
  bool done_ = false;
  bool found_ = false;
  uint64_t end_ = 0;
};

// The input of a decoder that reads a whole stream once: bytes in memory
// (a bytes-like object in place, or memory the caller keeps alive), or a
// path or file object read in chunks behind a buffer that keeps only what
// libjxl has not consumed yet. A path is opened here and closed (as a
// `with` block would) on destruction.
class DecoderInput {
 public:
  DecoderInput() = default;
  DecoderInput(const DecoderInput&) = delete;
  DecoderInput& operator=(const DecoderInput&) = delete;
  ~DecoderInput();

  // Takes `data` (TypeError for anything that is none of the kinds).
  // Returns 0, or -1 with an error set.
  int open(PyObject* data);
  // Takes memory that outlives this input.
  void open_memory(const uint8_t* data, size_t size) noexcept;
  // Hands libjxl the first input; *empty when there is none. With
  // `close_at_end`, libjxl's input is closed once the source is done (needed
  // for box events); without, running out shows as NEED_MORE_INPUT.
  int start(JxlDecoder* dec, bool* empty, bool close_at_end);
  // On JXL_DEC_NEED_MORE_INPUT: 1 when libjxl got more, 0 when the source is
  // done, -1 with an error set.
  int refill(JxlDecoder* dec);
  // Reads until `n` bytes are at hand or the source is done (to look at a
  // signature before any decoder is made). Returns 0, or -1 with an error.
  int fill(size_t n);
  // The bytes at hand: the whole of the memory, else the buffer.
  const uint8_t* head() const noexcept { return in_memory_ ? mem_ : buf_.data(); }
  size_t available() const noexcept { return in_memory_ ? mem_size_ : buf_.size(); }
  // Once libjxl is done: JxlError when a container's codestream box runs
  // past the end of the source (the last frame is cut), reading (and
  // dropping) what is left of a path or file object to find out; `what`
  // names the caller's task. Returns 0, or -1 with an error set.
  int check_codestream_whole(const char* what);
  const ContainerWalk& walk() const noexcept { return walk_; }

 private:
  int read_more();
  int give(JxlDecoder* dec, const uint8_t* data, size_t size);

  SourceBuffer held_;
  bool in_memory_ = false;
  const uint8_t* mem_ = nullptr;
  size_t mem_size_ = 0;
  Ref file_;
  Ref opened_;  // the file opened here for a path
  std::vector<uint8_t> buf_;
  bool ended_ = false;
  bool close_at_end_ = true;
  ContainerWalk walk_;
};

}  // namespace kp
