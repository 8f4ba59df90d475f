// encode, decode and frame_count: thin drivers over the two classes and a
// private libjxl decoder.
#include "oneshot.h"

#include "common.h"

namespace kp {
namespace {

}  // namespace

int add_oneshot_functions(PyObject* module) {
  static PyMethodDef functions[] = {
      {nullptr, nullptr, 0, nullptr},
  };
  Ref modname = Ref::steal(PyUnicode_FromString(kModuleName));
  if (!modname) return -1;
  for (PyMethodDef* def = functions; def->ml_name; ++def) {
    Ref func = Ref::steal(PyCFunction_NewEx(def, nullptr, modname.get()));
    if (!func || PyModule_AddObjectRef(module, def->ml_name, func.get()) < 0)
      return -1;
  }
  return 0;
}

}  // namespace kp
