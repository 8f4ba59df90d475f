// The sample checks a frame gets before libjxl sees it, whole (write_frame)
// or a streamed slice at a time (chunked.cc): float ranges libjxl's lossy
// encoder fails on, float16 values it does not keep losslessly, extra
// channel samples beyond their bit depth.
#include "writer.h"

#include "npy.h"

#include <cmath>
#include <cstdio>

#include "frame_format.h"

namespace kp {
namespace {

// libjxl's lossy encoder fails on NaN, on infinity and on float samples far
// below float32's top, by how much depending on the transfer function: a
// release build then writes samples that decode to infinity or NaN, a build
// with assertions (Debian's) traps and takes the interpreter down. Swept
// here: with the sRGB transfer function (sRGB, Display P3) the output turns
// non-finite from 1e8; with PQ and HLG Debian's build traps from 1e20; the
// others hold to float32's top. Such frames are refused before libjxl sees
// them, with a margin below each limit. (At efforts 8 to 10 libjxl also
// refuses such frames cleanly from 4e9 with sRGB's or a power-law transfer
// and from 1.5e21 when linear; the bounds stay below that too.)
struct LossyFloatBound {
  float magnitude;
  const char* what;
};

LossyFloatBound lossy_float_bound(const JxlColorEncoding& c, bool icc) {
  if (icc) return {1e6f, "an ICC profile"};
  switch (c.transfer_function) {
    case JXL_TRANSFER_FUNCTION_SRGB: return {1e6f, "the sRGB transfer function"};
    case JXL_TRANSFER_FUNCTION_GAMMA: return {1e6f, "a power-law transfer function"};
    case JXL_TRANSFER_FUNCTION_LINEAR: return {1e19f, "the linear transfer function"};
    case JXL_TRANSFER_FUNCTION_PQ: return {1e18f, "the PQ transfer function"};
    case JXL_TRANSFER_FUNCTION_HLG: return {1e18f, "the HLG transfer function"};
    default: return {1e30f, "this colour encoding"};
  }
}

int check_lossy_float_samples(PyObject* arr, JxlDataType type, LossyFloatBound bound) {
  auto* array = reinterpret_cast<PyArrayObject*>(arr);
  const npy_intp count = PyArray_SIZE(array);
  bool ok = true;
  if (type == JXL_TYPE_FLOAT) {
    const auto* v = static_cast<const float*>(PyArray_DATA(array));
    for (npy_intp i = 0; i < count && ok; ++i)
      ok = std::fabs(v[i]) <= bound.magnitude;  // false for NaN too
  } else if (type == JXL_TYPE_FLOAT16) {
    // float16 tops out at 65504, below every bound: only inf and NaN fail.
    const auto* v = static_cast<const uint16_t*>(PyArray_DATA(array));
    for (npy_intp i = 0; i < count && ok; ++i) ok = (v[i] & 0x7C00) != 0x7C00;
  }
  if (ok) return 0;
  char limit[32];
  std::snprintf(limit, sizeof limit, "%g", static_cast<double>(bound.magnitude));
  PyErr_Format(PyExc_ValueError,
               "jxl: lossy encoding needs finite float samples of magnitude at most %s with "
               "%s; libjxl fails beyond that (use lossless=True for other values)",
               limit, bound.what);
  return -1;
}

// libjxl 0.11 does not keep float16 subnormal samples (magnitudes below
// 2^-14) even losslessly: 5.7e-05 comes back as 5.29e-05, and djxl reads
// the same. Nor NaN: its 16-bit floats have no NaN, and one comes back as
// infinity. A lossless frame holding either is refused rather than changed.
int check_lossless_half_samples(PyObject* arr) {
  auto* array = reinterpret_cast<PyArrayObject*>(arr);
  const npy_intp count = PyArray_SIZE(array);
  const auto* v = static_cast<const uint16_t*>(PyArray_DATA(array));
  for (npy_intp i = 0; i < count; ++i) {
    const uint16_t exponent = v[i] & 0x7C00;
    const uint16_t mantissa = v[i] & 0x03FF;
    if (exponent == 0 && mantissa != 0) {
      PyErr_SetString(PyExc_ValueError,
                      "jxl: libjxl does not keep float16 subnormal samples (magnitudes "
                      "below 6.1e-05) exactly; convert the frame to float32 for lossless "
                      "coding");
      return -1;
    }
    if (exponent == 0x7C00 && mantissa != 0) {
      PyErr_SetString(PyExc_ValueError,
                      "jxl: libjxl does not keep float16 NaN samples (they come back as "
                      "infinity); convert the frame to float32 for lossless coding");
      return -1;
    }
  }
  return 0;
}

}  // namespace

int Writer::check_samples(Ref* src_ref) {
  Ref& src = *src_ref;
  if (opts.lossless && _pixel_format.data_type == JXL_TYPE_FLOAT16) {
    // Checked on a private copy, for the same reason as below.
    Ref copy = Ref::steal(PyArray_NewCopy(reinterpret_cast<PyArrayObject*>(src.get()),
                                          NPY_CORDER));
    if (!copy) return -1;
    src = std::move(copy);
    if (check_lossless_half_samples(src.get()) < 0) return -1;
  }
  if (!opts.lossless && (_pixel_format.data_type == JXL_TYPE_FLOAT ||
                     _pixel_format.data_type == JXL_TYPE_FLOAT16)) {
    // libjxl reads the samples later, without the interpreter lock, while
    // other threads (or the frame's owner) may still write to the caller's
    // array: what is checked must be what libjxl reads, a private copy.
    Ref copy = Ref::steal(PyArray_NewCopy(reinterpret_cast<PyArrayObject*>(src.get()),
                                          NPY_CORDER));
    if (!copy) return -1;
    src = std::move(copy);
    if (check_lossy_float_samples(src.get(), _pixel_format.data_type,
                                  lossy_float_bound(_color_encoding, opts.meta.have_icc)) < 0)
      return -1;
  }

  if (!opts.extras.empty() && (_pixel_format.data_type == JXL_TYPE_UINT8 ||
                           _pixel_format.data_type == JXL_TYPE_UINT16)) {
    auto* a = reinterpret_cast<PyArrayObject*>(src.get());
    const size_t item = sample_size(_pixel_format.data_type);
    // The pixels of this array: a whole frame, or a streamed slice of one.
    const size_t pixels = static_cast<size_t>(PyArray_SIZE(a)) / _first_samples;
    if (check_extra_ranges(PyArray_DATA(a), pixels, _first_samples, _color_channels, item,
                           opts.extras) < 0)
      return -1;
  }
  return 0;
}

}  // namespace kp
