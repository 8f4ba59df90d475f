// JxlWriter: options and destination, first-frame configuration, frame
// submission through the lock-free add-and-drain step, and delivery of the
// encoded stream at close.
#include "writer.h"

#include "npy.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <memory>
#include <new>

#include "color_encoding.h"
#include "common.h"
#include "frame_format.h"
#include "input.h"
#include "status.h"

namespace kp {
namespace {

constexpr const char kTypeName[] = "JxlWriter";
constexpr const char kColorModule[] = "kestrelpix.core.color";

// `from module import name`, with the ImportError that statement raises when
// the module lacks the name.
Ref import_from(const char* module, const char* name) {
  Ref mod = Ref::steal(PyImport_ImportModule(module));
  if (!mod) return {};
  Ref value = Ref::steal(PyObject_GetAttrString(mod.get(), name));
  if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
    PyErr_Clear();
    PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", name,
                 module);
  }
  return value;
}

}  // namespace

// ---------------------------------------------------------------------------
// The lock-free step

int add_frame_and_drain_nogil(JxlEncoder* enc, JxlEncoderFrameSettings* fs,
                              const JxlPixelFormat* pf, const void* pixels, size_t pixels_size,
                              bool close_input, EncoderOutput& output,
                              JxlEncoderStatus& last_status_out, size_t samples, size_t color) {
  if (samples > color && color > 0) {
    const size_t item = sample_size(pf->data_type);
    const size_t pixel_count = pixels_size / (samples * item);
    SplitFrame split;
    if (!split_frame(pixels, pixel_count, samples, color, item, &split)) return kEncodeErrRealloc;
    last_status_out = JxlEncoderAddImageFrame(fs, pf, split.color.data(), split.color.size());
    if (last_status_out != JXL_ENC_SUCCESS) return kEncodeErrAddFrame;
    for (size_t e = 0; e < split.planes.size(); ++e) {
      last_status_out = JxlEncoderSetExtraChannelBuffer(fs, pf, split.planes[e].data(),
                                                        split.planes[e].size(),
                                                        static_cast<uint32_t>(e));
      if (last_status_out != JXL_ENC_SUCCESS) return kEncodeErrExtraBuffer;
    }
  } else {
    last_status_out = JxlEncoderAddImageFrame(fs, pf, pixels, pixels_size);
    if (last_status_out != JXL_ENC_SUCCESS) return kEncodeErrAddFrame;
  }
  if (close_input) JxlEncoderCloseInput(enc);
  switch (output.drain_nogil(enc, &last_status_out)) {
    case EncoderOutput::Drained::kDone: return kEncodeOk;
    case EncoderOutput::Drained::kFailed: return kEncodeErrProcess;
    case EncoderOutput::Drained::kOutOfMemory: break;
  }
  return kEncodeErrRealloc;
}

// ---------------------------------------------------------------------------
// Writer: construction and release

int Writer::init(PyObject* dest, PyObject* const* values) {
  Ref parse_color = import_from(kColorModule, "parse_color");
  if (!parse_color || !import_from(kColorModule, "ColorSpec") ||
      !import_from(kColorModule, "JXL_TF_GAMMA"))
    return -1;
  if (open_destination(dest) < 0) return -1;
  EncoderOptions parsed;
  if (parsed.parse(values, parse_color.get()) < 0 || take_options(std::move(parsed)) < 0) {
    _dest_obj.reset();
    _own_dest = 0;
    dest_file.reset();
    return -1;
  }
  return 0;
}

int Writer::take_options(EncoderOptions parsed) {
  _color_spec.set(std::move(parsed.color_spec));
  opts = std::move(parsed);
  if (opts.streaming && check_streaming_options() < 0) return -1;
  return create_encoder();
}

int Writer::check_streaming_options() {
  if (_is_buffer) {
    PyErr_SetString(PyExc_ValueError,
                    "jxl: streaming=True writes the stream as it is made and needs a dest "
                    "(a path or an object with write())");
    return -1;
  }
  return 0;
}

