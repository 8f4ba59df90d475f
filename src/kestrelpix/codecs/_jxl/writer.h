// JxlWriter: the streaming encoder type. This header documents every field
// of the writer object and who owns it.
#pragma once

#include "chunked.h"
#include "encoder_options.h"
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

class Writer;
// The writer inside a JxlWriter object.
Writer& writer_of(PyObject* self);
// A new writer of `type` (JxlWriter or a subclass), constructed as
// type(dest, **options) would be from the encoder options' `values`
// (indexed by EncoderKey), without going through keywords. Null with an
// error set.
Ref new_writer(PyObject* type, PyObject* dest, PyObject* const* values);

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
  // `values`: the encoder options' values, indexed by EncoderKey.
  int init(PyObject* dest, PyObject* const* values);
  PyObject* write_frame(PyObject* arr, PyObject* is_last, PyObject* duration, PyObject* name);
  PyObject* close();
  // An exceptional exit from a `with` block: native state goes, the stream
  // is left unfinished and the destination untouched.
  void release_after_error() noexcept;

  // The sample checks a frame gets before libjxl sees it (float ranges,
  // float16 values, extra channel ranges), on a contiguous array; `*src`
  // is replaced by a private copy where what is checked must be what
  // libjxl reads. Returns 0, or -1 with ValueError set.
  int check_samples(Ref* src);
  uint64_t frame_pixels() const noexcept { return _first_xsize * _first_ysize; }
  int frame_ndim() const noexcept { return _first_ndim; }

  int traverse(visitproc visit, void* arg) const;
  void clear() noexcept;

  // --- Fields, in their documented order -----------------------------------

  JxlEncoderPtr _encoder;                               // owned; null until construction
  JxlEncoderFrameSettings* _frame_settings = nullptr;   // owned by _encoder
  LazyRunner runner;                                    // lends worker threads to libjxl
  Field _dest_obj;        // None (in memory), the path, or the caller's object
  int32_t _own_dest = 0;  // 1: _dest_obj is a path, written through dest_file at close
  int32_t _is_buffer = 0; // 1: in-memory mode, close() returns the bytes
  JxlBasicInfo _basic_info{};
  JxlPixelFormat _pixel_format{};
  JxlBitDepth _bit_depth{};
  JxlColorEncoding _color_encoding{};
  int32_t _config_done = 0;
  int32_t _closed = 0;
  Field _color_spec;      // what parse_color(color) returned (taken from opts)
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
  // The constructor's options: quality, effort, threads, animation, and
  // the timing, orientation, ICC profile, boxes and extra channels (after
  // the colour channels on a frame's last axis; with them the frame has
  // _first_samples samples, _color_channels of colour).
  EncoderOptions opts;
  // The ticks per second in use once the first frame has chosen them.
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
  // A path destination: checked at construction, written through a
  // temporary file renamed into place once the whole stream exists.
  AtomicFile dest_file;
  // streaming=True: the output processor (attached with the first frame)
  // and the first exception its callbacks or the chunked source raised.
  StreamOutput stream_out;
  CarriedError stream_error;
  bool _stream_attached = false;
  int _first_ndim = 0;
  // Serializes write_frame and close across threads, since both run libjxl
  // with the interpreter lock released.
  ObjectLock _lock;

 private:
  void release_native() noexcept;
  int open_destination(PyObject* dest);
  int take_options(EncoderOptions parsed);
  int create_encoder();
  int check_against_first(PyObject* src);
  int fill_basic_info(uint32_t bits, uint32_t exponent_bits);
  int set_color_encoding(bool grey, JxlDataType data_type, PyObject* tf_gamma);
  int apply_frame_options();
  // The effort libjxl can code this frame at without failing (see writer.cc).
  int32_t lossless_effort_that_holds(int32_t effort) const noexcept;
  // progressive, group_order and center; the centre checked against the first frame.
  int apply_progressive_options();
  int hold_pending(PyObject* arr, PyObject* src);
  int submit_frame(PyObject* frame, bool is_last, uint32_t ticks, const std::string& name);
  int raise_step_result(int rc, JxlEncoderStatus last_status);
  int raise_status(const char* func, JxlEncoderStatus status);
  int deliver_to_path();
  int check_streaming_options();
  // chunked.cc: a frame through libjxl's chunked input, the end of the
  // stream, and the failure that ends it (the temporary file goes).
  int submit_chunked(PyObject* frame, bool is_last);
  int finish_streaming();
  int fail_streaming(const char* func, JxlEncoderStatus status);
};

}  // namespace kp
