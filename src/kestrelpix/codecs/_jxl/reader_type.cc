// JxlReader's Python type and its frame iterator: allocation and release,
// argument parsing, the methods' and properties' entry points (each takes
// the reader's lock and calls into reader.cc), and the docstrings. The
// decoding itself is reader.cc's.
#include "common.h"
#include "npy.h"
#include "header_info.h"
#include "options.h"
#include "reader.h"
#include "status.h"

#include <new>

namespace kp {
namespace {

constexpr const char kTypeName[] = "JxlReader";

struct ReaderObject {
  PyObject_HEAD
  Reader r;
};

// ---------------------------------------------------------------------------
// The frame iterator


struct FrameIterObject {
  PyObject_HEAD
  PyObject* reader;     // strong: keeps the reader alive while iterating
  int started;
  int finished;
  int streaming;
  int info;             // yield (frame, frame_info) pairs
  int progressive;      // yield (rendering, info) of the current frame
};

PyObject* frame_iter_finish(FrameIterObject* it) {
  it->finished = 1;
  return nullptr;
}

// The first step of iter_progressive: libjxl reports every pass, and a
// streaming source hands over what each read() returns.
int start_progressive(Reader& r) {
  const JxlDecoderStatus st = JxlDecoderSetProgressiveDetail(r._decoder.get(), kPasses);
  if (st != JXL_DEC_SUCCESS) return raise_dec("JxlDecoderSetProgressiveDetail", st), -1;
  return r._chunk_reader.is_none() ? 0 : r.set_eager(true);
}

// One step of iter_progressive: the next rendering of the current frame, a
// copy of what libjxl flushed, or the frame itself once complete.
PyObject* progressive_next(FrameIterObject* it, Reader& r) {
  if (!it->started) {
    it->started = 1;
    it->streaming = r._streaming;
    const int ready = ready_to_decode(r);
    if (ready <= 0 || start_progressive(r) < 0) return frame_iter_finish(it);
  } else if (ready_to_decode(r) <= 0) {
    return frame_iter_finish(it);
  }
  Ref frame;
  r.report_progress = true;
  const int got = decode_next_frame(r, it->streaming, nullptr, nullptr, &frame);
  r.report_progress = false;
  if (got <= 0) return frame_iter_finish(it);
  uint64_t consumed = 0;
  if (r.bytes_consumed(&consumed) < 0) return frame_iter_finish(it);
  if (got == 2) {
    frame = Ref::steal(PyArray_NewCopy(reinterpret_cast<PyArrayObject*>(frame.get()), NPY_CORDER));
    if (!frame) return frame_iter_finish(it);
  } else {
    it->finished = 1;  // the frame is whole (or as whole as a truncated stream allows)
  }
  Ref info = Ref::steal(Py_BuildValue("{snsK}", "downsampling",
                                      static_cast<Py_ssize_t>(r.last_ratio), "bytes_read",
                                      static_cast<unsigned long long>(consumed)));
  if (!info) return frame_iter_finish(it);
  return PyTuple_Pack(2, frame.get(), info.get());
}

// Allocates the next frame's array, as numpy.empty(frame_shape, dtype) does.
PyObject* frame_iter_next(PyObject* self) {
  auto* it = reinterpret_cast<FrameIterObject*>(self);
  if (it->finished) return nullptr;
  if (it->progressive) {
    Reader& r = reader_of(it->reader);
    LockGuard guard(r.lock, kTypeName);
    if (!guard.ok()) return frame_iter_finish(it);
    return progressive_next(it, r);
  }
  Reader& r = reader_of(it->reader);
  LockGuard guard(r.lock, kTypeName);
  if (!guard.ok()) return frame_iter_finish(it);
  if (!it->started) {
    it->started = 1;
    it->streaming = r._streaming;
  }
  const int ready = ready_to_decode(r);
  if (ready <= 0) return frame_iter_finish(it);
  Ref frame;
  const int got = decode_next_frame(r, it->streaming, nullptr, nullptr, &frame);
  if (got <= 0) return frame_iter_finish(it);
  if (!it->info) return frame.release();
  Ref info = frame_info_dict(r._basic_info, r.frame_header, r.frame_name, !r._coalesce);
  if (!info) return frame_iter_finish(it);
  return PyTuple_Pack(2, frame.get(), info.get());
}

int frame_iter_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(reinterpret_cast<FrameIterObject*>(self)->reader);
  return 0;
}

int frame_iter_clear(PyObject* self) {
  Py_CLEAR(reinterpret_cast<FrameIterObject*>(self)->reader);
  return 0;
}

void frame_iter_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  frame_iter_clear(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyType_Slot frame_iter_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(frame_iter_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(frame_iter_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(frame_iter_clear)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(frame_iter_next)},
    {Py_tp_doc, const_cast<char*>("Iterator over the frames of a JxlReader.")},
    {0, nullptr},
};

PyType_Spec frame_iter_spec = {
    "kestrelpix.codecs._jxl.JxlFrameIterator",
    sizeof(FrameIterObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    frame_iter_slots,
};

// ---------------------------------------------------------------------------
// The Python type

PyObject* reader_new(PyTypeObject* type, PyObject*, PyObject*) {
  Ref self = Ref::steal(type->tp_alloc(type, 0));
  if (!self) return nullptr;
  Reader* r = new (&reader_of(self.get())) Reader();
  if (!r->lock.valid()) {
    PyErr_NoMemory();
    return nullptr;  // dealloc destroys the constructed part
  }
  return self.release();
}

// JxlReader's arguments: the source, then the decoder options.
#define KP_DECODER_OPTION_NAME(name, fallback) #name,
#define KP_DECODER_OPTION_ROW(name, fallback) {#name, Default::fallback},
constexpr OptionRow kReaderRows[] = {{"data", Default::kRequired},
                                     KP_DECODER_OPTIONS(KP_DECODER_OPTION_ROW)};
constexpr const char* kReaderKeywords[] = {"data", KP_DECODER_OPTIONS(KP_DECODER_OPTION_NAME)
                                                       nullptr};
constexpr auto kReaderFormat = keyword_format("O|$", kDecoderOptionCount, "JxlReader");

int reader_init(PyObject* self, PyObject* args, PyObject* kwargs) {
  ParsedArgs<1 + kDecoderOptionCount> parsed;
  if (parsed.parse(args, kwargs, kReaderFormat.data(), kReaderKeywords, kReaderRows) < 0)
    return -1;
  DecoderOptions options;
  if (options.parse(parsed.data() + 1) < 0) return -1;
  Reader& r = reader_of(self);
  LockGuard guard(r.lock, kTypeName);
  if (!guard.ok()) return -1;
  return r.init(parsed[0], options);
}

void reader_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  Reader& r = reader_of(self);
  {
    // Native releases only; the exception being raised (if any) is kept.
    SavedError saved;
    r.release_native();
  }
  r.~Reader();  // drops the references, the buffer export and the lock
  type->tp_free(self);
  Py_DECREF(type);
}

int reader_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  const Reader& r = reader_of(self);
  for (const Field* f : {&r._data_ref, &r._chunk_reader, &r._frame_dtype, &r._frame_shape,
                         &r.extra_channels, &r.progress}) {
    if (int rc = f->visit(visit, arg)) return rc;
  }
  return 0;
}

int reader_clear(PyObject* self) {
  Reader& r = reader_of(self);
  for (Field* f : {&r._data_ref, &r._chunk_reader, &r._frame_dtype,
                   &r._frame_shape, &r.extra_channels, &r.progress})
    f->reset();
  return 0;
}

PyObject* reader_close(PyObject* self, PyObject*) {
  Reader& r = reader_of(self);
  LockGuard guard(r.lock, kTypeName);
  if (!guard.ok() || r.close() < 0) return nullptr;
  Py_RETURN_NONE;
}

PyObject* reader_enter(PyObject* self, PyObject*) { return Py_NewRef(self); }

PyObject* reader_exit(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"exc_type", "exc", "tb", nullptr};
  PyObject *exc_type, *exc, *tb;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO:__exit__", const_cast<char**>(kwlist),
                                   &exc_type, &exc, &tb))
    return nullptr;
  if (!call_method(self, "close")) return nullptr;
  Py_RETURN_FALSE;
}

