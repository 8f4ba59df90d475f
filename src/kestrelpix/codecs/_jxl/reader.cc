// JxlReader's driving of libjxl: construction, header parsing and frame
// format, the frame loop, read() and the colour views. The streaming feed is
// in feed.cc, the Python type in reader_type.cc.
#include "reader.h"

#include <jxl/thread_parallel_runner.h>

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common.h"
#include "npy.h"
#include "options.h"
#include "frame_count.h"
#include "frame_format.h"
#include "header_info.h"
#include "input.h"
#include "sink.h"
#include "status.h"

namespace kp {
namespace {

constexpr const char kTypeName[] = "JxlReader";

// progress= on a stream in memory: the parts it is handed over in, each at
// least kMinMeterPart bytes.
constexpr size_t kMeterParts = 64;
constexpr size_t kMinMeterPart = size_t{64} << 10;


// A new array for decoded pixels. NumPy asks the kernel for huge pages on
// large arrays; the kernel then clears (and may compact) 2 MiB at every
// first touch, which measured as a sixth of a streamed decode's time and
// more kernel time than the whole raw decoder. libjxl writes the output
// once, in order, so ordinary pages serve it better.
Ref output_array(int ndim, npy_intp* dims, int typenum) {
  Ref array = Ref::steal(PyArray_SimpleNew(ndim, dims, typenum));
  if (!array) return {};
  auto* a = reinterpret_cast<PyArrayObject*>(array.get());
  const size_t nbytes = static_cast<size_t>(PyArray_NBYTES(a));
  constexpr size_t kHuge = size_t{4} << 20;
  if (nbytes >= kHuge) {
    const long page = sysconf(_SC_PAGESIZE);
    const auto begin = reinterpret_cast<uintptr_t>(PyArray_DATA(a));
    const uintptr_t first = (begin + page - 1) & ~static_cast<uintptr_t>(page - 1);
    const uintptr_t end = (begin + nbytes) & ~static_cast<uintptr_t>(page - 1);
    // Advice only: an error changes nothing.
    if (end > first) madvise(reinterpret_cast<void*>(first), end - first, MADV_NOHUGEPAGE);
  }
  return array;
}

// ---------------------------------------------------------------------------
// The lock-free decode step: runs libjxl for one frame until the frame is
// complete, the stream ends, more input is needed or something fails.

// With extra channels, libjxl writes the colour channels and each extra
// channel to buffers of their own; they are interleaved into the frame
// once it is complete.
int set_extra_buffers(JxlDecoder* dec, const JxlPixelFormat* pf, const JxlBitDepth* bd,
                      ExtraPlanes* ex, size_t buf_size) noexcept {
  const size_t item = sample_size(pf->data_type);
  size_t color_size = 0;
  if (JxlDecoderImageOutBufferSize(dec, pf, &color_size) != JXL_DEC_SUCCESS)
    return kStepErrBufferSizeQuery;
  const size_t pixels = color_size / (pf->num_channels * item);
  const size_t samples = pf->num_channels + ex->planes.size();
  if (pixels * samples * item != buf_size) return kStepErrBufferSizeMismatch;
  try {
    ex->color.resize(color_size);
    for (auto& plane : ex->planes) plane.resize(pixels * item);
  } catch (...) {
    return kStepErrNoMemory;
  }
  ex->pixels = pixels;
  if (JxlDecoderSetImageOutBuffer(dec, pf, ex->color.data(), color_size) != JXL_DEC_SUCCESS)
    return kStepErrSetBuffer;
  for (size_t i = 0; i < ex->planes.size(); ++i) {
    if (JxlDecoderSetExtraChannelBuffer(dec, pf, ex->planes[i].data(), ex->planes[i].size(),
                                        static_cast<uint32_t>(i)) != JXL_DEC_SUCCESS)
      return kStepErrSetBuffer;
  }
  if (bd->type == JXL_BIT_DEPTH_FROM_CODESTREAM &&
      JxlDecoderSetImageOutBitDepth(dec, bd) != JXL_DEC_SUCCESS)
    return kStepErrSetBitDepth;
  return 0;
}

void interleave_extras(const ExtraPlanes& ex, size_t color, size_t item, void* buf) noexcept {
  const size_t samples = color + ex.planes.size();
  auto* out = static_cast<uint8_t*>(buf);
  const uint8_t* in = ex.color.data();
  for (size_t p = 0; p < ex.pixels; ++p) {
    uint8_t* px = out + p * samples * item;
    std::memcpy(px, in + p * color * item, color * item);
    for (size_t e = 0; e < ex.planes.size(); ++e)
      std::memcpy(px + (color + e) * item, ex.planes[e].data() + p * item, item);
  }
}

// What the frame loop does at a progressive step: report every one, or
// stop at the first rendering of `stop_ratio` or finer (0, 1: neither). The
// ratio of the step flushed comes back in `ratio`.
struct StepProgress {
  bool report = false;
  size_t stop_ratio = 1;
  size_t ratio = 1;
};

int _decode_one_frame_nogil(JxlDecoder* dec, const JxlPixelFormat* pf,
                            const JxlBitDepth* bd, void* buf, size_t buf_size,
                            int* buffer_set_io, int streaming, JxlFrameHeader* header,
                            std::string* name, ExtraPlanes* extras, StepProgress* progress,
                            BandWriter* bands) {
  int buffer_set = *buffer_set_io;
  // Integer output keeps the codestream's own sample range.
  const bool set_bit_depth = bd->type == JXL_BIT_DEPTH_FROM_CODESTREAM;
  for (;;) {
    const JxlDecoderStatus status = JxlDecoderProcessInput(dec);
    switch (status) {
      case JXL_DEC_FULL_IMAGE:
        *buffer_set_io = buffer_set;
        if (extras) interleave_extras(*extras, pf->num_channels, sample_size(pf->data_type), buf);
        return kStepFrame;
      case JXL_DEC_SUCCESS:
        *buffer_set_io = buffer_set;
        return kStepEof;
      case JXL_DEC_NEED_MORE_INPUT:
        *buffer_set_io = buffer_set;
        return streaming ? kStepNeedInput : kStepErrTruncated;
      case JXL_DEC_NEED_IMAGE_OUT_BUFFER: {
        if (buffer_set) return kStepErrDoubleAlloc;
        if (bands) {
          // Rows through the image-out callback, to a sink.
          if (bands->attach(dec, pf) != JXL_DEC_SUCCESS) return kStepErrSetBuffer;
          if (set_bit_depth && JxlDecoderSetImageOutBitDepth(dec, bd) != JXL_DEC_SUCCESS)
            return kStepErrSetBitDepth;
          buffer_set = 1;
          break;
        }
        // A layer (no coalescing) gets its array once its size is known;
        // libjxl asks again when the step resumes.
        if (!buf) return kStepNeedBuffer;
        if (extras) {
          if (const int rc = set_extra_buffers(dec, pf, bd, extras, buf_size)) return rc;
          buffer_set = 1;
          break;
        }
        size_t out_size = 0;
        if (JxlDecoderImageOutBufferSize(dec, pf, &out_size) != JXL_DEC_SUCCESS)
          return kStepErrBufferSizeQuery;
        if (out_size != buf_size) return kStepErrBufferSizeMismatch;
        if (JxlDecoderSetImageOutBuffer(dec, pf, buf, buf_size) != JXL_DEC_SUCCESS)
          return kStepErrSetBuffer;
        if (set_bit_depth && JxlDecoderSetImageOutBitDepth(dec, bd) != JXL_DEC_SUCCESS)
          return kStepErrSetBitDepth;
        buffer_set = 1;
        break;
      }
      case JXL_DEC_FRAME:
        // The frame's header, for its info; a name is at most 1071 bytes.
        if (JxlDecoderGetFrameHeader(dec, header) != JXL_DEC_SUCCESS) return kStepErrProcess;
        name->assign(header->name_length + 1, '\0');
        if (header->name_length &&
            JxlDecoderGetFrameName(dec, name->data(), name->size()) != JXL_DEC_SUCCESS)
          return kStepErrProcess;
        name->resize(header->name_length);
        break;
      case JXL_DEC_FRAME_PROGRESSION:
        // A rendering is wanted at every step (iter_progressive), or at the
        // first one fine enough for the ratio asked for.
        if (buffer_set && (progress->report || progress->stop_ratio > 1) &&
            (progress->report || JxlDecoderGetIntendedDownsamplingRatio(dec) <= progress->stop_ratio) &&
            JxlDecoderFlushImage(dec) == JXL_DEC_SUCCESS) {
          *buffer_set_io = buffer_set;
          progress->ratio = JxlDecoderGetIntendedDownsamplingRatio(dec);
          if (extras) interleave_extras(*extras, pf->num_channels, sample_size(pf->data_type), buf);
          return kStepProgress;
        }
        break;
      case JXL_DEC_ERROR:
        return kStepErrProcess;
      default:
        // Basic info and colour came with the header, once per image;
        // nothing else was subscribed to.
        *buffer_set_io = buffer_set;
        return unexpected_step(status);
    }
  }
}

// What is left of a truncated frame: rendered into its buffer when libjxl
// can (kStepFrame), else kStepErrNoRendering.
int flush_truncated_nogil(JxlDecoder* dec, int buffer_set, const JxlPixelFormat* pf, void* buf,
                          ExtraPlanes* extras) {
  if (!buffer_set || JxlDecoderFlushImage(dec) != JXL_DEC_SUCCESS) return kStepErrNoRendering;
  if (extras) interleave_extras(*extras, pf->num_channels, sample_size(pf->data_type), buf);
  return kStepFrame;
}

}  // namespace

// ---------------------------------------------------------------------------
// Lifecycle

Reader::~Reader() { release_native(); }

void Reader::release_native_handles() noexcept {
  _decoder.reset();
}

void Reader::release_native() noexcept {
  release_native_handles();
  if (_input_buf) {
    std::free(_input_buf);
    _input_buf = nullptr;
  }
}

// Calls obj.close(), discarding an Exception but letting anything else
// (KeyboardInterrupt, SystemExit) through.
static int close_quietly(PyObject* obj) {
  if (call_method(obj, "close")) return 0;
  if (PyErr_ExceptionMatches(PyExc_Exception)) {
    PyErr_Clear();
    return 0;
  }
  return -1;
}

int Reader::close() {
  if (_closed) return 0;
  release_native_handles();
  pending_frame.clear();
  if (!_chunk_reader.is_none()) {
    if (close_quietly(_chunk_reader.get()) < 0) return -1;
    _chunk_reader.reset();
  }
  if (_input_buf) {
    std::free(_input_buf);
    _input_buf = nullptr;
  }
  _fed_chunk = Ref();
  _fed_data = nullptr;
  _fed_size = 0;
  _src_data = nullptr;
  _src_size = 0;
  data_view.release();
  _data_ref.reset();
  _closed = 1;
  return 0;
}

// ---------------------------------------------------------------------------
// Construction

// Decides between streaming and loading the source whole. On return either
// `*stream_it` is set (stream `*data` itself) or `*data` is the object whose
// bytes are the stream (possibly `loaded`, the bytes read from a source).
int Reader::load_source(PyObject** data, bool want_streaming, Ref* loaded, bool* stream_it) {
  *stream_it = false;
  SourceKind kind;
  if (classify_source(*data, &kind) < 0) return -1;
  // Anything else is taken as a buffer, which says what is wrong with it.
  if (kind != SourceKind::kPath && kind != SourceKind::kFile) return 0;
  if (want_streaming) {
    // A source whose size cannot be known (a pipe, a socket, stdin) is
    // streamed: it may be of any length.
    long long fsize = -1;
    if (measure_source(*data, kind, &fsize) < 0) return -1;
    if (fsize < 0 || fsize > static_cast<long long>(kChunkSize)) {
      _stream_size = fsize < 0 ? 0 : static_cast<uint64_t>(fsize);
      *stream_it = true;
      return 0;
    }
  }
  *loaded = read_whole(*data, kind);
  if (!*loaded) return -1;
  *data = loaded->get();
  return 0;
}

int Reader::establish_buffered_input(PyObject* data) {
  if (data_view.acquire(data) < 0) return -1;
  _data_ref.set_borrowed(data);
  _src_size = data_view.size();
  _src_data = data_view.data();
  return 0;
}

int Reader::create_decoder(uint64_t skip_frames) {
  _decoder = JxlDecoderMake(/*memory_manager=*/nullptr);
  if (!_decoder) {
    raise_jxl_error("JxlDecoderCreate returned NULL");
    return -1;
  }
  // Threads start only when pixels are decoded, and only for an image
  // large enough to share out.
  runner.set_workers(_num_threads);
  if (runner.threaded()) {
    const JxlDecoderStatus st = JxlDecoderSetParallelRunner(_decoder.get(), LazyRunner::run, &runner);
    if (st != JXL_DEC_SUCCESS) return raise_dec("JxlDecoderSetParallelRunner", st), -1;
  }
  if (_keep_orientation) {
    const JxlDecoderStatus st = JxlDecoderSetKeepOrientation(_decoder.get(), JXL_TRUE);
    if (st != JXL_DEC_SUCCESS) return raise_dec("JxlDecoderSetKeepOrientation", st), -1;
  }
  if (!_coalesce) {
    const JxlDecoderStatus st = JxlDecoderSetCoalescing(_decoder.get(), JXL_FALSE);
    if (st != JXL_DEC_SUCCESS) return raise_dec("JxlDecoderSetCoalescing", st), -1;
  }
  // Frame headers give each frame's info, and a layer's size when frames
  // are not coalesced.
  // Progressive steps: once per frame at most (libjxl's default detail),
  // unless renderings are asked for.
  int events = JXL_DEC_BASIC_INFO | JXL_DEC_FRAME | JXL_DEC_FULL_IMAGE | JXL_DEC_FRAME_PROGRESSION;
  if (_parse_color) events |= JXL_DEC_COLOR_ENCODING;
  JxlDecoderStatus st = JxlDecoderSubscribeEvents(_decoder.get(), events);
  if (st != JXL_DEC_SUCCESS) return raise_dec("JxlDecoderSubscribeEvents", st), -1;
  // In buffered mode the input is never closed; streaming closes it at the
  // end of the data. Metered, libjxl sees the first part only.
  _fed_size = _metered ? std::min(_src_size, _metered_end) : _src_size;
  st = JxlDecoderSetInput(_decoder.get(), _src_data, _fed_size);
  if (st != JXL_DEC_SUCCESS) return raise_dec("JxlDecoderSetInput", st), -1;
  _fed_data = _src_data;
  if (downsampling > 1) {
    st = JxlDecoderSetProgressiveDetail(_decoder.get(), kPasses);
    if (st != JXL_DEC_SUCCESS) return raise_dec("JxlDecoderSetProgressiveDetail", st), -1;
  }

  if (skip_frames > 0) {
    JxlDecoderSkipFrames(_decoder.get(), static_cast<size_t>(skip_frames));
    frames_skipped = skip_frames;
  }
  return 0;
}

int Reader::init(PyObject* data, const DecoderOptions& o) {
  want_extras = o.extra_channels;
  if (init_called) {
    PyErr_SetString(PyExc_RuntimeError, "jxl: JxlReader.__init__ may only be called once");
    return -1;
  }
  init_called = true;

  Ref loaded;
  bool stream_it = false;
  if (load_source(&data, o.streaming, &loaded, &stream_it) < 0) return -1;
  if (stream_it) {
    if (_init_streaming(data) < 0) return -1;
  } else if (establish_buffered_input(data) < 0) {
    return -1;
  }
  if (_src_size == 0) {
    PyErr_SetString(PyExc_ValueError, "jxl: empty input");
    return -1;
  }
  if (!is_jxl_signature(_src_data, _src_size)) {
    PyErr_SetString(PyExc_ValueError, "jxl: not a JPEG XL stream");
    return -1;
  }
  _num_threads = o.num_threads;
  _coalesce = o.coalesce;
  _keep_orientation = o.keep_orientation;
  _parse_color = o.parse_color;
  partial = o.partial;
  downsampling = o.downsampling;
  progress.set(o.progress);
  if (!progress.is_none() && !_streaming) {
    // libjxl takes the whole of a buffer in one step: it is handed over in
    // parts instead, for progress to be told between them.
    _stream_size = _src_size;
    _metered = true;
    _metered_step = std::max(_src_size / kMeterParts, kMinMeterPart);
    _metered_end = _metered_step;
  }
  if (create_decoder(o.skip_frames) < 0) return -1;
  return _parse_header();
}

// ---------------------------------------------------------------------------
// Header parsing and pixel format

int Reader::_parse_header() {
  if (!_parse_color) _have_color = 1;
  for (;;) {
    if (_have_basic_info && _have_color) return 0;
    JxlDecoder* dec = _decoder.get();
    const JxlDecoderStatus status =
        without_gil([dec] { return JxlDecoderProcessInput(dec); });
    switch (status) {
      case JXL_DEC_SUCCESS:
        _exhausted = 1;
        return 0;
      case JXL_DEC_ERROR:
        decoder_failed = true;
        raise_dec("JxlDecoderProcessInput", status);
        return -1;
      case JXL_DEC_NEED_MORE_INPUT:
        if (_streaming || metering()) {
          if (_refill_input() < 0) return -1;
          break;
        }
        raise_jxl_error(
            "JxlDecoderProcessInput needs more input than was provided (truncated stream?)");
        return -1;
      case JXL_DEC_BASIC_INFO: {
        if (JxlDecoderGetBasicInfo(_decoder.get(), &_basic_info) != JXL_DEC_SUCCESS) {
          raise_jxl_error("JxlDecoderGetBasicInfo failed");
          return -1;
        }
        _have_basic_info = 1;
        runner.set_inline_only(fits_one_group(_basic_info.xsize, _basic_info.ysize));
        std::vector<JxlExtraChannelInfo> infos;
        Ref described = extra_channels_list(_decoder.get(), _basic_info, &infos);
        if (!described) return -1;
        extra_channels.set(std::move(described));
        if (configure_frames(infos) < 0) return -1;
        break;
      }
      case JXL_DEC_COLOR_ENCODING:
        // Not every colour has an encoded form (an ICC-only stream); the
        // record then keeps what it had, and `color` reports it as is.
        JxlDecoderGetColorAsEncodedProfile(_decoder.get(), JXL_COLOR_PROFILE_TARGET_DATA,
                                           &_color_encoding);
        _have_color = 1;
        break;
      default:
        // Parsing stops at the colour, before any frame event; nothing else
        // was subscribed to.
        decoder_failed = true;
        raise_dec("JxlDecoderProcessInput", status);
        return -1;
    }
  }
}

int Reader::configure_frames(const std::vector<JxlExtraChannelInfo>& infos) {
  const JxlBasicInfo& b = _basic_info;
  const bool simple = is_simple_layout(b);
  if (!simple && !want_extras) {
    PyErr_Format(PyExc_NotImplementedError,
                 "jxl: unsupported channel layout (color=%u, extra=%u, alpha=%s); "
                 "v0.1 supports L, LA, RGB, RGBA only",
                 b.num_color_channels, b.num_extra_channels, b.alpha_bits ? "True" : "False");
    return -1;
  }
  // With extra channels decoded, every channel comes in one dtype wide
  // enough for all of them; the colour channels first, then the extra
  // channels in stream order.
  uint32_t bits = b.bits_per_sample;
  uint32_t exponent_bits = b.exponent_bits_per_sample;
  if (!simple) widest_samples(b, infos, &bits, &exponent_bits);
  const FrameFormat* format = format_for_samples(bits, exponent_bits);
  if (!format) return -1;
  Ref dtype = scalar_type(*format);
  if (!dtype) return -1;
  const size_t samples = simple ? b.num_color_channels + (b.num_extra_channels != 0)
                                : b.num_color_channels + infos.size();
  Ref shape = Ref::steal(samples == 1 ? Py_BuildValue("(II)", b.ysize, b.xsize)
                                      : Py_BuildValue("(IIn)", b.ysize, b.xsize,
                                                      static_cast<Py_ssize_t>(samples)));
  if (!shape) return -1;
  if (!simple) {
    try {
      extra_planes.planes.assign(infos.size(), {});
    } catch (...) {
      PyErr_NoMemory();
      return -1;
    }
    extras_mode = true;
  }
  _frame_shape.set(std::move(shape));
  _frame_dtype.set(std::move(dtype));
  frame_typenum = format->typenum;
  _samples = samples;
  // With extra channels, libjxl takes the colour channels interleaved and
  // each extra channel as a plane of its own.
  _pixel_format = {static_cast<uint32_t>(simple ? samples : b.num_color_channels),
                   format->data_type, JXL_NATIVE_ENDIAN, /*align=*/0};
  _bit_depth = output_bit_depth(*format);
  _frame_nbytes = static_cast<size_t>(b.xsize) * b.ysize * samples * format->item_size;
  return 0;
}

// ---------------------------------------------------------------------------
// Colour and metadata views

int Reader::_fetch_icc_profile() {
  _icc_fetched = 1;
  size_t icc_size = 0;
  if (JxlDecoderGetICCProfileSize(_decoder.get(), JXL_COLOR_PROFILE_TARGET_DATA, &icc_size) !=
          JXL_DEC_SUCCESS ||
      icc_size == 0)
    return 0;
  Ref icc = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(icc_size)));
  if (!icc) return -1;
  if (JxlDecoderGetColorAsICCProfile(
          _decoder.get(), JXL_COLOR_PROFILE_TARGET_DATA,
          reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(icc.get())), icc_size) == JXL_DEC_SUCCESS)
    _icc_profile.set(std::move(icc));
  return 0;
}

