// Colour specs as libjxl colour encodings: each value converted and checked
// against what libjxl can write.
#include "color_encoding.h"

#include <limits>
#include <type_traits>

namespace kp {
namespace {

// Whether `v` is one of the enumerators of libjxl's colour enumerations.
bool names_enumerator(JxlWhitePoint, long long v) {
  return v == JXL_WHITE_POINT_D65 || v == JXL_WHITE_POINT_CUSTOM || v == JXL_WHITE_POINT_E ||
         v == JXL_WHITE_POINT_DCI;
}
bool names_enumerator(JxlPrimaries, long long v) {
  return v == JXL_PRIMARIES_SRGB || v == JXL_PRIMARIES_CUSTOM || v == JXL_PRIMARIES_2100 ||
         v == JXL_PRIMARIES_P3;
}
bool names_enumerator(JxlTransferFunction, long long v) {
  return v == JXL_TRANSFER_FUNCTION_709 || v == JXL_TRANSFER_FUNCTION_UNKNOWN ||
         v == JXL_TRANSFER_FUNCTION_LINEAR || v == JXL_TRANSFER_FUNCTION_SRGB ||
         v == JXL_TRANSFER_FUNCTION_PQ || v == JXL_TRANSFER_FUNCTION_DCI ||
         v == JXL_TRANSFER_FUNCTION_HLG || v == JXL_TRANSFER_FUNCTION_GAMMA;
}
bool names_enumerator(JxlRenderingIntent, long long v) { return v >= 0 && v <= 3; }

}  // namespace

template <class E>
int to_enum(PyObject* value, const char* enum_name, E* out) {
  using Underlying = std::underlying_type_t<E>;
  if (!PyLong_Check(value) && !PyIndex_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "an integer is required");
    return -1;
  }
  long long v = 0;
  int overflow = 0;
  if (index_as_long_long(value, &v, &overflow) < 0) return -1;
  if (std::is_unsigned_v<Underlying> && (overflow < 0 || v < 0)) {
    PyErr_Format(PyExc_OverflowError, "can't convert negative value to %s",
                 enum_name);
    return -1;
  }
  if (overflow != 0 ||
      v < static_cast<long long>(std::numeric_limits<Underlying>::min()) ||
      v > static_cast<long long>(std::numeric_limits<Underlying>::max())) {
    PyErr_Format(PyExc_OverflowError, "value too large to convert to %s",
                 enum_name);
    return -1;
  }
  // Only a value the enumeration names may be stored in it (anything else
  // is undefined behaviour in C++); which of those libjxl can write is
  // check_color_encoding's to say.
  if (!names_enumerator(*out, v)) {
    PyErr_Format(PyExc_ValueError,
                 "jxl: colour value %lld is not a %s (custom and unknown values are not "
                 "supported)",
                 v, enum_name);
    return -1;
  }
  *out = static_cast<E>(v);
  return 0;
}

template <class E>
int enum_attr(PyObject* spec, const char* attr, const char* enum_name, E* out) {
  Ref value = Ref::steal(PyObject_GetAttrString(spec, attr));
  if (!value) return -1;
  return to_enum(value.get(), enum_name, out);
}

// The enumerations a colour spec sets.
template int to_enum(PyObject*, const char*, JxlWhitePoint*);
template int to_enum(PyObject*, const char*, JxlPrimaries*);
template int to_enum(PyObject*, const char*, JxlTransferFunction*);
template int to_enum(PyObject*, const char*, JxlRenderingIntent*);
template int enum_attr(PyObject*, const char*, const char*, JxlWhitePoint*);
template int enum_attr(PyObject*, const char*, const char*, JxlPrimaries*);
template int enum_attr(PyObject*, const char*, const char*, JxlTransferFunction*);
template int enum_attr(PyObject*, const char*, const char*, JxlRenderingIntent*);

int spec_is_hdr(PyObject* spec) {
  Ref value = Ref::steal(PyObject_GetAttrString(spec, "is_hdr"));
  if (!value) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    return 0;
  }
  return PyObject_IsTrue(value.get());
}

int check_color_encoding(const JxlColorEncoding& c) {
  const char* what = nullptr;
  long value = 0;
  switch (c.white_point) {
    case JXL_WHITE_POINT_D65: case JXL_WHITE_POINT_E: case JXL_WHITE_POINT_DCI: break;
    default: what = "white point", value = c.white_point;
  }
  switch (c.primaries) {
    case JXL_PRIMARIES_SRGB: case JXL_PRIMARIES_2100: case JXL_PRIMARIES_P3: break;
    default: if (!what) what = "primaries", value = c.primaries;
  }
  switch (c.transfer_function) {
    case JXL_TRANSFER_FUNCTION_709: case JXL_TRANSFER_FUNCTION_LINEAR:
    case JXL_TRANSFER_FUNCTION_SRGB: case JXL_TRANSFER_FUNCTION_PQ:
    case JXL_TRANSFER_FUNCTION_DCI: case JXL_TRANSFER_FUNCTION_HLG:
    case JXL_TRANSFER_FUNCTION_GAMMA: break;
    default: if (!what) what = "transfer function", value = c.transfer_function;
  }
  switch (c.rendering_intent) {
    case JXL_RENDERING_INTENT_PERCEPTUAL: case JXL_RENDERING_INTENT_RELATIVE:
    case JXL_RENDERING_INTENT_SATURATION: case JXL_RENDERING_INTENT_ABSOLUTE: break;
    default: if (!what) what = "rendering intent", value = c.rendering_intent;
  }
  if (what) {
    PyErr_Format(PyExc_ValueError,
                 "jxl: colour %s %ld cannot be written (custom and unknown values are "
                 "not supported)",
                 what, value);
    return -1;
  }
  if (c.transfer_function == JXL_TRANSFER_FUNCTION_GAMMA &&
      !(c.gamma > 0.0 && c.gamma <= 1.0)) {
    Ref gamma = Ref::steal(PyFloat_FromDouble(c.gamma));
    if (!gamma) return -1;
    PyErr_Format(PyExc_ValueError, "jxl: a gamma transfer needs an exponent in (0, 1], got %R",
                 gamma.get());
    return -1;
  }
  return 0;
}

}  // namespace kp
