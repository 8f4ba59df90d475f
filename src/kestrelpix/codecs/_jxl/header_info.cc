// The header facts as Python dicts, shared by JxlReader and probe.
#include "header_info.h"

#include "status.h"

namespace kp {

Ref basic_info_dict(const JxlBasicInfo& b) {
  return Ref::steal(Py_BuildValue(
      "{sIsIsIsIsIsIsIsNsIsdsdsN}", "xsize", b.xsize, "ysize", b.ysize, "bits_per_sample",
      b.bits_per_sample, "exponent_bits_per_sample", b.exponent_bits_per_sample,
      "num_color_channels", b.num_color_channels, "num_extra_channels",
      b.num_extra_channels, "alpha_bits", b.alpha_bits, "have_animation",
      PyBool_FromLong(b.have_animation != 0), "orientation",
      static_cast<unsigned>(b.orientation), "intensity_target",
      static_cast<double>(b.intensity_target), "min_nits", static_cast<double>(b.min_nits),
      "uses_original_profile", PyBool_FromLong(b.uses_original_profile != 0)));
}

Ref color_dict(const JxlColorEncoding& c) {
  return Ref::steal(Py_BuildValue(
      "{sIsIsIsIsI}", "color_space", static_cast<unsigned>(c.color_space), "white_point",
      static_cast<unsigned>(c.white_point), "primaries", static_cast<unsigned>(c.primaries),
      "transfer_function", static_cast<unsigned>(c.transfer_function), "rendering_intent",
      static_cast<unsigned>(c.rendering_intent)));
}

Ref animation_dict(const JxlBasicInfo& b) {
  if (!b.have_animation) return Ref::none();
  const JxlAnimationHeader& a = b.animation;
  return Ref::steal(Py_BuildValue("{sIsIsIsN}", "tps_numerator", a.tps_numerator,
                                  "tps_denominator", a.tps_denominator, "num_loops",
                                  a.num_loops, "have_timecodes",
                                  PyBool_FromLong(a.have_timecodes != 0)));
}

Ref frame_info_dict(const JxlBasicInfo& b, const JxlFrameHeader& h, const std::string& name,
                    bool with_layer) {
  double ms = 0.0;
  if (b.have_animation && b.animation.tps_numerator != 0)
    ms = static_cast<double>(h.duration) * 1000.0 * b.animation.tps_denominator /
         b.animation.tps_numerator;
  Ref text = Ref::steal(PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()),
                                             "replace"));
  if (!text) return {};
  Ref info = Ref::steal(Py_BuildValue("{sIsdsIsOsN}", "duration", h.duration, "duration_ms", ms,
                                      "timecode", h.timecode, "name", text.get(), "is_last",
                                      PyBool_FromLong(h.is_last != 0)));
  if (!info || !with_layer) return info;
  // A layer's place on the canvas.
  const JxlLayerInfo& l = h.layer_info;
  Ref place = Ref::steal(Py_BuildValue("{sisisIsI}", "x0", l.crop_x0, "y0", l.crop_y0, "xsize",
                                       l.xsize, "ysize", l.ysize));
  if (!place || PyDict_Update(info.get(), place.get()) < 0) return {};
  return info;
}

Ref extra_channels_list(JxlDecoder* dec, const JxlBasicInfo& b,
                        std::vector<JxlExtraChannelInfo>* infos) {
  static const char* const kTypes[] = {"alpha", "depth", "spot_color", "selection_mask",
                                       "black", "cfa", "thermal"};
  Ref list = Ref::steal(PyList_New(0));
  if (!list) return {};
  infos->clear();
  for (uint32_t i = 0; i < b.num_extra_channels; ++i) {
    JxlExtraChannelInfo e;
    if (JxlDecoderGetExtraChannelInfo(dec, i, &e) != JXL_DEC_SUCCESS) {
      raise_jxl_error("JxlDecoderGetExtraChannelInfo failed");
      return {};
    }
    std::string name(e.name_length + 1, '\0');
    if (e.name_length &&
        JxlDecoderGetExtraChannelName(dec, i, name.data(), name.size()) != JXL_DEC_SUCCESS) {
      raise_jxl_error("JxlDecoderGetExtraChannelName failed");
      return {};
    }
    name.resize(e.name_length);
    const char* type = e.type <= JXL_CHANNEL_THERMAL ? kTypes[e.type]
                       : e.type == JXL_CHANNEL_OPTIONAL ? "optional"
                                                        : "unknown";
    Ref text = Ref::steal(PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()),
                                               "replace"));
    if (!text) return {};
    Ref spot = e.type == JXL_CHANNEL_SPOT_COLOR
                   ? Ref::steal(Py_BuildValue("(dddd)", e.spot_color[0], e.spot_color[1],
                                              e.spot_color[2], e.spot_color[3]))
                   : Ref::none();
    if (!spot) return {};
    Ref entry = Ref::steal(Py_BuildValue(
        "{sssIsIsOsNsO}", "type", type, "bits_per_sample", e.bits_per_sample,
        "exponent_bits_per_sample", e.exponent_bits_per_sample, "name", text.get(),
        "alpha_premultiplied", PyBool_FromLong(e.alpha_premultiplied != 0), "spot_color",
        spot.get()));
    if (!entry || PyList_Append(list.get(), entry.get()) < 0) return {};
    try {
      infos->push_back(e);
    } catch (...) {
      PyErr_NoMemory();
      return {};
    }
  }
  return list;
}

}  // namespace kp
