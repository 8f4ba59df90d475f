// encode, decode and frame_count: thin drivers over the two classes and a
// private libjxl decoder.
#include "oneshot.h"

#include "npy.h"

#include <jxl/decode.h>
#include <jxl/decode_cxx.h>

#include <climits>

#include "common.h"
#include "decoder_options.h"
#include "preview.h"
#include "encoder_options.h"
#include "reader.h"
#include "frame_count.h"
#include "input.h"
#include "status.h"
#include "writer.h"
#include "chunked.h"

namespace kp {
namespace {

// ---------------------------------------------------------------------------
// encode

// One frame to the writer, as w.write_frame(frame, is_last=is_last,
// duration=duration) does it.
bool write_frame(PyObject* w, PyObject* frame, bool is_last, PyObject* duration) {
  Writer& writer = writer_of(w);
  LockGuard guard(writer._lock, "JxlWriter");
  if (!guard.ok()) return false;
  return static_cast<bool>(Ref::steal(writer.write_frame(
      frame, is_last ? Py_True : Py_False, duration ? duration : Py_None, Py_None)));
}

// The duration of frame i: one number for every frame, or the i-th of a
// sequence; null (no duration) when none was given.
Ref duration_of(PyObject* durations, Py_ssize_t i) {
  if (durations == Py_None) return {};
  if (PyNumber_Check(durations) && !PySequence_Check(durations)) return Ref::borrow(durations);
  return Ref::steal(PySequence_GetItem(durations, i));
}

// The body of encode's `with` block: every frame (`n` of a stack, or the
// one still when 0), then close().
Ref write_and_close(PyObject* w, PyObject* a, npy_intp n, PyObject* durations) {
  if (n == 0) {
    if (!write_frame(w, a, /*is_last=*/true, nullptr)) return {};
  } else {
    for (npy_intp i = 0; i < n; ++i) {
      Ref frame = Ref::steal(PySequence_GetItem(a, i));
      if (!frame) return {};
      Ref duration = duration_of(durations, i);
      if (!duration && PyErr_Occurred()) return {};
      if (!write_frame(w, frame.get(), i == n - 1, duration.get())) return {};
    }
  }
  return call_method(w, "close");
}

// `durations`: None, one number, or one per frame of the stack.
int check_durations(PyObject* durations, bool animation, npy_intp frames) {
  if (durations == Py_None) return 0;
  if (!animation) {
    PyErr_SetString(PyExc_ValueError, "jxl: durations= is only for an animation (animation=True)");
    return -1;
  }
  if (PyNumber_Check(durations) && !PySequence_Check(durations)) return 0;
  const Py_ssize_t n = PySequence_Size(durations);
  if (n < 0) {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError,
                 "jxl: durations must be a number or a sequence of numbers (ms), not %.200s",
                 Py_TYPE(durations)->tp_name);
    return -1;
  }
  if (n != frames) {
    PyErr_Format(PyExc_ValueError, "jxl: %zd durations for %zd frames", n,
                 static_cast<Py_ssize_t>(frames));
    return -1;
  }
  return 0;
}

// encode's arguments: the array, the encoder options, the destination and
// the frames' durations.
constexpr OptionRow kEncodeRows[] = {{"arr", Default::kRequired},
                                     KP_ENCODER_OPTIONS(KP_OPTION_ROW){"dest", Default::kNone},
                                     {"durations", Default::kNone}};
constexpr const char* kEncodeKeywords[] = {"arr", KP_ENCODER_OPTIONS(KP_OPTION_NAME) "dest",
                                           "durations", nullptr};
constexpr auto kEncodeFormat = keyword_format("O|$", kEncoderOptionCount + 2, "encode");
constexpr size_t kEncodeDest = 1 + kEncoderOptionCount;

PyObject* encode(PyObject*, PyObject* args, PyObject* kwargs) {
  ParsedArgs<3 + kEncoderOptionCount> parsed;
  if (parsed.parse(args, kwargs, kEncodeFormat.data(), kEncodeKeywords, kEncodeRows) < 0)
    return nullptr;
  PyObject* arr = parsed[0];
  PyObject* dest = parsed[kEncodeDest];
  PyObject* durations = parsed[kEncodeDest + 1];
  PyObject* animation = parsed[1 + kOpt_animation];

  PyObject* np = module_global("np");
  if (!np) return nullptr;
  const int streaming = PyObject_IsTrue(parsed[1 + kOpt_streaming]);
  if (streaming < 0) return nullptr;
  // A streamed source is read only in the rectangles libjxl asks for: its
  // shape is looked at through a stand-in.
  Ref a = streaming ? Ref::borrow(arr) : call_method(np, "asarray", arr);
  if (!a) return nullptr;
  Ref shape_of = streaming ? frame_proxy(arr) : a;
  if (!shape_of) return nullptr;
  auto* shaped = reinterpret_cast<PyArrayObject*>(shape_of.get());
  const int is_animation = PyObject_IsTrue(animation);
  if (is_animation < 0) return nullptr;
  if (is_animation) {
    if (!PyArray_Check(shape_of.get()) || PyArray_NDIM(shaped) < 3) {
      PyErr_SetString(PyExc_ValueError, "animation requires (T, Y, X[, C]) input");
      return nullptr;
    }
    if (PyArray_DIM(shaped, 0) == 0) {
      PyErr_SetString(PyExc_ValueError, "jxl: an animation needs at least one frame (T is 0)");
      return nullptr;
    }
  }
  const npy_intp frames = is_animation ? PyArray_DIM(shaped, 0) : 1;
  if (check_durations(durations, is_animation != 0, frames) < 0) return nullptr;

  PyObject* writer_type = module_global("JxlWriter");
  if (!writer_type) return nullptr;
  parsed[1 + kOpt_animation] = is_animation ? Py_True : Py_False;
  Ref writer = new_writer(writer_type, dest, parsed.data() + 1);
  if (!writer) return nullptr;

  const bool animation_stack = is_animation != 0;
  return with_context(writer.get(), [&a, animation_stack, frames, durations](PyObject* w) {
           return write_and_close(w, a.get(), animation_stack ? frames : 0, durations);
         }).release();
}

// ---------------------------------------------------------------------------
// decode

// The frame index as libjxl's skip count: a signed 32-bit number.
int frame_index_to_skip(PyObject* index, long* skip) {
  *skip = 0;
  if (index == Py_None) return 0;
  Ref n = Ref::steal(PyNumber_Long(index));
  if (!n) return -1;
  const long v = PyLong_AsLong(n.get());
  if (v == -1 && PyErr_Occurred()) return -1;
  if (v > INT_MAX || v < INT_MIN) {
    PyErr_SetString(PyExc_OverflowError,
                    v > 0 ? "signed integer is greater than maximum"
                          : "signed integer is less than minimum");
    return -1;
  }
  *skip = v;
  return 0;
}

// A negative index counts from the end, as everywhere in Python: the frames
// are counted first, at parse cost. A file object is read whole first (its
// frames are counted and then decoded from memory); a path or bytes-like
// object is parsed where it is, and decoded as usual afterwards.
int resolve_negative_index(PyObject** data, PyObject* index, long* skip, Ref* loaded) {
  SourceKind kind;
  if (classify_source(*data, &kind) < 0) return -1;
  if (kind == SourceKind::kOther) return refuse_source(*data, "data");
  if (kind == SourceKind::kFile) {
    *loaded = read_whole(*data, kind);
    if (!*loaded) return -1;
    *data = loaded->get();
  }
  uint64_t count = 0;
  if (count_frames(*data, &count) < 0) return -1;
  if (static_cast<uint64_t>(-static_cast<long long>(*skip)) > count) {
    Ref text = Ref::steal(PyObject_Format(index, nullptr));
    if (!text) return -1;
    PyErr_Format(PyExc_IndexError, "jxl: frame %U not found (stream too short?)", text.get());
    return -1;
  }
  *skip += static_cast<long>(count);
  return 0;
}

Ref decode_chosen_frame(PyObject* reader, PyObject* index, PyObject* out) {
  Ref frame;
  if (out != Py_None) {
    frame = decode_frame_into(reader, out);
    if (!frame || frame.get() != Py_None) return frame;
  } else {
    Ref frames = call_method(reader, "iter_frames");
    if (!frames) return {};
    frame = Ref::steal(PyIter_Next(frames.get()));
    if (frame || PyErr_Occurred()) return frame;
  }
  Ref text = Ref::steal(PyObject_Format(index, nullptr));
  if (!text) return {};
  PyErr_Format(PyExc_IndexError, "jxl: frame %U not found (stream too short?)", text.get());
  return {};
}

// decode's arguments: the reader's, but for skip_frames, which `index`
// decides; colour is not parsed unless asked for.
enum DecodeArg : size_t {
  kDecodeData, kDecodeNumthreads, kDecodeKeepOrientation, kDecodeCoalesce, kDecodeParseColor,
  kDecodeStreaming, kDecodeIndex, kDecodeOut, kDecodeExtraChannels, kDecodePartial,
  kDecodeDownsampling, kDecodeProgress, kDecodePreview, kDecodeArgCount
};
constexpr OptionRow kDecodeRows[] = {
    {"data", Default::kRequired},    {"numthreads", Default::kNone},
    {"keep_orientation", Default::kFalse}, {"coalesce", Default::kTrue},
    {"parse_color", Default::kFalse}, {"streaming", Default::kFalse},
    {"index", Default::kNone},        {"out", Default::kNone},
    {"extra_channels", Default::kFalse}, {"partial", Default::kFalse},
    {"downsampling", Default::kOne}, {"progress", Default::kNone},
    {"preview", Default::kFalse}};
constexpr const char* kDecodeKeywords[] = {
    "data", "numthreads", "keep_orientation", "coalesce", "parse_color", "streaming",
    "index", "out", "extra_channels", "partial", "downsampling", "progress", "preview",
    nullptr};
constexpr auto kDecodeFormat = keyword_format("O|$", kDecodeArgCount - 1, "decode");

// decode(..., preview=True): the preview alone, so what chooses or shapes a
// frame has no meaning.
PyObject* decode_preview_only(PyObject* data, PyObject* index, PyObject* out,
                              const DecoderOptions& options) {
  const char* conflict = index != Py_None              ? "index"
                         : out != Py_None              ? "out"
                         : options.extra_channels      ? "extra_channels=True"
                         : options.partial             ? "partial=True"
                         : options.downsampling != 1   ? "downsampling"
                         : options.progress && options.progress.get() != Py_None ? "progress"
                                                       : nullptr;
  if (conflict) {
    PyErr_Format(PyExc_ValueError, "jxl: preview=True does not take %s", conflict);
    return nullptr;
  }
  return decode_preview(data, options.keep_orientation);
}

PyObject* decode(PyObject*, PyObject* args, PyObject* kwargs) {
  ParsedArgs<kDecodeArgCount> parsed;
  if (parsed.parse(args, kwargs, kDecodeFormat.data(), kDecodeKeywords, kDecodeRows) < 0)
    return nullptr;
  PyObject* data = parsed[kDecodeData];
  PyObject* index = parsed[kDecodeIndex];
  PyObject* out = parsed[kDecodeOut];
  bool preview = false;
  if (bool_option(parsed[kDecodePreview], &preview) < 0) return nullptr;
  long skip = 0;
  if (frame_index_to_skip(index, &skip) < 0) return nullptr;
  Ref loaded;
  if (skip < 0 && !preview && resolve_negative_index(&data, index, &skip, &loaded) < 0)
    return nullptr;

  PyObject* values[kDecoderOptionCount];
  values[kDec_numthreads] = parsed[kDecodeNumthreads];
  values[kDec_keep_orientation] = parsed[kDecodeKeepOrientation];
  values[kDec_coalesce] = parsed[kDecodeCoalesce];
  values[kDec_parse_color] = parsed[kDecodeParseColor];
  values[kDec_streaming] = parsed[kDecodeStreaming];
  Ref no_skip = Ref::steal(PyLong_FromLong(0));  // `skip` is set below
  if (!no_skip) return nullptr;
  values[kDec_skip_frames] = no_skip.get();
  values[kDec_extra_channels] = parsed[kDecodeExtraChannels];
  values[kDec_partial] = parsed[kDecodePartial];
  values[kDec_downsampling] = parsed[kDecodeDownsampling];
  values[kDec_progress] = parsed[kDecodeProgress];
  DecoderOptions options;
  if (options.parse(values) < 0) return nullptr;
  options.skip_frames = static_cast<uint64_t>(skip);
  if (preview) return decode_preview_only(data, index, out, options);

  PyObject* reader_type = module_global("JxlReader");
  if (!reader_type) return nullptr;
  Ref reader = new_reader(reader_type, data, options);
  if (!reader) return nullptr;
  Ref result = with_context(reader.get(), [index, out](PyObject* r) {
    if (index == Py_None) return out == Py_None ? call_method(r, "read") : call_method(r, "read", out);
    return decode_chosen_frame(r, index, out);
  });
  // One frame of an animation ends the decode before the stream's end.
  if (result && reader_of(reader.get()).tell_progress(true) < 0) return nullptr;
  return result.release();
}

// ---------------------------------------------------------------------------
// frame_count

PyObject* frame_count(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"data", "numthreads", nullptr};
  PyObject* data = nullptr;
  PyObject* numthreads = Py_None;  // accepted for symmetry; counting is single-threaded
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$O:frame_count",
                                   const_cast<char**>(kwlist), &data, &numthreads))
    return nullptr;
  uint64_t count = 0;
  if (count_frames(data, &count) < 0) return nullptr;
  return PyLong_FromUnsignedLongLong(count);
}

