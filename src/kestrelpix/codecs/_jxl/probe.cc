// probe: everything a stream tells at parse cost (header, colour, animation
// timing, every frame's header, the container's boxes and the metadata
// they carry), without decoding a pixel.
#include "probe.h"

#include <brotli/decode.h>
#include <jxl/decode.h>
#include <jxl/decode_cxx.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "common.h"
#include "frame_count.h"
#include "header_info.h"
#include "input.h"
#include "options.h"
#include "status.h"
#include "threads.h"

namespace kp {
namespace {

constexpr long long kDefaultMaxBoxSize = 67108864;
constexpr size_t kFirstBoxBuffer = 65536;

// The contents of one metadata box, gathered in growing pieces up to the
// caller's limit: the size field is never trusted for an allocation.
struct BoxCapture {
  std::string type;       // "Exif", "xml " or "jumb"; empty when not capturing
  std::vector<uint8_t> data;
  size_t written = 0;
  bool compressed = false;  // a "brob" box, captured as stored
};

int box_overflow(const std::string& type, long long limit) {
  const std::string message = "jxl: the \"" + type + "\" box is larger than max_box_size (" +
                              std::to_string(limit) + " bytes)";
  raise_jxl_error(message.c_str());
  return -1;
}

// Gives libjxl room for more of the box, doubling up to the limit (plus one
// byte, to tell a box of exactly the limit from a larger one).
int grow_box(JxlDecoder* dec, BoxCapture& box, long long limit) {
  if (!box.data.empty()) box.written = box.data.size() - JxlDecoderReleaseBoxBuffer(dec);
  size_t cap = static_cast<size_t>(limit) + 1;
  // Stored Brotli data can be a little longer than what it holds: its inner
  // type, and a few bytes per block of incompressible data.
  if (box.compressed) cap += 4 + 64 + static_cast<size_t>(limit) / 1024;
  if (box.written >= cap) return box_overflow(box.type, limit);
  size_t next = std::max(kFirstBoxBuffer, box.data.size() * 2);
  next = std::min(next, cap);
  try {
    box.data.resize(next);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return -1;
  }
  if (JxlDecoderSetBoxBuffer(dec, box.data.data() + box.written, box.data.size() - box.written) !=
      JXL_DEC_SUCCESS)
    return raise_jxl_error("JxlDecoderSetBoxBuffer failed"), -1;
  return 0;
}

// Decompresses a "brob" box captured as stored (its inner type, then the
// Brotli stream) in place, up to the limit. libjxl's own decompression takes
// a stream that stops short for the whole box, so this one checks that
// Brotli reached the end of its stream.
int decompress_box(BoxCapture& box, long long limit) {
  if (box.written < 4) return raise_jxl_error("jxl: a \"brob\" box holds no type"), -1;
  const size_t cap = static_cast<size_t>(limit) + 1;
  std::vector<uint8_t> out;
  BrotliDecoderState* state = BrotliDecoderCreateInstance(nullptr, nullptr, nullptr);
  if (!state) return PyErr_NoMemory(), -1;
  const uint8_t* next_in = box.data.data() + 4;
  size_t avail_in = box.written - 4;
  BrotliDecoderResult r = BROTLI_DECODER_RESULT_NEEDS_MORE_OUTPUT;
  try {
    while (r == BROTLI_DECODER_RESULT_NEEDS_MORE_OUTPUT && out.size() < cap) {
      const size_t used = out.size();
      out.resize(std::min(cap, std::max(kFirstBoxBuffer, used * 2)));
      uint8_t* next_out = out.data() + used;
      size_t avail_out = out.size() - used;
      r = BrotliDecoderDecompressStream(state, &avail_in, &next_in, &avail_out, &next_out,
                                        nullptr);
      out.resize(out.size() - avail_out);
    }
  } catch (const std::bad_alloc&) {
    BrotliDecoderDestroyInstance(state);
    return PyErr_NoMemory(), -1;
  }
  BrotliDecoderDestroyInstance(state);
  if (out.size() > static_cast<size_t>(limit)) return box_overflow(box.type, limit);
  if (r != BROTLI_DECODER_RESULT_SUCCESS || avail_in != 0) {
    const std::string message = "jxl: the Brotli-compressed \"" + box.type +
                                "\" box does not decompress whole (cut short or corrupt)";
    return raise_jxl_error(message.c_str()), -1;
  }
  box.data.swap(out);
  box.written = box.data.size();
  return 0;
}

// Ends the capture of the current box, storing it as the first of its type.
int finish_box(JxlDecoder* dec, BoxCapture& box, long long limit, PyObject* result) {
  if (box.type.empty()) return 0;
  box.written = box.data.size() - JxlDecoderReleaseBoxBuffer(dec);
  if (box.compressed && decompress_box(box, limit) < 0) return -1;
  if (box.written > static_cast<size_t>(limit)) return box_overflow(box.type, limit);
  const char* key = box.type == "Exif" ? "exif" : box.type == "xml " ? "xmp" : "jumbf";
  const uint8_t* p = box.data.data();
  size_t n = box.written;
  if (box.type == "Exif") {
    // A 4-byte big-endian offset to the TIFF header comes first.
    if (n < 4) {
      n = 0;
    } else {
      const uint32_t offset = (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) |
                              (uint32_t{p[2]} << 8) | uint32_t{p[3]};
      const size_t skip = 4 + std::min<size_t>(offset, n - 4);
      p += skip;
      n -= skip;
    }
  }
  Ref bytes = Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(p),
                                                   static_cast<Py_ssize_t>(n)));
  if (!bytes || PyDict_SetItemString(result, key, bytes.get()) < 0) return -1;
  box.type.clear();
  box.compressed = false;
  box.data.clear();
  box.data.shrink_to_fit();
  box.written = 0;
  return 0;
}

