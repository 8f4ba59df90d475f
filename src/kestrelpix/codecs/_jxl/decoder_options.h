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
  X(parse_color, kTrue) X(streaming, kFalse) X(skip_frames, kZero) X(extra_channels, kFalse) \
  X(partial, kFalse) X(downsampling, kOne) X(progress, kNone)

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
  bool partial = false;       // render what a truncated stream holds
  uint32_t downsampling = 1;  // 1, 2, 4 or 8: stop once that ratio is rendered
  Ref progress;               // None, or a callable given the fraction done

  // Parses the values of the table's rows (`values`, indexed by
  // DecoderKey). Returns 0, or -1 with an error set.
  int parse(PyObject* const* values);
};

// The progressive options (and progress) JxlReader and decode share, as
// their docstrings describe them.
#define KP_PROGRESSIVE_OPTIONS_DOC \
  "  partial           a truncated stream gives what libjxl can render from\n" \
  "                    the bytes there are (as `djxl --allow_partial_files`),\n" \
  "                    at the frame's full shape: an animation its whole\n" \
  "                    frames and the partial one when it can be rendered.\n" \
  "                    JxlError when nothing can be rendered yet; `complete`\n" \
  "                    tells whether every frame read was whole.\n" \
  "  downsampling      1 (the default), 2, 4 or 8: decode each frame only as\n" \
  "                    far as that ratio needs (the passes of a progressive\n" \
  "                    stream; the 1:8 image of any lossy one) and give it\n" \
  "                    at full size, upsampled as libjxl renders it (as\n" \
  "                    `djxl -s N`).\n" \
  "  progress          None, or a callable given the fraction (0 to 1) of\n" \
  "                    the stream's bytes libjxl has decoded, on the calling\n" \
  "                    thread with the interpreter lock held, between steps\n" \
  "                    of libjxl (a stream in memory is handed over in about\n" \
  "                    64 parts for it; a path or file object read with\n" \
  "                    streaming=True reports per 4 MiB read, and only the\n" \
  "                    end when its size cannot be told). The values never\n" \
  "                    decrease and end with 1.0 once the last frame asked\n" \
  "                    for is decoded: for an animation they run over all\n" \
  "                    its frames, not frame by frame. Whatever it raises\n" \
  "                    stops the decode and is raised.\n"

}  // namespace kp
