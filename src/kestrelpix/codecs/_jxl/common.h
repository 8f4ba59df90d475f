// Small rules shared by the reader, the writer and the module functions.
#pragma once

#include "py.h"

#include <cstddef>
#include <cstdint>
#include <new>

namespace kp {

// The name the module is imported under; every published callable and
// class reports it.
inline constexpr const char kModuleName[] = "kestrelpix.codecs._jxl";

// What one module object holds (its module state): its classes. A type's
// own module is found from the type (state_of_type), the running
// interpreter's from anywhere (module_state); strong references.
struct ModuleState {
  PyTypeObject* reader_type;      // JxlReader
  PyTypeObject* writer_type;      // JxlWriter
  PyTypeObject* frame_iter_type;  // the iterator of iter_frames and iter_progressive
};

// The state of the module imported in the running interpreter, or null with
// RuntimeError set.
ModuleState* module_state();
// The state of the module that defined `type` or one of its bases, or null
// with TypeError set.
ModuleState* state_of_type(PyTypeObject* type);

// Only this many leading bytes are ever shown to JxlSignatureCheck.
inline constexpr size_t kSignatureProbe = 16;

// Whether the bytes start a JPEG XL codestream or container. An empty input
// is not one, and libjxl is not asked about it.
bool is_jxl_signature(const uint8_t* data, size_t size);

// Worker count: None, 0 or a negative number select libjxl's default; a
// positive number is used unchanged. Returns 0, or -1 with an error set.
int resolve_num_threads(PyObject* numthreads, size_t* out);

// A new, uninitialised object of `type`, which must be `base` or a subclass
// (TypeError otherwise), made by the type's tp_new without arguments.
Ref new_instance(PyObject* type, PyTypeObject* base);

// A Python entry point that turns a std::bad_alloc thrown out of libjxl (its
// containers allocate with operator new) into MemoryError: the exception
// would otherwise reach the interpreter's C frames and end the process.
// Every holder on the way out is RAII, so unwinding frees what was taken and
// takes the interpreter lock back.
template <PyObject* (*F)(PyObject*, PyObject*, PyObject*)>
PyObject* catching_bad_alloc(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  try {
    return F(self, args, kwargs);
  } catch (const std::bad_alloc&) {
    PyErr_SetString(PyExc_MemoryError, "jxl: libjxl ran out of memory");
    return nullptr;
  }
}

// The same for a method without arguments.
template <PyObject* (*F)(PyObject*, PyObject*)>
PyObject* catching_bad_alloc(PyObject* self, PyObject* arg) noexcept {
  try {
    return F(self, arg);
  } catch (const std::bad_alloc&) {
    PyErr_SetString(PyExc_MemoryError, "jxl: libjxl ran out of memory");
    return nullptr;
  }
}

// Binds each function of the null-ended `defs` in the module.
int add_functions(PyObject* module, PyMethodDef* defs);

}  // namespace kp
