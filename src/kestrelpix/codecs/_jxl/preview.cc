// decode(..., preview=True): the small preview image a codestream may carry
// ahead of its frames (its header says so), decoded alone; the frames that
// follow are not read.
#include "preview.h"

#include <jxl/decode.h>
#include <jxl/decode_cxx.h>

#include <utility>

#include "common.h"
#include "frame_format.h"
#include "input.h"
#include "npy.h"
#include "status.h"

namespace kp {
namespace {

// a[::-1] along `axis` (a view).
Ref flip(PyObject* a, int axis) {
  Ref all = Ref::steal(PySlice_New(nullptr, nullptr, nullptr));
  Ref minus_one = Ref::steal(PyLong_FromLong(-1));
  if (!all || !minus_one) return {};
  Ref back = Ref::steal(PySlice_New(nullptr, nullptr, minus_one.get()));
  if (!back) return {};
  Ref key = Ref::steal(axis == 0 ? PyTuple_Pack(1, back.get())
                                 : PyTuple_Pack(2, all.get(), back.get()));
  if (!key) return {};
  return Ref::steal(PyObject_GetItem(a, key.get()));
}

// The preview as shown: the stored orientation applied (the Exif meanings
// of 1 to 8), a new C-contiguous array. The preview is decoded as stored so
// that its shape is known from its header whatever the orientation.
Ref orient(Ref stored, uint32_t orientation) {
  if (orientation <= 1 || orientation > 8) return stored;
  // Flip the rows, the columns, or both, then transpose for 5 to 8.
  static constexpr struct { bool rows, cols, transpose; } kSteps[9] = {
      {}, {}, {false, true, false}, {true, true, false}, {true, false, false},
      {false, false, true}, {true, false, true}, {true, true, true}, {false, true, true}};
  const auto& step = kSteps[orientation];
  Ref a = std::move(stored);
  if (step.rows && !(a = flip(a.get(), 0))) return {};
  if (step.cols && !(a = flip(a.get(), 1))) return {};
  if (step.transpose &&
      !(a = Ref::steal(PyArray_SwapAxes(reinterpret_cast<PyArrayObject*>(a.get()), 0, 1))))
    return {};
  return Ref::steal(PyArray_NewCopy(reinterpret_cast<PyArrayObject*>(a.get()), NPY_CORDER));
}

struct Preview {
  JxlBasicInfo info{};
  const FrameFormat* format = nullptr;
  JxlPixelFormat pixels{};
  Ref array;
};

int on_basic_info(JxlDecoder* dec, Preview& p) {
  if (JxlDecoderGetBasicInfo(dec, &p.info) != JXL_DEC_SUCCESS)
    return raise_jxl_error("JxlDecoderGetBasicInfo failed"), -1;
  if (!p.info.have_preview) return raise_jxl_error("jxl: the stream has no preview image"), -1;
  p.format = format_for_samples(p.info.bits_per_sample, p.info.exponent_bits_per_sample);
  if (!p.format) return -1;
  // The colour channels and the alpha, if any, as a frame gives them.
  const uint32_t samples = p.info.num_color_channels + (p.info.alpha_bits ? 1 : 0);
  p.pixels = {samples, p.format->data_type, JXL_NATIVE_ENDIAN, /*align=*/0};
  return 0;
}

int set_buffer(JxlDecoder* dec, Preview& p) {
  if (!p.format) return raise_jxl_error("jxl: a preview came before the header"), -1;
  npy_intp dims[3] = {static_cast<npy_intp>(p.info.preview.ysize),
                      static_cast<npy_intp>(p.info.preview.xsize),
                      static_cast<npy_intp>(p.pixels.num_channels)};
  p.array = Ref::steal(PyArray_SimpleNew(p.pixels.num_channels == 1 ? 2 : 3, dims,
                                         p.format->typenum));
  if (!p.array) return -1;
  auto* a = reinterpret_cast<PyArrayObject*>(p.array.get());
  size_t want = 0;
  if (JxlDecoderPreviewOutBufferSize(dec, &p.pixels, &want) != JXL_DEC_SUCCESS)
    return raise_jxl_error("JxlDecoderPreviewOutBufferSize failed"), -1;
  if (want != static_cast<size_t>(PyArray_NBYTES(a)))
    return raise_jxl_error("jxl: the preview's size does not match its header"), -1;
  if (JxlDecoderSetPreviewOutBuffer(dec, &p.pixels, PyArray_DATA(a), want) != JXL_DEC_SUCCESS)
    return raise_jxl_error("JxlDecoderSetPreviewOutBuffer failed"), -1;
  return 0;
}

}  // namespace

PyObject* decode_preview(PyObject* data, bool keep_orientation) {
  DecoderInput input;
  if (input.open(data) < 0) return nullptr;
  JxlDecoderPtr owner = JxlDecoderMake(nullptr);
  if (!owner) return raise_jxl_error("JxlDecoderCreate returned NULL");
  JxlDecoder* dec = owner.get();
  // Decoded as stored: its header's size is then its shape (see orient).
  JxlDecoderSetKeepOrientation(dec, JXL_TRUE);
  // Frames come after the preview: their event means there was none.
  const JxlDecoderStatus sub = JxlDecoderSubscribeEvents(
      dec, JXL_DEC_BASIC_INFO | JXL_DEC_PREVIEW_IMAGE | JXL_DEC_FRAME);
  if (sub != JXL_DEC_SUCCESS) return raise_dec("JxlDecoderSubscribeEvents", sub);
  bool empty = false;
  if (input.start(dec, &empty, /*close_at_end=*/false) < 0) return nullptr;
  if (empty) {
    PyErr_SetString(PyExc_ValueError, "jxl: empty input");
    return nullptr;
  }
  Preview p;
  for (;;) {
    const JxlDecoderStatus st = without_gil([dec] { return JxlDecoderProcessInput(dec); });
    switch (st) {
      case JXL_DEC_BASIC_INFO:
        if (on_basic_info(dec, p) < 0) return nullptr;
        break;
      case JXL_DEC_NEED_PREVIEW_OUT_BUFFER:
        if (set_buffer(dec, p) < 0) return nullptr;
        break;
      case JXL_DEC_PREVIEW_IMAGE:
        if (!p.array) return raise_jxl_error("jxl: a preview came without a buffer");
        return (keep_orientation ? std::move(p.array) : orient(std::move(p.array), p.info.orientation))
            .release();
      case JXL_DEC_NEED_MORE_INPUT: {
        const int more = input.refill(dec);
        if (more < 0) return nullptr;
        if (more == 0)
          return raise_jxl_error(p.format ? "jxl: truncated stream in the preview image"
                                          : "jxl: truncated stream before the header");
        break;
      }
      case JXL_DEC_FRAME:
      case JXL_DEC_SUCCESS:
        // The header said there is a preview, but none came.
        return raise_jxl_error("jxl: the stream has no preview image");
      case JXL_DEC_ERROR:
        return raise_dec("JxlDecoderProcessInput", st);
      default:
        // Nothing else was subscribed to.
        return raise_dec("JxlDecoderProcessInput", st);
    }
  }
}

}  // namespace kp
