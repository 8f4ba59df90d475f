// Frame counting over any source, in place or in chunks.
#include "frame_count.h"

#include <jxl/decode.h>
#include <jxl/decode_cxx.h>

#include "input.h"
#include "status.h"

namespace kp {
namespace {

void drop_pixels(void*, size_t, size_t, size_t, const void*) {}

// Counts frames with the input handed over piece by piece; the input is
// never closed, so running out of it means the stream is truncated.
int count_from(DecoderInput& input, uint64_t* count) {
  *count = 0;
  JxlDecoderPtr owner = JxlDecoderMake(/*memory_manager=*/nullptr);
  if (!owner) return raise_jxl_error("JxlDecoderCreate returned NULL"), -1;
  JxlDecoder* dec = owner.get();
  if (input.fill(2) < 0) return -1;
  const bool bare = input.available() >= 2 && input.head()[0] == 0xFF && input.head()[1] == 0x0A;
  JxlDecoderStatus status =
      JxlDecoderSubscribeEvents(dec, JXL_DEC_FRAME | (bare ? JXL_DEC_FULL_IMAGE : 0));
  if (status != JXL_DEC_SUCCESS) return raise_dec("JxlDecoderSubscribeEvents", status), -1;
  bool empty = false;
  if (input.start(dec, &empty, /*close_at_end=*/false) < 0) return -1;
  if (empty) return 0;
  bool is_last = false;
  for (;;) {
    status = without_gil([dec] { return JxlDecoderProcessInput(dec); });
    switch (status) {
      case JXL_DEC_FRAME: {
        ++*count;
        JxlFrameHeader header;
        if (JxlDecoderGetFrameHeader(dec, &header) != JXL_DEC_SUCCESS)
          return raise_jxl_error("JxlDecoderGetFrameHeader failed"), -1;
        is_last = header.is_last;
        break;
      }
      case JXL_DEC_NEED_IMAGE_OUT_BUFFER:
        if (reach_last_frame_end(dec, is_last) < 0) return -1;
        break;
      case JXL_DEC_FULL_IMAGE:
        break;
      case JXL_DEC_SUCCESS:
        return input.check_codestream_whole("counting frames");
      case JXL_DEC_NEED_MORE_INPUT: {
        const int more = input.refill(dec);
        if (more < 0) return -1;
        if (more == 0) return raise_jxl_error("jxl: truncated stream while counting frames"), -1;
        break;
      }
      case JXL_DEC_ERROR:
      default:
        // Nothing else was subscribed to.
        return raise_dec("JxlDecoderProcessInput", status), -1;
    }
  }
}

}  // namespace

int reach_last_frame_end(JxlDecoder* dec, bool is_last) {
  if (!is_last) {
    if (JxlDecoderSkipCurrentFrame(dec) != JXL_DEC_SUCCESS)
      return raise_jxl_error("JxlDecoderSkipCurrentFrame failed"), -1;
    return 0;
  }
  JxlBasicInfo info;
  if (JxlDecoderGetBasicInfo(dec, &info) != JXL_DEC_SUCCESS)
    return raise_jxl_error("JxlDecoderGetBasicInfo failed"), -1;
  const JxlPixelFormat format{info.num_color_channels, JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
  if (JxlDecoderSetImageOutCallback(dec, &format, drop_pixels, nullptr) != JXL_DEC_SUCCESS)
    return raise_jxl_error("JxlDecoderSetImageOutCallback failed"), -1;
  return 0;
}

int count_frames_in(const uint8_t* data, size_t size, uint64_t* count) {
  DecoderInput input;
  input.open_memory(data, size);
  return count_from(input, count);
}

int count_frames(PyObject* data, uint64_t* count) {
  if (check_bytes(data) < 0) return -1;
  DecoderInput input;
  if (input.open(data) < 0) return -1;
  return count_from(input, count);
}

}  // namespace kp