// ---------------------------------------------------------------------------
// Docstrings. The examples run as doctests with the module's globals, so
// `np` and the module's own names are in scope.

constexpr const char kEncodeDoc[] =
    "encode(arr, *, color=None, lossless=None, quality=None, distance=None, "
    "effort=5, decoding_speed=0, numthreads=None, animation=False, "
    "container=False, dest=None, durations=None, loops=0, tps=None, exif=None, "
    "xmp=None, jumbf=None, orientation=1, icc_profile=None, "
    "compress_boxes=False, extra_channels=None, "
    "progressive=False, group_order=None, center=None, streaming=False, progress=None)\n--\n\n"
    "Encode an array, or a stack of animation frames, as a JPEG XL stream.\n"
    "\n"
    "A one-call JxlWriter: the options mean what they mean there.\n"
    "\n"
    "Parameters:\n"
    "  arr             one frame, (Y, X) or (Y, X, C) with C of 1 to 4 (L,\n"
    "                  LA, RGB, RGBA), of uint8, uint16, float16 or float32;\n"
    "                  with animation=True a stack (T, Y, X[, C]) of frames.\n"
    KP_ENCODER_OPTIONS_DOC
    "  animation       take `arr` as a stack of frames, the first axis\n"
    "                  being time (a tenth of a second each, looping).\n"
    "  container       wrap the codestream in the JPEG XL container (always\n"
    "                  done for animations).\n"
    "  dest            None to get the bytes back; a path (str or\n"
    "                  os.PathLike), written only once the whole stream\n"
    "                  exists (a temporary file beside it renamed into\n"
    "                  place: a failure leaves an existing file as it was);\n"
    "                  or an object with a write() method.\n"
    "  durations       with animation=True, how long each frame shows in\n"
    "                  milliseconds: one number for all, or one per frame.\n"
    KP_METADATA_OPTIONS_DOC
    KP_STREAMING_OPTIONS_DOC
    "\n"
    "Returns the encoded stream as bytes, or None when `dest` received it.\n"
    "\n"
    "Raises:\n"
    "  ValueError  a shape or dtype the encoder does not take, quality and\n"
    "              distance given together, animation=True with fewer than\n"
    "              three dimensions.\n"
    "  JxlError    libjxl refused an option or a frame (say, distance 30).\n"
    "  OSError     `dest` could not be opened or written.\n"
    "\n"
    "Example:\n"
    "    >>> rgb = np.zeros((8, 8, 3), np.uint8)\n"
    "    >>> data = encode(rgb, quality=90, effort=3)\n"
    "    >>> decode(data).shape\n"
    "    (8, 8, 3)\n"
    "    >>> stack = np.zeros((3, 8, 8), np.uint16)\n"
    "    >>> frame_count(encode(stack, animation=True, lossless=True))\n"
    "    3\n";