PyObject* new_frame_iter(PyObject* reader, int info, int progressive) {
  // The iterator type is the one created with the reader's own class.
  ModuleState* state = state_of_type(Py_TYPE(reader));
  if (!state) return nullptr;
  PyTypeObject* iter_type = state->frame_iter_type;
  auto* it = PyObject_GC_New(FrameIterObject, iter_type);
  if (!it) return nullptr;
  Py_INCREF(iter_type);
  it->reader = Py_NewRef(reader);
  it->started = 0;
  it->finished = 0;
  it->streaming = 0;
  it->info = info;
  it->progressive = progressive;
  PyObject_GC_Track(it);
  return reinterpret_cast<PyObject*>(it);
}

PyObject* reader_iter_frames(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"info", nullptr};
  PyObject* info = Py_False;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|$O:iter_frames", const_cast<char**>(kwlist),
                                   &info))
    return nullptr;
  const int want_info = PyObject_IsTrue(info);
  if (want_info < 0) return nullptr;
  return new_frame_iter(self, want_info, 0);
}

PyObject* reader_iter_progressive(PyObject* self, PyObject*) {
  return new_frame_iter(self, 1, 1);
}

PyObject* reader_iter(PyObject* self) {
  return call_method(self, "iter_frames").release();
}


// Whether iter_frames is this type's own: a subclass that replaces it gets
// read() through its version, frame by frame. 1, 0, or -1 with an error.
int own_iter_frames(PyObject* self) {
  ModuleState* state = state_of_type(Py_TYPE(self));
  if (!state) return -1;
  PyTypeObject* reader_type = state->reader_type;
  if (Py_TYPE(self) == reader_type) return 1;
  Ref mine = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)),
                                               "iter_frames"));
  Ref base = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(reader_type),
                                               "iter_frames"));
  if (!mine || !base) return -1;
  return mine.get() == base.get();
}