int Writer::open_destination(PyObject* dest) {
  dest_file.reset();
  if (dest == Py_None) {
    _dest_obj.reset();
    _own_dest = 0;
    _is_buffer = 1;
    return 0;
  }
  DestKind kind;
  if (classify_destination(dest, &kind) < 0) return -1;
  if (kind == DestKind::kPath) {
    // Only checked now (a missing directory fails here, not after the
    // encode): the file is written at close, through a temporary one.
    if (dest_file.prepare(dest) < 0) return -1;
    _dest_obj.set_borrowed(dest);
    _own_dest = 1;
    _is_buffer = 0;
    return 0;
  }
  _dest_obj.set_borrowed(dest);
  _own_dest = 0;
  _is_buffer = 0;
  return 0;
}

int Writer::create_encoder() {
  // A constructor run again on a live writer starts a new stream: whatever
  // the old encoder owned and was configured with goes with it.
  release_native();
  _config_done = 0;
  _frame_count = 0;
  _drained = false;
  _named = false;
  _pending_name.clear();
  _pending_frame.clear();
  _input_closed = false;
  _released = false;
  _stream_attached = false;

  _encoder = JxlEncoderMake(/*memory_manager=*/nullptr);
  if (!_encoder) {
    raise_jxl_error("JxlEncoderCreate returned NULL");
    return -1;
  }
  // Threads start only when a frame large enough to share out is encoded.
  runner.set_workers(opts.num_threads);
  if (!runner.threaded()) return 0;
  const JxlEncoderStatus status =
      JxlEncoderSetParallelRunner(_encoder.get(), LazyRunner::run, &runner);
  if (status != JXL_ENC_SUCCESS)
    return raise_status("JxlEncoderSetParallelRunner", status);
  return 0;
}

void Writer::release_native() noexcept {
  _encoder.reset();
  _frame_settings = nullptr;
  output.reset();
}

int Writer::_destroy_native() {
  release_native();
  return 0;
}

void Writer::release_after_error() noexcept {
  _pending_frame.clear();
  _destroy_native();
  _released = true;
  dest_file.discard();
}

int Writer::traverse(visitproc visit, void* arg) const {
  if (int r = _dest_obj.visit(visit, arg)) return r;
  if (int r = _color_spec.visit(visit, arg)) return r;
  return _first_dtype.visit(visit, arg);
}

void Writer::clear() noexcept {
  _dest_obj.reset();
  dest_file.reset();
  _color_spec.reset();
  _first_dtype.reset();
}

int Writer::raise_status(const char* func, JxlEncoderStatus status) {
  raise_enc(func, status, JxlEncoderGetError(_encoder.get()));
  return -1;
}

// ---------------------------------------------------------------------------
// Writer: first-frame configuration

namespace {

// The samples per pixel of a first frame, checked against its shape and the
// extra channels listed (whose colour channels come in *color_channels).
int first_frame_samples(PyArrayObject* arr, const std::vector<ExtraChannelSpec>& extras,
                        uint64_t* samples_out, uint32_t* color_channels) {
  const int ndim = PyArray_NDIM(arr);
  const npy_intp* shape = PyArray_DIMS(arr);
  uint64_t& samples = *samples_out;
  samples = 1;
  if (!extras.empty()) {
    // The last axis holds the colour channels, then the listed extras.
    const uint64_t given = ndim == 3 ? static_cast<uint64_t>(shape[2]) : 1;
    const uint64_t listed = extras.size();
    if (ndim < 2 || ndim > 3 || given <= listed || (given - listed != 1 && given - listed != 3)) {
      PyErr_Format(PyExc_ValueError,
                   "jxl: the frame has %llu channels and extra_channels lists %llu, which "
                   "leaves %lld for colour (want 1 or 3)",
                   static_cast<unsigned long long>(given),
                   static_cast<unsigned long long>(listed),
                   static_cast<long long>(given) - static_cast<long long>(listed));
      return -1;
    }
    samples = given;
    *color_channels = static_cast<uint32_t>(given - listed);
  } else if (ndim == 3) {
    if (shape[2] < 1 || shape[2] > 4) {
      PyErr_Format(PyExc_ValueError,
                   "jxl: last dim must be 1/2/3/4 channels (got %zd)",
                   static_cast<Py_ssize_t>(shape[2]));
      return -1;
    }
    samples = static_cast<uint64_t>(shape[2]);
  } else if (ndim != 2) {
    PyErr_Format(PyExc_ValueError,
                 "jxl: ndim=%d; expected 2 (Y,X) or 3 (Y,X,C)", ndim);
    return -1;
  }
  return 0;
}

}  // namespace

