// JxlWriter's Python type: allocation and release, argument parsing, the
// methods' entry points (each takes the writer's lock and calls into
// writer.cc), and the docstrings. The encoding itself is writer.cc's.
#include "common.h"
#include "npy.h"
#include "options.h"
#include "writer.h"

#include <memory>

namespace kp {
namespace {

constexpr const char kTypeName[] = "JxlWriter";

}  // namespace

// ---------------------------------------------------------------------------
// The JxlWriter type

namespace {

struct WriterObject {
  PyObject_HEAD
  Writer w;
};

// The C++ part is built here rather than in __init__, so that an object made
// by JxlWriter.__new__ alone is valid (and merely refuses to encode).
PyObject* writer_new(PyTypeObject* type, PyObject*, PyObject*) {
  Ref self = Ref::steal(type->tp_alloc(type, 0));
  if (!self) return nullptr;
  Writer* w = new (&reinterpret_cast<WriterObject*>(self.get())->w) Writer();
  if (!w->_lock.valid()) {
    PyErr_NoMemory();
    return nullptr;
  }
  return self.release();
}

// JxlWriter's arguments: the destination, then the encoder options.
constexpr OptionRow kWriterRows[] = {{"dest", Default::kNone},
                                     KP_ENCODER_OPTIONS(KP_OPTION_ROW)};
constexpr const char* kWriterKeywords[] = {"dest", KP_ENCODER_OPTIONS(KP_OPTION_NAME) nullptr};
constexpr auto kWriterFormat = keyword_format("|O$", kEncoderOptionCount, "JxlWriter");

int writer_init(PyObject* self, PyObject* args, PyObject* kwargs) {
  ParsedArgs<1 + kEncoderOptionCount> parsed;
  if (parsed.parse(args, kwargs, kWriterFormat.data(), kWriterKeywords, kWriterRows) < 0)
    return -1;
  Writer& w = writer_of(self);
  LockGuard guard(w._lock, kTypeName);
  if (!guard.ok()) return -1;
  return w.init(parsed[0], parsed.data() + 1);
}

// Native state goes first, in the writer's release order, with any exception
// being raised set aside; then the object references. The stream is never
// finished here and the destination never written or closed.
void writer_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  Writer& w = writer_of(self);
  {
    SavedError pending;
    w._destroy_native();
  }
  std::destroy_at(&w);
  type->tp_free(self);
  Py_DECREF(type);
}

int writer_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  return writer_of(self).traverse(visit, arg);
}

int writer_clear(PyObject* self) {
  writer_of(self).clear();
  return 0;
}

PyObject* writer_write_frame(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"arr", "is_last", "duration", "name", nullptr};
  PyObject* arr = nullptr;
  PyObject* is_last = Py_False;
  PyObject* duration = Py_None;
  PyObject* name = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$OOO:write_frame",
                                   const_cast<char**>(kwlist), &arr, &is_last, &duration,
                                   &name))
    return nullptr;
  Writer& w = writer_of(self);
  LockGuard guard(w._lock, kTypeName);
  if (!guard.ok()) return nullptr;
  return w.write_frame(arr, is_last, duration, name);
}

PyObject* writer_close(PyObject* self, PyObject*) {
  Writer& w = writer_of(self);
  LockGuard guard(w._lock, kTypeName);
  if (!guard.ok()) return nullptr;
  return w.close();
}

PyObject* writer_enter(PyObject* self, PyObject*) { return Py_NewRef(self); }

PyObject* writer_exit(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"exc_type", "exc", "tb", nullptr};
  PyObject* exc_type = nullptr;
  PyObject* exc = nullptr;
  PyObject* tb = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO:__exit__",
                                   const_cast<char**>(kwlist), &exc_type, &exc,
                                   &tb))
    return nullptr;
  if (exc_type == Py_None) {
    // By name, so that a subclass's close is the one that runs.
    Ref result = call_method(self, "close");
    if (!result) {
      // Nobody can retry a close that failed on leaving the block: the file
      // opened here is closed now, not at collection.
      Writer& w = writer_of(self);
      SavedError close_error;
      LockGuard guard(w._lock, kTypeName);
      if (guard.ok()) w.release_after_error();
      else PyErr_Clear();
      return nullptr;
    }
    Py_RETURN_FALSE;
  }
  Writer& w = writer_of(self);
  LockGuard guard(w._lock, kTypeName);
  if (!guard.ok()) return nullptr;
  w.release_after_error();
  Py_RETURN_FALSE;
}

