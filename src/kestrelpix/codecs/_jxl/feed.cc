// The streaming input feed of JxlReader.
//
// A BackgroundChunkReader reads the source ahead on its own thread. libjxl
// reads each chunk where the chunk reader put it (the bytes object is held
// until libjxl gives it back): on JXL_DEC_NEED_MORE_INPUT libjxl has usually
// consumed everything, and the next chunk is handed over as it is. Only when
// libjxl gives back an unconsumed tail does that tail go to the front of one
// growable buffer, with the next chunk appended behind it. At the end of the
// data libjxl's input is closed, once.
#include <jxl/decode.h>

#include <cstdlib>
#include <cstring>

#include "common.h"
#include "input.h"
#include "reader.h"
#include "status.h"

namespace kp {
namespace {

constexpr long kPrefetch = 4;
constexpr size_t kInitialCapacity = 2 * kChunkSize;

const uint8_t* bytes_data(PyObject* chunk) {
  return reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(chunk));
}

}  // namespace

// Takes the next chunk: exact bytes, or None at the end of the data.
int Reader::fetch_chunk(Ref* chunk) {
  *chunk = call_method(_chunk_reader.get(), "get");
  if (!*chunk) return -1;
  if (chunk->get() != Py_None && check_bytes(chunk->get(), /*exact_only=*/true) < 0) {
    chunk->clear();
    return -1;
  }
  return 0;
}

int Reader::set_eager(bool on) {
  Ref done = call_method(_chunk_reader.get(), "eager", on ? Py_True : Py_False);
  if (done) return 0;
  // A stand-in chunk reader without it serves whole chunks.
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
  PyErr_Clear();
  return 0;
}

int Reader::_init_streaming(PyObject* src) {
  Ref io = Ref::steal(PyImport_ImportModule("kestrelpix.core.io"));
  if (!io) return -1;
  Ref cls = Ref::steal(PyObject_GetAttrString(io.get(), "BackgroundChunkReader"));
  if (!cls) {
    // As `from kestrelpix.core.io import BackgroundChunkReader` would say.
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
      PyErr_Clear();
      PyErr_SetString(PyExc_ImportError,
                      "cannot import name 'BackgroundChunkReader' from 'kestrelpix.core.io'");
    }
    return -1;
  }
  Ref args = Ref::steal(PyTuple_Pack(1, src));
  // The first chunk is what the first reads return, so that a slow source
  // shows its header at once; later chunks are full ones unless
  // iter_progressive asks for each read as it comes.
  Ref kwargs = Ref::steal(Py_BuildValue("{snsl}", "chunk_size",
                                        static_cast<Py_ssize_t>(kChunkSize),
                                        "prefetch", kPrefetch));
  if (!args || !kwargs) return -1;
  Ref chunk_reader = Ref::steal(PyObject_Call(cls.get(), args.get(), kwargs.get()));
  if (!chunk_reader) return -1;
  // The reading thread runs the source's read(); should that call back into
  // this reader, it must be refused rather than wait for a lock held by the
  // thread that waits for it.
  Ref ident = Ref::steal(PyObject_GetAttrString(chunk_reader.get(), "thread_ident"));
  if (!ident) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();  // a stand-in reader without a thread of its own
  } else if (ident.get() != Py_None) {
    const unsigned long value = PyLong_AsUnsignedLong(ident.get());
    if (value == static_cast<unsigned long>(-1) && PyErr_Occurred()) return -1;
    lock.forbid_thread(value);
  }
  _chunk_reader.set(std::move(chunk_reader));
  _streaming = 1;

  Ref first;
  if (set_eager(true) < 0 || fetch_chunk(&first) < 0 || set_eager(false) < 0) return -1;
  if (first.get() == Py_None || PyBytes_GET_SIZE(first.get()) == 0) {
    PyErr_SetString(PyExc_ValueError, "jxl: empty input");
    return -1;
  }
  _fed_chunk = std::move(first);
  _fed_data = bytes_data(_fed_chunk.get());
  _fed_size = static_cast<size_t>(PyBytes_GET_SIZE(_fed_chunk.get()));
  if (!is_jxl_signature(_fed_data, _fed_size)) {
    PyErr_SetString(PyExc_ValueError, "jxl: not a JPEG XL stream");
    return -1;
  }
  _src_data = _fed_data;
  _src_size = _fed_size;
  return 0;
}