int Writer::_configure_from_first_frame(PyObject* arr_obj) {
  Ref tf_gamma = import_from(kColorModule, "JXL_TF_GAMMA");
  if (!tf_gamma) return -1;
  if (!PyArray_Check(arr_obj)) {
    PyErr_SetString(PyExc_TypeError, "jxl: frame must be a NumPy array");
    return -1;
  }
  auto* arr = reinterpret_cast<PyArrayObject*>(arr_obj);

  const int ndim = PyArray_NDIM(arr);
  const npy_intp* shape = PyArray_DIMS(arr);
  uint64_t samples = 1;
  if (first_frame_samples(arr, opts.extras, &samples, &_color_channels) < 0) return -1;
  const uint64_t ysize = static_cast<uint64_t>(shape[0]);
  const uint64_t xsize = static_cast<uint64_t>(shape[1]);
  if (xsize == 0 || ysize == 0) {
    PyErr_Format(PyExc_ValueError, "jxl: frame of %llu x %llu pixels has no pixels",
                 static_cast<unsigned long long>(xsize),
                 static_cast<unsigned long long>(ysize));
    return -1;
  }

  const FrameFormat* format = format_for_dtype(reinterpret_cast<PyObject*>(PyArray_DESCR(arr)));
  if (!format) return -1;
  const JxlDataType data_type = format->data_type;
  const uint32_t bits = format->bits;
  const uint32_t exponent_bits = format->exponent_bits;
  // libjxl's header holds 32-bit sizes; a larger one must not wrap silently.
  if (xsize > std::numeric_limits<uint32_t>::max() ||
      ysize > std::numeric_limits<uint32_t>::max()) {
    PyErr_Format(PyExc_ValueError, "jxl: frame of %llu x %llu pixels is too large",
                 static_cast<unsigned long long>(xsize),
                 static_cast<unsigned long long>(ysize));
    return -1;
  }

  _first_dtype.set_borrowed(reinterpret_cast<PyObject*>(PyArray_DESCR(arr)));
  runner.set_inline_only(fits_one_group(xsize, ysize));
  _first_ndim = ndim;
  _first_xsize = xsize;
  _first_ysize = ysize;
  _first_samples = samples;
  _frame_nbytes = static_cast<uint64_t>(PyArray_NBYTES(arr));

  if (fill_basic_info(bits, exponent_bits) < 0) return -1;
  if (check_extra_channel_bits(opts.extras, bits, exponent_bits) < 0) return -1;
  _pixel_format = {static_cast<uint32_t>(opts.extras.empty() ? samples : _color_channels), data_type,
                   JXL_NATIVE_ENDIAN, /*align=*/0};
  _bit_depth = {JXL_BIT_DEPTH_FROM_PIXEL_FORMAT, bits, exponent_bits};

  JxlEncoder* enc = _encoder.get();
  JxlEncoderStatus status = JxlEncoderUseContainer(
      enc, opts.container || opts.animation || opts.meta.any_box() ? JXL_TRUE : JXL_FALSE);
  if (status != JXL_ENC_SUCCESS) return raise_status("JxlEncoderUseContainer", status);
  status = JxlEncoderSetBasicInfo(enc, &_basic_info);
  if (status != JXL_ENC_SUCCESS) return raise_status("JxlEncoderSetBasicInfo", status);
  if (!opts.extras.empty()) {
    if (const char* failed = set_extra_channel_infos(enc, opts.extras, bits, exponent_bits, &status))
      return raise_status(failed, status);
  }

  if (opts.meta.have_icc) {
    status = JxlEncoderSetICCProfile(enc, reinterpret_cast<const uint8_t*>(opts.meta.icc.data()),
                                     opts.meta.icc.size());
    if (status != JXL_ENC_SUCCESS) return raise_status("JxlEncoderSetICCProfile", status);
  } else {
    if (set_color_encoding(/*grey=*/opts.extras.empty() ? samples <= 2 : _color_channels == 1,
                         data_type, tf_gamma.get()) < 0)
      return -1;
    status = JxlEncoderSetColorEncoding(enc, &_color_encoding);
    if (status != JXL_ENC_SUCCESS)
      return raise_status("JxlEncoderSetColorEncoding", status);
  }
  if (opts.meta.any_box()) {
    if (const char* failed = opts.meta.add_boxes(enc, &status)) return raise_status(failed, status);
  }

  _frame_settings = JxlEncoderFrameSettingsCreate(enc, /*source=*/nullptr);
  if (!_frame_settings) {
    raise_jxl_error("JxlEncoderFrameSettingsCreate returned NULL");
    return -1;
  }
  if (apply_frame_options() < 0 ||
      (!opts.streaming &&
       output.reserve(first_outbuf_capacity(_frame_nbytes, opts.lossless)) < 0))
    return -1;
  if (!opts.extras.empty() && exponent_bits == 0) {
    // Each extra channel's samples are taken at its own bit depth (a 1-bit
    // mask as 0 and 1), as a reader gives them back; the colour channels'
    // depth is the dtype's either way.
    const JxlBitDepth depth = {JXL_BIT_DEPTH_FROM_CODESTREAM, 0, 0};
    status = JxlEncoderSetFrameBitDepth(_frame_settings, &depth);
    if (status != JXL_ENC_SUCCESS) return raise_status("JxlEncoderSetFrameBitDepth", status);
  }
  _config_done = 1;
  return 0;
}

