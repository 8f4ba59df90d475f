// libjxl status names, the module's internal result codes, and the helpers
// that turn either into a JxlError with a fixed message.
#pragma once

#include "py.h"

namespace kp {

// Outcome of one lock-free decode step of the reader's frame loop.
enum DecodeResult : int {
  kStepFrame = 0,        // the frame's pixels are complete
  kStepEof = 1,          // the stream is finished
  kStepNeedInput = 2,   // streaming: refill and resume the step
  kStepNeedBuffer = 3,  // a layer's size is known: allocate it and resume
  kStepProgress = 4,    // a progressive step was flushed into the frame's buffer
  kStepErrProcess = -1,
  kStepErrTruncated = -2,
  kStepErrBufferSizeQuery = -3,
  kStepErrBufferSizeMismatch = -4,
  kStepErrSetBuffer = -5,
  kStepErrSetBitDepth = -6,
  kStepErrDoubleAlloc = -7,
  kStepErrNoMemory = -8,
  kStepErrNoRendering = -9,  // truncated before libjxl could render anything
};

// Outcome of one lock-free add-frame-and-collect step of the writer.
enum EncodeResult : int {
  kEncodeOk = 0,
  kEncodeErrAddFrame = -1,
  kEncodeErrProcess = -2,
  kEncodeErrRealloc = -3,
  kEncodeErrExtraBuffer = -4,
};

// The three name tables bound as module globals at start-up.
PyObject* build_dec_status_names();
PyObject* build_enc_status_names();
PyObject* build_enc_err_names();

// Each raises JxlError (looked up among the module's globals) and returns
// null, so callers can `return raise_...(...)` from a PyObject* function.
std::nullptr_t raise_jxl_error(const char* message);
// "<func> returned <status name>"
std::nullptr_t raise_dec(const char* func, int status);
// "<func> returned <status name>[ (<error name>)]"; a negative err_code
// leaves the parenthesised part out.
std::nullptr_t raise_enc(const char* func, int status, long err_code = -1);
// The message of a decode-step result code.
std::nullptr_t raise_decode_result(int rc);

}  // namespace kp