int Reader::_refill_input() {
  if (feed_broken) {
    raise_jxl_error("jxl: streaming input failed earlier; the reader cannot continue");
    return -1;
  }
  if (!_decoder) {
    PyErr_SetString(PyExc_RuntimeError, "JxlReader is closed");
    return -1;
  }
  if (_metered) return widen_window();
  // From here until the input is handed back, a failure loses bytes that
  // libjxl has not seen yet: mark the feed broken until success.
  feed_broken = true;
  const size_t unprocessed = JxlDecoderReleaseInput(_decoder.get());
  // What libjxl gave back stays where it is (the held chunk or the buffer)
  // until the new input is set.
  const uint8_t* tail = _fed_data + (_fed_size - unprocessed);
  const uint64_t tail_offset_in_stream = _fed_offset + (_fed_size - unprocessed);
  // After the source's end, libjxl has seen every byte left (the tail it
  // gives back included) and still wants more: handing it the tail again
  // would go round for ever.
  if (_input_eof) {
    feed_broken = false;  // nothing was lost: the source is simply done
    raise_jxl_error("jxl: NEED_MORE_INPUT after EOF (truncated stream?)");
    return -1;
  }

  Ref chunk;
  if (!_input_eof) {
    if (fetch_chunk(&chunk) < 0) return -1;
    if (chunk.get() == Py_None) _input_eof = 1;
  }
  const size_t chunk_len =
      chunk && chunk.get() != Py_None ? static_cast<size_t>(PyBytes_GET_SIZE(chunk.get())) : 0;
  if (unprocessed + chunk_len == 0) {
    // At the end of the source later refills report the end. After an
    // empty chunk the feed stays broken: resuming would let libjxl go on
    // with a frame whose output array the failed iteration has dropped.
    if (_input_eof) feed_broken = false;
    raise_jxl_error("jxl: empty refill (truncated?)");
    return -1;
  }
  if (chunk_len == 0) {
    // Only the tail is left: libjxl takes it where it lies.
    _fed_data = tail;
    _fed_size = unprocessed;
  } else if (unprocessed == 0) {
    // The usual case: the chunk as the chunk reader made it, no copy.
    _fed_chunk = std::move(chunk);
    _fed_data = bytes_data(_fed_chunk.get());
    _fed_size = chunk_len;
  } else {
    // A tail in the buffer moves with it should the buffer grow.
    const bool tail_in_buffer = !_fed_chunk;
    const size_t tail_offset = tail_in_buffer ? static_cast<size_t>(tail - _input_buf) : 0;
    if (unprocessed + chunk_len > _input_buf_capacity &&
        _grow_input_buf(unprocessed + chunk_len) < 0) {
      return -1;
    }
    if (tail_in_buffer) tail = _input_buf + tail_offset;
    std::memmove(_input_buf, tail, unprocessed);
    std::memcpy(_input_buf + unprocessed, bytes_data(chunk.get()), chunk_len);
    _fed_chunk = Ref();
    _fed_data = _input_buf;
    _fed_size = unprocessed + chunk_len;
  }

  const JxlDecoderStatus status = JxlDecoderSetInput(_decoder.get(), _fed_data, _fed_size);
  if (status != JXL_DEC_SUCCESS) {
    raise_dec("JxlDecoderSetInput", status);
    return -1;
  }
  feed_broken = false;
  _fed_offset = tail_offset_in_stream;
  // A partial reader leaves the input open: libjxl then asks for more at
  // the cut, where the frame is flushed, instead of failing.
  if (_input_eof && !_input_closed && !partial) {
    JxlDecoderCloseInput(_decoder.get());
    _input_closed = 1;
  }
  return 0;
}

// A stream in memory handed over in parts (progress=): what libjxl has not
// consumed, and the next part behind it. The whole is in memory, so nothing
// is copied or lost whatever happens.
int Reader::widen_window() {
  const size_t unprocessed = JxlDecoderReleaseInput(_decoder.get());
  _fed_offset += _fed_size - unprocessed;
  _metered_end = std::min(_src_size, _metered_end + _metered_step);
  _fed_data = _src_data + _fed_offset;
  _fed_size = _metered_end - static_cast<size_t>(_fed_offset);
  const JxlDecoderStatus status = JxlDecoderSetInput(_decoder.get(), _fed_data, _fed_size);
  if (status != JXL_DEC_SUCCESS) {
    decoder_failed = true;
    raise_dec("JxlDecoderSetInput", status);
    return -1;
  }
  return 0;
}

int Reader::bytes_consumed(uint64_t* out) {
  const size_t unprocessed = JxlDecoderReleaseInput(_decoder.get());
  _fed_offset += _fed_size - unprocessed;
  _fed_data += _fed_size - unprocessed;
  _fed_size = unprocessed;
  *out = _fed_offset;
  const JxlDecoderStatus status = JxlDecoderSetInput(_decoder.get(), _fed_data, _fed_size);
  if (status != JXL_DEC_SUCCESS) {
    feed_broken = true;
    decoder_failed = !_streaming;
    raise_dec("JxlDecoderSetInput", status);
    return -1;
  }
  return 0;
}

int Reader::_grow_input_buf(size_t needed) {
  size_t new_cap = _input_buf_capacity ? _input_buf_capacity : kInitialCapacity;
  while (new_cap < needed) {
    if (new_cap > SIZE_MAX / 2) {
      PyErr_SetString(PyExc_MemoryError, "jxl: failed to grow streaming input buffer");
      return -1;
    }
    new_cap <<= 1;
  }
  auto* new_buf = static_cast<uint8_t*>(std::realloc(_input_buf, new_cap));
  if (!new_buf) {
    PyErr_SetString(PyExc_MemoryError, "jxl: failed to grow streaming input buffer");
    return -1;
  }
  _input_buf = new_buf;
  _input_buf_capacity = new_cap;
  return 0;
}

}  // namespace kp
