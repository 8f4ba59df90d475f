#include "common.h"

#include "threads.h"

#include <jxl/decode.h>

#include <algorithm>

namespace kp {

bool is_jxl_signature(const uint8_t* data, size_t size) {
  size = std::min(size, kSignatureProbe);
  if (size == 0 || data == nullptr) return false;
  const JxlSignature sig = JxlSignatureCheck(data, size);
  return sig == JXL_SIG_CODESTREAM || sig == JXL_SIG_CONTAINER;
}

int resolve_num_threads(PyObject* numthreads, size_t* out) {
  bool use_default = numthreads == Py_None;
  if (!use_default) {
    Ref zero = Ref::steal(PyLong_FromLong(0));
    if (!zero) return -1;
    const int non_positive = PyObject_RichCompareBool(numthreads, zero.get(), Py_LE);
    if (non_positive < 0) return -1;
    use_default = non_positive == 1;
  }
  if (use_default) {
    *out = default_worker_count();
    return 0;
  }
  Ref index = Ref::steal(PyNumber_Index(numthreads));
  if (!index) return -1;
  const size_t n = PyLong_AsSize_t(index.get());
  if (n == static_cast<size_t>(-1) && PyErr_Occurred()) return -1;
  *out = n;
  return 0;
}

}  // namespace kp
