// transcode_jpeg and reconstruct_jpeg.
//
// Transcoding hands the whole JPEG file to libjxl, which keeps its DCT
// coefficients as they are and stores in a "jbrd" box what it needs to
// rebuild the file byte for byte (Exif, XMP and JUMBF segments become boxes
// of their own). Reconstruction runs a decoder that asks for the JPEG
// instead of pixels, over a stream read in place or, for paths and files, in
// chunks. Either way the result is gathered in memory and reaches the
// destination only once it is complete: a refusal late in the work leaves
// the destination untouched.
#include "jpeg.h"

#include <jxl/decode.h>
#include <jxl/decode_cxx.h>
#include <jxl/encode.h>
#include <jxl/encode_cxx.h>

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <limits>
#include <new>
#include <vector>

#include "common.h"
#include "input.h"
#include "status.h"
#include "threads.h"
#include "encoder_options.h"
#include "encoder_output.h"

namespace kp {
namespace {

constexpr int32_t kDefaultEffort = 7;
// cjxl's default: the metadata boxes then come out as small as cjxl's (and
// the whole stream byte-identical to it); libjxl's own default for boxes is 4.
constexpr int64_t kBrotliEffort = 9;
// The reconstructed JPEG's buffer never starts smaller than this.
constexpr uint64_t kMinJpegCapacity = 65536;

// ---------------------------------------------------------------------------
// transcode_jpeg

// What libjxl holds per sample of a JPEG it recompresses, at the least: its
// DCT coefficients as 16-bit integers, and as much again for the frame it
// builds from them.
constexpr uint64_t kBytesPerJpegSample = 4;

// The frame header of a JPEG: the first SOFn segment's size and component
// count. Returns false when none is found before the first scan (libjxl then
// refuses the file itself).
bool read_jpeg_frame(const uint8_t* p, size_t n, uint32_t* xsize, uint32_t* ysize,
                     uint32_t* components) {
  size_t pos = 2;  // after SOI
  while (pos + 4 <= n) {
    if (p[pos] != 0xFF) return false;
    const uint8_t marker = p[pos + 1];
    if (marker == 0xFF) {  // fill byte
      ++pos;
      continue;
    }
    const size_t length = (size_t{p[pos + 2]} << 8) | p[pos + 3];
    const bool sof = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 &&
                     marker != 0xCC;
    if (sof) {
      if (length < 8 || pos + 10 > n) return false;
      *ysize = (uint32_t{p[pos + 5]} << 8) | p[pos + 6];
      *xsize = (uint32_t{p[pos + 7]} << 8) | p[pos + 8];
      *components = p[pos + 9];
      return true;
    }
    if (marker == 0xDA || marker == 0xD9) return false;  // a scan or the end first
    pos += 2 + length;
  }
  return false;
}

// The memory this process may have: the smaller of the machine's memory and
// its address-space limit.
uint64_t memory_available() {
  uint64_t bound = std::numeric_limits<uint64_t>::max();
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page = sysconf(_SC_PAGESIZE);
  if (pages > 0 && page > 0) bound = static_cast<uint64_t>(pages) * static_cast<uint64_t>(page);
  struct rlimit limit;
  if (getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
    bound = std::min<uint64_t>(bound, limit.rlim_cur);
  return bound;
}

// Refuses a JPEG whose frame libjxl could not hold in memory, before libjxl
// allocates for it: a few hundred bytes can claim 65535 x 65535 pixels.
// Returns 0, or -1 with MemoryError set.
int check_jpeg_frame_size(const uint8_t* p, size_t n) {
  uint32_t xsize = 0, ysize = 0, components = 0;
  if (!read_jpeg_frame(p, n, &xsize, &ysize, &components)) return 0;
  const uint64_t need = uint64_t{xsize} * ysize * std::max<uint32_t>(components, 1) *
                        kBytesPerJpegSample;
  const uint64_t available = memory_available();
  if (need <= available) return 0;
  PyErr_Format(PyExc_MemoryError,
               "jxl: the JPEG's frame is %u x %u pixels of %u components: recompressing it "
               "needs at least %llu MiB, more than the %llu MiB this process may use",
               xsize, ysize, components, static_cast<unsigned long long>(need >> 20),
               static_cast<unsigned long long>(available >> 20));
  return -1;
}

// Sets one frame option, raising JxlError naming it on refusal.
int set_frame_option(JxlEncoderFrameSettings* fs, JxlEncoderFrameSettingId id, int64_t value,
                     const char* what) {
  const JxlEncoderStatus status = JxlEncoderFrameSettingsSetOption(fs, id, value);
  if (status == JXL_ENC_SUCCESS) return 0;
  Ref func = Ref::steal(PyUnicode_FromFormat("JxlEncoderFrameSettingsSetOption %s", what));
  if (!func) return -1;
  return raise_enc(PyUnicode_AsUTF8(func.get()), status), -1;
}

// How rebuilding the JPEG from a fresh stream went.
enum class Rebuilt { kSame, kDifferent, kFailed, kOutOfMemory };

// Rebuilds the JPEG from `stream` into a buffer of the original's size and
// compares. A JPEG that needs more room than that is not the original, so
// the buffer never grows. Runs without the interpreter lock.
Rebuilt rebuild_nogil(const uint8_t* stream, size_t stream_size, const uint8_t* jpeg,
                      size_t jpeg_size, LazyRunner& runner) {
  JxlDecoderPtr dec = JxlDecoderMake(nullptr);
  if (!dec) return Rebuilt::kOutOfMemory;
  if (runner.threaded() &&
      JxlDecoderSetParallelRunner(dec.get(), LazyRunner::run, &runner) != JXL_DEC_SUCCESS)
    return Rebuilt::kFailed;
  if (JxlDecoderSubscribeEvents(dec.get(), JXL_DEC_JPEG_RECONSTRUCTION | JXL_DEC_FULL_IMAGE) !=
          JXL_DEC_SUCCESS ||
      JxlDecoderSetInput(dec.get(), stream, stream_size) != JXL_DEC_SUCCESS)
    return Rebuilt::kFailed;
  JxlDecoderCloseInput(dec.get());
  MallocBytes out;
  if (!out.resize(std::max<size_t>(jpeg_size, 1))) return Rebuilt::kOutOfMemory;
  bool have_jbrd = false;
  for (;;) {
    switch (JxlDecoderProcessInput(dec.get())) {
      case JXL_DEC_JPEG_RECONSTRUCTION:
        have_jbrd = true;
        if (JxlDecoderSetJPEGBuffer(dec.get(), out.get(), jpeg_size) != JXL_DEC_SUCCESS)
          return Rebuilt::kFailed;
        break;
      case JXL_DEC_JPEG_NEED_MORE_OUTPUT:
        return Rebuilt::kDifferent;  // longer than the original
      case JXL_DEC_FULL_IMAGE: {
        if (!have_jbrd) return Rebuilt::kFailed;
        const size_t written = jpeg_size - JxlDecoderReleaseJPEGBuffer(dec.get());
        return written == jpeg_size && std::equal(jpeg, jpeg + jpeg_size, out.get())
                   ? Rebuilt::kSame
                   : Rebuilt::kDifferent;
      }
      default:
        return Rebuilt::kFailed;
    }
  }
}

PyObject* transcode_jpeg(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"jpeg", "effort", "numthreads", "dest", "verify", nullptr};
  PyObject* source = nullptr;
  PyObject* effort_obj = Py_None;
  PyObject* numthreads = Py_None;
  PyObject* dest = Py_None;
  int verify = 1;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$OOOp:transcode_jpeg",
                                   const_cast<char**>(kwlist), &source, &effort_obj,
                                   &numthreads, &dest, &verify))
    return nullptr;
  int32_t effort = kDefaultEffort;
  if (effort_option(effort_obj, kDefaultEffort, &effort) < 0) return nullptr;
  size_t threads = 0;
  if (resolve_num_threads(numthreads, &threads) < 0) return nullptr;
  DestKind dest_kind;
  if (classify_destination(dest, &dest_kind) < 0) return nullptr;

