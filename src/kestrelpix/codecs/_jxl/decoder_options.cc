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

}  // namespace

int DecoderOptions::parse(PyObject* const* v) {
  // In the order the reader has always looked at them.
  if (bool_option(v[kDec_extra_channels], &extra_channels) < 0 ||
      bool_option(v[kDec_streaming], &streaming) < 0 ||
      resolve_num_threads(v[kDec_numthreads], &num_threads) < 0 ||
      bool_option(v[kDec_coalesce], &coalesce) < 0 ||
      bool_option(v[kDec_keep_orientation], &keep_orientation) < 0 ||
      bool_option(v[kDec_parse_color], &parse_color) < 0)
    return -1;
  return skip_count(v[kDec_skip_frames], &skip_frames);
}

}  // namespace kp
