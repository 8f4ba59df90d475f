// Counting the frames of a stream by parsing frame headers only.
#pragma once

#include <cstddef>
#include <cstdint>

#include "py.h"

namespace kp {

// Counts the frames of any source (see input.h): a path is opened and read
// in chunks; a file object is read in chunks from where it stands to its
// end; a bytes-like object is read in place. Empty input counts 0. Returns
// 0, or -1 with an error set.
int count_frames(PyObject* data, uint64_t* count);

// Counts the frames of a stream held in memory. Returns 0, or -1 with an
// error set.
int count_frames_in(const uint8_t* data, size_t size, uint64_t* count);

}  // namespace kp
