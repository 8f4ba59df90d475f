// Extra channels for the writer: parsing, libjxl records, frame splitting.
#include "extras.h"

#include <cmath>
#include <cstring>

namespace kp {
namespace {

struct TypeName {
  const char* name;
  JxlExtraChannelType type;
};

// What a writer may declare; "cfa" and "unknown" are read, not written.
constexpr TypeName kTypes[] = {
    {"alpha", JXL_CHANNEL_ALPHA},          {"depth", JXL_CHANNEL_DEPTH},
    {"spot_color", JXL_CHANNEL_SPOT_COLOR}, {"selection_mask", JXL_CHANNEL_SELECTION_MASK},
    {"black", JXL_CHANNEL_BLACK},          {"thermal", JXL_CHANNEL_THERMAL},
    {"optional", JXL_CHANNEL_OPTIONAL},
};

int parse_type(PyObject* value, JxlExtraChannelType* type) {
  if (!PyUnicode_Check(value)) {
    PyErr_Format(PyExc_TypeError, "jxl: an extra channel type must be a str, not %.200s",
                 Py_TYPE(value)->tp_name);
    return -1;
  }
  const char* text = PyUnicode_AsUTF8(value);
  if (!text) return -1;
  for (const TypeName& t : kTypes) {
    if (std::strcmp(text, t.name) == 0) {
      *type = t.type;
      return 0;
    }
  }
  PyErr_Format(PyExc_ValueError,
               "jxl: unknown extra channel type %R (want alpha, depth, spot_color, "
               "selection_mask, black, thermal or optional)",
               value);
  return -1;
}

int parse_entry(PyObject* entry, ExtraChannelSpec* spec) {
  if (PyUnicode_Check(entry)) return parse_type(entry, &spec->type);
  if (!PyDict_Check(entry)) {
    PyErr_Format(PyExc_TypeError,
                 "jxl: an extra channel is a type name or a dict, not %.200s",
                 Py_TYPE(entry)->tp_name);
    return -1;
  }
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  Py_ssize_t pos = 0;
  while (PyDict_Next(entry, &pos, &key, &value)) {
    const char* k = PyUnicode_Check(key) ? PyUnicode_AsUTF8(key) : nullptr;
    if (!k || (std::strcmp(k, "type") && std::strcmp(k, "name") &&
               std::strcmp(k, "bits_per_sample") && std::strcmp(k, "spot_color") &&
               std::strcmp(k, "alpha_premultiplied"))) {
      if (!PyErr_Occurred())
        PyErr_Format(PyExc_ValueError, "jxl: unknown extra channel key %R", key);
      return -1;
    }
  }
  PyObject* type = PyDict_GetItemString(entry, "type");
  if (!type) {
    PyErr_SetString(PyExc_ValueError, "jxl: an extra channel dict needs a \"type\"");
    return -1;
  }
  if (parse_type(type, &spec->type) < 0) return -1;
  if (PyObject* name = PyDict_GetItemString(entry, "name")) {
    if (!PyUnicode_Check(name)) {
      PyErr_SetString(PyExc_TypeError, "jxl: an extra channel name must be a str");
      return -1;
    }
    Py_ssize_t n = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(name, &n);
    if (!utf8) return -1;
    if (n > 1071) {
      PyErr_SetString(PyExc_ValueError,
                      "jxl: an extra channel name is at most 1071 bytes of UTF-8");
      return -1;
    }
    spec->name.assign(utf8, static_cast<size_t>(n));
  }
  if (PyObject* bits = PyDict_GetItemString(entry, "bits_per_sample")) {
    const long b = PyBool_Check(bits) ? -1 : PyLong_AsLong(bits);
    if (b == -1 && PyErr_Occurred()) return -1;
    if (b < 1 || b > 16) {
      PyErr_Format(PyExc_ValueError,
                   "jxl: an extra channel's bits_per_sample must be 1 to 16, got %R", bits);
      return -1;
    }
    spec->bits = static_cast<uint32_t>(b);
  }
  if (PyObject* pre = PyDict_GetItemString(entry, "alpha_premultiplied")) {
    const int t = PyObject_IsTrue(pre);
    if (t < 0) return -1;
    spec->premultiplied = t != 0;
  }
  PyObject* spot = PyDict_GetItemString(entry, "spot_color");
  if (spec->type == JXL_CHANNEL_SPOT_COLOR) {
    Ref seq = spot ? Ref::steal(PySequence_Fast(spot, "")) : Ref();
    if (!seq || PySequence_Fast_GET_SIZE(seq.get()) != 4) {
      PyErr_Clear();
      PyErr_SetString(PyExc_ValueError,
                      "jxl: a spot_color channel needs \"spot_color\": 4 floats (linear RGBA)");
      return -1;
    }
    for (Py_ssize_t i = 0; i < 4; ++i) {
      const double v = PyFloat_AsDouble(PySequence_Fast_GET_ITEM(seq.get(), i));
      if (v == -1.0 && PyErr_Occurred()) return -1;
      // The stream stores them as 16-bit floats.
      if (!std::isfinite(v) || std::fabs(v) > kMaxSpotColorValue) {
        PyErr_Format(PyExc_ValueError,
                     "jxl: spot_color values must be finite, from -%d to %d (16-bit floats), "
                     "got %R",
                     kMaxSpotColorValue, kMaxSpotColorValue, PySequence_Fast_GET_ITEM(seq.get(), i));
        return -1;
      }
      spec->spot[i] = static_cast<float>(v);
    }
  }
  return 0;
}

}  // namespace

int parse_extra_channels(PyObject* obj, std::vector<ExtraChannelSpec>* out) {
  out->clear();
  if (obj == Py_None) return 0;
  if (PyUnicode_Check(obj) || PyDict_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "jxl: extra_channels must be a list of channels");
    return -1;
  }
  Ref seq = Ref::steal(PySequence_Fast(obj, "jxl: extra_channels must be a list of channels"));
  if (!seq) return -1;
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
  if (n == 0) {
    PyErr_SetString(PyExc_ValueError, "jxl: extra_channels is empty (pass None for none)");
    return -1;
  }
  if (n > kMaxExtraChannels) {
    PyErr_Format(PyExc_ValueError, "jxl: at most %d extra channels (libjxl's limit), got %zd",
                 kMaxExtraChannels, n);
    return -1;
  }
  try {
    out->resize(static_cast<size_t>(n));
  } catch (...) {
    PyErr_NoMemory();
    return -1;
  }
  for (Py_ssize_t i = 0; i < n; ++i)
    if (parse_entry(PySequence_Fast_GET_ITEM(seq.get(), i), &(*out)[static_cast<size_t>(i)]) < 0)
      return -1;
  return 0;
}