constexpr const char kNoPickle[] = "no default __reduce__ due to non-trivial __cinit__";

PyObject* writer_reduce(PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, kNoPickle);
  return nullptr;
}

PyObject* writer_setstate(PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, kNoPickle);
  return nullptr;
}

template <class F>
PyCFunction as_cfunction(F* f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// ---------------------------------------------------------------------------
// Docstrings. The examples run as doctests with the module's globals, so
// `np` and the module's own names are in scope.

constexpr const char kWriteFrameDoc[] =
    "write_frame($self, arr, *, is_last=False, duration=None, name=None)\n--\n\n"
    "Encode one frame.\n"
    "\n"
    "`arr` is (Y, X) or (Y, X, C) with C of 1 to 4 (L, LA, RGB, RGBA), of\n"
    "uint8, uint16, float16 or float32 (anything numpy.ascontiguousarray\n"
    "turns into such an array). The first frame fixes the stream's size,\n"
    "channels and sample type; later frames (animation only) must match it.\n"
    "is_last=True tells libjxl that no frame follows; close() does the same.\n"
    "`duration` (animation only) is how long the frame shows, in\n"
    "milliseconds (>= 0; a whole number of the writer's ticks); None: one\n"
    "tick. `name` (str, at most 1071 bytes of UTF-8) names the frame.\n"
    "The interpreter lock is released while libjxl encodes.\n"
    "\n"
    "Raises:\n"
    "  ValueError    a shape or dtype the encoder does not take, a frame\n"
    "                that does not match the first, a duration for a still\n"
    "                writer or one that is no whole number of ticks.\n"
    "  RuntimeError  a second frame without animation=True, or a closed\n"
    "                writer.\n"
    "  JxlError      libjxl refused the frame or the options (a frame after\n"
    "                is_last, distance above 25).\n"
    "\n"
    "Example:\n"
    "    >>> writer = JxlWriter(lossless=True)\n"
    "    >>> writer.write_frame(np.zeros((4, 4), np.uint16))\n"
    "    >>> decode(writer.close()).dtype\n"
    "    dtype('uint16')\n";

constexpr const char kCloseDoc[] =
    "close($self, /)\n--\n\n"
    "Finish the stream and hand it over.\n"
    "\n"
    "Returns the encoded bytes when the writer has no destination (empty\n"
    "bytes if no frame was written). Otherwise writes them to the\n"
    "destination in one call (a path: to a temporary file in its directory,\n"
    "then renamed over it) and returns None. Closing again does nothing and\n"
    "returns None.\n"
    "\n"
    "Raises JxlError when libjxl fails to finish the stream, and whatever\n"
    "the destination's write() raises (the writer then stays open).";

PyMethodDef writer_methods[] = {
    {"write_frame", as_cfunction(catching_bad_alloc<writer_write_frame>),
     METH_VARARGS | METH_KEYWORDS,
     kWriteFrameDoc},
    {"close", catching_bad_alloc<writer_close>, METH_NOARGS, kCloseDoc},
    {"__enter__", writer_enter, METH_NOARGS, "__enter__($self, /)\n--\n\nReturn the writer."},
    {"__exit__", as_cfunction(writer_exit), METH_VARARGS | METH_KEYWORDS,
     "__exit__($self, /, exc_type, exc, tb)\n--\n\n"
     "Close the writer, or, when the block raised, release it without\n"
     "finishing the stream or writing anything."},
    {"__reduce__", writer_reduce, METH_NOARGS, "__reduce__($self, /)\n--\n\n"},
    {"__setstate__", writer_setstate, METH_O, "__setstate__($self, state, /)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char kWriterDoc[] =
    "JxlWriter(dest=None, *, color=None, lossless=None, quality=None, "
    "distance=None, effort=5, decoding_speed=0, numthreads=None, "
    "animation=False, container=False, loops=0, tps=None, exif=None, xmp=None, "
    "jumbf=None, orientation=1, icc_profile=None, compress_boxes=False, "
    "extra_channels=None, "
    "progressive=False, group_order=None, center=None, streaming=False, progress=None)\n--\n\n"
    "Streaming JPEG XL encoder: frames in, one stream out.\n"
    "\n"
    "Call write_frame() once for a still image, or once per frame with\n"
    "animation=True; close(), or the end of a with block, finishes the\n"
    "stream. The encoded bytes gather in the writer's own buffer and, at\n"
    "close, are returned (no destination) or written in one call.\n"
    "\n"
    "Parameters:\n"
    "  dest            None to get the bytes from close(); a path (str or\n"
    "                  os.PathLike), checked at once and written at close\n"
    "                  through a temporary file beside it, renamed into\n"
    "                  place (a failure, or a writer never closed, leaves\n"
    "                  an existing file as it was and creates none); or an\n"
    "                  object with a write() method, written at close.\n"
    KP_ENCODER_OPTIONS_DOC
    "  animation       accept any number of frames, a tenth of a second\n"
    "                  each unless write_frame says otherwise, looping; the\n"
    "                  stream goes in a container.\n"
    "  container       wrap the codestream in the JPEG XL container.\n"
    KP_METADATA_OPTIONS_DOC
    KP_STREAMING_OPTIONS_DOC
    "\n"
    "Raises:\n"
    "  ValueError  quality and distance given together, or a metadata option\n"
    "              out of range (tps or loops for a still, orientation 9, an\n"
    "              exif without a TIFF header, color with icc_profile).\n"
    "  TypeError   a `dest` that is neither a path nor writable.\n"
    "  OSError     a path `dest` in a missing or read-only directory, or a\n"
    "              directory itself.\n"
    "  JxlError    libjxl could not set up its encoder.\n"
    "\n"
    "A writer serves one thread at a time: calls from a second thread wait.\n"
    "It cannot be pickled.\n"
    "\n"
    "Example:\n"
    "    >>> frames = np.zeros((4, 16, 16, 3), np.uint8)\n"
    "    >>> with JxlWriter(animation=True, quality=90) as writer:\n"
    "    ...     for frame in frames:\n"
    "    ...         writer.write_frame(frame)\n"
    "    ...     data = writer.close()\n"
    "    >>> frame_count(data)\n"
    "    4\n";

PyType_Slot writer_slots[] = {
    {Py_tp_doc, const_cast<char*>(kWriterDoc)},
    {Py_tp_new, reinterpret_cast<void*>(writer_new)},
    {Py_tp_init, reinterpret_cast<void*>(writer_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(writer_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(writer_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(writer_clear)},
    {Py_tp_methods, writer_methods},
    {0, nullptr},
};

PyType_Spec writer_spec = {
    "kestrelpix.codecs._jxl.JxlWriter",
    sizeof(WriterObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    writer_slots,
};

}  // namespace

Writer& writer_of(PyObject* self) { return reinterpret_cast<WriterObject*>(self)->w; }

Ref new_writer(PyObject* type, PyObject* dest, PyObject* const* values) {
  ModuleState* state = module_state();
  if (!state) return {};
  Ref self = new_instance(type, state->writer_type);
  if (!self) return {};
  Writer& w = writer_of(self.get());
  LockGuard guard(w._lock, kTypeName);
  if (!guard.ok() || w.init(dest, values) < 0) return {};
  return self;
}

int add_writer_type(PyObject* module) {
  Ref type = Ref::steal(PyType_FromModuleAndSpec(module, &writer_spec, nullptr));
  if (!type) return -1;
  auto* state = static_cast<ModuleState*>(PyModule_GetState(module));
  state->writer_type = reinterpret_cast<PyTypeObject*>(Py_NewRef(type.get()));
  return PyModule_AddObjectRef(module, "JxlWriter", type.get());
}

}  // namespace kp
