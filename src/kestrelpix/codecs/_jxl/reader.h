// JxlReader: the streaming decoder type.
//
// One reader owns one libjxl decoder over one encoded stream, and everything
// that decoder needs to stay valid: the caller's input (its buffer export is
// held until close, so the memory libjxl reads cannot be resized or freed
// under it), or the streaming input buffer and its chunk reader; an optional
// thread-pool runner; and the header facts parsed once at construction.
#pragma once

#include <jxl/decode.h>
#include <jxl/decode_cxx.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "decoder_options.h"
#include "py.h"
#include "threads.h"

namespace kp {

class BandWriter;

// Buffers of a frame with extra channels: the colour channels interleaved,
// then one plane per extra channel, interleaved into the frame at the end.
struct ExtraPlanes {
  std::vector<uint8_t> color;
  std::vector<std::vector<uint8_t>> planes;
  size_t pixels = 0;
};

// The reader's state. Every field starts as documented (null, 0, None); the
// Python object embeds one of these, constructed when the object is
// allocated. The internal operations return 0, or -1 with an exception set.
class Reader {
 public:
  Reader() = default;
  ~Reader();
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  // --- internal operations -----------------------------------------------
  int _init_streaming(PyObject* src);
  int _refill_input();
  int _grow_input_buf(size_t needed);
  int _parse_header();
  int _fetch_icc_profile();
  int _raise_decode_error(int rc);
  // The bytes of the stream libjxl has consumed so far (its input taken back
  // and handed over again). Returns 0, or -1 with an error set.
  int bytes_consumed(uint64_t* out);

  // --- lifecycle -----------------------------------------------------------
  int init(PyObject* data, const DecoderOptions& options);
  int close();
  // Native release without calling into Python (destruction).
  void release_native() noexcept;
  void release_native_handles() noexcept;

  // --- fields ------------------------------------------------------------
  JxlDecoderPtr _decoder;
  LazyRunner runner;                  // lends worker threads to libjxl
  size_t _num_threads = 0;
  Field _data_ref;                    // buffered input object
  const uint8_t* _src_data = nullptr;
  size_t _src_size = 0;
  Field _chunk_reader;                // BackgroundChunkReader (streaming)
  int32_t _streaming = 0;
  uint8_t* _input_buf = nullptr;      // malloc'd streaming buffer, made on demand
  size_t _input_buf_capacity = 0;
  int32_t _input_eof = 0;
  int32_t _input_closed = 0;
  JxlBasicInfo _basic_info{};
  JxlColorEncoding _color_encoding{};
  JxlPixelFormat _pixel_format{};
  JxlBitDepth _bit_depth{};
  int32_t _have_basic_info = 0;
  int32_t _have_color = 0;
  int32_t _parse_color = 0;
  int32_t _icc_fetched = 0;
  int32_t _coalesce = 1;
  int32_t _keep_orientation = 0;
  int32_t _closed = 0;
  int32_t _frames_started = 0;
  int32_t _exhausted = 0;
  Field _icc_profile;                 // cached bytes, or None
  Field _frame_dtype;                 // NumPy scalar type of every frame
  Field _frame_shape;                 // tuple of every frame's shape
  size_t _samples = 0;
  size_t _frame_nbytes = 0;