PyObject* reader_read(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"out", nullptr};
  PyObject* out = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:read", const_cast<char**>(kwlist), &out))
    return nullptr;
  const int own = own_iter_frames(self);
  if (own < 0) return nullptr;
  return read_frames(self, out, own != 0);
}

PyObject* reader_refuse_pickle(PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "no default __reduce__ due to non-trivial __cinit__");
  return nullptr;
}

// --- properties

PyObject* get_xsize(PyObject* self, void*) {
  return PyLong_FromUnsignedLong(reader_of(self)._basic_info.xsize);
}
PyObject* get_ysize(PyObject* self, void*) {
  return PyLong_FromUnsignedLong(reader_of(self)._basic_info.ysize);
}
PyObject* get_samples(PyObject* self, void*) {
  return PyLong_FromSize_t(reader_of(self)._samples);
}
PyObject* get_frame_shape(PyObject* self, void*) {
  return reader_of(self)._frame_shape.new_ref();
}
PyObject* get_dtype(PyObject* self, void*) { return reader_of(self)._frame_dtype.new_ref(); }
PyObject* get_is_animation(PyObject* self, void*) {
  return PyBool_FromLong(reader_of(self)._basic_info.have_animation != 0);
}
PyObject* get_n_frames(PyObject*, void*) { Py_RETURN_NONE; }

PyObject* get_basic_info(PyObject* self, void*) {
  return basic_info_dict(reader_of(self)._basic_info).release();
}

PyObject* get_color(PyObject* self, void*) {
  const Reader& r = reader_of(self);
  if (!r._parse_color) Py_RETURN_NONE;
  return color_dict(r._color_encoding).release();
}

PyObject* get_extra_channels(PyObject* self, void*) {
  const Reader& r = reader_of(self);
  if (r.extra_channels.is_none()) return PyList_New(0);
  // A copy, so that the caller cannot change what the reader reports.
  return PySequence_List(r.extra_channels.get());
}

PyObject* get_animation(PyObject* self, void*) {
  return animation_dict(reader_of(self)._basic_info).release();
}

PyObject* get_icc_profile(PyObject* self, void*) {
  Reader& r = reader_of(self);
  if (r._icc_fetched) return r._icc_profile.new_ref();
  if (!r._parse_color || r._closed || !r._decoder) Py_RETURN_NONE;
  LockGuard guard(r.lock, kTypeName);
  if (!guard.ok()) return nullptr;
  // Another thread may have closed the reader or fetched the profile while
  // this one waited for the lock.
  if (!r._icc_fetched && !r._closed && r._decoder && r._fetch_icc_profile() < 0)
    return nullptr;
  return r._icc_profile.new_ref();
}

// ---------------------------------------------------------------------------
// Docstrings. The examples run as doctests with the module's globals, so
// `np` and the module's own names are in scope.

