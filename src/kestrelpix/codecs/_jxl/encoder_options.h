// The options JxlWriter and encode share: one table of their names and
// defaults drives the keyword parsing of both, and EncoderOptions holds them
// parsed and checked, in the order the table lists them. The struct knows
// nothing of the writer that holds it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "extras.h"
#include "metadata.h"
#include "options.h"
#include "py.h"

namespace kp {

// The table: X(name, default). A new option is one row here, one field of
// EncoderOptions and its line in EncoderOptions::parse, the stub and the
// docstrings below.
#define KP_ENCODER_OPTIONS(X)                                                          \
  X(color, kNone) X(lossless, kNone) X(quality, kNone) X(distance, kNone)              \
  X(effort, kNone) X(decoding_speed, kNone) X(numthreads, kNone) X(animation, kFalse) \
  X(container, kFalse) X(loops, kZero) X(tps, kNone) X(exif, kNone) X(xmp, kNone)     \
  X(jumbf, kNone) X(orientation, kOne) X(icc_profile, kNone) X(compress_boxes, kFalse)  \
  X(extra_channels, kNone) X(progressive, kFalse) X(group_order, kNone) X(center, kNone) \
  X(streaming, kFalse) X(progress, kNone)

#define KP_OPTION_KEY(name, fallback) kOpt_##name,
enum EncoderKey : size_t { KP_ENCODER_OPTIONS(KP_OPTION_KEY) kEncoderOptionCount };
#undef KP_OPTION_KEY

// The rows, and their names in a keyword list (`kwlist_of` below).
extern const OptionRow kEncoderOptionRows[kEncoderOptionCount];
#define KP_OPTION_NAME(name, fallback) #name,
#define KP_OPTION_ROW(name, fallback) {#name, Default::fallback},

struct EncoderOptions {
  Ref color_spec;  // what parse_color(color) returned
  bool color_given = false;
  bool lossless = false;
  float distance = 1.0f;
  int32_t effort = 5;
  int32_t decoding_speed = 0;
  size_t num_threads = 0;
  bool animation = false;
  bool container = false;
  WriterMetadata meta;  // loops, tps, exif, xmp, jumbf, orientation, icc_profile, compress_boxes
  std::vector<ExtraChannelSpec> extras;
  bool progressive = false;
  int32_t group_order = -1;  // -1 libjxl's default (scanline), 0 scanline, 1 centre first
  int64_t center_x = -1;     // -1: the middle of the image
  int64_t center_y = -1;
  // Frames read in the rectangles libjxl asks for, the stream written to
  // the destination as it comes (chunked.cc).
  bool streaming = false;
  Ref progress;  // None, or a callable given the fraction of pixels read