int set_item(PyObject* dict, const char* key, Ref value) {
  if (!value) return -1;
  return PyDict_SetItemString(dict, key, value.get());
}

// What probing has gathered so far, and where it is in the stream.
struct Probe {
  JxlDecoder* dec = nullptr;
  long long max_box = kDefaultMaxBoxSize;
  Ref result;  // the dict returned
  Ref frames;  // its "frames" list, set into it at the end
  Ref boxes;   // its "boxes" list, likewise
  JxlBasicInfo info{};
  bool have_info = false;
  BoxCapture box;
  std::string name;
  bool seen_last = false;
  bool last_header_is_last = false;
  bool bare = false;  // a bare codestream (no container)
  // Following the first frame's passes (probe(..., progressive=True)): the
  // ratios libjxl reports as they complete, while `in_first` is true.
  bool follow_passes = false;
  bool in_first = false;
  size_t frames_seen = 0;
  Ref ratios;
  LazyRunner runner;
};

// `max_box_size`: absent for the default, else a non-negative integer.
int parse_max_box(PyObject* max_box_obj, long long* max_box) {
  if (!max_box_obj) return 0;
  Ref n = Ref::steal(PyNumber_Index(max_box_obj));
  if (!n) return -1;
  *max_box = PyLong_AsLongLong(n.get());
  if (*max_box == -1 && PyErr_Occurred()) return -1;
  if (*max_box < 0) {
    PyErr_Format(PyExc_ValueError, "jxl: max_box_size must be >= 0, got %lld", *max_box);
    return -1;
  }
  return 0;
}

// Has libjxl report each completed pass of the first frame, on worker
// threads when the image is large enough to share out.
int follow_passes(Probe& p) {
  JxlDecoderStatus st = JxlDecoderSetProgressiveDetail(p.dec, kPasses);
  if (st != JXL_DEC_SUCCESS) return raise_dec("JxlDecoderSetProgressiveDetail", st), -1;
  if (p.runner.threaded()) {
    st = JxlDecoderSetParallelRunner(p.dec, LazyRunner::run, &p.runner);
    if (st != JXL_DEC_SUCCESS) return raise_dec("JxlDecoderSetParallelRunner", st), -1;
  }
  p.ratios = Ref::steal(PyList_New(0));
  return p.ratios ? 0 : -1;
}