  // The JPEG, whole: libjxl takes a frame in one piece.
  SourceKind kind;
  if (classify_source(source, &kind) < 0) return nullptr;
  if (kind == SourceKind::kOther) return refuse_source(source, "jpeg"), nullptr;
  Ref loaded;
  PyObject* bytes_like = source;
  if (kind != SourceKind::kBuffer) {
    loaded = read_whole(source, kind);
    if (!loaded) return nullptr;
    if (kind == SourceKind::kFile && !PyObject_CheckBuffer(loaded.get())) {
      PyErr_Format(PyExc_TypeError, "read() returned %.200s, expected bytes",
                   Py_TYPE(loaded.get())->tp_name);
      return nullptr;
    }
    bytes_like = loaded.get();
  }
  SourceBuffer jpeg;
  if (jpeg.acquire(bytes_like) < 0) return nullptr;
  if (jpeg.size() < 2 || jpeg.data()[0] != 0xFF || jpeg.data()[1] != 0xD8) {
    PyErr_SetString(PyExc_ValueError, "jxl: not a JPEG file");
    return nullptr;
  }
  if (check_jpeg_frame_size(jpeg.data(), jpeg.size()) < 0) return nullptr;

  // Declared before the encoder that points at it, so it outlives it.
  LazyRunner runner;
  runner.set_workers(threads);
  JxlEncoderPtr owner = JxlEncoderMake(nullptr);
  if (!owner) return raise_jxl_error("JxlEncoderCreate returned NULL");
  JxlEncoder* enc = owner.get();
  JxlEncoderStatus status;
  if (runner.threaded()) {
    status = JxlEncoderSetParallelRunner(enc, LazyRunner::run, &runner);
    if (status != JXL_ENC_SUCCESS) return raise_enc("JxlEncoderSetParallelRunner", status);
  }
  status = JxlEncoderUseContainer(enc, JXL_TRUE);
  if (status != JXL_ENC_SUCCESS) return raise_enc("JxlEncoderUseContainer", status);
  status = JxlEncoderStoreJPEGMetadata(enc, JXL_TRUE);
  if (status != JXL_ENC_SUCCESS) return raise_enc("JxlEncoderStoreJPEGMetadata", status);
  JxlEncoderFrameSettings* fs = JxlEncoderFrameSettingsCreate(enc, nullptr);
  if (!fs) return raise_jxl_error("JxlEncoderFrameSettingsCreate returned NULL");
  if (set_frame_option(fs, JXL_ENC_FRAME_SETTING_EFFORT, effort, "EFFORT") < 0 ||
      set_frame_option(fs, JXL_ENC_FRAME_SETTING_BROTLI_EFFORT, kBrotliEffort,
                       "BROTLI_EFFORT") < 0)
    return nullptr;