int check_extra_channel_bits(const std::vector<ExtraChannelSpec>& specs, uint32_t bits,
                             uint32_t exponent_bits) {
  if (exponent_bits) return 0;  // float frames: the channels take the frames' depth
  // libjxl refuses, only once every frame is encoded, a channel whose depth
  // does not fit the frames' sample type: 1 to 8 bits with uint8 samples,
  // 9 to 16 with uint16.
  const uint32_t low = bits <= 8 ? 1 : 9;
  const uint32_t high = bits <= 8 ? 8 : 16;
  for (size_t i = 0; i < specs.size(); ++i) {
    if (specs[i].bits == 0 || (specs[i].bits >= low && specs[i].bits <= high)) continue;
    PyErr_Format(PyExc_ValueError,
                 "jxl: extra channel %zu: bits_per_sample must be %u to %u with %s frames, "
                 "got %u",
                 i, low, high, bits <= 8 ? "uint8" : "uint16", specs[i].bits);
    return -1;
  }
  return 0;
}

const char* set_extra_channel_infos(JxlEncoder* enc, const std::vector<ExtraChannelSpec>& specs,
                                    uint32_t bits, uint32_t exponent_bits,
                                    JxlEncoderStatus* status) {
  for (size_t i = 0; i < specs.size(); ++i) {
    const ExtraChannelSpec& s = specs[i];
    JxlExtraChannelInfo info;
    JxlEncoderInitExtraChannelInfo(s.type, &info);
    info.bits_per_sample = exponent_bits ? bits : (s.bits ? s.bits : bits);
    info.exponent_bits_per_sample = exponent_bits;
    info.alpha_premultiplied = s.premultiplied ? JXL_TRUE : JXL_FALSE;
    for (int k = 0; k < 4; ++k) info.spot_color[k] = s.spot[k];
    const auto index = static_cast<size_t>(i);
    *status = JxlEncoderSetExtraChannelInfo(enc, index, &info);
    if (*status != JXL_ENC_SUCCESS) return "JxlEncoderSetExtraChannelInfo";
    if (!s.name.empty()) {
      *status = JxlEncoderSetExtraChannelName(enc, index, s.name.data(), s.name.size());
      if (*status != JXL_ENC_SUCCESS) return "JxlEncoderSetExtraChannelName";
    }
  }
  return nullptr;
}

int check_extra_ranges(const void* pixels, size_t pixel_count, size_t samples, size_t color,
                       size_t item, const std::vector<ExtraChannelSpec>& specs) {
  for (size_t e = 0; e < specs.size(); ++e) {
    const uint32_t bits = specs[e].bits;
    if (bits == 0 || bits >= item * 8) continue;
    const uint32_t top = (1u << bits) - 1;
    for (size_t p = 0; p < pixel_count; ++p) {
      const size_t at = p * samples + color + e;
      const uint32_t v = item == 1 ? static_cast<const uint8_t*>(pixels)[at]
                                   : static_cast<const uint16_t*>(pixels)[at];
      if (v > top) {
        PyErr_Format(PyExc_ValueError,
                     "jxl: extra channel %zu holds %u, more than its %u bits allow (at most "
                     "%u)",
                     e, v, bits, top);
        return -1;
      }
    }
  }
  return 0;
}

bool split_frame(const void* pixels, size_t pixel_count, size_t samples, size_t color,
                 size_t item, SplitFrame* out) noexcept {
  const size_t extras = samples - color;
  try {
    out->color.resize(pixel_count * color * item);
    out->planes.resize(extras);
    for (auto& plane : out->planes) plane.resize(pixel_count * item);
  } catch (...) {
    return false;
  }
  const auto* in = static_cast<const uint8_t*>(pixels);
  for (size_t p = 0; p < pixel_count; ++p) {
    const uint8_t* px = in + p * samples * item;
    std::memcpy(out->color.data() + p * color * item, px, color * item);
    for (size_t e = 0; e < extras; ++e)
      std::memcpy(out->planes[e].data() + p * item, px + (color + e) * item, item);
  }
  return true;
}

}  // namespace kp