constexpr const char kDecodeDoc[] =
    "decode(data, *, numthreads=None, keep_orientation=False, coalesce=True, "
    "parse_color=False, streaming=False, index=None, out=None, "
    "extra_channels=False, partial=False, downsampling=1, progress=None, "
    "preview=False)\n--\n\n"
    "Decode a JPEG XL stream into a NumPy array.\n"
    "\n"
    "A one-call JxlReader: it is opened on `data`, read and closed again.\n"
    "\n"
    "Parameters:\n"
    "  data              the stream: a bytes-like object, a path (str or\n"
    "                    os.PathLike) or a binary file object.\n"
    "  numthreads        libjxl worker threads; None or <= 0 picks libjxl's\n"
    "                    default, 1 decodes on the calling thread alone.\n"
    "  keep_orientation  leave the pixels as stored; by default they are\n"
    "                    turned and flipped as the header's orientation says.\n"
    "  coalesce          have libjxl blend each animation frame onto the\n"
    "                    canvas (the default); False gives frames as stored.\n"
    "  parse_color       also read the colour encoding (pixels do not need it).\n"
    "  streaming         read a path or file object larger than 4 MiB in\n"
    "                    4 MiB chunks on a background thread while libjxl\n"
    "                    decodes, instead of loading it whole first.\n"
    "  index             return frame `index` alone (counted from 0; a\n"
    "                    negative index counts from the end); the frames\n"
    "                    before it are skipped without decoding their pixels.\n"
    "  out               a writeable, C-contiguous array of exactly the\n"
    "                    result's shape and dtype to decode into (returned);\n"
    "                    checked before decoding (TypeError for the dtype,\n"
    "                    ValueError otherwise). Or any object with shape,\n"
    "                    dtype and slice assignment (a Zarr array, an h5py\n"
    "                    dataset): rows go there band by band as libjxl\n"
    "                    hands them out (out[y0:y1] = rows, a band being the\n"
    "                    object's row chunks when it has `chunks`), never the\n"
    "                    whole frame in memory. For a file larger than memory,\n"
    "                    pass it mapped (mmap) or with streaming=True.\n"
    "  extra_channels    decode every extra channel (black, spot colours,\n"
    "                    depth, masks, further alphas): each frame is then\n"
    "                    (Y, X, C), the colour channels followed by the\n"
    "                    extra channels in stream order, in one dtype wide\n"
    "                    enough for all; False refuses layouts other than\n"
    "                    L, LA, RGB, RGBA.\n"
    KP_PROGRESSIVE_OPTIONS_DOC
    "  preview           return the stream's preview image instead of its\n"
    "                    frames (the small image a codestream may carry ahead\n"
    "                    of them; probe tells whether it has one): (Y, X) or\n"
    "                    (Y, X, C) of the preview's own size, in the frames'\n"
    "                    dtype, oriented as the frames are unless\n"
    "                    keep_orientation; the frames are not read. JxlError\n"
    "                    when there is none; index, out, extra_channels,\n"
    "                    partial, downsampling and progress do not apply\n"
    "                    (ValueError).\n"
    "\n"
    "Returns the single frame of a still image, (Y, X) for grey or (Y, X, C)\n"
    "with C of 2 to 4; the frames of an animation stacked as (T, Y, X[, C]);\n"
    "or, with `index`, that one frame. The dtype follows the stream's\n"
    "samples: uint8, uint16, float16 or float32.\n"
    "\n"
    "Raises:\n"
    "  ValueError           empty input, or bytes that are not JPEG XL.\n"
    "  IndexError           the stream has no frame `index`.\n"
    "  NotImplementedError  a channel layout other than L, LA, RGB, RGBA.\n"
    "  JxlError             libjxl refused the stream (corrupt, truncated).\n"
    "  OSError              a path or file object could not be read.\n"
    "\n"
    "Example:\n"
    "    >>> grey = np.arange(12, dtype=np.uint16).reshape(3, 4)\n"
    "    >>> out = decode(encode(grey, lossless=True))\n"
    "    >>> out.dtype, np.array_equal(out, grey)\n"
    "    (dtype('uint16'), True)\n"
    "    >>> frames = np.stack([grey, grey + 1, grey + 2])\n"
    "    >>> decode(encode(frames, animation=True, lossless=True), index=2)[0]\n"
    "    array([2, 3, 4, 5], dtype=uint16)\n";