constexpr const char kReaderDoc[] =
    "JxlReader(data, *, numthreads=None, keep_orientation=False, coalesce=True, "
    "parse_color=True, streaming=False, skip_frames=0, extra_channels=False, "
    "partial=False, downsampling=1, progress=None)\n--\n\n"
    "Streaming JPEG XL decoder: the header at once, frames one at a time.\n"
    "\n"
    "The constructor parses the header (size, channels, sample type,\n"
    "animation, colour) without decoding any pixel. Iterate the reader to\n"
    "decode one frame per step into a new array, or call read() for all of\n"
    "them. Close it, or use it in a with block, to release libjxl's decoder,\n"
    "its threads and the input at once.\n"
    "\n"
    "Parameters:\n"
    "  data              a bytes-like object (read in place, not copied), a\n"
    "                    path (str or os.PathLike) or a binary file object;\n"
    "                    paths and file objects are read whole at once.\n"
    "  numthreads        libjxl worker threads; None or <= 0 picks libjxl's\n"
    "                    default, 1 decodes on the calling thread alone.\n"
    "  keep_orientation  leave the pixels as stored; by default they are\n"
    "                    turned and flipped as the header's orientation says.\n"
    "  coalesce          have libjxl blend each animation frame onto the\n"
    "                    canvas (the default); False gives frames as stored.\n"
    "  parse_color       read the colour encoding too (`color`,\n"
    "                    `icc_profile`); False skips it.\n"
    "  streaming         for a path or file object larger than 4 MiB, read\n"
    "                    4 MiB chunks on a background thread while libjxl\n"
    "                    decodes, instead of loading the whole file first.\n"
    "  skip_frames       frames to pass over, without decoding their pixels,\n"
    "                    before the first one the reader yields.\n"
    "  extra_channels    decode every extra channel too: frames are then\n"
    "                    (Y, X, C) with the colour channels followed by the\n"
    "                    extra channels in stream order (see extra_channels\n"
    "                    for what they are), in one dtype wide enough for all.\n"
    KP_PROGRESSIVE_OPTIONS_DOC
    "\n"
    "Raises:\n"
    "  ValueError           empty input, or bytes that are not JPEG XL.\n"
    "  NotImplementedError  a channel layout other than L, LA, RGB, RGBA.\n"
    "  JxlError             libjxl refused the header (corrupt, truncated).\n"
    "  OSError              a path or file object could not be read.\n"
    "\n"
    "A reader serves one thread at a time: calls from a second thread wait.\n"
    "It cannot be pickled.\n"
    "\n"
    "Example:\n"
    "    >>> data = encode(np.zeros((3, 4, 5), np.uint8), animation=True)\n"
    "    >>> with JxlReader(data) as reader:\n"
    "    ...     print(reader.frame_shape, reader.dtype, reader.is_animation)\n"
    "    ...     for frame in reader:\n"
    "    ...         print(frame.shape)\n"
    "    (4, 5) <class 'numpy.uint8'> True\n"
    "    (4, 5)\n"
    "    (4, 5)\n"
    "    (4, 5)\n";