int Writer::fill_basic_info(uint32_t bits, uint32_t exponent_bits) {
  JxlEncoderInitBasicInfo(&_basic_info);
  _basic_info.xsize = static_cast<uint32_t>(_first_xsize);
  _basic_info.ysize = static_cast<uint32_t>(_first_ysize);
  _basic_info.bits_per_sample = bits;
  _basic_info.exponent_bits_per_sample = exponent_bits;
  if (!opts.extras.empty()) {
    _basic_info.num_color_channels = _color_channels;
    _basic_info.num_extra_channels = static_cast<uint32_t>(opts.extras.size());
    // The first alpha channel is the image's alpha.
    for (const ExtraChannelSpec& e : opts.extras) {
      if (e.type != JXL_CHANNEL_ALPHA) continue;
      _basic_info.alpha_bits = exponent_bits ? bits : (e.bits ? e.bits : bits);
      _basic_info.alpha_exponent_bits = exponent_bits;
      _basic_info.alpha_premultiplied = e.premultiplied ? JXL_TRUE : JXL_FALSE;
      break;
    }
  } else {
    // L, LA, RGB, RGBA: an even sample count carries alpha.
    const bool has_alpha = _first_samples % 2 == 0;
    _basic_info.num_color_channels = _first_samples <= 2 ? 1 : 3;
    _basic_info.num_extra_channels = has_alpha ? 1 : 0;
    if (has_alpha) {
      _basic_info.alpha_bits = bits;
      _basic_info.alpha_exponent_bits = exponent_bits;
    }
  }
  if (opts.lossless) _basic_info.uses_original_profile = JXL_TRUE;
  _basic_info.orientation = static_cast<JxlOrientation>(opts.meta.orientation);
  if (opts.animation) {
    // Unless given: milliseconds when the first frame says how long it
    // lasts, else 10 ticks per second, a tenth of a second per frame.
    _tps_numerator = opts.meta.tps_numerator ? opts.meta.tps_numerator
                                         : (_first_has_duration ? 1000 : 10);
    _tps_denominator = opts.meta.tps_numerator ? opts.meta.tps_denominator : 1;
    _basic_info.have_animation = JXL_TRUE;
    _basic_info.animation.tps_numerator = _tps_numerator;
    _basic_info.animation.tps_denominator = _tps_denominator;
    _basic_info.animation.num_loops = opts.meta.loops;  // 0: for ever
  }
  if (!_color_spec.is_none()) {
    const int hdr = spec_is_hdr(_color_spec.get());
    if (hdr < 0) return -1;
    if (hdr) {
      _basic_info.uses_original_profile = JXL_TRUE;
      if (_basic_info.intensity_target == 0) _basic_info.intensity_target = 10000.0f;
    }
  }
  return 0;
}