// A decoder on `input` that reports the header, frames and boxes.
JxlDecoderPtr start_decoder(Probe& p, DecoderInput& input) {
  JxlDecoderPtr owner = JxlDecoderMake(nullptr);
  if (!owner) return raise_jxl_error("JxlDecoderCreate returned NULL"), nullptr;
  JxlDecoder* dec = owner.get();
  p.dec = dec;
  // The stored orientation is wanted; what a reader displays is derived.
  JxlDecoderSetKeepOrientation(dec, JXL_TRUE);
  if (input.fill(2) < 0) return nullptr;
  p.bare = input.available() >= 2 && input.head()[0] == 0xFF && input.head()[1] == 0x0A;
  JxlDecoderStatus st = JxlDecoderSubscribeEvents(
      dec, JXL_DEC_BASIC_INFO | JXL_DEC_COLOR_ENCODING | JXL_DEC_FRAME | JXL_DEC_BOX |
               JXL_DEC_BOX_COMPLETE |
               (p.bare || p.follow_passes ? JXL_DEC_FULL_IMAGE : 0) |
               (p.follow_passes ? JXL_DEC_FRAME_PROGRESSION : 0));
  if (st != JXL_DEC_SUCCESS) return raise_dec("JxlDecoderSubscribeEvents", st), nullptr;
  if (p.follow_passes && follow_passes(p) < 0) return nullptr;
  // Compressed boxes are decompressed here (see decompress_box).
  st = JxlDecoderSetDecompressBoxes(dec, JXL_FALSE);
  if (st != JXL_DEC_SUCCESS) return raise_dec("JxlDecoderSetDecompressBoxes", st), nullptr;

  bool empty = false;
  // Box events need the input closed at its end.
  if (input.start(dec, &empty, /*close_at_end=*/true) < 0) return nullptr;
  if (empty) {
    PyErr_SetString(PyExc_ValueError, "jxl: empty input");
    return nullptr;
  }
  return owner;
}

// The result dict with every key that may stay unset, and its lists.
int start_result(Probe& p) {
  p.result = Ref::steal(PyDict_New());
  p.frames = Ref::steal(PyList_New(0));
  p.boxes = Ref::steal(PyList_New(0));
  if (!p.result || !p.frames || !p.boxes) return -1;
  for (const char* key :
       {"color", "icc_profile", "animation", "exif", "xmp", "jumbf", "progressive"})
    if (PyDict_SetItemString(p.result.get(), key, Py_None) < 0) return -1;
  // A "jbrd" box: the stream can give back the JPEG file it was made from.
  return PyDict_SetItemString(p.result.get(), "jpeg_reconstruction", Py_False);
}

// The result, complete with its frames, boxes and what is known of its
// progressive renderings.
PyObject* finish_result(Probe& p) {
  if (set_item(p.result.get(), "frames", p.frames) < 0 ||
      set_item(p.result.get(), "boxes", p.boxes) < 0 ||
      set_item(p.result.get(), "progressive",
               Ref::steal(Py_BuildValue("{sOsO}", "downsampling",
                                        p.ratios ? p.ratios.get() : Py_None, "preview",
                                        p.info.have_preview ? Py_True : Py_False))) < 0)
    return nullptr;
  return p.result.release();
}

int on_basic_info(Probe& p) {
  if (JxlDecoderGetBasicInfo(p.dec, &p.info) != JXL_DEC_SUCCESS)
    return raise_jxl_error("JxlDecoderGetBasicInfo failed"), -1;
  p.have_info = true;
  // What a reader that applies the orientation reports.
  JxlBasicInfo shown = p.info;
  if (shown.orientation > JXL_ORIENT_FLIP_VERTICAL) std::swap(shown.xsize, shown.ysize);
  shown.orientation = JXL_ORIENT_IDENTITY;
  std::vector<JxlExtraChannelInfo> infos;
  PyObject* result = p.result.get();
  if (set_item(result, "extra_channels", extra_channels_list(p.dec, p.info, &infos)) < 0 ||
      set_item(result, "basic_info", basic_info_dict(shown)) < 0 ||
      set_item(result, "orientation",
               Ref::steal(PyLong_FromLong(static_cast<long>(p.info.orientation)))) < 0 ||
      set_item(result, "animation", animation_dict(p.info)) < 0)
    return -1;
  return 0;
}

