// Counting the frames of a stream by parsing frame headers only.
#pragma once

#include <jxl/decode.h>

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

// A bare codestream has no box to say how long its last frame is, and
// libjxl stops at that frame's header: to reach the frame's end, a parse
// that reads a bare codestream subscribes to JXL_DEC_FULL_IMAGE too and
// answers JXL_DEC_NEED_IMAGE_OUT_BUFFER here: the last frame is decoded
// (its pixels dropped) so that a cut shows, any other is skipped. Returns 0,
// or -1 with an error set.
int reach_last_frame_end(JxlDecoder* dec, bool is_last);

}  // namespace kp