int Reader::tell_progress(bool done) {
  if (progress.is_none()) return 0;
  double fraction = 1.0;
  if (!done) {
    if (_stream_size == 0) return 0;
    fraction = static_cast<double>(_fed_offset) / static_cast<double>(_stream_size);
    // 1.0 says the decode is done: libjxl may have all the bytes but not
    // yet be done with them.
    if (fraction >= 1.0) return 0;
  }
  if (fraction <= progress_last) return 0;
  progress_last = fraction;
  Ref value = Ref::steal(PyFloat_FromDouble(fraction));
  return value && Ref::steal(PyObject_CallOneArg(progress.get(), value.get())) ? 0 : -1;
}

int Reader::_raise_decode_error(int rc) {
  raise_decode_result(rc);
  return -1;
}

// ---------------------------------------------------------------------------
// Decoding frames

namespace {

Ref new_frame_array(const Reader& r) {
  npy_intp dims[3] = {static_cast<npy_intp>(r._basic_info.ysize),
                      static_cast<npy_intp>(r._basic_info.xsize),
                      static_cast<npy_intp>(r._samples)};
  Ref array = output_array(r._samples == 1 ? 2 : 3, dims, r.frame_typenum);
  // A rendering of part of a frame leaves nothing of the allocator's in it.
  if (array && (r.partial || r.report_progress)) {
    auto* a = reinterpret_cast<PyArrayObject*>(array.get());
    std::memset(PyArray_DATA(a), 0, static_cast<size_t>(PyArray_NBYTES(a)));
  }
  return array;
}

// The array of a layer decoded without coalescing: its own frame header
// gives its size (a cropped layer is smaller than the canvas), turned as the
// pixels will be unless the orientation is kept.
Ref new_layer_array(const Reader& r) {
  JxlFrameHeader header;
  if (JxlDecoderGetFrameHeader(r._decoder.get(), &header) != JXL_DEC_SUCCESS) {
    raise_jxl_error("JxlDecoderGetFrameHeader failed");
    return {};
  }
  npy_intp ysize = header.layer_info.ysize;
  npy_intp xsize = header.layer_info.xsize;
  if (!r._keep_orientation && r._basic_info.orientation > 4) std::swap(xsize, ysize);
  npy_intp dims[3] = {ysize, xsize, static_cast<npy_intp>(r._samples)};
  return output_array(r._samples == 1 ? 2 : 3, dims, r.frame_typenum);
}

// Whether the reader can decode a frame now: 1 yes, 0 when it is exhausted
}  // namespace