int on_color(Probe& p) {
  JxlDecoder* dec = p.dec;
  JxlColorEncoding color;
  if (JxlDecoderGetColorAsEncodedProfile(dec, JXL_COLOR_PROFILE_TARGET_DATA, &color) ==
      JXL_DEC_SUCCESS) {
    if (set_item(p.result.get(), "color", color_dict(color)) < 0) return -1;
  }
  size_t icc_size = 0;
  if (JxlDecoderGetICCProfileSize(dec, JXL_COLOR_PROFILE_TARGET_ORIGINAL, &icc_size) ==
          JXL_DEC_SUCCESS &&
      icc_size > 0) {
    Ref icc = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(icc_size)));
    if (!icc) return -1;
    if (JxlDecoderGetColorAsICCProfile(
            dec, JXL_COLOR_PROFILE_TARGET_ORIGINAL,
            reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(icc.get())), icc_size) ==
            JXL_DEC_SUCCESS &&
        set_item(p.result.get(), "icc_profile", std::move(icc)) < 0)
      return -1;
  }
  return 0;
}

int on_frame(Probe& p) {
  JxlFrameHeader header;
  if (JxlDecoderGetFrameHeader(p.dec, &header) != JXL_DEC_SUCCESS)
    return raise_jxl_error("JxlDecoderGetFrameHeader failed"), -1;
  p.name.assign(header.name_length + 1, '\0');
  if (header.name_length &&
      JxlDecoderGetFrameName(p.dec, p.name.data(), p.name.size()) != JXL_DEC_SUCCESS)
    return raise_jxl_error("JxlDecoderGetFrameName failed"), -1;
  p.name.resize(header.name_length);
  p.last_header_is_last = header.is_last;
  if (header.is_last) p.seen_last = true;
  p.in_first = p.follow_passes && p.frames_seen++ == 0;
  Ref frame = frame_info_dict(p.info, header, p.name, /*with_layer=*/false);
  if (!frame || PyList_Append(p.frames.get(), frame.get()) < 0) return -1;
  return 0;
}

// A box begins: listed, and captured when it is the first of a metadata type.
int on_box(Probe& p) {
  JxlDecoder* dec = p.dec;
  if (finish_box(dec, p.box, p.max_box, p.result.get()) < 0) return -1;
  JxlBoxType raw, type;
  uint64_t size = 0;
  if (JxlDecoderGetBoxType(dec, raw, JXL_FALSE) != JXL_DEC_SUCCESS ||
      JxlDecoderGetBoxType(dec, type, JXL_TRUE) != JXL_DEC_SUCCESS ||
      JxlDecoderGetBoxSizeContents(dec, &size) != JXL_DEC_SUCCESS)
    return raise_jxl_error("jxl: a box header could not be read"), -1;
  const std::string t(type, 4);
  const bool compressed = std::memcmp(raw, "brob", 4) == 0;
  if (t == "jbrd" && PyDict_SetItemString(p.result.get(), "jpeg_reconstruction", Py_True) < 0)
    return -1;
  Ref text = Ref::steal(PyUnicode_DecodeLatin1(type, 4, nullptr));
  if (!text) return -1;
  Ref entry = Ref::steal(Py_BuildValue("{sOsKsN}", "type", text.get(), "size",
                                       static_cast<unsigned long long>(size), "compressed",
                                       PyBool_FromLong(compressed)));
  if (!entry || PyList_Append(p.boxes.get(), entry.get()) < 0) return -1;
  const char* key = t == "Exif" ? "exif" : t == "xml " ? "xmp" : t == "jumb" ? "jumbf" : nullptr;
  // The first box of each metadata type is the one returned.
  if (key && PyDict_GetItemString(p.result.get(), key) == Py_None) {
    p.box.type = t;
    p.box.compressed = compressed;
    if (grow_box(dec, p.box, p.max_box) < 0) return -1;
  }
  return 0;
}

// A ratio the first frame can be rendered at, largest first, each once.
int add_ratio(Probe& p, size_t ratio) {
  const Py_ssize_t n = PyList_GET_SIZE(p.ratios.get());
  if (n && PyLong_AsSize_t(PyList_GET_ITEM(p.ratios.get(), n - 1)) <= ratio) return 0;
  Ref value = Ref::steal(PyLong_FromSize_t(ratio));
  return value ? PyList_Append(p.ratios.get(), value.get()) : -1;
}

