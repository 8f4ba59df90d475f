// The out-of-line parts of the boundary helpers declared in py.h.
#include "py.h"

#include <cstring>

namespace kp {

int ByteView::acquire(PyObject* obj) {
  release();
  if (obj == Py_None) return 0;
  if (PyObject_GetBuffer(obj, &view_, PyBUF_RECORDS_RO) < 0) return -1;
  held_ = true;
  if (view_.ndim != 1) {
    PyErr_Format(PyExc_ValueError,
                 "Buffer has wrong number of dimensions (expected 1, got %d)",
                 view_.ndim);
    release();
    return -1;
  }
  const char* fmt = view_.format ? view_.format : "B";
  if (fmt[0] == '@' || fmt[0] == '=') ++fmt;
  if (view_.itemsize != 1 || std::strcmp(fmt, "B") != 0) {
    PyErr_Format(PyExc_ValueError,
                 "Buffer dtype mismatch, expected 'const unsigned char' but "
                 "got '%s'",
                 view_.format ? view_.format : "B");
    release();
    return -1;
  }
  if (view_.strides && view_.len > 1 && view_.strides[0] != 1) {
    PyErr_SetString(PyExc_ValueError, "Buffer not C contiguous.");
    release();
    return -1;
  }
  return 0;
}

bool ObjectLock::acquire(const char* type_name) {
  const unsigned long me = PyThread_get_thread_ident();
  if (owner_.load(std::memory_order_relaxed) == me) {
    PyErr_Format(PyExc_RuntimeError,
                 "jxl: %s is already in use by this thread (reentrant call)",
                 type_name);
    return false;
  }
  if (!PyThread_acquire_lock(lock_, NOWAIT_LOCK)) {
    WithoutGil released;
    PyThread_acquire_lock(lock_, WAIT_LOCK);
  }
  owner_.store(me, std::memory_order_relaxed);
  return true;
}

int is_path_like(PyObject* obj) {
  if (PyUnicode_Check(obj)) return 1;
  PyObject* os = module_global("os");
  if (!os) return -1;
  Ref pathlike = Ref::steal(PyObject_GetAttrString(os, "PathLike"));
  if (!pathlike) return -1;
  return PyObject_IsInstance(obj, pathlike.get());
}

int is_readable_file(PyObject* obj) {
  int has_read = PyObject_HasAttrString(obj, "read");
  if (!has_read) return 0;
  return !(PyBytes_Check(obj) || PyByteArray_Check(obj) ||
           PyMemoryView_Check(obj));
}

Ref read_path(PyObject* path) {
  Ref builtins = Ref::steal(PyImport_ImportModule("builtins"));
  if (!builtins) return {};
  Ref file = Ref::steal(
      PyObject_CallMethod(builtins.get(), "open", "Os", path, "rb"));
  if (!file) return {};
  Ref data = call_method(file.get(), "read");
  if (!data) {
    // Close as a `with` block would, keeping the read error.
    SavedError read_error;
    Ref closed = call_method(file.get(), "close");
    PyErr_Clear();
    return {};
  }
  if (!call_method(file.get(), "close")) return {};
  return data;
}

}  // namespace kp