// (nothing set), -1 with an error set.
int ready_to_decode(Reader& r) {
  if (r._closed) {
    PyErr_SetString(PyExc_RuntimeError, "JxlReader is closed");
    return -1;
  }
  if (!r._decoder || r.frame_typenum < 0) {
    if (r._exhausted) return 0;
    // A close() interrupted after releasing the decoder leaves it closed
    // in all but the flag.
    PyErr_SetString(PyExc_RuntimeError, r._decoder || !r.init_called
                                            ? "jxl: JxlReader is not initialised"
                                            : "JxlReader is closed");
    return -1;
  }
  if (r._exhausted) return 0;
  if (r.decoder_failed) {
    r._raise_decode_error(kStepErrProcess);
    return -1;
  }
  return 1;
}

// Decodes the next frame, the caller holding the reader's lock. With
// `into` (exactly one coalesced frame's bytes, kept alive by `owner`) the
// pixels go there and *out is `owner`; otherwise into a new array. Returns
// 1 with *out set, 0 at the end of the stream, -1 with an error set.
int decode_next_frame(Reader& r, int streaming, void* into, PyObject* owner, Ref* out,
                      BandWriter* bands) {
  // Resume a frame that libjxl already writes into, or start a new one. A
  // coalesced frame is the canvas's size, known now; a layer's array waits
  // for its frame header.
  int buffer_set = r.pending_frame ? 1 : 0;
  Ref frame;
  void* buf = nullptr;
  size_t expected_size = 0;
  if (buffer_set) {
    frame = std::move(r.pending_frame);
  } else if (into || bands) {
    frame = Ref::borrow(owner);
    buf = into;
    expected_size = r._frame_nbytes;
  } else if (r._coalesce) {
    frame = new_frame_array(r);
    if (!frame) return -1;
  }
  if (frame && !buf && !bands) {
    buf = PyArray_DATA(reinterpret_cast<PyArrayObject*>(frame.get()));
    expected_size = static_cast<size_t>(PyArray_NBYTES(reinterpret_cast<PyArrayObject*>(frame.get())));
  }
  StepProgress progress;
  progress.report = r.report_progress;
  progress.stop_ratio = r.downsampling;
  for (;;) {
    JxlDecoder* dec = r._decoder.get();
    const JxlPixelFormat* pf = &r._pixel_format;
    const JxlBitDepth* bd = &r._bit_depth;
    ExtraPlanes* extras = r.extras_mode ? &r.extra_planes : nullptr;
    const int feeding = streaming || r.metering();
    int rc = without_gil([&] {
      return _decode_one_frame_nogil(dec, pf, bd, buf, expected_size, &buffer_set, feeding,
                                     &r.frame_header, &r.frame_name, extras, &progress,
                                     bands);
    });
    if (rc == kStepFrame) r.last_ratio = 1;  // decoded whole
    if (r.partial && (rc == kStepErrTruncated || (rc == kStepNeedInput && r._input_eof &&
                                                   !r.feed_broken))) {
      // The end of a truncated stream: what libjxl can render of the frame.
      rc = without_gil([&] { return flush_truncated_nogil(dec, buffer_set, pf, buf, extras); });
      if (rc == kStepFrame) {
        r.complete = false;
        r._exhausted = 1;
      } else if (r.frames_out > 0) {
        // Whole frames were delivered: the stream simply ends before the next.
        r._exhausted = 1;
        return 0;
      }
    }
    if (rc == kStepProgress) {
      r.last_ratio = progress.ratio;
      if (progress.ratio <= r.downsampling) {
        // Rendered as finely as asked: the rest of the frame is not decoded.
        if (JxlDecoderSkipCurrentFrame(dec) != JXL_DEC_SUCCESS) rc = kStepErrProcess;
        else rc = kStepFrame;
      } else {
        r.pending_frame = frame;
        *out = std::move(frame);
        return 2;
      }
    }
    switch (rc) {
      case kStepNeedInput:
        if (r._refill_input() < 0) {
          if (r.partial && r._input_eof && !r.feed_broken) {
            // Nothing more is coming: flush what there is on the next turn.
            PyErr_Clear();
            continue;
          }
          // libjxl keeps writing into a frame it was given if decoding
          // resumes; a caller's buffer cannot be resumed into, so a failed
          // refill there ends the reader.
          if (buffer_set && (into || bands)) r.decoder_failed = true;
          else if (buffer_set) r.pending_frame = std::move(frame);
          return -1;
        }
        if (r.tell_progress(false) < 0) {
          // The decoder is sound: a frame of its own resumes on the next call.
          if (buffer_set && (into || bands)) r.decoder_failed = true;
          else if (buffer_set) r.pending_frame = std::move(frame);
          return -1;
        }
        continue;
      case kStepNeedBuffer:
        frame = new_layer_array(r);
        if (!frame) return -1;
        buf = PyArray_DATA(reinterpret_cast<PyArrayObject*>(frame.get()));
        expected_size = static_cast<size_t>(PyArray_NBYTES(
            reinterpret_cast<PyArrayObject*>(frame.get())));
        continue;
      case kStepFrame:
        ++r.frames_out;
        // The last frame (or what a truncated stream renders of one) ends
        // the decode.
        if ((r.frame_header.is_last || !r._basic_info.have_animation || r._exhausted) &&
            r.tell_progress(true) < 0)
          return -1;
        *out = std::move(frame);
        return 1;
      case kStepEof:
        r._exhausted = 1;
        return r.tell_progress(true) < 0 ? -1 : 0;
      default:
        if (buffer_set && (into || bands)) r.decoder_failed = true;
        else if (buffer_set) r.pending_frame = std::move(frame);
        if (rc == kStepErrProcess || rc <= kStepErrUnexpected) r.decoder_failed = true;
        if (rc == kStepErrProcess && r.runner.short_of_threads()) {
          PyErr_SetString(PyExc_MemoryError,
                          "jxl: out of memory: not every worker thread could be started, "
                          "and libjxl then failed (JxlDecoderProcessInput returned "
                          "JXL_DEC_ERROR); fewer threads (numthreads=) may do");
          return -1;
        }
        r._raise_decode_error(rc);
        return -1;
    }
  }
}