constexpr const char kFrameCountDoc[] =
    "frame_count(data, *, numthreads=None)\n--\n\n"
    "Return the number of frames in a JPEG XL stream.\n"
    "\n"
    "The stream (bytes-like, a path or a binary file object) is parsed by a\n"
    "private libjxl decoder subscribed to frame events: frame headers are\n"
    "read and frame data skipped, so no pixel is decoded, except the last\n"
    "frame of a bare codestream (decoded, its pixels dropped: nothing else\n"
    "tells where it ends; a container's box says it). A still image\n"
    "counts 1 frame, empty input 0. A path or file object is read in 4 MiB\n"
    "chunks, never whole; a file object from where it stands, and left open.\n"
    "`numthreads` is accepted and ignored.\n"
    "\n"
    "Raises JxlError when the stream ends anywhere before its last frame's\n"
    "end or is not JPEG XL at all, with a message starting \"jxl: truncated\n"
    "stream while counting frames\" or\n"
    "\"JxlDecoderProcessInput returned JXL_DEC_ERROR\"; OSError when a path\n"
    "cannot be read; TypeError for anything that is not bytes-like, a path\n"
    "or a file object (an int, say).\n"
    "\n"
    "Example:\n"
    "    >>> frame_count(encode(np.zeros((5, 4, 4), np.uint8), animation=True))\n"
    "    5\n";

PyMethodDef functions[] = {
    {"encode", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(catching_bad_alloc<encode>)),
     METH_VARARGS | METH_KEYWORDS, kEncodeDoc},
    {"decode", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(catching_bad_alloc<decode>)),
     METH_VARARGS | METH_KEYWORDS, kDecodeDoc},
    {"frame_count", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(catching_bad_alloc<frame_count>)),
     METH_VARARGS | METH_KEYWORDS, kFrameCountDoc},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_oneshot_functions(PyObject* module) { return add_functions(module, functions); }

}  // namespace kp