int Writer::set_color_encoding(bool grey, JxlDataType data_type,
                               PyObject* tf_gamma) {
  _color_encoding = JxlColorEncoding{};
  PyObject* spec = _color_spec.get();
  if (spec == Py_None) {
    // Without a spec, 8-bit samples are taken as sRGB and every wider type
    // (uint16 included) as linear sRGB.
    if (data_type == JXL_TYPE_UINT8)
      JxlColorEncodingSetToSRGB(&_color_encoding, grey ? JXL_TRUE : JXL_FALSE);
    else
      JxlColorEncodingSetToLinearSRGB(&_color_encoding, grey ? JXL_TRUE : JXL_FALSE);
    return 0;
  }
  _color_encoding.color_space = grey ? JXL_COLOR_SPACE_GRAY : JXL_COLOR_SPACE_RGB;
  if (enum_attr(spec, "white_point", "JxlWhitePoint", &_color_encoding.white_point) < 0 ||
      enum_attr(spec, "primaries", "JxlPrimaries", &_color_encoding.primaries) < 0)
    return -1;
  Ref transfer = Ref::steal(PyObject_GetAttrString(spec, "transfer"));
  if (!transfer ||
      to_enum(transfer.get(), "JxlTransferFunction",
              &_color_encoding.transfer_function) < 0 ||
      enum_attr(spec, "rendering_intent", "JxlRenderingIntent",
                &_color_encoding.rendering_intent) < 0)
    return -1;
  // `gamma` means something only for a power-law transfer.
  const int is_gamma = PyObject_RichCompareBool(transfer.get(), tf_gamma, Py_EQ);
  if (is_gamma < 0) return -1;
  if (is_gamma) {
    Ref gamma_attr = Ref::steal(PyObject_GetAttrString(spec, "gamma"));
    if (!gamma_attr) return -1;
    Ref gamma = Ref::steal(PyNumber_Float(gamma_attr.get()));
    if (!gamma) return -1;
    _color_encoding.gamma = PyFloat_AsDouble(gamma.get());
    if (_color_encoding.gamma == -1.0 && PyErr_Occurred()) return -1;
  }
  return check_color_encoding(_color_encoding);
}

// libjxl 0.11's effort-1 lossless coder overruns its output buffers on
// 14- to 16-bit samples that code poorly (noise; some repeating patterns):
// the heap is corrupted and the process dies (cjxl -d 0 -e 1 does the same).
// Which frames do cannot be told before coding them, so every such frame is
// coded at effort 2, the next coder up (about 7x slower than effort 1 on a
// 16-bit image, and a percent or so smaller).
int32_t Writer::lossless_effort_that_holds(int32_t effort) const noexcept {
  const uint32_t bits = _basic_info.bits_per_sample;
  return opts.lossless && effort == 1 && bits >= 14 && bits <= 16 ? 2 : effort;
}

int Writer::apply_frame_options() {
  JxlEncoderStatus status;
  if (opts.lossless) {
    status = JxlEncoderSetFrameLossless(_frame_settings, JXL_TRUE);
    if (status != JXL_ENC_SUCCESS)
      return raise_status("JxlEncoderSetFrameLossless", status);
  } else {
    status = JxlEncoderSetFrameDistance(_frame_settings, opts.distance);
    if (status != JXL_ENC_SUCCESS)
      return raise_status("JxlEncoderSetFrameDistance", status);
  }
  // 7 is libjxl's own default effort; 0 its default decoding speed.
  const int32_t effort = lossless_effort_that_holds(opts.effort);
  if (effort != 7) {
    status = JxlEncoderFrameSettingsSetOption(
        _frame_settings, JXL_ENC_FRAME_SETTING_EFFORT, effort);
    if (status != JXL_ENC_SUCCESS)
      return raise_status("JxlEncoderFrameSettingsSetOption EFFORT", status);
  }
  if (opts.decoding_speed != 0) {
    status = JxlEncoderFrameSettingsSetOption(
        _frame_settings, JXL_ENC_FRAME_SETTING_DECODING_SPEED, opts.decoding_speed);
    if (status != JXL_ENC_SUCCESS)
      return raise_status("JxlEncoderFrameSettingsSetOption DECODING_SPEED", status);
  }
  return apply_progressive_options();
}