namespace {

// Checks a caller's `out` against the result's shape and dtype before any
// decoding. Returns 0, or -1 with TypeError/ValueError set.
int check_out(const Reader& r, PyObject* out, const npy_intp* dims, int ndim) {
  if (!PyArray_Check(out)) {
    PyErr_Format(PyExc_TypeError, "jxl: out must be a NumPy array, not %.200s",
                 Py_TYPE(out)->tp_name);
    return -1;
  }
  auto* a = reinterpret_cast<PyArrayObject*>(out);
  if (PyArray_TYPE(a) != r.frame_typenum || !PyArray_ISNBO(PyArray_DESCR(a)->byteorder)) {
    PyErr_Format(PyExc_TypeError, "jxl: out has dtype %R, the stream decodes to %R",
                 reinterpret_cast<PyObject*>(PyArray_DESCR(a)), r._frame_dtype.get());
    return -1;
  }
  bool same = PyArray_NDIM(a) == ndim;
  for (int i = 0; same && i < ndim; ++i) same = PyArray_DIM(a, i) == dims[i];
  if (!same) {
    Ref want = Ref::steal(PyArray_IntTupleFromIntp(ndim, dims));
    Ref got = Ref::steal(PyArray_IntTupleFromIntp(PyArray_NDIM(a), PyArray_DIMS(a)));
    if (!want || !got) return -1;
    PyErr_Format(PyExc_ValueError, "jxl: out has shape %R, the result has shape %R", got.get(),
                 want.get());
    return -1;
  }
  if (!PyArray_IS_C_CONTIGUOUS(a)) {
    PyErr_SetString(PyExc_ValueError, "jxl: out must be C-contiguous");
    return -1;
  }
  if (!PyArray_ISWRITEABLE(a)) {
    PyErr_SetString(PyExc_ValueError, "jxl: out is read-only");
    return -1;
  }
  return 0;
}

// The result's shape: one frame alone, or `n` frames stacked.
int result_dims(const Reader& r, uint64_t n, npy_intp* dims) {
  int ndim = 0;
  if (n != 1) dims[ndim++] = static_cast<npy_intp>(n);
  dims[ndim++] = static_cast<npy_intp>(r._basic_info.ysize);
  dims[ndim++] = static_cast<npy_intp>(r._basic_info.xsize);
  if (r._samples != 1) dims[ndim++] = static_cast<npy_intp>(r._samples);
  return ndim;
}

// read() of coalesced frames from a stream held in memory: the frames are
// counted first (parse cost), then each decodes straight into its place in
// the result.
PyObject* read_in_place(Reader& r, PyObject* out, uint64_t total) {
  const uint64_t used = r.frames_skipped + r.frames_out;
  const uint64_t n = r._exhausted || total <= used ? 0 : total - used;
  if (n == 0) return raise_jxl_error("jxl: no frames in stream");
  npy_intp dims[4];
  const int ndim = result_dims(r, n, dims);
  Ref result;
  if (out != Py_None) {
    if (check_out(r, out, dims, ndim) < 0) return nullptr;
    result = Ref::borrow(out);
  } else {
    result = output_array(ndim, dims, r.frame_typenum);
    if (!result) return nullptr;
  }
  auto* base = static_cast<uint8_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(result.get())));
  for (uint64_t i = 0; i < n; ++i) {
    const int ready = ready_to_decode(r);
    if (ready < 0) return nullptr;
    uint8_t* slot = base + i * r._frame_nbytes;
    Ref frame;
    const int got = ready ? decode_next_frame(r, 0, slot, result.get(), &frame) : 0;
    if (got < 0) return nullptr;
    if (got == 0) return raise_jxl_error("jxl: the stream ended before its last frame");
    if (frame.get() != result.get()) {
      // A frame resumed from an earlier, interrupted step came in its own array.
      std::memcpy(slot, PyArray_DATA(reinterpret_cast<PyArrayObject*>(frame.get())),
                  r._frame_nbytes);
    }
  }
  return result.release();
}

}  // namespace

