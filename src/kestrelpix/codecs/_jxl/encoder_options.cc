// Parsing and checking the encoder options.
#include "encoder_options.h"

#include <jxl/encode.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "common.h"

namespace kp {

const OptionRow kEncoderOptionRows[kEncoderOptionCount] = {KP_ENCODER_OPTIONS(KP_OPTION_ROW)};

int int32_option(PyObject* value, int32_t* out) {
  Ref number = Ref::steal(PyNumber_Long(value));
  if (!number) return -1;
  const long v = PyLong_AsLong(number.get());
  if (v == -1 && PyErr_Occurred()) return -1;
  if (v < std::numeric_limits<int32_t>::min() || v > std::numeric_limits<int32_t>::max()) {
    PyErr_SetString(PyExc_OverflowError, "value too large to convert to int");
    return -1;
  }
  *out = static_cast<int32_t>(v);
  return 0;
}

int effort_option(PyObject* value, int32_t fallback, int32_t* out) {
  if (value == Py_None) {
    *out = fallback;
    return 0;
  }
  int32_t e = 0;
  if (int32_option(value, &e) < 0) return -1;
  *out = std::clamp<int32_t>(e, 1, 10);
  return 0;
}

namespace {

// quality or distance (not both), and lossless: None means lossless only
// for quality above 100 or distance 0.
int settle_quality(PyObject* quality, PyObject* distance, PyObject* lossless,
                   EncoderOptions* o) {
  if (quality != Py_None && distance != Py_None) {
    PyErr_SetString(PyExc_ValueError, "jxl: pass quality or distance, not both");
    return -1;
  }
  int lossless_default = 0;
  if (quality != Py_None) {
    const double q = PyFloat_AsDouble(quality);
    if (q == -1.0 && PyErr_Occurred()) return -1;
    // libjxl's encoder traps on a NaN distance, which is what these become.
    if (!std::isfinite(q)) {
      PyErr_Format(PyExc_ValueError, "jxl: quality must be a finite number, got %R", quality);
      return -1;
    }
    o->distance = JxlEncoderDistanceFromQuality(static_cast<float>(q));
    // Quality 100 itself stays lossy; only what is above it means lossless.
    Ref hundred = Ref::steal(PyLong_FromLong(100));
    if (!hundred) return -1;
    lossless_default = PyObject_RichCompareBool(quality, hundred.get(), Py_GT);
    if (lossless_default < 0) return -1;
  } else if (distance != Py_None) {
    Ref d = Ref::steal(PyNumber_Float(distance));
    if (!d) return -1;
    const double value = PyFloat_AsDouble(d.get());
    if (value == -1.0 && PyErr_Occurred()) return -1;
    if (!std::isfinite(value)) {
      PyErr_Format(PyExc_ValueError, "jxl: distance must be a finite number, got %R", distance);
      return -1;
    }
    o->distance = static_cast<float>(value);
    lossless_default = o->distance == 0.0f;
  } else {
    o->distance = 1.0f;
  }
  if (lossless == Py_None) {
    o->lossless = lossless_default != 0;
  } else {
    const int truth = PyObject_IsTrue(lossless);
    if (truth < 0) return -1;
    o->lossless = truth != 0;
  }
  if (o->lossless) o->distance = 0.0f;
  return 0;
}

// group_order and center: the order's name, and the centre as a pair of
// non-negative integers, which only the centre-first order uses.
int parse_group_order(PyObject* order, PyObject* center, EncoderOptions* o) {
  if (order != Py_None) {
    if (!PyUnicode_Check(order)) {
      PyErr_Format(PyExc_TypeError, "jxl: group_order must be \"scanline\" or \"center\", not %.100s",
                   Py_TYPE(order)->tp_name);
      return -1;
    }
    if (PyUnicode_CompareWithASCIIString(order, "scanline") == 0) {
      o->group_order = 0;
    } else if (PyUnicode_CompareWithASCIIString(order, "center") == 0) {
      o->group_order = 1;
    } else {
      PyErr_Format(PyExc_ValueError, "jxl: group_order must be \"scanline\" or \"center\", got %R",
                   order);
      return -1;
    }
  }
  if (center == Py_None) return 0;
  if (o->group_order != 1) {
    PyErr_SetString(PyExc_ValueError, "jxl: center= is for group_order=\"center\"");
    return -1;
  }
  Ref pair = Ref::steal(PySequence_Tuple(center));
  if (!pair) return -1;
  if (PyTuple_GET_SIZE(pair.get()) != 2) {
    PyErr_Format(PyExc_ValueError, "jxl: center must be an (x, y) pair, got %R", center);
    return -1;
  }
  int64_t* const slots[2] = {&o->center_x, &o->center_y};
  for (Py_ssize_t i = 0; i < 2; ++i) {
    Ref number = Ref::steal(PyNumber_Index(PyTuple_GET_ITEM(pair.get(), i)));
    if (!number) return -1;
    const long long v = PyLong_AsLongLong(number.get());
    if (v == -1 && PyErr_Occurred()) return -1;
    if (v < 0) {
      PyErr_Format(PyExc_ValueError, "jxl: center must lie in the image, got %R", center);
      return -1;
    }
    *slots[i] = v;
  }
  return 0;
}

}  // namespace

int EncoderOptions::parse(PyObject* const* v, PyObject* parse_color) {
  color_spec = Ref::steal(PyObject_CallOneArg(parse_color, v[kOpt_color]));
  if (!color_spec) return -1;
  color_given = v[kOpt_color] != Py_None;
  if (settle_quality(v[kOpt_quality], v[kOpt_distance], v[kOpt_lossless], this) < 0 ||
      effort_option(v[kOpt_effort], 5, &effort) < 0)
    return -1;
  // A false value (None, 0) means libjxl's default, 0.
  const int speed_given = PyObject_IsTrue(v[kOpt_decoding_speed]);
  if (speed_given < 0) return -1;
  decoding_speed = 0;
  if (speed_given) {
    if (int32_option(v[kOpt_decoding_speed], &decoding_speed) < 0) return -1;
    decoding_speed = std::clamp<int32_t>(decoding_speed, 0, 4);
  }
  if (resolve_num_threads(v[kOpt_numthreads], &num_threads) < 0 ||
      bool_option(v[kOpt_animation], &animation) < 0 || bool_option(v[kOpt_container], &container) < 0)
    return -1;
  if (meta.parse(v[kOpt_loops], v[kOpt_tps], v[kOpt_exif], v[kOpt_xmp], v[kOpt_jumbf],
                 v[kOpt_orientation], v[kOpt_icc_profile], v[kOpt_compress_boxes], animation,
                 color_given) < 0)
    return -1;
  if (bool_option(v[kOpt_progressive], &progressive) < 0 ||
      parse_group_order(v[kOpt_group_order], v[kOpt_center], this) < 0)
    return -1;
  if (bool_option(v[kOpt_streaming], &streaming) < 0) return -1;
  if (progress_option(v[kOpt_progress], &progress) < 0) return -1;
  return parse_extra_channels(v[kOpt_extra_channels], &extras);
}

}  // namespace kp
