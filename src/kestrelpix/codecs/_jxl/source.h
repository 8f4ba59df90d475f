// Input sources for the parse-only readers (frame counting, and the frame
// count a negative index needs): bytes-like objects read in place, paths
// and file objects read in chunks, never whole.
#pragma once

#include <cstddef>
#include <cstdint>

#include "py.h"

namespace kp {

// What kind of source `data` is. An object exporting its bytes counts as
// bytes even if it also has read() (an mmap).
enum class SourceKind { kBuffer, kPath, kFile };

// Classifies `data`; TypeError for anything that is none of the three (an
// int, a float, an arbitrary object). Returns 0, or -1 with an error set.
int classify_source(PyObject* data, SourceKind* kind);

// Counts the frames of a stream by parsing frame headers only. A path is
// opened and read in chunks; a file object is read in chunks from where it
// stands to its end; a bytes-like object is read in place. Empty input
// counts 0. Returns 0, or -1 with an error set.
int count_frames(PyObject* data, uint64_t* count);

// Counts the frames of a stream held in memory. Returns 0, or -1 with an
// error set.
int count_frames_in(const uint8_t* data, size_t size, uint64_t* count);

}  // namespace kp