int Writer::apply_progressive_options() {
  if (opts.center_x >= 0 &&
      (static_cast<uint64_t>(opts.center_x) >= _first_xsize ||
       static_cast<uint64_t>(opts.center_y) >= _first_ysize)) {
    PyErr_Format(PyExc_ValueError, "jxl: center (%lld, %lld) lies outside the %llu x %llu image",
                 static_cast<long long>(opts.center_x), static_cast<long long>(opts.center_y),
                 static_cast<unsigned long long>(_first_xsize),
                 static_cast<unsigned long long>(_first_ysize));
    return -1;
  }
  // What `cjxl -p` sets: AC refined by quantisation passes, and modular
  // (lossless) data coded responsively, from a squeezed low resolution up.
  struct Setting {
    JxlEncoderFrameSettingId id;
    int64_t value;
    bool wanted;
    const char* name;
  };
  const Setting settings[] = {
      {JXL_ENC_FRAME_SETTING_QPROGRESSIVE_AC, 1, opts.progressive, "JxlEncoderFrameSettingsSetOption QPROGRESSIVE_AC"},
      {JXL_ENC_FRAME_SETTING_RESPONSIVE, 1, opts.progressive, "JxlEncoderFrameSettingsSetOption RESPONSIVE"},
      {JXL_ENC_FRAME_SETTING_GROUP_ORDER, opts.group_order, opts.group_order >= 0, "JxlEncoderFrameSettingsSetOption GROUP_ORDER"},
      {JXL_ENC_FRAME_SETTING_GROUP_ORDER_CENTER_X, opts.center_x, opts.center_x >= 0,
       "JxlEncoderFrameSettingsSetOption GROUP_ORDER_CENTER_X"},
      {JXL_ENC_FRAME_SETTING_GROUP_ORDER_CENTER_Y, opts.center_y, opts.center_y >= 0,
       "JxlEncoderFrameSettingsSetOption GROUP_ORDER_CENTER_Y"},
  };
  for (const Setting& s : settings) {
    if (!s.wanted) continue;
    const JxlEncoderStatus status = JxlEncoderFrameSettingsSetOption(_frame_settings, s.id, s.value);
    if (status != JXL_ENC_SUCCESS) return raise_status(s.name, status);
  }
  return 0;
}

// ---------------------------------------------------------------------------
// Writer: frames

PyObject* Writer::write_frame(PyObject* arr, PyObject* is_last_obj, PyObject* duration,
                              PyObject* name_obj) {
  if (_closed) {
    PyErr_SetString(PyExc_RuntimeError, "JxlWriter is closed");
    return nullptr;
  }
  if (!_encoder) {
    PyErr_SetString(PyExc_RuntimeError,
                    _released ? "jxl: JxlWriter was released after an error"
                              : "jxl: JxlWriter is not initialised");
    return nullptr;
  }
  PyObject* np = module_global("np");
  if (!np) return nullptr;
  if (duration != Py_None && !opts.animation) {
    PyErr_SetString(PyExc_ValueError,
                    "jxl: duration= is only for an animation writer (animation=True)");
    return nullptr;
  }
  std::string name;
  if (name_obj != Py_None && frame_name_bytes(name_obj, &name) < 0) return nullptr;
  Ref src = opts.streaming ? frame_proxy(arr) : call_method(np, "ascontiguousarray", arr);
  if (!src) return nullptr;
  if (!_config_done) {
    _first_has_duration = duration != Py_None;
    if (_configure_from_first_frame(src.get()) < 0) return nullptr;
  } else if (check_against_first(src.get()) < 0) {
    return nullptr;
  }
  if (!opts.animation && _frame_count != 0) {
    PyErr_SetString(PyExc_RuntimeError,
                    "jxl: writer is not in animation mode; set animation=True "
                    "for multi-frame output");
    return nullptr;
  }
  uint32_t ticks = 1;  // a tenth of a second at the default 10 ticks per second
  if (duration != Py_None &&
      duration_to_ticks(duration, _tps_numerator, _tps_denominator, &ticks) < 0)
    return nullptr;
  const int is_last = PyObject_IsTrue(is_last_obj);
  if (is_last < 0) return nullptr;
  // A streamed frame is checked slice by slice as libjxl reads it.
  if (opts.streaming) {
    src = Ref::borrow(arr);
  } else if (check_samples(&src) < 0) {
    return nullptr;
  }
  // A frame held back is not the last one: another has come.
  if (_pending_frame) {
    Ref previous = std::move(_pending_frame);
    if (submit_frame(previous.get(), /*is_last=*/false, _pending_ticks, _pending_name) < 0)
      return nullptr;
  }
  if (opts.animation && !is_last && !_input_closed) {
    if (hold_pending(arr, src.get()) < 0) return nullptr;
    _pending_ticks = ticks;
    _pending_name = std::move(name);
    Py_RETURN_NONE;
  }
  if (submit_frame(src.get(), is_last, ticks, name) < 0) return nullptr;
  Py_RETURN_NONE;
}

