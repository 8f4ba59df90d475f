// JxlWriter: the streaming encoder type. This header documents every field
// of the writer object and who owns it.
#pragma once

#include "encoder_output.h"
#include "extras.h"
#include "metadata.h"
#include "py.h"
#include "threads.h"

#include <jxl/encode.h>
#include <jxl/encode_cxx.h>

#include <cstdint>
#include <cstdlib>
#include <utility>

namespace kp {

// Creates the JxlWriter type and binds it in the module.
int add_writer_type(PyObject* module);

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
  "                  means 5.\n" \
  "  decoding_speed  0 (the default) to 4, clamped: higher tiers decode\n" \
  "                  faster and compress a little worse.\n" \
  "  numthreads      libjxl worker threads; None or <= 0 picks libjxl's\n" \
  "                  default, 1 encodes on the calling thread alone.\n"


// The metadata options JxlWriter and encode share.
#define KP_METADATA_OPTIONS_DOC \
  "  loops           an animation's loop count, 0 (the default) for ever.\n" \
  "  tps             an animation's ticks per second: a positive int or a\n" \
  "                  (numerator, denominator) pair; None: 1000 when the\n" \
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
  "                  optionally \"name\", \"bits_per_sample\", \"spot_color\"\n" \
  "                  (4 floats, linear RGBA; required for a spot colour) and\n" \
  "                  \"alpha_premultiplied\". The frame then has exactly\n" \
  "                  1 or 3 colour channels plus these.\n"

// ---------------------------------------------------------------------------
// The lock-free step

// Adds one frame, closes the input if asked, and pulls every byte libjxl will
// give so far into `output`, growing it as needed. Runs without the
// interpreter lock and touches no Python object; returns an EncodeResult and
// leaves libjxl's last status in `last_status_out`. With extra channels
// (`samples` > `color` > 0) the colour channels go interleaved and each
// extra channel as a plane of its own.
int add_frame_and_drain_nogil(JxlEncoder* enc, JxlEncoderFrameSettings* fs,
                              const JxlPixelFormat* pf, const void* pixels, size_t pixels_size,
                              bool close_input, EncoderOutput& output,
                              JxlEncoderStatus& last_status_out, size_t samples = 0,
                              size_t color = 0);

// ---------------------------------------------------------------------------
// The writer object

// Everything a JxlWriter holds. Native handles are owned through holders
// that null themselves when released; `_destroy_native` releases them in the
// order libjxl needs (the encoder before the runner it uses). The two
// internal operations return 0, or -1 with a Python exception set.
class Writer {
 public:
  Writer() = default;
  ~Writer() { release_native(); }
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;

  // Internal operations.
  int _configure_from_first_frame(PyObject* arr);
  int _destroy_native();

  // The Python-visible behaviour; the caller holds `_lock`.
  int init(PyObject* dest, PyObject* color, PyObject* lossless,
           PyObject* quality, PyObject* distance, PyObject* effort,
           PyObject* decoding_speed, PyObject* numthreads,
           PyObject* animation, PyObject* container, PyObject* const* meta);
  PyObject* write_frame(PyObject* arr, PyObject* is_last, PyObject* duration, PyObject* name);
  PyObject* close();
  // An exceptional exit from a `with` block: native state goes, the stream
  // is left unfinished and the destination untouched.
  void release_after_error() noexcept;

  int traverse(visitproc visit, void* arg) const;
  void clear() noexcept;

  // --- Fields, in their documented order -----------------------------------

  JxlEncoderPtr _encoder;                               // owned; null until construction
  JxlEncoderFrameSettings* _frame_settings = nullptr;   // owned by _encoder
  LazyRunner runner;                                    // lends worker threads to libjxl
  uint64_t _num_threads = 0;
  Field _dest_obj;        // None (in memory), the file opened here, or the caller's object
  int32_t _own_dest = 0;  // 1: _dest_obj was opened from a path by the writer
  int32_t _is_buffer = 0; // 1: in-memory mode, close() returns the bytes
  JxlBasicInfo _basic_info{};
  JxlPixelFormat _pixel_format{};
  JxlBitDepth _bit_depth{};
  JxlColorEncoding _color_encoding{};
  int32_t _config_done = 0;
  int32_t _closed = 0;
  int32_t _animation = 0;
  int32_t _container = 0;
  int32_t _lossless = 0;
  float _distance = 1.0f;
  int32_t _effort = 5;
  int32_t _decoding_speed = 0;
  Field _color_spec;      // what parse_color(color) returned
  Field _first_dtype;     // dtype of the first frame, the reference for later ones
  uint64_t _first_xsize = 0;
  uint64_t _first_ysize = 0;
  uint64_t _first_samples = 0;
  uint64_t _frame_nbytes = 0;
  // Encoded bytes not yet handed out; a retried close goes on from what a
  // failed one already handed to the destination.
  EncoderOutput output;
  uint64_t _frame_count = 0;  // frames handed to libjxl, successfully or not

  // --- Beyond the documented fields ---------------------------------------

  // An animation frame written without is_last, held back (an array owning
  // its own copy of the pixels) until the next write_frame or close tells
  // whether it is the last one: libjxl marks a frame as last only if the
  // input is closed before it is encoded.
  Ref _pending_frame;
  // Whether the input was closed after a frame (a still image, or is_last).
  bool _input_closed = false;
  // The encoder has produced the whole stream (close got that far).
  bool _drained = false;
  // Timing, orientation, ICC profile and boxes from the constructor; the
  // ticks per second in use once the first frame has chosen them.
  WriterMetadata _meta;
  // Extra channels after the colour channels on a frame's last axis; with
  // them the frame has _first_samples samples, _color_channels of colour.
  std::vector<ExtraChannelSpec> _extras;
  uint32_t _color_channels = 0;
  uint32_t _tps_numerator = 10;
  uint32_t _tps_denominator = 1;
  bool _first_has_duration = false;
  // The duration (ticks) and name that go with _pending_frame.
  uint32_t _pending_ticks = 1;
  std::string _pending_name;
  // Whether an earlier frame had a name (frame settings keep it).
  bool _named = false;
  // Set by an exceptional `with` exit, which drops the encoder but leaves the
  // writer open: later frames are refused before they reach libjxl.
  bool _released = false;
  // Serializes write_frame and close across threads, since both run libjxl
  // with the interpreter lock released.
  ObjectLock _lock;

 private:
  void release_native() noexcept;
  int open_destination(PyObject* dest);
  int configure_extras(uint32_t bits, uint32_t exponent_bits);
  int init_options(PyObject* parse_color, PyObject* color, PyObject* lossless,
                   PyObject* quality, PyObject* distance, PyObject* effort,
                   PyObject* decoding_speed, PyObject* numthreads,
                   PyObject* animation, PyObject* container, PyObject* const* meta);
  int settle_quality(PyObject* quality, PyObject* distance, PyObject* lossless);
  int create_encoder();
  int check_against_first(PyObject* src);
  int fill_basic_info(uint32_t bits, uint32_t exponent_bits);
  int set_color_encoding(bool grey, JxlDataType data_type, PyObject* tf_gamma);
  int apply_frame_options();
  int hold_pending(PyObject* arr, PyObject* src);
  int submit_frame(PyObject* frame, bool is_last, uint32_t ticks, const std::string& name);
  int raise_step_result(int rc, JxlEncoderStatus last_status);
  int raise_status(const char* func, JxlEncoderStatus status);
  int close_own_dest();
  void close_own_dest_after_error() noexcept;
};

}  // namespace kp
