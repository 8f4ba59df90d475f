// Status-name tables and the raising helpers.
#include "status.h"

#include <jxl/decode.h>
#include <jxl/encode.h>

#include <initializer_list>
#include <string>
#include <utility>

namespace kp {
namespace {

using NamedValue = std::pair<long, const char*>;

PyObject* build_table(std::initializer_list<NamedValue> entries) {
  Ref table = Ref::steal(PyDict_New());
  if (!table) return nullptr;
  for (const auto& [value, name] : entries) {
    Ref key = Ref::steal(PyLong_FromLong(value));
    Ref text = Ref::steal(PyUnicode_FromString(name));
    if (!key || !text || PyDict_SetItem(table.get(), key.get(), text.get()) < 0)
      return nullptr;
  }
  return table.release();
}

// The table's name for `value`, or "unknown <value>" (new reference).
Ref status_name(const char* table_name, long value) {
  PyObject* table = module_global(table_name);
  if (!table) return {};
  Ref key = Ref::steal(PyLong_FromLong(value));
  if (!key) return {};
  PyObject* name = PyDict_GetItemWithError(table, key.get());
  if (name) return Ref::borrow(name);
  if (PyErr_Occurred()) return {};
  return Ref::steal(PyUnicode_FromFormat("unknown %ld", value));
}

std::nullptr_t raise_jxl_error_object(PyObject* message) {
  PyObject* error_type = module_global("JxlError");
  if (!error_type) return nullptr;
  Ref error = Ref::steal(PyObject_CallOneArg(error_type, message));
  if (error) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())),
                             error.get());
  return nullptr;
}

}  // namespace

PyObject* build_dec_status_names() {
  return build_table({
      {JXL_DEC_SUCCESS, "JXL_DEC_SUCCESS"},
      {JXL_DEC_ERROR, "JXL_DEC_ERROR"},
      {JXL_DEC_NEED_MORE_INPUT, "JXL_DEC_NEED_MORE_INPUT"},
      {JXL_DEC_NEED_PREVIEW_OUT_BUFFER, "JXL_DEC_NEED_PREVIEW_OUT_BUFFER"},
      {JXL_DEC_NEED_IMAGE_OUT_BUFFER, "JXL_DEC_NEED_IMAGE_OUT_BUFFER"},
      {JXL_DEC_JPEG_NEED_MORE_OUTPUT, "JXL_DEC_JPEG_NEED_MORE_OUTPUT"},
      {JXL_DEC_BASIC_INFO, "JXL_DEC_BASIC_INFO"},
      {JXL_DEC_COLOR_ENCODING, "JXL_DEC_COLOR_ENCODING"},
      {JXL_DEC_PREVIEW_IMAGE, "JXL_DEC_PREVIEW_IMAGE"},
      {JXL_DEC_FRAME, "JXL_DEC_FRAME"},
      {JXL_DEC_FULL_IMAGE, "JXL_DEC_FULL_IMAGE"},
      {JXL_DEC_JPEG_RECONSTRUCTION, "JXL_DEC_JPEG_RECONSTRUCTION"},
      {JXL_DEC_BOX, "JXL_DEC_BOX"},
      {JXL_DEC_FRAME_PROGRESSION, "JXL_DEC_FRAME_PROGRESSION"},
      {JXL_DEC_BOX_COMPLETE, "JXL_DEC_BOX_COMPLETE"},
  });
}

PyObject* build_enc_status_names() {
  return build_table({
      {JXL_ENC_SUCCESS, "JXL_ENC_SUCCESS"},
      {JXL_ENC_ERROR, "JXL_ENC_ERROR"},
      {JXL_ENC_NEED_MORE_OUTPUT, "JXL_ENC_NEED_MORE_OUTPUT"},
  });
}

PyObject* build_enc_err_names() {
  return build_table({
      {JXL_ENC_ERR_OK, "JXL_ENC_ERR_OK"},
      {JXL_ENC_ERR_GENERIC, "JXL_ENC_ERR_GENERIC"},
      {JXL_ENC_ERR_OOM, "JXL_ENC_ERR_OOM"},
      {JXL_ENC_ERR_JBRD, "JXL_ENC_ERR_JBRD"},
      {JXL_ENC_ERR_BAD_INPUT, "JXL_ENC_ERR_BAD_INPUT"},
      {JXL_ENC_ERR_NOT_SUPPORTED, "JXL_ENC_ERR_NOT_SUPPORTED"},
      {JXL_ENC_ERR_API_USAGE, "JXL_ENC_ERR_API_USAGE"},
  });
}

std::nullptr_t raise_jxl_error(const char* message) {
  Ref text = Ref::steal(PyUnicode_FromString(message));
  if (!text) return nullptr;
  return raise_jxl_error_object(text.get());
}

std::nullptr_t raise_dec(const char* func, int status) {
  Ref name = status_name("_DEC_STATUS_NAMES", status);
  if (!name) return nullptr;
  Ref message = Ref::steal(PyUnicode_FromFormat("%s returned %U", func, name.get()));
  if (!message) return nullptr;
  return raise_jxl_error_object(message.get());
}

std::nullptr_t raise_enc(const char* func, int status, long err_code) {
  Ref name = status_name("_ENC_STATUS_NAMES", status);
  if (!name) return nullptr;
  Ref message;
  if (err_code < 0) {
    message = Ref::steal(PyUnicode_FromFormat("%s returned %U", func, name.get()));
  } else {
    Ref err_name = status_name("_ENC_ERR_NAMES", err_code);
    if (!err_name) return nullptr;
    message = Ref::steal(PyUnicode_FromFormat("%s returned %U (%U)", func,
                                              name.get(), err_name.get()));
  }
  if (!message) return nullptr;
  return raise_jxl_error_object(message.get());
}

std::nullptr_t raise_decode_result(int rc) {
  const char* text = nullptr;
  switch (rc) {
    case kStepErrProcess:
      text = "JxlDecoderProcessInput returned JXL_DEC_ERROR";
      break;
    case kStepErrTruncated:
      text = "JxlDecoderProcessInput needs more input (truncated stream?)";
      break;
    case kStepErrBufferSizeQuery:
      text = "JxlDecoderImageOutBufferSize failed";
      break;
    case kStepErrBufferSizeMismatch:
      text = "jxl: out buffer size mismatch";
      break;
    case kStepErrSetBuffer:
      text = "JxlDecoderSetImageOutBuffer failed";
      break;
    case kStepErrSetBitDepth:
      text = "JxlDecoderSetImageOutBitDepth failed";
      break;
    case kStepErrDoubleAlloc:
      text = "jxl: double-allocation in decode loop";
      break;
    case kStepErrNoRendering:
      text = "jxl: the stream is truncated before libjxl can render any of the frame "
             "(no preview available yet)";
      break;
    case kStepErrNoMemory:
      PyErr_SetString(PyExc_MemoryError, "jxl: failed to allocate extra channel buffers");
      return nullptr;
    default: {
      std::string unknown = "jxl: unknown decode error code " + std::to_string(rc);
      return raise_jxl_error(unknown.c_str());
    }
  }
  return raise_jxl_error(text);
}

}  // namespace kp
