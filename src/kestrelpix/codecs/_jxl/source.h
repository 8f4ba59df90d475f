// Input sources for the parse-only readers (frame counting, and the frame
// count a negative index needs): bytes-like objects read in place, paths
// and file objects read in chunks, never whole.
#pragma once

#include <jxl/decode.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "py.h"

namespace kp {

// What kind of source `data` is. An object exporting its bytes counts as
// bytes even if it also has read() (an mmap).
enum class SourceKind { kBuffer, kPath, kFile };

// Classifies `data`; TypeError for anything that is none of the three (an
// int, a float, an arbitrary object). Returns 0, or -1 with an error set.
int classify_source(PyObject* data, SourceKind* kind);

// The input of a decoder that reads a whole stream once: a bytes-like
// object in place, or a path or file object read in 4 MiB chunks behind a
// buffer that keeps only what libjxl has not consumed yet. A path is opened
// here and closed (as a `with` block would) on destruction.
class DecoderInput {
 public:
  DecoderInput() = default;
  DecoderInput(const DecoderInput&) = delete;
  DecoderInput& operator=(const DecoderInput&) = delete;
  ~DecoderInput();

  // Takes `data` (TypeError for anything that is none of the three kinds).
  // Returns 0, or -1 with an error set.
  int open(PyObject* data);
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
  // The bytes at hand: the whole of a bytes-like object, else the buffer.
  const uint8_t* head() const noexcept;
  size_t available() const noexcept;

 private:
  int read_more();
  int give(JxlDecoder* dec);

  Py_buffer view_{};
  bool view_held_ = false;
  Ref copy_;
  Ref file_;
  Ref opened_;  // the file opened here for a path
  std::vector<uint8_t> buf_;
  bool ended_ = false;
  bool close_at_end_ = true;
};

// Counts the frames of a stream by parsing frame headers only. A path is
// opened and read in chunks; a file object is read in chunks from where it
// stands to its end; a bytes-like object is read in place. Empty input
// counts 0. Returns 0, or -1 with an error set.
int count_frames(PyObject* data, uint64_t* count);

// Counts the frames of a stream held in memory. Returns 0, or -1 with an
// error set.
int count_frames_in(const uint8_t* data, size_t size, uint64_t* count);

}  // namespace kp