int Writer::check_against_first(PyObject* src_obj) {
  if (!PyArray_Check(src_obj)) {
    PyErr_SetString(PyExc_TypeError, "jxl: frame must be a NumPy array");
    return -1;
  }
  auto* src = reinterpret_cast<PyArrayObject*>(src_obj);
  PyObject* dtype = reinterpret_cast<PyObject*>(PyArray_DESCR(src));
  const int differs = PyObject_RichCompareBool(dtype, _first_dtype.get(), Py_NE);
  if (differs < 0) return -1;
  if (differs) {
    PyErr_Format(PyExc_ValueError,
                 "jxl: frame dtype %R does not match first frame dtype %R",
                 dtype, _first_dtype.get());
    return -1;
  }
  const int ndim = PyArray_NDIM(src);
  const npy_intp* shape = PyArray_DIMS(src);
  auto dim = [&](int i) { return static_cast<uint64_t>(shape[i]); };
  bool matches = false;
  if (ndim == 2) {
    matches = dim(0) == _first_ysize && dim(1) == _first_xsize && _first_samples == 1;
  } else if (ndim == 3) {
    matches = dim(0) == _first_ysize && dim(1) == _first_xsize &&
              dim(2) == _first_samples;
  } else {
    PyErr_Format(PyExc_ValueError, "jxl: invalid ndim %d", ndim);
    return -1;
  }
  if (!matches) {
    PyErr_SetString(PyExc_ValueError, "jxl: frame shape does not match first frame");
    return -1;
  }
  return 0;
}

int Writer::hold_pending(PyObject* arr, PyObject* src) {
  if (opts.streaming) {
    // The caller's array-like itself, read when the frame goes to libjxl.
    _pending_frame = Ref::borrow(src);
    return 0;
  }
  auto* frame = reinterpret_cast<PyArrayObject*>(src);
  // An array made for this call that nobody else can reach is kept as it
  // is; anything the caller may still modify is copied.
  if (src != arr && Py_REFCNT(src) == 1 &&
      PyArray_CHKFLAGS(frame, NPY_ARRAY_OWNDATA)) {
    _pending_frame = Ref::borrow(src);
    return 0;
  }
  Ref copy = Ref::steal(PyArray_NewCopy(frame, NPY_CORDER));
  if (!copy) return -1;
  _pending_frame = std::move(copy);
  return 0;
}