// Runs libjxl over the whole stream; the result, or null with an error set.
PyObject* run(Probe& p, DecoderInput& input) {
  JxlDecoder* dec = p.dec;
  for (;;) {
    const JxlDecoderStatus st = without_gil([dec] { return JxlDecoderProcessInput(dec); });
    switch (st) {
      case JXL_DEC_SUCCESS:
        if (finish_box(dec, p.box, p.max_box, p.result.get()) < 0) return nullptr;
        if (!p.have_info) return raise_jxl_error("jxl: the stream ended before its header");
        if (input.check_codestream_whole("probing") < 0) return nullptr;
        return finish_result(p);
      case JXL_DEC_ERROR:
        // What follows the last box (trailing bytes that are no box) is
        // ignored, as decode ignores it, once the last frame is known and
        // no metadata box is being read.
        if (!(p.seen_last && p.box.type.empty())) return raise_dec("JxlDecoderProcessInput", st);
        if (!input.walk().codestream_found() || input.walk().codestream_end() > input.walk().seen())
          return raise_dec("JxlDecoderProcessInput", st);
        return finish_result(p);
      case JXL_DEC_NEED_MORE_INPUT: {
        const int more = input.refill(dec);
        if (more < 0) return nullptr;
        if (more == 0) return raise_jxl_error("jxl: truncated stream while probing");
        break;
      }
      case JXL_DEC_BASIC_INFO:
        if (on_basic_info(p) < 0) return nullptr;
        break;
      case JXL_DEC_COLOR_ENCODING:
        if (on_color(p) < 0) return nullptr;
        break;
      case JXL_DEC_FRAME:
        if (on_frame(p) < 0) return nullptr;
        break;
      case JXL_DEC_BOX:
        if (on_box(p) < 0) return nullptr;
        break;
      case JXL_DEC_BOX_NEED_MORE_OUTPUT:
        if (p.box.type.empty()) return raise_jxl_error("jxl: unexpected box output");
        if (grow_box(dec, p.box, p.max_box) < 0) return nullptr;
        break;
      case JXL_DEC_BOX_COMPLETE:
        if (finish_box(dec, p.box, p.max_box, p.result.get()) < 0) return nullptr;
        break;
      case JXL_DEC_NEED_IMAGE_OUT_BUFFER:
        // The first frame is decoded (pixels dropped) when its passes are
        // followed; a bare codestream's last one to reach its end; any
        // other is skipped.
        if (reach_last_frame_end(dec, p.in_first || (p.bare && p.last_header_is_last)) < 0)
          return nullptr;
        break;
      case JXL_DEC_FRAME_PROGRESSION:
        if (p.in_first && add_ratio(p, JxlDecoderGetIntendedDownsamplingRatio(dec)) < 0)
          return nullptr;
        break;
      case JXL_DEC_FULL_IMAGE:
        // The first frame whole (every pass), or a bare codestream's last
        // frame at its end (pixels dropped).
        if (p.in_first && add_ratio(p, 1) < 0) return nullptr;
        p.in_first = false;
        break;
      default:
        // Nothing else was subscribed to.
        return raise_dec("JxlDecoderProcessInput", st);
    }
  }
}

PyObject* probe(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"data", "numthreads", "max_box_size", "progressive", nullptr};
  PyObject* data = nullptr;
  // Parsing is single-threaded; threads serve the passes of the first frame.
  PyObject* numthreads = Py_None;
  PyObject* max_box_obj = nullptr;
  PyObject* progressive = Py_False;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$OOO:probe", const_cast<char**>(kwlist),
                                   &data, &numthreads, &max_box_obj, &progressive))
    return nullptr;
  Probe p;
  if (parse_max_box(max_box_obj, &p.max_box) < 0) return nullptr;
  size_t threads = 0;
  if (resolve_num_threads(numthreads, &threads) < 0) return nullptr;
  if (bool_option(progressive, &p.follow_passes) < 0) return nullptr;
  p.runner.set_workers(threads);

  DecoderInput input;
  if (input.open(data) < 0) return nullptr;
  JxlDecoderPtr owner = start_decoder(p, input);
  if (!owner) return nullptr;
  if (start_result(p) < 0) return nullptr;
  return run(p, input);
}