  // Recompression saves about a fifth: the JPEG's own size is room enough,
  // and is what the caller handed over, not a figure read from the data.
  EncoderOutput out;
  if (out.reserve(std::max<uint64_t>(kMinOutbufCapacity, jpeg.size() + 65536)) < 0)
    return nullptr;
  const uint8_t* jpeg_data = jpeg.data();
  const size_t jpeg_size = jpeg.size();
  status = without_gil([&] { return JxlEncoderAddJPEGFrame(fs, jpeg_data, jpeg_size); });
  if (status != JXL_ENC_SUCCESS)
    return raise_enc("JxlEncoderAddJPEGFrame", status,
                     static_cast<long>(JxlEncoderGetError(enc)));
  JxlEncoderCloseInput(enc);
  if (out.drain(enc) < 0) return nullptr;
  if (verify) {
    // libjxl (and cjxl alike) accepts some damaged JPEGs whose stream then
    // does not give the file back: an archive that trusted it would lose
    // the original. The stream is rebuilt and compared before it is
    // handed out.
    owner.reset();  // the runner serves one user at a time
    const uint8_t* stream = out.data();
    const size_t stream_size = static_cast<size_t>(out.size());
    const Rebuilt rebuilt = without_gil([&] {
      return rebuild_nogil(stream, stream_size, jpeg_data, jpeg_size, runner);
    });
    if (rebuilt == Rebuilt::kOutOfMemory) {
      PyErr_SetString(PyExc_MemoryError, "jxl: failed to allocate the JPEG rebuilt to verify");
      return nullptr;
    }
    if (rebuilt != Rebuilt::kSame)
      return raise_jxl_error(
          "jxl: libjxl recompressed this JPEG but cannot rebuild it byte for byte from "
          "the result (a damaged JPEG?); nothing was written");
  }
  return deliver(dest, dest_kind, out.data(), static_cast<size_t>(out.size()));
}