Ref decode_frame_into(PyObject* reader, PyObject* out) {
  Reader& r = reader_of(reader);
  LockGuard guard(r.lock, kTypeName);
  if (!guard.ok()) return {};
  if (r.frame_typenum < 0) {
    PyErr_SetString(PyExc_RuntimeError, "jxl: JxlReader is not initialised");
    return {};
  }
  npy_intp dims[4];
  const int ndim = result_dims(r, 1, dims);
  if (is_sink(out)) {
    if (check_sink(r, out, dims, ndim) < 0) return {};
    const int got = decode_frame_to_sink(r, out, -1);
    if (got < 0) return {};
    return got ? Ref::borrow(out) : Ref::none();
  }
  if (check_out(r, out, dims, ndim) < 0) return {};
  const int ready = ready_to_decode(r);
  if (ready < 0) return {};
  Ref frame;
  const int got = ready ? decode_next_frame(
                              r, r._streaming, r._coalesce ? PyArray_DATA(reinterpret_cast<PyArrayObject*>(out)) : nullptr,
                              out, &frame)
                        : 0;
  if (got < 0) return {};
  if (got == 0) return Ref::none();  // no such frame: the caller says which
  if (frame.get() != out) {
    // A layer (sized by its own header) or a resumed frame: copied over,
    // when it fits.
    if (PyArray_CopyInto(reinterpret_cast<PyArrayObject*>(out),
                         reinterpret_cast<PyArrayObject*>(frame.get())) < 0)
      return {};
  }
  return Ref::borrow(out);
}