PyMethodDef reader_methods[] = {
    {"iter_frames", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(catching_bad_alloc<reader_iter_frames>)),
     METH_VARARGS | METH_KEYWORDS,
     "iter_frames($self, /, *, info=False)\n--\n\n"
     "Return an iterator that decodes the remaining frames one at a time.\n"
     "\n"
     "With info=True it yields (frame, frame_info) pairs, frame_info a new\n"
     "dict of the frame's header: duration (ticks), duration_ms, timecode,\n"
     "name and is_last, as in probe()'s frames; with coalesce=False also\n"
     "the layer's place on the canvas: x0, y0, xsize, ysize.\n"
     "\n"
     "Each step decodes one frame into a new array of the reader's\n"
     "frame_shape and dtype, with the interpreter lock released while\n"
     "libjxl works. Iterating the reader itself does the same. Nothing is\n"
     "checked or decoded before the first next().\n"
     "\n"
     "Raises RuntimeError when the reader is closed, JxlError when libjxl\n"
     "refuses a frame (a corrupt or truncated stream).\n"
     "\n"
     "Example:\n"
     "    >>> data = encode(np.zeros((2, 3, 3), np.uint8), animation=True)\n"
     "    >>> [frame.shape for frame in JxlReader(data).iter_frames()]\n"
     "    [(3, 3), (3, 3)]\n"},
    {"iter_progressive", reader_iter_progressive, METH_NOARGS,
     "iter_progressive($self, /)\n--\n\n"
     "Return an iterator over the successive renderings of the current frame.\n"
     "\n"
     "Each step yields (array, info): a new array of frame_shape and dtype,\n"
     "the frame as libjxl renders it after another progressive step (the\n"
     "1:8 image, then each pass of a progressive stream), and info, a dict\n"
     "with \"downsampling\" (the ratio the rendering is meant for, never\n"
     "rising from one step to the next) and \"bytes_read\" (the bytes of the\n"
     "stream libjxl had used for it). The last step gives the frame itself,\n"
     "equal to what iterating the reader would give, with downsampling 1\n"
     "(the reader's own downsampling= ratio when one was asked for; the last\n"
     "step's ratio for a truncated stream read with partial=True); the\n"
     "reader then stands at the next frame. A streaming reader hands libjxl\n"
     "what each read() of the source returns, without waiting for a full\n"
     "chunk, so renderings come as the bytes arrive.\n"
     "\n"
     "Raises what iterating the reader raises.\n"
     "\n"
     "Example:\n"
     "    >>> image = np.tile(np.arange(64, dtype=np.uint8), (64, 1))\n"
     "    >>> reader = JxlReader(encode(image, progressive=True))\n"
     "    >>> steps = list(reader.iter_progressive())\n"
     "    >>> [info[\"downsampling\"] for _, info in steps][-1]\n"
     "    1\n"},
    {"read", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(catching_bad_alloc<reader_read>)),
     METH_VARARGS | METH_KEYWORDS,
     "read($self, /, out=None)\n--\n\n"
     "Decode every remaining frame and return them as one array.\n"
     "\n"
     "One remaining frame (a still image) comes back alone, shaped\n"
     "frame_shape; several are stacked on a new leading axis, each decoded\n"
     "straight into its place. `out`, a writeable C-contiguous array of\n"
     "exactly the result's shape and dtype, receives the pixels instead of\n"
     "a new array and is returned (reusing one saves allocating and clearing\n"
     "fresh memory per call). A wrong dtype raises TypeError; a wrong shape,\n"
     "layout or a read-only array ValueError, before anything is decoded\n"
     "(for a streamed animation, whose frames are not counted ahead, once\n"
     "they are). `out` may also be any object with shape, dtype and slice\n"
     "assignment (Zarr, h5py): rows are assigned to it band by band\n"
     "(out[y0:y1], or out[i, y0:y1] for frame i), never a whole frame in\n"
     "memory; a streamed animation fills as many frames as it holds.\n"
     "\n"
     "Raises JxlError(\"jxl: no frames in stream\") when no frame is left,\n"
     "RuntimeError when the reader is closed, JxlError when libjxl refuses\n"
     "a frame.\n"
     "\n"
     "Example:\n"
     "    >>> data = encode(np.zeros((4, 2, 3, 3), np.uint8), animation=True)\n"
     "    >>> JxlReader(data).read().shape\n"
     "    (4, 2, 3, 3)\n"
     "    >>> JxlReader(data, skip_frames=3).read().shape\n"
     "    (2, 3, 3)\n"},
    {"__enter__", reader_enter, METH_NOARGS, "__enter__($self, /)\n--\n\nReturn the reader."},
    {"__exit__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(reader_exit)),
     METH_VARARGS | METH_KEYWORDS,
     "__exit__($self, /, exc_type, exc, tb)\n--\n\n"
     "Close the reader; an exception raised in the with block propagates."},
    {"close", reader_close, METH_NOARGS,
     "close($self, /)\n--\n\n"
     "Release the decoder, its threads and the input; closing again does\n"
     "nothing.\n"
     "\n"
     "A file object passed in is left open. The header properties keep\n"
     "their values after close; decoding raises RuntimeError."},
    {"__reduce__", reader_refuse_pickle, METH_NOARGS, nullptr},
    {"__setstate__", reader_refuse_pickle, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* get_complete(PyObject* self, void*) {
  return PyBool_FromLong(reader_of(self).complete);
}

PyGetSetDef reader_getset[] = {
    {"complete", get_complete, nullptr,
     "False once a partial frame was delivered (partial=True on a truncated\n"
     "stream); True while every frame read was whole.",
     nullptr},
    {"xsize", get_xsize, nullptr, "Image width in pixels.", nullptr},
    {"ysize", get_ysize, nullptr, "Image height in pixels.", nullptr},
    {"samples", get_samples, nullptr,
     "Samples per pixel: 1 (L), 2 (LA), 3 (RGB) or 4 (RGBA).", nullptr},
    {"frame_shape", get_frame_shape, nullptr,
     "Shape of every frame array: (ysize, xsize) for grey, otherwise\n"
     "(ysize, xsize, samples).",
     nullptr},
    {"dtype", get_dtype, nullptr,
     "NumPy scalar type of every frame (the type, such as numpy.uint8).\n"
     "\n"
     "Integer samples of up to 8 bits give uint8, up to 16 bits uint16,\n"
     "keeping the stream's range (10-bit samples stay below 1024); wider\n"
     "integers give float32; float samples give float16 or float32.",
     nullptr},
    {"is_animation", get_is_animation, nullptr, "Whether the stream is an animation.",
     nullptr},
    {"extra_channels", get_extra_channels, nullptr,
     "The stream's extra channels, one new dict each, in stream order.\n"
     "\n"
     "Keys: type (\"alpha\", \"depth\", \"spot_color\", \"selection_mask\",\n"
     "\"black\", \"cfa\", \"thermal\", \"optional\" or \"unknown\"),\n"
     "bits_per_sample, exponent_bits_per_sample, name, alpha_premultiplied,\n"
     "spot_color (4 floats, linear RGBA, for a spot colour; else None).\n"
     "Reported whether or not the reader decodes them (extra_channels=True).",
     nullptr},
    {"animation", get_animation, nullptr,
     "The animation header as a new dict, or None for a still image.\n"
     "\n"
     "Keys: tps_numerator and tps_denominator (ticks per second as a\n"
     "fraction), num_loops (0: for ever), have_timecodes.",
     nullptr},
    {"n_frames", get_n_frames, nullptr,
     "Always None: frames are not counted ahead of decoding (see frame_count).", nullptr},
    {"basic_info", get_basic_info, nullptr,
     "The stream's header facts, as a new dict.\n"
     "\n"
     "Keys: xsize, ysize, bits_per_sample, exponent_bits_per_sample (0 for\n"
     "integer samples), num_color_channels, num_extra_channels, alpha_bits,\n"
     "have_animation, orientation (1 to 8, as in EXIF), intensity_target,\n"
     "min_nits, uses_original_profile (True when the pixels were coded in\n"
     "their own colour space rather than libjxl's XYB, as lossless ones are).",
     nullptr},
    {"color", get_color, nullptr,
     "The colour encoding of the decoded pixels, as a new dict; None when\n"
     "the reader was opened with parse_color=False.\n"
     "\n"
     "Keys: color_space, white_point, primaries, transfer_function,\n"
     "rendering_intent, each the plain integer value of libjxl's\n"
     "enumeration (kestrelpix.core.color names them: ColorSpace,\n"
     "WhitePoint, Primaries, TransferFunction, RenderingIntent). An encoding\n"
     "that only an ICC profile describes reads as zeros.",
     nullptr},
    {"icc_profile", get_icc_profile, nullptr,
     "The ICC profile of the decoded pixels as bytes, or None.\n"
     "\n"
     "Fetched from libjxl on first access and kept; None when the reader\n"
     "was opened with parse_color=False, or closed before the first access.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot reader_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(reader_new)},
    {Py_tp_init, reinterpret_cast<void*>(reader_init)},
    {Py_tp_dealloc, reinterpret_cast<void*>(reader_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(reader_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(reader_clear)},
    {Py_tp_iter, reinterpret_cast<void*>(reader_iter)},
    {Py_tp_methods, reader_methods},
    {Py_tp_getset, reader_getset},
    {Py_tp_doc, const_cast<char*>(kReaderDoc)},
    {0, nullptr},
};

PyType_Spec reader_spec = {
    "kestrelpix.codecs._jxl.JxlReader",
    sizeof(ReaderObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    reader_slots,
};

}  // namespace

Reader& reader_of(PyObject* self) { return reinterpret_cast<ReaderObject*>(self)->r; }

Ref new_reader(PyObject* type, PyObject* data, const DecoderOptions& options) {
  ModuleState* state = module_state();
  if (!state) return {};
  Ref self = new_instance(type, state->reader_type);
  if (!self) return {};
  Reader& r = reader_of(self.get());
  LockGuard guard(r.lock, kTypeName);
  if (!guard.ok() || r.init(data, options) < 0) return {};
  return self;
}

int add_reader_type(PyObject* module) {
  auto* state = static_cast<ModuleState*>(PyModule_GetState(module));
  state->frame_iter_type = reinterpret_cast<PyTypeObject*>(
      PyType_FromModuleAndSpec(module, &frame_iter_spec, nullptr));
  if (!state->frame_iter_type) return -1;
  Ref type = Ref::steal(PyType_FromModuleAndSpec(module, &reader_spec, nullptr));
  if (!type) return -1;
  state->reader_type = reinterpret_cast<PyTypeObject*>(Py_NewRef(type.get()));
  return PyModule_AddObjectRef(module, "JxlReader", type.get());
}

}  // namespace kp