// ---------------------------------------------------------------------------
// reconstruct_jpeg

std::nullptr_t raise_no_reconstruction() {
  return raise_jxl_error("jxl: the stream holds no JPEG reconstruction data");
}

// The reconstructed JPEG as libjxl writes it, in a buffer grown on demand.
class JpegOutput {
 public:
  // The first buffer: the stream's own length plus a quarter (what
  // recompression typically saved), never a size the stream declares.
  int start(JxlDecoder* dec, size_t stream_bytes) {
    uint64_t first = stream_bytes + stream_bytes / 4;
    first = (first + 65535) & ~uint64_t{65535};
    return set(dec, std::max(first, kMinJpegCapacity));
  }
  // On JXL_DEC_JPEG_NEED_MORE_OUTPUT: keeps what was written, adds room.
  int grow(JxlDecoder* dec) {
    settle(dec);
    return set(dec, grown_outbuf_capacity(capacity_));
  }
  // Takes the buffer back from libjxl; the bytes written stay counted.
  void settle(JxlDecoder* dec) {
    if (capacity_ > 0) used_ = capacity_ - JxlDecoderReleaseJPEGBuffer(dec);
  }
  const uint8_t* data() const noexcept { return buf_.get(); }
  size_t size() const noexcept { return static_cast<size_t>(used_); }

 private:
  int set(JxlDecoder* dec, uint64_t capacity) {
    if (capacity > std::numeric_limits<size_t>::max() || !buf_.resize(capacity)) {
      PyErr_SetString(PyExc_MemoryError, "jxl: failed to grow output buffer");
      return -1;
    }
    capacity_ = capacity;
    if (JxlDecoderSetJPEGBuffer(dec, buf_.get() + used_, capacity_ - used_) != JXL_DEC_SUCCESS)
      return raise_jxl_error("JxlDecoderSetJPEGBuffer failed"), -1;
    return 0;
  }

  MallocBytes buf_;
  uint64_t capacity_ = 0;
  uint64_t used_ = 0;
};

// Runs the decoder to the end of the frame; the JPEG is then in `jpeg`.
// Returns 0, or -1 with an error set.
int reconstruct_into(JxlDecoder* dec, DecoderInput& input, JpegOutput& jpeg) {
  JxlDecoderStatus st =
      JxlDecoderSubscribeEvents(dec, JXL_DEC_JPEG_RECONSTRUCTION | JXL_DEC_FULL_IMAGE);
  if (st != JXL_DEC_SUCCESS) return raise_dec("JxlDecoderSubscribeEvents", st), -1;
  bool empty = false;
  if (input.start(dec, &empty, /*close_at_end=*/true) < 0) return -1;
  bool have_jbrd = false;
  for (;;) {
    st = without_gil([dec] { return JxlDecoderProcessInput(dec); });
    switch (st) {
      case JXL_DEC_JPEG_RECONSTRUCTION:
        have_jbrd = true;
        if (jpeg.start(dec, input.available()) < 0) return -1;
        break;
      case JXL_DEC_JPEG_NEED_MORE_OUTPUT:
        if (jpeg.grow(dec) < 0) return -1;
        break;
      case JXL_DEC_FULL_IMAGE:
        if (!have_jbrd) return raise_no_reconstruction(), -1;
        // One frame makes the JPEG: whatever follows it is not needed.
        jpeg.settle(dec);
        return 0;
      case JXL_DEC_NEED_IMAGE_OUT_BUFFER:
        // libjxl wants pixels: it found no "jbrd" box before the frame.
        if (!have_jbrd) return raise_no_reconstruction(), -1;
        return raise_jxl_error("jxl: libjxl asked for pixels while rebuilding the JPEG"), -1;
      case JXL_DEC_SUCCESS:
        if (!have_jbrd) return raise_no_reconstruction(), -1;
        return raise_jxl_error("jxl: the stream ended before its JPEG was complete"), -1;
      case JXL_DEC_NEED_MORE_INPUT: {
        const int more = input.refill(dec);
        if (more < 0) return -1;
        if (more == 0) {
          raise_jxl_error("JxlDecoderProcessInput needs more input (truncated stream?)");
          return -1;
        }
        break;
      }
      case JXL_DEC_ERROR:
        return raise_dec("JxlDecoderProcessInput", st), -1;
      default:
        // Nothing else was asked for; stopping beats looping on it.
        return raise_dec("JxlDecoderProcessInput", st), -1;
    }
  }
}

