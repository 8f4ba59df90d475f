// Parsing and checking the decoder options.
#include "decoder_options.h"

#include "common.h"

namespace kp {
namespace {

// Frames to skip: anything not above 0 skips none.
int skip_count(PyObject* value, uint64_t* out) {
  Ref zero = Ref::steal(PyLong_FromLong(0));
  if (!zero) return -1;
  const int positive = PyObject_RichCompareBool(value, zero.get(), Py_GT);
  if (positive < 0) return -1;
  *out = 0;
  if (!positive) return 0;
  Ref n = Ref::steal(PyNumber_Long(value));
  if (!n) return -1;
  const size_t amount = PyLong_AsSize_t(n.get());
  if (amount == static_cast<size_t>(-1) && PyErr_Occurred()) return -1;
  *out = amount;
  return 0;
}

// A downsampling ratio: 1, 2, 4 or 8, as libjxl's passes know them.
int downsampling_ratio(PyObject* value, uint32_t* out) {
  Ref n = Ref::steal(PyNumber_Index(value));
  if (!n) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError, "jxl: downsampling must be an int (1, 2, 4 or 8), not %.100s",
                   Py_TYPE(value)->tp_name);
    }
    return -1;
  }
  const long ratio = PyLong_AsLong(n.get());
  if (ratio == -1 && PyErr_Occurred()) return -1;
  if (ratio != 1 && ratio != 2 && ratio != 4 && ratio != 8) {
    PyErr_Format(PyExc_ValueError, "jxl: downsampling must be 1, 2, 4 or 8, got %R", value);
    return -1;
  }
  *out = static_cast<uint32_t>(ratio);
  return 0;
}

}  // namespace

int DecoderOptions::parse(PyObject* const* v) {
  // In the order the reader has always looked at them.
  if (bool_option(v[kDec_extra_channels], &extra_channels) < 0 ||
      bool_option(v[kDec_streaming], &streaming) < 0 ||
      resolve_num_threads(v[kDec_numthreads], &num_threads) < 0 ||
      bool_option(v[kDec_coalesce], &coalesce) < 0 ||
      bool_option(v[kDec_keep_orientation], &keep_orientation) < 0 ||
      bool_option(v[kDec_parse_color], &parse_color) < 0 ||
      bool_option(v[kDec_partial], &partial) < 0 ||
      downsampling_ratio(v[kDec_downsampling], &downsampling) < 0)
    return -1;
  if (progress_option(v[kDec_progress], &progress) < 0) return -1;
  return skip_count(v[kDec_skip_frames], &skip_frames);
}

}  // namespace kp
