// Module start-up: NumPy's C interface, the status tables, JxlError and the
// published classes and functions.
#define KP_IMPORT_ARRAY
#include "npy.h"

#include <jxl/decode.h>

#include <initializer_list>
#include <string>

#if PY_VERSION_HEX < 0x030C0000
// Before 3.12 the member types and flags live in structmember.h.
#include <structmember.h>
#define Py_T_PYSSIZET T_PYSSIZET
#define Py_READONLY READONLY
#endif

#include "common.h"
#include "jpeg.h"
#include "oneshot.h"
#include "probe.h"
#include "reader.h"
#include "status.h"
#include "threads.h"
#include "writer.h"

namespace kp {
namespace {

// ---------------------------------------------------------------------------
// Built-in functions with a return annotation.
//
// A plain built-in function cannot carry __annotations__, so the two small
// functions that have one are published as this thin callable: it forwards
// calls to the built-in (vectorcall, no extra frame) and keeps its metadata
// in an instance dict. inspect.signature reads __signature__, which is the
// built-in's text signature plus the return annotation.

struct AnnotatedFunction {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  PyObject* func;
  PyObject* dict;
};

PyObject* annotated_vectorcall(PyObject* self, PyObject* const* args,
                               size_t nargsf, PyObject* kwnames) {
  auto* af = reinterpret_cast<AnnotatedFunction*>(self);
  return PyObject_Vectorcall(af->func, args, nargsf, kwnames);
}

int annotated_traverse(PyObject* self, visitproc visit, void* arg) {
  auto* af = reinterpret_cast<AnnotatedFunction*>(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(af->func);
  Py_VISIT(af->dict);
  return 0;
}

int annotated_clear(PyObject* self) {
  auto* af = reinterpret_cast<AnnotatedFunction*>(self);
  Py_CLEAR(af->func);
  Py_CLEAR(af->dict);
  return 0;
}

void annotated_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  annotated_clear(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* annotated_repr(PyObject* self) {
  return PyObject_Repr(reinterpret_cast<AnnotatedFunction*>(self)->func);
}

PyObject* annotated_signature(PyObject* self, void*) {
  auto* af = reinterpret_cast<AnnotatedFunction*>(self);
  Ref inspect = Ref::steal(PyImport_ImportModule("inspect"));
  if (!inspect) return nullptr;
  Ref sig = call_method(inspect.get(), "signature", af->func);
  if (!sig) return nullptr;
  PyObject* annotations = PyDict_GetItemString(af->dict, "__annotations__");
  PyObject* ret = annotations ? PyDict_GetItemString(annotations, "return") : nullptr;
  if (!ret) return sig.release();
  Ref replace = Ref::steal(PyObject_GetAttrString(sig.get(), "replace"));
  Ref kwargs = Ref::steal(Py_BuildValue("{sO}", "return_annotation", ret));
  Ref empty = Ref::steal(PyTuple_New(0));
  if (!replace || !kwargs || !empty) return nullptr;
  return PyObject_Call(replace.get(), empty.get(), kwargs.get());
}

PyGetSetDef annotated_getset[] = {
    {"__signature__", annotated_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef annotated_members[] = {
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(AnnotatedFunction, dict), Py_READONLY, nullptr},
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(AnnotatedFunction, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot annotated_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(annotated_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(annotated_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(annotated_clear)},
    {Py_tp_repr, reinterpret_cast<void*>(annotated_repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_getset, annotated_getset},
    {Py_tp_members, annotated_members},
    {0, nullptr},
};

PyType_Spec annotated_spec = {
    "kestrelpix.codecs._jxl.builtin_function",
    sizeof(AnnotatedFunction),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    annotated_slots,
};

// Publishes `def` as module attribute, annotated with `-> return_type`.
int add_annotated_function(PyObject* module, PyObject* annotated_type,
                           PyMethodDef* def, const char* return_type) {
  Ref modname = Ref::steal(PyUnicode_FromString(kModuleName));
  if (!modname) return -1;
  Ref func = Ref::steal(PyCFunction_NewEx(def, nullptr, modname.get()));
  if (!func) return -1;
  auto* af = PyObject_GC_New(AnnotatedFunction, reinterpret_cast<PyTypeObject*>(annotated_type));
  if (!af) return -1;
  Py_INCREF(annotated_type);  // heap-type instances own their type
  af->vectorcall = annotated_vectorcall;
  af->func = func.release();
  af->dict = PyDict_New();
  Ref holder = Ref::steal(reinterpret_cast<PyObject*>(af));
  PyObject_GC_Track(holder.get());
  if (!af->dict) return -1;
  Ref annotations = Ref::steal(Py_BuildValue("{ss}", "return", return_type));
  Ref doc = Ref::steal(PyObject_GetAttrString(af->func, "__doc__"));
  if (!annotations || !doc) return -1;
  if (PyDict_SetItemString(af->dict, "__name__", Ref::steal(PyUnicode_FromString(def->ml_name)).get()) < 0 ||
      PyDict_SetItemString(af->dict, "__qualname__", Ref::steal(PyUnicode_FromString(def->ml_name)).get()) < 0 ||
      PyDict_SetItemString(af->dict, "__module__", modname.get()) < 0 ||
      PyDict_SetItemString(af->dict, "__doc__", doc.get()) < 0 ||
      PyDict_SetItemString(af->dict, "__annotations__", annotations.get()) < 0)
    return -1;
  return PyModule_AddObjectRef(module, def->ml_name, holder.get());
}

// ---------------------------------------------------------------------------
// libjxl_version, check_signature

PyObject* libjxl_version(PyObject*, PyObject*) {
  const uint32_t v = JxlDecoderVersion();
  return PyUnicode_FromFormat("%u.%u.%u", v / 1000000u, (v / 1000u) % 1000u,
                              v % 1000u);
}

PyObject* check_signature(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"data", nullptr};
  PyObject* data = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:check_signature",
                                   const_cast<char**>(kwlist), &data))
    return nullptr;
  ByteView view;
  if (view.acquire(data) < 0) return nullptr;
  return PyBool_FromLong(is_jxl_signature(view.data(), view.size()));
}

PyMethodDef libjxl_version_def = {
    "libjxl_version", libjxl_version, METH_NOARGS,
    "libjxl_version()\n--\n\n"};

PyMethodDef check_signature_def = {
    "check_signature", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(check_signature)),
    METH_VARARGS | METH_KEYWORDS,
    "check_signature(data)\n--\n\n"
    "Return True if `data` looks like a JPEG XL stream."};

// ---------------------------------------------------------------------------
// Start-up

// NumPy's C interface, with the failure reported as an ImportError chained
// to its cause (NumPy's own macro prints the cause instead).
int import_numpy_c_api() {
  if (_import_array() >= 0) return 0;
  SavedError cause;
  cause.restore();
#if PY_VERSION_HEX >= 0x030C0000
  Ref cause_exc = Ref::steal(PyErr_GetRaisedException());
  PyErr_SetString(PyExc_ImportError, "numpy._core.multiarray failed to import");
  Ref exc = Ref::steal(PyErr_GetRaisedException());
  PyException_SetCause(exc.get(), Py_NewRef(cause_exc.get()));
  PyException_SetContext(exc.get(), cause_exc.release());
  PyErr_SetRaisedException(exc.release());
#else
  PyObject *ct, *cv, *ctb;
  PyErr_Fetch(&ct, &cv, &ctb);
  PyErr_NormalizeException(&ct, &cv, &ctb);
  if (ctb) PyException_SetTraceback(cv, ctb);
  PyErr_SetString(PyExc_ImportError, "numpy._core.multiarray failed to import");
  PyObject *t, *v, *tb;
  PyErr_Fetch(&t, &v, &tb);
  PyErr_NormalizeException(&t, &v, &tb);
  Py_INCREF(cv);
  PyException_SetCause(v, cv);
  PyException_SetContext(v, cv);
  Py_XDECREF(ct);
  Py_XDECREF(ctb);
  PyErr_Restore(t, v, tb);
#endif
  return -1;
}

int add_module_ref(PyObject* module, const char* name, Ref value) {
  if (!value) return -1;
  return PyModule_AddObjectRef(module, name, value.get());
}

// The module's docstring: the overview that help() shows first. Its examples
// run as doctests, like those of the functions and classes.
constexpr const char kModuleDoc[] =
    "Streaming JPEG XL codec for NumPy arrays, over libjxl.\n"
    "\n"
    "Decode JPEG XL stills and animations into NumPy arrays and encode arrays\n"
    "into JPEG XL, from and to bytes, paths and file objects. libjxl works\n"
    "on its own thread pool, with the interpreter lock released.\n"
    "\n"
    "Frames are arrays of uint8, uint16, float16 or float32, shaped (Y, X)\n"
    "for grey or (Y, X, C) with C of 2 (grey and alpha), 3 (RGB) or 4\n"
    "(RGBA); an animation is a stack of them, (T, Y, X[, C]).\n"
    "\n"
    "Decode:\n"
    "  decode(data)             the whole stream, or one frame with index=\n"
    "  JxlReader(data)          the header at once, then frame by frame;\n"
    "                           streaming=True for files larger than memory\n"
    "Inspect:\n"
    "  check_signature(data)    whether bytes start a JPEG XL stream\n"
    "  frame_count(data)        frames, counted without decoding pixels\n"
    "  probe(data)              header, colour, timing, frames, extra\n"
    "                           channels and metadata boxes, no pixels\n"
    "  JxlReader(data).basic_info, .color, .icc_profile, .animation,\n"
    "                  .extra_channels\n"
    "  libjxl_version()         the version of the libjxl in use\n"
    "Encode:\n"
    "  encode(arr)              an image or animation stack in one call\n"
    "  JxlWriter(dest)          frame by frame\n"
    "JPEG files:\n"
    "  transcode_jpeg(jpeg)     a JPEG recompressed losslessly (~20 % smaller)\n"
    "  reconstruct_jpeg(data)   the original JPEG file, byte for byte\n"
    "\n"
    "`data` is a bytes-like object, a path (str or os.PathLike) or a binary\n"
    "file object; `dest` is None (the stream is returned as bytes), a path\n"
    "or an object with a write() method.\n"
    "\n"
    "Errors: caller mistakes raise built-in exceptions (TypeError,\n"
    "ValueError, IndexError, RuntimeError, NotImplementedError); whatever\n"
    "libjxl refuses raises JxlError (from kestrelpix.core.errors), whose\n"
    "message names the libjxl call and its status, such as\n"
    "\"JxlDecoderProcessInput returned JXL_DEC_ERROR\". Messages of the\n"
    "module's own checks begin with \"jxl: \".\n"
    "\n"
    "The examples in this module's docstrings assume `import numpy as np`\n"
    "and `from kestrelpix.codecs._jxl import *`.\n"
    "\n"
    "Example:\n"
    "    >>> import numpy as np\n"
    "    >>> from kestrelpix.codecs import _jxl as jxl\n"
    "    >>> image = np.arange(48, dtype=np.uint8).reshape(4, 4, 3)\n"
    "    >>> data = jxl.encode(image, lossless=True)\n"
    "    >>> jxl.check_signature(data), jxl.frame_count(data)\n"
    "    (True, 1)\n"
    "    >>> np.array_equal(jxl.decode(data), image)\n"
    "    True\n";

// The key the module is registered under in the interpreter's dict: made
// once and never released, so that a lookup allocates nothing (borrowed;
// null with an error set if it could not be made).
PyObject* module_key() {
  static PyObject* const key = PyUnicode_InternFromString(kModuleName);
  return key;
}

// Calls f on each reference the module's state holds.
template <class F>
void each_state_ref(PyObject* module, F f) {
  auto* state = static_cast<ModuleState*>(PyModule_GetState(module));
  if (!state) return;
  for (PyTypeObject** ref : {&state->reader_type, &state->writer_type, &state->frame_iter_type})
    f(ref);
}

int traverse_module(PyObject* module, visitproc visit, void* arg) {
  int rc = 0;
  each_state_ref(module, [&](PyTypeObject** ref) {
    if (rc == 0 && *ref) rc = visit(reinterpret_cast<PyObject*>(*ref), arg);
  });
  return rc;
}

int clear_module(PyObject* module) {
  each_state_ref(module, [](PyTypeObject** ref) { Py_CLEAR(*ref); });
  return 0;
}

void free_module(void* module) { clear_module(static_cast<PyObject*>(module)); }

// Fills a new module object: its classes, the names its code looks up, the
// functions. Returns 0, or -1 with an error set.
int exec_module(PyObject* m) {
  // The running interpreter's module, for the lookups that have no object
  // at hand (module_global, module_state); a later import replaces it.
  PyObject* interp = PyInterpreterState_GetDict(PyInterpreterState_Get());
  if (!interp) {
    PyErr_SetString(PyExc_RuntimeError, "jxl: no interpreter state to register the module in");
    return -1;
  }

  // The classes first, then what they and the functions rely on.
  if (add_reader_type(m) < 0 || add_writer_type(m) < 0) return -1;

  if (Ref numpy = Ref::steal(PyImport_ImportModule("numpy")); !numpy)
    return -1;
  if (add_module_ref(m, "os", Ref::steal(PyImport_ImportModule("os"))) < 0 ||
      add_module_ref(m, "np", Ref::steal(PyImport_ImportModule("numpy"))) < 0)
    return -1;
  if (import_numpy_c_api() < 0) return -1;

  if (add_module_ref(m, "_DEC_STATUS_NAMES", Ref::steal(build_dec_status_names())) < 0 ||
      add_module_ref(m, "_ENC_STATUS_NAMES", Ref::steal(build_enc_status_names())) < 0 ||
      add_module_ref(m, "_ENC_ERR_NAMES", Ref::steal(build_enc_err_names())) < 0)
    return -1;

  Ref errors = Ref::steal(PyImport_ImportModule("kestrelpix.core.errors"));
  if (!errors) return -1;
  if (add_module_ref(m, "JxlError", Ref::steal(PyObject_GetAttrString(errors.get(), "JxlError"))) < 0) {
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
      PyErr_Clear();
      PyErr_SetString(PyExc_ImportError,
                      "cannot import name 'JxlError' from 'kestrelpix.core.errors'");
    }
    return -1;
  }

  Ref annotated_type = Ref::steal(PyType_FromSpec(&annotated_spec));
  if (!annotated_type ||
      add_annotated_function(m, annotated_type.get(), &libjxl_version_def, "str") < 0 ||
      add_annotated_function(m, annotated_type.get(), &check_signature_def, "bool") < 0)
    return -1;

  if (add_oneshot_functions(m) < 0 || add_probe_function(m) < 0 || add_jpeg_functions(m) < 0)
    return -1;

  if (remember_main_thread() < 0) return -1;
  static bool exit_hook = false;
  if (init_worker_pools() < 0) {
    PyErr_SetString(PyExc_RuntimeError, "jxl: pthread_atfork failed");
    return -1;
  }
  // Idle worker threads end with the interpreter, not with the process.
  if (!exit_hook && Py_AtExit(drop_idle_pools) == 0) exit_hook = true;
  PyObject* key = module_key();
  return key ? PyDict_SetItem(interp, key, m) : -1;
}


PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

// Multi-phase initialisation: the import machinery creates the module
// (zeroed state) and exec_module fills it.
PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    kModuleName,
    kModuleDoc,
    sizeof(ModuleState),
    nullptr,
    module_slots,
    traverse_module,
    clear_module,
    free_module,
};

// The module imported in the running interpreter (borrowed), or null with
// an error set (RuntimeError when there is none).
PyObject* current_module() {
  PyObject* key = module_key();
  if (!key) return nullptr;
  PyObject* interp = PyInterpreterState_GetDict(PyInterpreterState_Get());
  PyObject* module = interp ? PyDict_GetItemWithError(interp, key) : nullptr;
  if (!module && !PyErr_Occurred())
    PyErr_SetString(PyExc_RuntimeError, "jxl: module is not initialised");
  return module;
}

}  // namespace

PyObject* module_global(const char* name) {
  PyObject* module = current_module();
  if (!module) return nullptr;
  PyObject* value = PyDict_GetItemString(PyModule_GetDict(module), name);
  if (!value) PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
  return value;
}

ModuleState* module_state() {
  PyObject* module = current_module();
  return module ? static_cast<ModuleState*>(PyModule_GetState(module)) : nullptr;
}

ModuleState* state_of_type(PyTypeObject* type) {
  PyObject* module = PyType_GetModuleByDef(type, &module_def);
  return module ? static_cast<ModuleState*>(PyModule_GetState(module)) : nullptr;
}

}  // namespace kp

PyMODINIT_FUNC PyInit__jxl(void) { return PyModuleDef_Init(&kp::module_def); }