int Writer::submit_frame(PyObject* frame, bool is_last, uint32_t ticks,
                         const std::string& name) {
  auto* pixels_array = reinterpret_cast<PyArrayObject*>(frame);
  // A still image always closes the input with its one frame.
  const bool close_input = is_last || !opts.animation;

  JxlFrameHeader header;
  JxlEncoderInitFrameHeader(&header);
  header.duration = ticks;
  if (opts.animation) header.is_last = is_last ? JXL_TRUE : JXL_FALSE;
  JxlEncoderStatus status = JxlEncoderSetFrameHeader(_frame_settings, &header);
  if (status != JXL_ENC_SUCCESS) return raise_status("JxlEncoderSetFrameHeader", status);
  // The frame settings keep a name: a nameless frame after a named one
  // clears it.
  if (!name.empty() || _named) {
    status = JxlEncoderSetFrameName(_frame_settings, name.c_str());
    if (status != JXL_ENC_SUCCESS) return raise_status("JxlEncoderSetFrameName", status);
    _named = !name.empty();
  }

  if (opts.streaming) return submit_chunked(frame, close_input);
  const void* pixels = PyArray_DATA(pixels_array);
  const size_t pixels_size = static_cast<size_t>(PyArray_NBYTES(pixels_array));
  JxlEncoderStatus last_status = JXL_ENC_SUCCESS;
  const int rc = without_gil([&] {
    return add_frame_and_drain_nogil(_encoder.get(), _frame_settings, &_pixel_format, pixels,
                                     pixels_size, close_input, output, last_status,
                                     opts.extras.empty() ? 0 : _first_samples, _color_channels);
  });
  ++_frame_count;
  if (close_input && rc != kEncodeErrAddFrame) _input_closed = true;
  if (raise_step_result(rc, last_status) < 0) return -1;
  // The whole frame at once: done as soon as libjxl has it.
  if (opts.progress.get() == Py_None) return 0;
  Ref done = Ref::steal(PyFloat_FromDouble(1.0));
  return done && Ref::steal(PyObject_CallOneArg(opts.progress.get(), done.get())) ? 0 : -1;
}

int Writer::raise_step_result(int rc, JxlEncoderStatus last_status) {
  if ((rc == kEncodeErrAddFrame || rc == kEncodeErrProcess) && runner.short_of_threads()) {
    PyErr_SetString(PyExc_MemoryError,
                    "jxl: out of memory: not every worker thread could be started, and "
                    "libjxl then failed; fewer threads (numthreads=) may do");
    return -1;
  }
  switch (rc) {
    case kEncodeOk:
      return 0;
    case kEncodeErrRealloc:
      PyErr_SetString(PyExc_MemoryError, "jxl: failed to grow output buffer");
      return -1;
    case kEncodeErrAddFrame:
      return raise_status("JxlEncoderAddImageFrame", last_status);
    case kEncodeErrProcess:
      return raise_status("JxlEncoderProcessOutput", last_status);
    case kEncodeErrExtraBuffer:
      return raise_status("JxlEncoderSetExtraChannelBuffer", last_status);
    default:
      PyErr_Format(PyExc_SystemError, "jxl: unknown encode result code %d", rc);
      return -1;
  }
}

// ---------------------------------------------------------------------------
// Writer: finishing the stream

int Writer::deliver_to_path() {
  // A streamed stream is in the temporary file already.
  if (!dest_file.is_open() && dest_file.create() < 0) return -1;
  if (output.size() && dest_file.write(output.data(), static_cast<size_t>(output.size())) < 0)
    return -1;
  return dest_file.commit();
}

PyObject* Writer::close() {
  if (_closed) Py_RETURN_NONE;
  if (_released) {
    // Released after an error: the stream is unfinished, nothing is written.
    _closed = 1;
    Py_RETURN_NONE;
  }
  if (_encoder && !_drained) {
    // No frame came after the one held back: it is the last.
    if (_pending_frame) {
      Ref last = std::move(_pending_frame);
      if (submit_frame(last.get(), /*is_last=*/true, _pending_ticks, _pending_name) < 0)
        return nullptr;
    }
    if (opts.streaming) {
      if (finish_streaming() < 0) return nullptr;
    } else {
      JxlEncoderCloseInput(_encoder.get());
      if (output.drain(_encoder.get()) < 0) return nullptr;
    }
    // Complete: a close retried after a failed delivery only delivers.
    _drained = true;
  }
  Ref result;
  if (_is_buffer) {
    result = output.bytes();
    if (!result) return nullptr;
  } else {
    if (_own_dest ? deliver_to_path() < 0 : output.write_to(_dest_obj.get()) < 0)
      return nullptr;
    result = Ref::none();
  }
  _destroy_native();
  _closed = 1;
  return result.release();
}

}  // namespace kp