PyObject* reconstruct_jpeg(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"data", "dest", nullptr};
  PyObject* data = nullptr;
  PyObject* dest = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$O:reconstruct_jpeg",
                                   const_cast<char**>(kwlist), &data, &dest))
    return nullptr;
  // Exact bytes or another buffer type, as decode takes them.
  if (check_bytes(data) < 0) return nullptr;
  DestKind dest_kind;
  if (classify_destination(dest, &dest_kind) < 0) return nullptr;
  size_t threads = 0;
  if (resolve_num_threads(Py_None, &threads) < 0) return nullptr;

  DecoderInput input;
  if (input.open(data) < 0) return nullptr;

  JpegOutput jpeg;
  int rc = input.fill(kSignatureProbe);
  if (rc == 0 && input.available() == 0) {
    PyErr_SetString(PyExc_ValueError, "jxl: empty input");
    rc = -1;
  } else if (rc == 0 && !is_jxl_signature(input.head(), input.available())) {
    PyErr_SetString(PyExc_ValueError, "jxl: not a JPEG XL stream");
    rc = -1;
  }
  if (rc == 0) {
    // The runner outlives the decoder that points at it.
    LazyRunner runner;
    runner.set_workers(threads);
    JxlDecoderPtr dec = JxlDecoderMake(nullptr);
    if (!dec) {
      raise_jxl_error("JxlDecoderCreate returned NULL");
      rc = -1;
    } else if (runner.threaded() && JxlDecoderSetParallelRunner(dec.get(), LazyRunner::run,
                                                                &runner) != JXL_DEC_SUCCESS) {
      raise_jxl_error("JxlDecoderSetParallelRunner failed");
      rc = -1;
    } else {
      rc = reconstruct_into(dec.get(), input, jpeg);
    }
  }
  if (rc < 0) return nullptr;
  return deliver(dest, dest_kind, jpeg.data(), jpeg.size());
}

// ---------------------------------------------------------------------------
// Docstrings. The examples run as doctests with the module's globals.

