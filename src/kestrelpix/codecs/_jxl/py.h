// Small RAII helpers for the CPython boundary: owned references, byte-buffer
// views, interpreter-lock release and the per-object lock.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <pythread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <utility>

namespace kp {

// Owns exactly one strong reference, or none. Copy adds a reference, move
// steals it, destruction drops it; `steal`/`borrow` say at the call site
// which of the two happens to the caller's reference.
class Ref {
 public:
  Ref() = default;
  static Ref steal(PyObject* o) noexcept {
    Ref r;
    r.p_ = o;
    return r;
  }
  static Ref borrow(PyObject* o) noexcept {
    Py_XINCREF(o);
    return steal(o);
  }
  static Ref none() noexcept { return borrow(Py_None); }
  Ref(const Ref& o) noexcept : p_(o.p_) { Py_XINCREF(p_); }
  Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Ref& operator=(Ref o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  PyObject* get() const noexcept { return p_; }
  // Hands the reference to the caller (for returning to the interpreter).
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  // Drops the held reference: the old object may run arbitrary code when it
  // dies, so the field is updated before the reference goes.
  void clear() noexcept { Ref old(std::move(*this)); }
  PyObject** addr() noexcept { return &p_; }  // for Py_VISIT-style access

 private:
  PyObject* p_ = nullptr;
};

// A field holding a Python object that reads None when empty, as the
// objects' documented fields start out as None.
class Field {
 public:
  Field() : r_(Ref::none()) {}
  PyObject* get() const noexcept { return r_.get(); }
  bool is_none() const noexcept { return r_.get() == Py_None; }
  void set(Ref r) noexcept {
    Ref old = std::exchange(r_, std::move(r));
  }
  void set_borrowed(PyObject* o) noexcept { set(Ref::borrow(o)); }
  void reset() noexcept { set(Ref::none()); }
  PyObject* new_ref() const noexcept { return Py_NewRef(r_.get()); }
  int visit(visitproc visit, void* arg) const {
    Py_VISIT(r_.get());
    return 0;
  }

 private:
  Ref r_;
};

// A read-only view of a one-dimensional, C-contiguous buffer of unsigned
// bytes. None counts as an empty buffer. The export is held until the view
// is released or destroyed.
class ByteView {
 public:
  ByteView() = default;
  ByteView(const ByteView&) = delete;
  ByteView& operator=(const ByteView&) = delete;
  ~ByteView() { release(); }

  // Returns 0, or -1 with TypeError/ValueError set.
  int acquire(PyObject* obj);
  void release() noexcept {
    if (held_) {
      PyBuffer_Release(&view_);
      held_ = false;
    }
  }
  const uint8_t* data() const noexcept {
    return held_ && view_.len > 0 ? static_cast<const uint8_t*>(view_.buf)
                                  : nullptr;
  }
  size_t size() const noexcept {
    return held_ ? static_cast<size_t>(view_.len) : 0;
  }
  // Moves the export into another view (used to keep it beyond a call).
  void move_to(ByteView& other) noexcept {
    other.release();
    other.view_ = view_;
    other.held_ = std::exchange(held_, false);
  }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

// Takes the interpreter lock back after a stretch without it.
//
// A daemon thread that comes back while the interpreter is shutting down is
// ended by CPython (before 3.14) with pthread_exit, which unwinds its stack:
// every destructor above would then run without the lock, some of them on
// Python objects. Such a thread is parked for good instead (the process is
// about to end), as later CPython releases do themselves. Should shutdown
// begin between the check and the call, CPython's pthread_exit is caught
// right there, before it unwinds a single frame of ours, and the thread is
// parked the same way.
void restore_thread(PyThreadState* state);
// Records the main thread for restore_thread; called at start-up. Returns 0,
// or -1 with an error set.
int remember_main_thread();

// `value.__index__()` as a long long, as PyLong_AsLongLongAndOverflow gives
// it (*overflow -1 or 1 when out of range). Returns 0, or -1 with an error
// set (TypeError for a value that is no integer).
int index_as_long_long(PyObject* value, long long* out, int* overflow);

// Releases the interpreter lock for its lifetime. Nothing done inside may
// touch a Python object.
class WithoutGil {
 public:
  WithoutGil() noexcept : state_(PyEval_SaveThread()) {}
  // noexcept(false): see restore_thread.
  ~WithoutGil() noexcept(false) { restore_thread(state_); }
  WithoutGil(const WithoutGil&) = delete;
  WithoutGil& operator=(const WithoutGil&) = delete;

 private:
  PyThreadState* state_;
};

// Sets the exception being raised aside for its lifetime and puts it back
// at the end (unless `discard` was called), so that clean-up code can call
// into Python without disturbing it.
class SavedError {
 public:
  SavedError() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    exc_ = PyErr_GetRaisedException();
#else
    PyErr_Fetch(&type_, &exc_, &tb_);
#endif
  }
  ~SavedError() { restore(); }
  SavedError(const SavedError&) = delete;
  SavedError& operator=(const SavedError&) = delete;
  bool any() const noexcept { return exc_ != nullptr || type_ != nullptr; }
  // Puts the saved exception back, replacing whatever is set now.
  void restore() noexcept {
    if (!any()) return;
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(std::exchange(exc_, nullptr));
#else
    PyErr_Restore(std::exchange(type_, nullptr), std::exchange(exc_, nullptr),
                  std::exchange(tb_, nullptr));
#endif
  }

