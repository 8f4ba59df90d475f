// Frame counting over any source, in place or in chunks.
#include "frame_count.h"

#include <jxl/decode.h>
#include <jxl/decode_cxx.h>

#include "input.h"
#include "status.h"

namespace kp {
namespace {

// Counts frames with the input handed over piece by piece; the input is
// never closed, so running out of it means the stream is truncated.
int count_from(DecoderInput& input, uint64_t* count) {
  *count = 0;
  JxlDecoderPtr owner = JxlDecoderMake(/*memory_manager=*/nullptr);
  if (!owner) return raise_jxl_error("JxlDecoderCreate returned NULL"), -1;
  JxlDecoder* dec = owner.get();
  JxlDecoderStatus status = JxlDecoderSubscribeEvents(dec, JXL_DEC_FRAME);
  if (status != JXL_DEC_SUCCESS) return raise_dec("JxlDecoderSubscribeEvents", status), -1;
  bool empty = false;
  if (input.start(dec, &empty, /*close_at_end=*/false) < 0) return -1;
  if (empty) return 0;
  for (;;) {
    status = without_gil([dec] { return JxlDecoderProcessInput(dec); });
    switch (status) {
      case JXL_DEC_FRAME:
        ++*count;
        break;
      case JXL_DEC_SUCCESS:
        return 0;
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
