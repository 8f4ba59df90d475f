// Checking and writing a writer's metadata options.
#include "metadata.h"

#include "input.h"

#include <cmath>
#include <cstring>
#include <limits>

namespace kp {
namespace {

constexpr uint64_t kMaxU32 = std::numeric_limits<uint32_t>::max();
// What the stream's animation header can hold (libjxl refuses more only
// once every frame is encoded).
constexpr uint64_t kMaxTpsNumerator = uint64_t{1} << 30;
constexpr uint64_t kMaxTpsDenominator = 1024;
// libjxl stores a frame name in at most this many bytes.
constexpr size_t kMaxNameBytes = 1071;

// An int option in [low, high]; ValueError names the option otherwise.
int u32_option(PyObject* value, const char* what, uint64_t low, uint64_t high, uint32_t* out) {
  if (PyBool_Check(value) || !PyIndex_Check(value)) {
    PyErr_Format(PyExc_TypeError, "jxl: %s must be an int, not %.200s", what,
                 Py_TYPE(value)->tp_name);
    return -1;
  }
  long long v = 0;
  int overflow = 0;
  if (index_as_long_long(value, &v, &overflow) < 0) return -1;
  if (overflow || v < 0 || static_cast<uint64_t>(v) < low || static_cast<uint64_t>(v) > high) {
    PyErr_Format(PyExc_ValueError, "jxl: %s must be between %llu and %llu, got %R", what,
                 static_cast<unsigned long long>(low), static_cast<unsigned long long>(high),
                 value);
    return -1;
  }
  *out = static_cast<uint32_t>(v);
  return 0;
}

// The bytes of a bytes-like object.
int buffer_bytes(PyObject* value, const char* what, std::string* out) {
  if (PyUnicode_Check(value) || !PyObject_CheckBuffer(value)) {
    PyErr_Format(PyExc_TypeError, "jxl: %s must be bytes, not %.200s", what,
                 Py_TYPE(value)->tp_name);
    return -1;
  }
  // A non-contiguous buffer is copied first, as decode takes its data.
  SourceBuffer view;
  if (view.acquire(value) < 0) return -1;
  out->assign(reinterpret_cast<const char*>(view.data()), view.size());
  return 0;
}

bool starts_with(const std::string& s, const char* prefix, size_t n) {
  return s.size() >= n && std::memcmp(s.data(), prefix, n) == 0;
}

}  // namespace

int WriterMetadata::parse(PyObject* loops_obj, PyObject* tps_obj, PyObject* exif_obj,
                          PyObject* xmp_obj, PyObject* jumbf_obj, PyObject* orientation_obj,
                          PyObject* icc_obj, PyObject* compress_obj, bool animation,
                          bool color_given) {
  if (u32_option(loops_obj, "loops", 0, kMaxU32, &loops) < 0) return -1;
  if (loops != 0 && !animation) {
    PyErr_SetString(PyExc_ValueError, "jxl: loops= is only for an animation (animation=True)");
    return -1;
  }
  tps_numerator = tps_denominator = 0;
  if (tps_obj != Py_None) {
    if (!animation) {
      PyErr_SetString(PyExc_ValueError, "jxl: tps= is only for an animation (animation=True)");
      return -1;
    }
    if (PyTuple_Check(tps_obj) || PyList_Check(tps_obj)) {
      if (PySequence_Size(tps_obj) != 2) {
        PyErr_SetString(PyExc_ValueError,
                        "jxl: tps must be a positive int or a (numerator, denominator) pair");
        return -1;
      }
      Ref num = Ref::steal(PySequence_GetItem(tps_obj, 0));
      Ref den = Ref::steal(PySequence_GetItem(tps_obj, 1));
      if (!num || !den ||
          u32_option(num.get(), "tps numerator", 1, kMaxTpsNumerator, &tps_numerator) < 0 ||
          u32_option(den.get(), "tps denominator", 1, kMaxTpsDenominator, &tps_denominator) < 0)
        return -1;
    } else {
      if (u32_option(tps_obj, "tps", 1, kMaxTpsNumerator, &tps_numerator) < 0) return -1;
      tps_denominator = 1;
    }
  }
  if (u32_option(orientation_obj, "orientation", 1, 8, &orientation) < 0) return -1;

  have_exif = exif_obj != Py_None;
  if (have_exif) {
    std::string tiff;
    if (buffer_bytes(exif_obj, "exif", &tiff) < 0) return -1;
    // What Pillow's Image.getexif().tobytes() gives starts with the JPEG
    // APP1 marker's own prefix.
    if (starts_with(tiff, "Exif\0\0", 6)) tiff.erase(0, 6);
    if (!starts_with(tiff, "II*\0", 4) && !starts_with(tiff, "MM\0*", 4)) {
      PyErr_SetString(PyExc_ValueError,
                      "jxl: exif must start with a TIFF header (b\"II*\\x00\" or "
                      "b\"MM\\x00*\"), optionally after b\"Exif\\x00\\x00\"");
      return -1;
    }
    exif.assign(4, '\0');  // the offset of the TIFF header: right here
    exif += tiff;
  }
  have_xmp = xmp_obj != Py_None;
  if (have_xmp) {
    if (PyUnicode_Check(xmp_obj)) {
      Py_ssize_t n = 0;
      const char* utf8 = PyUnicode_AsUTF8AndSize(xmp_obj, &n);
      if (!utf8) return -1;
      xmp.assign(utf8, static_cast<size_t>(n));
    } else if (buffer_bytes(xmp_obj, "xmp", &xmp) < 0) {
      return -1;
    }
  }
  have_jumbf = jumbf_obj != Py_None;
  if (have_jumbf && buffer_bytes(jumbf_obj, "jumbf", &jumbf) < 0) return -1;
  have_icc = icc_obj != Py_None;
  if (have_icc) {
    if (color_given) {
      PyErr_SetString(PyExc_ValueError, "jxl: pass color or icc_profile, not both");
      return -1;
    }
    if (buffer_bytes(icc_obj, "icc_profile", &icc) < 0) return -1;
    if (icc.empty()) {
      PyErr_SetString(PyExc_ValueError, "jxl: icc_profile is empty");
      return -1;
    }
  }
  const int compress = PyObject_IsTrue(compress_obj);
  if (compress < 0) return -1;
  compress_boxes = compress != 0;
  return 0;
}

const char* WriterMetadata::add_boxes(JxlEncoder* enc, JxlEncoderStatus* status) const {
  *status = JxlEncoderUseBoxes(enc);
  if (*status != JXL_ENC_SUCCESS) return "JxlEncoderUseBoxes";
  const JXL_BOOL compress = compress_boxes ? JXL_TRUE : JXL_FALSE;
  auto add = [&](const char* type, const std::string& contents, JXL_BOOL brotli) {
    return JxlEncoderAddBox(enc, type, reinterpret_cast<const uint8_t*>(contents.data()),
                            contents.size(), brotli);
  };
  if (have_exif && (*status = add("Exif", exif, compress)) != JXL_ENC_SUCCESS)
    return "JxlEncoderAddBox";
  if (have_xmp && (*status = add("xml ", xmp, compress)) != JXL_ENC_SUCCESS)
    return "JxlEncoderAddBox";
  // Readers of content credentials look for a plain "jumb" box.
  if (have_jumbf && (*status = add("jumb", jumbf, JXL_FALSE)) != JXL_ENC_SUCCESS)
    return "JxlEncoderAddBox";
  JxlEncoderCloseBoxes(enc);
  return nullptr;
}

int duration_to_ticks(PyObject* duration, uint32_t numerator, uint32_t denominator,
                      uint32_t* ticks) {
  if (PyBool_Check(duration) || !PyNumber_Check(duration)) {
    PyErr_Format(PyExc_TypeError, "jxl: duration must be a number of milliseconds, not %.200s",
                 Py_TYPE(duration)->tp_name);
    return -1;
  }
  const double ms = PyFloat_AsDouble(duration);
  if (ms == -1.0 && PyErr_Occurred()) return -1;
  if (!std::isfinite(ms) || ms < 0) {
    PyErr_Format(PyExc_ValueError, "jxl: duration must be a finite number of ms >= 0, got %R",
                 duration);
    return -1;
  }
  const double exact = ms * numerator / (1000.0 * denominator);
  const double whole = std::round(exact);
  if (std::fabs(exact - whole) > 1e-9 * std::max(1.0, std::fabs(exact))) {
    Ref tps = denominator == 1 ? Ref::steal(PyUnicode_FromFormat("%u", numerator))
                               : Ref::steal(PyUnicode_FromFormat("%u/%u", numerator, denominator));
    if (!tps) return -1;
    PyErr_Format(PyExc_ValueError,
                 "jxl: a duration of %R ms is not a whole number of ticks at %U ticks per "
                 "second; pass tps= to the writer (tps=1000 takes any whole millisecond)",
                 duration, tps.get());
    return -1;
  }
  if (whole > static_cast<double>(kMaxU32)) {
    PyErr_Format(PyExc_ValueError, "jxl: a duration of %R ms is too long", duration);
    return -1;
  }
  *ticks = static_cast<uint32_t>(whole);
  return 0;
}

int frame_name_bytes(PyObject* name, std::string* out) {
  if (!PyUnicode_Check(name)) {
    PyErr_Format(PyExc_TypeError, "jxl: name must be a str, not %.200s", Py_TYPE(name)->tp_name);
    return -1;
  }
  Py_ssize_t n = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(name, &n);
  if (!utf8) return -1;
  // libjxl takes the name as a C string: a NUL would silently end it.
  if (std::memchr(utf8, '\0', static_cast<size_t>(n)) != nullptr) {
    PyErr_SetString(PyExc_ValueError, "jxl: a frame name may not contain NUL characters");
    return -1;
  }
  if (static_cast<size_t>(n) > kMaxNameBytes) {
    PyErr_Format(PyExc_ValueError, "jxl: a frame name is at most %zu bytes of UTF-8, got %zd",
                 kMaxNameBytes, n);
    return -1;
  }
  out->assign(utf8, static_cast<size_t>(n));
  return 0;
}

}  // namespace kp
