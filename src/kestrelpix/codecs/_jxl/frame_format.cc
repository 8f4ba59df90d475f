// The frame-format table and the rules that choose from it.
#include "frame_format.h"

#include <algorithm>

#include "npy.h"

namespace kp {
namespace {

constexpr FrameFormat kUint8 = {"uint8", NPY_UINT8, JXL_TYPE_UINT8, 1, 8, 0};
constexpr FrameFormat kUint16 = {"uint16", NPY_UINT16, JXL_TYPE_UINT16, 2, 16, 0};
constexpr FrameFormat kFloat32 = {"float32", NPY_FLOAT32, JXL_TYPE_FLOAT, 4, 32, 8};
constexpr FrameFormat kFloat16 = {"float16", NPY_FLOAT16, JXL_TYPE_FLOAT16, 2, 16, 5};

constexpr const FrameFormat* kFormats[] = {&kUint8, &kUint16, &kFloat32, &kFloat16};

}  // namespace

size_t sample_size(JxlDataType type) noexcept {
  for (const FrameFormat* f : kFormats)
    if (f->data_type == type) return f->item_size;
  return 4;
}

const FrameFormat* format_for_samples(uint32_t bits, uint32_t exponent_bits) {
  if (exponent_bits == 0) return bits <= 8 ? &kUint8 : bits <= 16 ? &kUint16 : &kFloat32;
  if (bits == 32) return &kFloat32;
  if (bits == 16) return &kFloat16;
  PyErr_Format(PyExc_ValueError, "jxl: unsupported float bits_per_sample=%u", bits);
  return nullptr;
}

const FrameFormat* format_for_dtype(PyObject* descr) {
  auto* d = reinterpret_cast<PyArray_Descr*>(descr);
  if (PyArray_ISNBO(d->byteorder)) {
    for (const FrameFormat* f : kFormats)
      if (d->type_num == f->typenum) return f;
  }
  PyErr_Format(PyExc_ValueError, "jxl: unsupported dtype %R (want uint8, uint16, float16, or float32)",
               descr);
  return nullptr;
}

Ref scalar_type(const FrameFormat& format) {
  return Ref::steal(reinterpret_cast<PyObject*>(PyArray_TypeObjectFromType(format.typenum)));
}

JxlBitDepth output_bit_depth(const FrameFormat& format) noexcept {
  const bool integer = format.exponent_bits == 0;
  return {integer ? JXL_BIT_DEPTH_FROM_CODESTREAM : JXL_BIT_DEPTH_FROM_PIXEL_FORMAT, 0, 0};
}

bool is_simple_layout(const JxlBasicInfo& info) noexcept {
  const uint32_t color = info.num_color_channels;
  const uint32_t extra = info.num_extra_channels;
  return (color == 1 || color == 3) && (extra == 0 || (extra == 1 && info.alpha_bits != 0));
}

void widest_samples(const JxlBasicInfo& info, const std::vector<JxlExtraChannelInfo>& extras,
                    uint32_t* bits, uint32_t* exponent_bits) noexcept {
  bool any_float = info.exponent_bits_per_sample != 0;
  uint32_t widest = info.bits_per_sample;
  bool all_half = info.exponent_bits_per_sample != 0 ? info.bits_per_sample == 16
                                                     : info.bits_per_sample <= 11;
  for (const auto& e : extras) {
    any_float = any_float || e.exponent_bits_per_sample != 0;
    widest = std::max(widest, e.bits_per_sample);
    all_half = all_half && (e.exponent_bits_per_sample != 0 ? e.bits_per_sample == 16
                                                            : e.bits_per_sample <= 11);
  }
  if (any_float) {
    *bits = all_half ? 16 : 32;
    *exponent_bits = all_half ? 5 : 8;
  } else {
    *bits = widest;
    *exponent_bits = 0;
  }
}

}  // namespace kp