PyObject* read_frames(PyObject* self, PyObject* out, bool own) {
  Reader& r = reader_of(self);
  if (is_sink(out)) {
    LockGuard guard(r.lock, kTypeName);
    if (!guard.ok() || ready_to_decode(r) < 0) return nullptr;
    return read_frames_to_sink(r, out);
  }
  // A partial stream is read frame by frame: how many frames it renders is
  // known only at its end.
  if (own && r._coalesce && !r._streaming && !r._closed && r._decoder && !r.partial) {
    LockGuard guard(r.lock, kTypeName);
    if (!guard.ok()) return nullptr;
    // Another thread may have closed it meanwhile. A stream that cannot be
    // counted (corrupt, truncated) is decoded frame by frame below, which
    // reports where it fails as it always has.
    uint64_t total = 0;
    if (r._decoder && !r.decoder_failed) {
      // A still image is one frame: no need to count it.
      if (r._have_basic_info && !r._basic_info.have_animation) return read_in_place(r, out, 1);
      if (count_frames_in(r._src_data, r._src_size, &total) == 0)
        return read_in_place(r, out, total);
      PyErr_Clear();
    }
  }
  Ref iter = call_method(self, "iter_frames");
  if (!iter) return nullptr;
  Ref frames = Ref::steal(PySequence_List(iter.get()));
  if (!frames) return nullptr;
  const Py_ssize_t n = PyList_GET_SIZE(frames.get());
  if (n == 0) return raise_jxl_error("jxl: no frames in stream");
  auto* first = reinterpret_cast<PyArrayObject*>(PyList_GET_ITEM(frames.get(), 0));
  for (Py_ssize_t i = 1; i < n; ++i) {
    auto* other = reinterpret_cast<PyArrayObject*>(PyList_GET_ITEM(frames.get(), i));
    if (!PyArray_SAMESHAPE(first, other)) {
      PyErr_SetString(PyExc_ValueError,
                      "jxl: the frames differ in size (layers decoded with "
                      "coalesce=False); iterate the reader to get them one by one");
      return nullptr;
    }
  }
  Ref result;
  if (n == 1) {
    result = Ref::borrow(PyList_GET_ITEM(frames.get(), 0));
  } else {
    PyObject* np = module_global("np");
    if (!np) return nullptr;
    Ref stack = Ref::steal(PyObject_GetAttrString(np, "stack"));
    Ref stack_args = Ref::steal(PyTuple_Pack(1, frames.get()));
    Ref stack_kwargs = Ref::steal(Py_BuildValue("{si}", "axis", 0));
    if (!stack || !stack_args || !stack_kwargs) return nullptr;
    result = Ref::steal(PyObject_Call(stack.get(), stack_args.get(), stack_kwargs.get()));
    if (!result) return nullptr;
  }
  if (out == Py_None) return result.release();
  // A streamed or layered stream is not counted ahead: its frames are
  // checked against `out` once decoded.
  auto* res = reinterpret_cast<PyArrayObject*>(result.get());
  if (check_out(r, out, PyArray_DIMS(res), PyArray_NDIM(res)) < 0) return nullptr;
  if (PyArray_CopyInto(reinterpret_cast<PyArrayObject*>(out), res) < 0) return nullptr;
  return Py_NewRef(out);
}

}  // namespace kp