  // Parses the values of the table's rows (`values`, indexed by EncoderKey)
  // with `parse_color` (kestrelpix.core.color's). Returns 0, or -1 with an
  // error set.
  int parse(PyObject* const* values, PyObject* parse_color);
};

// int(value) as a 32-bit signed integer. Returns 0, or -1 with an error set.
int int32_option(PyObject* value, int32_t* out);

// An effort: None gives `fallback`, anything else int() clamped to 1..10.
// Returns 0, or -1 with an error set.
int effort_option(PyObject* value, int32_t fallback, int32_t* out);

// The options JxlWriter and encode share, as their docstrings describe them.
#define KP_ENCODER_OPTIONS_DOC \
  "  color           what the samples mean: None (sRGB for uint8, linear\n" \
  "                  sRGB for the other types), a name such as \"srgb\",\n" \
  "                  \"linear-srgb\", \"display-p3\", \"rec2020\",\n" \
  "                  \"rec2100-pq\" or \"gamma:2.2\", or a\n" \
  "                  kestrelpix.core.color.ColorSpec.\n" \
  "  lossless        True for mathematically lossless coding; None (the\n" \
  "                  default) means lossless only for quality above 100\n" \
  "                  or distance 0.\n" \
  "  quality         libjxl's 0-100 scale (90 is very good); or\n" \
  "  distance        Butteraugli distance: 0 lossless, 1 visually\n" \
  "                  lossless (the default), at most 25.\n" \
  "  effort          1 (fastest) to 10 (smallest output), clamped; None\n" \
  "                  means 5. Lossless frames of 14- to 16-bit samples\n" \
  "                  (uint16, float16) are coded at 2 when 1 is asked for:\n" \
  "                  libjxl 0.11's effort-1 coder corrupts memory on some.\n" \
  "  decoding_speed  0 (the default) to 4, clamped: higher tiers decode\n" \
  "                  faster and compress a little worse.\n" \
  "  numthreads      libjxl worker threads; None or <= 0 picks libjxl's\n" \
  "                  default, 1 encodes on the calling thread alone.\n" \
  "  progressive     True: the frame settings of `cjxl -p` (progressive\n" \
  "                  AC by quantisation, responsive modular), so that a\n" \
  "                  reader can show the image from a small prefix.\n" \
  "  group_order     the order of the 256x256 groups in the stream:\n" \
  "                  \"scanline\" or \"center\" (centre first, as\n" \
  "                  `cjxl --group_order=1`); None: libjxl's, scanline.\n" \
  "  center          (x, y), the pixel the \"center\" order starts from,\n" \
  "                  inside the first frame; None: the image's middle.\n"


// The metadata options JxlWriter and encode share.
#define KP_METADATA_OPTIONS_DOC \
  "  loops           an animation's loop count, 0 (the default) for ever.\n" \
  "  tps             an animation's ticks per second: a positive int or a\n" \
  "                  (numerator, denominator) pair (numerator at most\n" \
  "                  2**30, denominator at most 1024); None: 1000 when the\n" \
  "                  first frame comes with a duration, else 10.\n" \
  "  exif            Exif data from its TIFF header on (a leading\n" \
  "                  b\"Exif\\x00\\x00\" is dropped), stored in an \"Exif\" box.\n" \
  "  xmp             XMP packet (bytes or str), stored in an \"xml \" box.\n" \
  "  jumbf           a JUMBF superbox (content credentials), in a \"jumb\"\n" \
  "                  box. Any box puts the stream in a container.\n" \
  "  orientation     1 to 8, as in Exif: how a viewer turns the pixels.\n" \
  "  icc_profile     an ICC profile to embed instead of an enumerated\n" \
  "                  colour (not together with `color`); coding lossily,\n" \
  "                  libjxl stores a profile it recognises as one of its\n" \
  "                  enumerated colours in that form.\n" \
  "  compress_boxes  store the Exif and XMP boxes Brotli-compressed\n" \
  "                  (JUMBF always stays plain).\n" \
  "  extra_channels  the channels after the colour channels on the frame's\n" \
  "                  last axis: a list of type names (\"alpha\", \"depth\",\n" \
  "                  \"spot_color\", \"selection_mask\", \"black\",\n" \
  "                  \"thermal\", \"optional\") or dicts with \"type\" and\n" \
  "                  optionally \"name\", \"bits_per_sample\" (1 to 8 with\n" \
  "                  uint8 frames, 9 to 16 with uint16; float frames give\n" \
  "                  their own), \"spot_color\" (4 floats, linear RGBA, each\n" \
  "                  within +-65504; required for a spot colour) and\n" \
  "                  \"alpha_premultiplied\". At most 256 channels. The frame\n" \
  "                  then has exactly 1 or 3 colour channels plus these.\n"

// The streaming options JxlWriter and encode share.
#define KP_STREAMING_OPTIONS_DOC \
  "  streaming       read each frame only in the rectangles libjxl asks\n" \
  "                  for and write the stream to `dest` as it is made, for\n" \
  "                  images larger than memory. A frame may then be any\n" \
  "                  array-like with shape, dtype and 2-D slicing whose\n" \
  "                  slices np.asarray takes (np.memmap, Zarr, Dask, h5py),\n" \
  "                  left unchanged until it is encoded; each slice is\n" \
  "                  checked (shape, dtype) as it comes. Needs a dest: a\n" \
  "                  path is written to a temporary file renamed into place\n" \
  "                  at close (a failure leaves nothing); an object gets\n" \
  "                  the bytes as they come (a failure leaves a partial\n" \
  "                  stream there). Every other option works as without.\n" \
  "  progress        None, or a callable given the fraction (0 to 1) of\n" \
  "                  the frame read so far, from the encoding thread or one\n" \
  "                  of libjxl's; whatever it raises stops the encode and is\n" \
  "                  raised. Without streaming, called with 1.0 after each\n" \
  "                  frame.\n"

}  // namespace kp
