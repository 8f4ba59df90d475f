// The out-of-line parts of the boundary helpers declared in py.h.
#include "py.h"

#include "threads.h"

#include <unistd.h>

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

namespace {
[[noreturn]] void park_forever() noexcept {
  for (;;) pause();
}

// The interpreter's main thread, which is the one that shuts it down and so
// must never be parked.
std::atomic<unsigned long> g_main_thread{0};
}  // namespace

int remember_main_thread() {
  Ref threading = Ref::steal(PyImport_ImportModule("threading"));
  if (!threading) return -1;
  Ref main = call_method(threading.get(), "main_thread");
  if (!main) return -1;
  Ref ident = Ref::steal(PyObject_GetAttrString(main.get(), "ident"));
  if (!ident) return -1;
  const unsigned long value = PyLong_AsUnsignedLong(ident.get());
  if (value == static_cast<unsigned long>(-1) && PyErr_Occurred()) return -1;
  g_main_thread.store(value);
  return 0;
}

void restore_thread(PyThreadState* state) {
#if PY_VERSION_HEX >= 0x030D0000
  const bool finalizing = Py_IsFinalizing();
#else
  const bool finalizing = _Py_IsFinalizing();
#endif
  if (finalizing && PyThread_get_thread_ident() != g_main_thread.load()) park_forever();
  try {
    PyEval_RestoreThread(state);
  } catch (...) {
    // Shutdown began after the check above: the only thing that can come
    // out of this C call is glibc's forced unwind (abi::__forced_unwind,
    // not named here: it is no real object of that type, which UBSan's
    // type check flags). Never leaving the handler means the unwind is
    // neither finished nor abandoned (either would run our destructors
    // without the lock, or abort).
    park_forever();
  }
}

ObjectLock::ObjectLock() noexcept
    : lock_(PyThread_allocate_lock()), generation_(fork_generation()) {}

bool ObjectLock::same_process() const noexcept { return generation_ == fork_generation(); }

bool ObjectLock::check_process(const char* type_name) const {
  if (same_process()) return true;
  PyErr_Format(PyExc_RuntimeError,
               "jxl: this %s was made before os.fork() and cannot be used in the "
               "child process; make a new one there",
               type_name);
  return false;
}

bool ObjectLock::acquire(const char* type_name) {
  // Before touching the lock, which a thread of the parent may have held.
  if (!check_process(type_name)) return false;
  const unsigned long me = PyThread_get_thread_ident();
  if (owner_.load(std::memory_order_relaxed) == me) {
    PyErr_Format(PyExc_RuntimeError,
                 "jxl: %s is already in use by this thread (reentrant call)",
                 type_name);
    return false;
  }
  if (forbidden_.load() == me) {
    PyErr_Format(PyExc_RuntimeError,
                 "jxl: %s cannot be used from its own background reading thread "
                 "(the source's read() called it)",
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

int index_as_long_long(PyObject* value, long long* out, int* overflow) {
  Ref number = Ref::steal(PyNumber_Index(value));
  if (!number) return -1;
  *overflow = 0;
  *out = PyLong_AsLongLongAndOverflow(number.get(), overflow);
  return *out == -1 && PyErr_Occurred() ? -1 : 0;
}

}  // namespace kp
