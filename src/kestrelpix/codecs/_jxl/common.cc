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

Ref new_instance(PyObject* type, PyTypeObject* base) {
  if (!PyType_Check(type) || !PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(type), base)) {
    PyErr_Format(PyExc_TypeError, "jxl: %s is %R, not a %s type", base->tp_name, type,
                 base->tp_name);
    return {};
  }
  auto* t = reinterpret_cast<PyTypeObject*>(type);
  Ref no_args = Ref::steal(PyTuple_New(0));
  if (!no_args) return {};
  return Ref::steal(t->tp_new(t, no_args.get(), nullptr));
}

int add_functions(PyObject* module, PyMethodDef* defs) {
  Ref modname = Ref::steal(PyUnicode_FromString(kModuleName));
  if (!modname) return -1;
  for (PyMethodDef* def = defs; def->ml_name; ++def) {
    Ref func = Ref::steal(PyCFunction_NewEx(def, nullptr, modname.get()));
    if (!func || PyModule_AddObjectRef(module, def->ml_name, func.get()) < 0) return -1;
  }
  return 0;
}

}  // namespace kp
