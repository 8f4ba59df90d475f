// The options of JxlReader (and of decode, which opens one): one table of
// their names and defaults drives the keyword parsing, and DecoderOptions
// holds them parsed and checked.
#pragma once

#include <cstddef>
#include <cstdint>

#include "options.h"
#include "py.h"

namespace kp {

// The table: X(name, default), in JxlReader's order. A new option is one
// row here, one field of DecoderOptions and its line in parse, the stub and
// the docstrings (JxlReader's, and decode's when it takes the option too).
#define KP_DECODER_OPTIONS(X)                                                       \
  X(numthreads, kNone) X(keep_orientation, kFalse) X(coalesce, kTrue)              \
  X(parse_color, kTrue) X(streaming, kFalse) X(skip_frames, kZero) X(extra_channels, kFalse)

#define KP_DECODER_KEY(name, fallback) kDec_##name,
enum DecoderKey : size_t { KP_DECODER_OPTIONS(KP_DECODER_KEY) kDecoderOptionCount };
#undef KP_DECODER_KEY

struct DecoderOptions {
  size_t num_threads = 0;
  bool keep_orientation = false;
  bool coalesce = true;
  bool parse_color = true;
  bool streaming = false;
  uint64_t skip_frames = 0;
  bool extra_channels = false;

  // Parses the values of the table's rows (`values`, indexed by
  // DecoderKey). Returns 0, or -1 with an error set.
  int parse(PyObject* const* values);
};

}  // namespace kp