 private:
  PyObject* type_ = nullptr;
  PyObject* exc_ = nullptr;
  PyObject* tb_ = nullptr;
};

// Holds the interpreter lock for a scope, from any thread (libjxl's worker
// threads calling back included).
class GilHolder {
 public:
  GilHolder() noexcept : state_(PyGILState_Ensure()) {}
  ~GilHolder() { PyGILState_Release(state_); }
  GilHolder(const GilHolder&) = delete;
  GilHolder& operator=(const GilHolder&) = delete;

 private:
  PyGILState_STATE state_;
};

// Runs `f` with the interpreter lock released and returns its result.
template <class F>
auto without_gil(F&& f) {
  WithoutGil released;
  return f();
}

// Serializes the operations of one object across threads, as CPython's bz2
// and lzma objects do: the lock is tried first, then waited for with the
// interpreter lock released. A second entry from the thread that already
// holds it (say, from a callback into Python) is refused with RuntimeError
// instead of deadlocking, and so is any entry from a thread the object
// itself waits on (a reader's background reading thread), and any use in a
// child process of an object made before fork(): its native state (threads,
// locks) did not come along.
class ObjectLock {
 public:
  ObjectLock() noexcept;
  ~ObjectLock() {
    if (lock_) PyThread_free_lock(lock_);
  }
  ObjectLock(const ObjectLock&) = delete;
  ObjectLock& operator=(const ObjectLock&) = delete;

  bool valid() const noexcept { return lock_ != nullptr; }
  // Returns true with the lock held, or false with RuntimeError set.
  bool acquire(const char* type_name);
  void release() noexcept {
    owner_.store(0, std::memory_order_relaxed);
    PyThread_release_lock(lock_);
  }
  // A thread that must never enter (0: none).
  void forbid_thread(unsigned long ident) noexcept { forbidden_.store(ident); }
  // Whether the object was made in this process rather than before a fork.
  bool same_process() const noexcept;
  // RuntimeError for an object inherited through fork(); returns false then.
  bool check_process(const char* type_name) const;

 private:
  PyThread_type_lock lock_;
  std::atomic<unsigned long> owner_{0};
  std::atomic<unsigned long> forbidden_{0};
  uint64_t generation_;
};

// Holds an ObjectLock for a scope; check `ok()` before going on.
class LockGuard {
 public:
  LockGuard(ObjectLock& lock, const char* type_name)
      : lock_(lock), ok_(lock.acquire(type_name)) {}
  ~LockGuard() {
    if (ok_) lock_.release();
  }
  LockGuard(const LockGuard&) = delete;
  LockGuard& operator=(const LockGuard&) = delete;
  bool ok() const noexcept { return ok_; }

 private:
  ObjectLock& lock_;
  bool ok_;
};

// Looks up a name among the module's globals (borrowed reference), so that
// raise sites and helpers use what start-up bound there. Sets an error and
// returns null when the module or the name is missing.
PyObject* module_global(const char* name);

// Calls `obj.name(*args)` and returns the new reference (null on error).
template <class... Args>
Ref call_method(PyObject* obj, const char* name, Args... args) {
  Ref meth = Ref::steal(PyObject_GetAttrString(obj, name));
  if (!meth) return {};
  PyObject* argv[] = {nullptr, args...};
  return Ref::steal(PyObject_Vectorcall(
      meth.get(), argv + 1, sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET,
      nullptr));
}

// Runs `body(entered)` inside `with cm as entered:`. On an exception the
// context's __exit__ sees it (and may add its own, chained); otherwise
// __exit__ gets three Nones. Returns body's result, or null with an error.
template <class Body>
Ref with_context(PyObject* cm, Body&& body) {
  Ref entered = call_method(cm, "__enter__");
  if (!entered) return {};
  Ref result = body(entered.get());
  if (result) {
    if (!call_method(cm, "__exit__", Py_None, Py_None, Py_None)) return {};
    return result;
  }
#if PY_VERSION_HEX >= 0x030C0000
  Ref exc = Ref::steal(PyErr_GetRaisedException());
#else
  PyObject *t, *v, *tb;
  PyErr_Fetch(&t, &v, &tb);
  PyErr_NormalizeException(&t, &v, &tb);
  if (tb) PyException_SetTraceback(v, tb);
  Py_XDECREF(t);
  Py_XDECREF(tb);
  Ref exc = Ref::steal(v);
#endif
  Ref tb_obj = Ref::steal(PyException_GetTraceback(exc.get()));
  Ref exited = call_method(cm, "__exit__", reinterpret_cast<PyObject*>(Py_TYPE(exc.get())),
                           exc.get(), tb_obj ? tb_obj.get() : Py_None);
  if (!exited) {
    // __exit__ failed: its error wins, with the body's as its context.
#if PY_VERSION_HEX >= 0x030C0000
    Ref exit_exc = Ref::steal(PyErr_GetRaisedException());
    PyException_SetContext(exit_exc.get(), exc.release());
    PyErr_SetRaisedException(exit_exc.release());
#endif
    return {};
  }
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exc.release());
#else
  PyErr_Restore(Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(exc.get()))), exc.get(),
                tb_obj.release());
  exc.release();
#endif
  return {};
}

}  // namespace kp
