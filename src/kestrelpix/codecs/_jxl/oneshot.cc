// encode, decode and frame_count: thin drivers over the two classes and a
// private libjxl decoder.
#include "oneshot.h"

#include "npy.h"

#include "common.h"

namespace kp {
namespace {

// ---------------------------------------------------------------------------
// encode

// Leaves a `with` block by the exception being raised: calls
// exit(type, value, traceback) and re-raises unless exit suppressed it.
// Returns 0 when suppressed, -1 with an exception set otherwise.
int exit_with_error(PyObject* exit) {
  Ref exc = Ref::steal(PyErr_GetRaisedException());
  Ref tb = Ref::steal(PyException_GetTraceback(exc.get()));
  PyObject* argv[] = {reinterpret_cast<PyObject*>(Py_TYPE(exc.get())),
                      exc.get(), tb ? tb.get() : Py_None};
  Ref suppress = Ref::steal(PyObject_Vectorcall(exit, argv, 3, nullptr));
  if (!suppress) {
    // The exit's own error, raised while handling the block's.
    Ref exit_exc = Ref::steal(PyErr_GetRaisedException());
    if (exit_exc.get() != exc.get())
      PyException_SetContext(exit_exc.get(), exc.release());
    PyErr_SetRaisedException(exit_exc.release());
    return -1;
  }
  const int suppressed = PyObject_IsTrue(suppress.get());
  if (suppressed < 0) return -1;
  if (suppressed) return 0;
  PyErr_SetRaisedException(exc.release());
  return -1;
}

// w.write_frame(frame, is_last=is_last)
bool write_frame(PyObject* w, PyObject* frame, bool is_last, PyObject* kwnames) {
  Ref meth = Ref::steal(PyObject_GetAttrString(w, "write_frame"));
  if (!meth) return false;
  PyObject* argv[] = {frame, is_last ? Py_True : Py_False};
  Ref done = Ref::steal(PyObject_Vectorcall(meth.get(), argv, 1, kwnames));
  return static_cast<bool>(done);
}

// The body of encode's `with` block: every frame, then close().
Ref write_and_close(PyObject* w, PyObject* a, bool animation) {
  Ref kwnames = Ref::steal(Py_BuildValue("(s)", "is_last"));
  if (!kwnames) return {};
  if (!animation) {
    if (!write_frame(w, a, /*is_last=*/true, kwnames.get())) return {};
  } else {
    const npy_intp n = PyArray_DIM(reinterpret_cast<PyArrayObject*>(a), 0);
    for (npy_intp i = 0; i < n; ++i) {
      Ref frame = Ref::steal(PySequence_GetItem(a, i));
      if (!frame || !write_frame(w, frame.get(), i == n - 1, kwnames.get()))
        return {};
    }
  }
  return call_method(w, "close");
}

PyObject* encode(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {
      "arr",        "color",     "lossless",  "quality", "distance",
      "effort",     "decoding_speed", "numthreads", "animation", "container",
      "dest",       nullptr};
  PyObject* arr = nullptr;
  PyObject* color = Py_None;
  PyObject* lossless = Py_None;
  PyObject* quality = Py_None;
  PyObject* distance = Py_None;
  PyObject* effort = nullptr;
  PyObject* decoding_speed = nullptr;
  PyObject* numthreads = Py_None;
  PyObject* animation = Py_False;
  PyObject* container = Py_False;
  PyObject* dest = Py_None;
  if (!PyArg_ParseTupleAndKeywords(
          args, kwargs, "O|$OOOOOOOOOO:encode", const_cast<char**>(kwlist), &arr,
          &color, &lossless, &quality, &distance, &effort, &decoding_speed,
          &numthreads, &animation, &container, &dest))
    return nullptr;
  // The writer receives the documented defaults as they stand.
  Ref default_effort = Ref::steal(PyLong_FromLong(5));
  Ref default_speed = Ref::steal(PyLong_FromLong(0));
  if (!default_effort || !default_speed) return nullptr;
  if (!effort) effort = default_effort.get();
  if (!decoding_speed) decoding_speed = default_speed.get();

  PyObject* np = module_global("np");
  if (!np) return nullptr;
  Ref a = call_method(np, "asarray", arr);
  if (!a) return nullptr;
  const int is_animation = PyObject_IsTrue(animation);
  if (is_animation < 0) return nullptr;
  if (is_animation) {
    if (!PyArray_Check(a.get()) || PyArray_NDIM(reinterpret_cast<PyArrayObject*>(a.get())) < 3) {
      PyErr_SetString(PyExc_ValueError, "animation requires (T, Y, X[, C]) input");
      return nullptr;
    }
  }

  PyObject* writer_type = module_global("JxlWriter");
  if (!writer_type) return nullptr;
  Ref writer_args = Ref::steal(PyTuple_Pack(1, dest));
  Ref writer_kwargs = Ref::steal(Py_BuildValue(
      "{sOsOsOsOsOsOsOsOsO}", "color", color, "lossless", lossless, "quality",
      quality, "distance", distance, "effort", effort, "decoding_speed",
      decoding_speed, "numthreads", numthreads, "animation",
      is_animation ? Py_True : Py_False, "container", container));
  if (!writer_args || !writer_kwargs) return nullptr;
  Ref writer = Ref::steal(
      PyObject_Call(writer_type, writer_args.get(), writer_kwargs.get()));
  if (!writer) return nullptr;

  // with JxlWriter(...) as w: ...
  Ref exit = Ref::steal(PyObject_GetAttrString(writer.get(), "__exit__"));
  if (!exit) return nullptr;
  Ref w = call_method(writer.get(), "__enter__");
  if (!w) return nullptr;
  Ref result = write_and_close(w.get(), a.get(), is_animation);
  if (!result) {
    if (exit_with_error(exit.get()) < 0) return nullptr;
    Py_RETURN_NONE;
  }
  PyObject* argv[] = {Py_None, Py_None, Py_None};
  Ref exited = Ref::steal(PyObject_Vectorcall(exit.get(), argv, 3, nullptr));
  if (!exited) return nullptr;
  return result.release();
}

}  // namespace

int add_oneshot_functions(PyObject* module) {
  static PyMethodDef functions[] = {
      {"encode",
       reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(encode)),
       METH_VARARGS | METH_KEYWORDS,
       "encode(arr, *, color=None, lossless=None, quality=None, distance=None, "
       "effort=5, decoding_speed=0, numthreads=None, animation=False, "
       "container=False, dest=None)\n--\n\n"
       "Encode an array as a JPEG XL stream in one call.\n\n"
       "arr is one frame, (Y, X) or (Y, X, C), or with animation=True a stack\n"
       "(T, Y, X[, C]). The options are JxlWriter's. Returns the encoded bytes,\n"
       "or None when dest (a path or writable object) received them."},
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