constexpr const char kTranscodeDoc[] =
    "transcode_jpeg(jpeg, *, effort=7, numthreads=None, dest=None, verify=True)\n--\n\n"
    "Recompress a JPEG file losslessly as JPEG XL.\n"
    "\n"
    "The JPEG's DCT coefficients go into the stream unchanged, together with\n"
    "libjxl's JPEG reconstruction data, so reconstruct_jpeg (or djxl) gives\n"
    "back the original file byte for byte, and decode gives its pixels. The\n"
    "result is always a container. Exif, XMP and JUMBF segments are kept:\n"
    "libjxl moves them into boxes (Exif and XMP Brotli-compressed) and the\n"
    "reconstruction puts them back.\n"
    "\n"
    "Parameters:\n"
    "  jpeg        the JPEG file: a bytes-like object, a path (str or\n"
    "              os.PathLike) or a binary file object (read whole from\n"
    "              where it stands, and left open).\n"
    "  effort      1 (fastest) to 10 (smallest output), clamped; None means\n"
    "              7, which gives the same stream as cjxl's default.\n"
    "  numthreads  libjxl worker threads; None or <= 0 picks libjxl's\n"
    "              default, 1 works on the calling thread alone.\n"
    "  dest        None to get the stream back as bytes; a path (str or\n"
    "              os.PathLike) or an object with a write() method, written\n"
    "              in one call once the whole stream exists.\n"
    "  verify      True (the default): before the stream is handed out, the\n"
    "              JPEG is rebuilt from it and compared with the input, byte\n"
    "              for byte (libjxl accepts some damaged JPEGs it cannot give\n"
    "              back). False skips that, as cjxl does, for speed.\n"
    "\n"
    "Returns the stream as bytes, or None when `dest` received it.\n"
    "\n"
    "Raises:\n"
    "  ValueError  the input does not start with a JPEG SOI marker (\"jxl: not\n"
    "              a JPEG file\").\n"
    "  MemoryError the JPEG's frame header claims more pixels than this\n"
    "              process may hold (the message gives the size and the\n"
    "              bound: the machine's memory or the address-space limit),\n"
    "              or libjxl ran out of memory.\n"
    "  TypeError   `jpeg` or `dest` is none of the accepted kinds.\n"
    "  JxlError    libjxl cannot carry this JPEG losslessly (CMYK, some\n"
    "              chroma subsamplings) or finds it corrupt; the message\n"
    "              names the libjxl call that refused it, and `dest` is left\n"
    "              untouched (a path is not even created). With `verify`,\n"
    "              also when the stream made would not give the file back\n"
    "              byte for byte.\n"
    "  OSError     a path could not be read, or `dest` not written.\n"
    "\n"
    "Example:\n"
    "    >>> stream = transcode_jpeg('photo.jpg')  # doctest: +SKIP\n"
    "    >>> reconstruct_jpeg(stream) == open('photo.jpg', 'rb').read()  # doctest: +SKIP\n"
    "    True\n"
    "    >>> transcode_jpeg(b'GIF89a')\n"
    "    Traceback (most recent call last):\n"
    "    ...\n"
    "    ValueError: jxl: not a JPEG file\n";

constexpr const char kReconstructDoc[] =
    "reconstruct_jpeg(data, *, dest=None)\n--\n\n"
    "Rebuild the original JPEG file from a stream made by transcode_jpeg\n"
    "(or cjxl's lossless JPEG recompression).\n"
    "\n"
    "`data` is taken as decode takes it: a bytes-like object (read in\n"
    "place), a path or a binary file object (read in 4 MiB chunks from where\n"
    "it stands, never whole). No pixel is decoded. The JPEG is gathered in a\n"
    "buffer that grows as libjxl fills it, then returned as bytes, or written\n"
    "to `dest` (a path, or an object with a write() method) in one call, in\n"
    "which case None is returned.\n"
    "\n"
    "Raises:\n"
    "  ValueError  empty input, or bytes that are not JPEG XL.\n"
    "  TypeError   `data` or `dest` is none of the accepted kinds.\n"
    "  JxlError    the stream holds no JPEG reconstruction data (\"jxl: the\n"
    "              stream holds no JPEG reconstruction data\"), or it is\n"
    "              corrupt or truncated; `dest` is then left untouched.\n"
    "  OSError     a path or file object could not be read, or `dest` not\n"
    "              written.\n"
    "\n"
    "Example:\n"
    "    >>> reconstruct_jpeg(encode(np.zeros((8, 8), np.uint8)))\n"
    "    Traceback (most recent call last):\n"
    "    ...\n"
    "    kestrelpix.core.errors.JxlError: jxl: the stream holds no JPEG reconstruction data\n";

PyMethodDef functions[] = {
    {"transcode_jpeg",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(catching_bad_alloc<transcode_jpeg>)),
     METH_VARARGS | METH_KEYWORDS, kTranscodeDoc},
    {"reconstruct_jpeg",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(catching_bad_alloc<reconstruct_jpeg>)),
     METH_VARARGS | METH_KEYWORDS, kReconstructDoc},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_jpeg_functions(PyObject* module) { return add_functions(module, functions); }

}  // namespace kp