constexpr const char kProbeDoc[] =
    "probe(data, *, numthreads=None, max_box_size=67108864, progressive=False)\n--\n\n"
    "Tell everything about a JPEG XL stream without decoding a pixel.\n"
    "\n"
    "`data` is taken as decode takes it: a bytes-like object (read in\n"
    "place), a path or a binary file object (read in 4 MiB chunks, never\n"
    "whole). Frame data is skipped as frame_count skips it (the last frame\n"
    "of a bare codestream is decoded, its pixels dropped, to reach its end).\n"
    "Bytes after the container's last box are ignored, as decode ignores\n"
    "them.\n"
    "\n"
    "progressive=True also follows the first frame's passes, to tell which\n"
    "downsampling ratios it can be rendered at: that frame is then decoded\n"
    "(its pixels dropped, on `numthreads` threads), which costs about what\n"
    "decoding it costs.\n"
    "\n"
    "Returns a new dict:\n"
    "  basic_info   the same dict as JxlReader(data).basic_info (sizes as\n"
    "               displayed);\n"
    "  orientation  the orientation stored in the stream, 1 to 8;\n"
    "  color        the same dict as JxlReader.color, or None when the\n"
    "               stream describes its colour by an ICC profile alone;\n"
    "  icc_profile  the stream's original ICC profile (as embedded, or as\n"
    "               libjxl writes out an enumerated colour), bytes or None;\n"
    "  animation    None for a still, else {tps_numerator, tps_denominator,\n"
    "               num_loops (0: for ever), have_timecodes};\n"
    "  frames       one dict per displayed frame (as frame_count counts them):\n"
    "               {duration (ticks), duration_ms, timecode, name, is_last};\n"
    "  boxes        one dict per container box, in file order: {type (4\n"
    "               characters; a Brotli-compressed box gives its inner\n"
    "               type), size (content bytes as stored), compressed}; [] for\n"
    "               a bare codestream;\n"
    "  extra_channels  one dict per extra channel, as JxlReader.extra_channels;\n"
    "  exif         the first Exif box's payload from its TIFF header on, or\n"
    "               None; xmp: the first \"xml \" box; jumbf: the first \"jumb\"\n"
    "               box (decompressed when stored compressed).\n"
    "  jpeg_reconstruction  True when the stream carries JPEG reconstruction\n"
    "               data (a \"jbrd\" box): reconstruct_jpeg gives back the\n"
    "               JPEG file it was made from.\n"
    "  progressive  {downsampling, preview}: preview is True when the stream\n"
    "               carries a preview image (decode(data, preview=True)\n"
    "               gives it); downsampling is None unless progressive=True,\n"
    "               else the ratios libjxl renders the first frame at as\n"
    "               its passes complete, largest first, ending with 1: the\n"
    "               values of decode's downsampling= that stop short of a\n"
    "               full decode ([8, 2, 1] for a progressive lossy stream,\n"
    "               [8, 1] for another lossy one, [1] for a lossless one).\n"
    "\n"
    "Raises:\n"
    "  ValueError  empty input.\n"
    "  TypeError   `data` is none of the accepted kinds.\n"
    "  JxlError    a corrupt stream, or one cut anywhere before its last\n"
    "              frame's end; a metadata box larger than max_box_size\n"
    "              bytes once decompressed, or a compressed one that does\n"
    "              not decompress whole (the message names the box).\n"
    "  OSError     a path or file object could not be read.\n"
    "\n"
    "Example:\n"
    "    >>> stack = np.zeros((3, 8, 8), np.uint8)\n"
    "    >>> info = probe(encode(stack, animation=True, lossless=True))\n"
    "    >>> info['basic_info']['xsize'], len(info['frames'])\n"
    "    (8, 3)\n"
    "    >>> info['frames'][0]['duration_ms']\n"
    "    100.0\n";

PyMethodDef functions[] = {
    {"probe", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(catching_bad_alloc<probe>)),
     METH_VARARGS | METH_KEYWORDS, kProbeDoc},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_probe_function(PyObject* module) { return add_functions(module, functions); }

}  // namespace kp
