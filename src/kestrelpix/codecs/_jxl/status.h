// libjxl status names, the module's internal result codes, and the helpers
// that turn either into a JxlError with a fixed message.
#pragma once

#include "py.h"

namespace kp {

// Outcome of one lock-free decode step of the reader's frame loop.
enum DecodeResult : int {
  _RC_FRAME = 0,        // the frame's pixels are complete
  _RC_EOF = 1,          // the stream is finished
  _RC_NEED_INPUT = 2,   // streaming: refill and resume the step
  _RC_NEED_BUFFER = 3,  // a layer's size is known: allocate it and resume
  _RC_ERR_PROCESS = -1,
  _RC_ERR_NEED_INPUT_FATAL = -2,
  _RC_ERR_BUF_SIZE_QUERY = -3,
  _RC_ERR_BUF_SIZE_MISMATCH = -4,
  _RC_ERR_SET_BUFFER = -5,
  _RC_ERR_SET_BIT_DEPTH = -6,
  _RC_ERR_DOUBLE_ALLOC = -7,
  _RC_ERR_NO_MEMORY = -8,
};

// Outcome of one lock-free add-frame-and-collect step of the writer.
enum EncodeResult : int {
  _ENC_OK = 0,
  _ENC_ERR_ADD_FRAME = -1,
  _ENC_ERR_PROCESS = -2,
  _ENC_ERR_REALLOC = -3,
  _ENC_ERR_EXTRA_BUFFER = -4,
};

// The three name tables bound as module globals at start-up.
PyObject* build_dec_status_names();
PyObject* build_enc_status_names();
PyObject* build_enc_err_names();

// Each raises JxlError (looked up among the module's globals) and returns
// null, so callers can `return raise_...(...)` from a PyObject* function.
std::nullptr_t raise_jxl_error(const char* message);
// "<func> returned <status name>"
std::nullptr_t _raise_dec(const char* func, int status);
// "<func> returned <status name>[ (<error name>)]"; a negative err_code
// leaves the parenthesised part out.
std::nullptr_t _raise_enc(const char* func, int status, long err_code = -1);
// The message of a decode-step result code.
std::nullptr_t raise_decode_result(int rc);

}  // namespace kp