  // --- implementation state ------------------------------------------------
  int frame_typenum = -1;             // NumPy type number of _frame_dtype
  ByteView data_view;                 // export of _data_ref, held until close
  // A frame whose decode step failed after libjxl was given its memory:
  // libjxl keeps writing there if decoding resumes, so the array lives until
  // the next step takes it up again or the decoder is destroyed.
  Ref pending_frame;
  // libjxl's decoder must not be driven again once it reported an error
  // (it may crash): later steps repeat the error instead.
  bool decoder_failed = false;
  bool init_called = false;
  // A refill that failed after taking libjxl's input back leaves the buffer
  // out of step with the decoder's position; later refills are refused.
  bool feed_broken = false;
  // Streaming: what libjxl reads now. It lies in _fed_chunk, a chunk as the
  // chunk reader made it, when that is set, else in _input_buf.
  Ref _fed_chunk;
  const uint8_t* _fed_data = nullptr;
  size_t _fed_size = 0;
  // The header and name of the frame being decoded, kept by the lock-free
  // step for frame_info.
  JxlFrameHeader frame_header{};
  std::string frame_name;
  // Frames handed out so far, and frames skipped at the start: read() sizes
  // its result from the frame count less these.
  uint64_t frames_out = 0;
  uint64_t frames_skipped = 0;
  // Extra channels: asked for, described (in stream order), and decoded
  // through planes when the layout is more than L, LA, RGB or RGBA.
  bool want_extras = false;
  bool extras_mode = false;
  Field extra_channels;               // list of dicts
  ExtraPlanes extra_planes;
  // Progressive decoding: render what a truncated stream holds; stop each
  // frame once rendered at this ratio; hand out each rendering as libjxl
  // reaches it (iter_progressive). `complete` turns false once a partial
  // frame was delivered; `last_ratio` is the ratio of the latest rendering.
  bool partial = false;
  uint32_t downsampling = 1;
  bool report_progress = false;
  bool complete = true;
  size_t last_ratio = 1;
  // Where libjxl's input (_fed_data, _fed_size; the caller's buffer when
  // not streaming) begins in the stream, for the bytes consumed so far.
  uint64_t _fed_offset = 0;
  // progress=: the callable (None without), the last fraction it was given,
  // and the stream's size (0 when it cannot be told). A stream in memory is
  // then handed to libjxl a part (`_metered_step`) at a time, up to
  // `_metered_end`, so that libjxl comes back between parts; once the whole
  // is handed over the reader is as without.
  Field progress;
  double progress_last = 0.0;
  uint64_t _stream_size = 0;
  bool _metered = false;
  size_t _metered_end = 0;
  size_t _metered_step = 0;
  bool metering() const noexcept { return _metered && _metered_end < _src_size; }
  // Calls progress with the fraction of the stream consumed, or with 1.0
  // when `done`; only a fraction above the last one given. Returns 0, or -1
  // with what it raised.
  int tell_progress(bool done);
  ObjectLock lock;

 private:
  int load_source(PyObject** data, bool want_streaming, Ref* loaded, bool* stream_it);
  int widen_window();
  int establish_buffered_input(PyObject* data);
  int create_decoder(uint64_t skip_frames);
  int configure_frames(const std::vector<JxlExtraChannelInfo>& infos);
  int fetch_chunk(Ref* chunk);

 public:
  // Streaming: whether the chunk reader hands on each read() as it comes
  // (a stand-in without that choice is left as it is). 0, or -1.
  int set_eager(bool on);
};

// Whether the reader can decode a frame now: 1 yes, 0 when it is exhausted
// (nothing set), -1 with an error set. The caller holds the reader's lock.
int ready_to_decode(Reader& r);

// Decodes the next frame, the caller holding the reader's lock. With
// `into` (exactly one coalesced frame's bytes, kept alive by `owner`) the
// pixels go there and *out is `owner`; otherwise into a new array. Returns
// 1 with *out set, 0 at the end of the stream, -1 with an error set. With
// r.report_progress it may also return 2: *out is the frame being decoded,
// rendered as far as libjxl got (r.last_ratio), which the next call resumes.
// With `bands` (owner: the sink) the rows go to a sink through libjxl's
// image-out callback instead, and *out is `owner`.
int decode_next_frame(Reader& r, int streaming, void* into, PyObject* owner, Ref* out,
                      BandWriter* bands = nullptr);

// JxlReader.read(out): every remaining frame as one array; `own` tells
// whether iter_frames is JxlReader's own (else frames come through the
// subclass's). Null with an error set.
PyObject* read_frames(PyObject* self, PyObject* out, bool own);

// Decodes the reader's next frame into `out` (checked first: a writeable,
// C-contiguous array of the frame's shape and dtype). Returns `out`, None
// when no frame is left, or null with an error set.
Ref decode_frame_into(PyObject* reader, PyObject* out);

// The reader inside a JxlReader object.
Reader& reader_of(PyObject* self);
// A new reader of `type` (JxlReader or a subclass) over `data`, constructed
// as type(data, **options) would be, without going through keywords. Null
// with an error set.
Ref new_reader(PyObject* type, PyObject* data, const DecoderOptions& options);

// Creates the JxlReader type and binds it in the module.
int add_reader_type(PyObject* module);

}  // namespace kp
