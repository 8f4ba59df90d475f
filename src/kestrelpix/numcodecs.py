"""JPEG XL chunks for numcodecs (and so for Zarr 2 arrays and anything else
built on numcodecs).

``Jxl`` is registered under the codec id ``"kestrelpix_jxl"`` through the
``numcodecs.codecs`` entry point, so ``numcodecs.get_codec({"id":
"kestrelpix_jxl"})`` works in a process that never imported kestrelpix.

How a chunk becomes an image
----------------------------
A chunk of shape ``(..., Y, X)`` (or ``(..., Y, X, C)`` with
``channels_last=True``, C of 2 to 4: grey+alpha, RGB, RGBA) is one JPEG XL
stream: the last two (three) axes are a frame, and every further leading axis
is flattened into the frames of one animation, in C order. A chunk with a
single frame (no leading axes, or leading axes all of length 1) is a still
image. Every chunk's payload is therefore a plain JPEG XL stream that any
JPEG XL decoder (djxl, a browser) shows as an image or animation.

How the shape comes back
------------------------
The stream itself knows the frame shape and the number of frames, which
restores ``(Y, X[, C])`` and ``(T, Y, X[, C])`` chunks by themselves. It
cannot tell ``(2, 3, Y, X)`` from ``(6, Y, X)``, nor ``(1, Y, X)`` from
``(Y, X)``. For such chunks the encoder wraps the stream in the JPEG XL
container and adds one small box of its own (type ``kpsh``, the chunk shape as
ASCII JSON) ahead of the codestream. JPEG XL decoders skip boxes they do not
know, so the payload is still a plain JPEG XL file; ``decode`` reads the box
when no ``out`` is given and reshapes. The box also records the chunk's dtype
when the samples are of another: a big-endian chunk (``>u2``, ``>f4``: Zarr
2 views the decoded bytes as the array's dtype, so they come back in its byte
order), or a float16 chunk holding NaN, which libjxl's float16 samples cannot
hold and float32 samples hold exactly.

With ``out`` (of the chunk's dtype in either byte order, or raw bytes), as
every numcodecs codec does, ``decode`` fills it through its memory in the
stream's order: a flat ``out`` of the right size, or one shaped as the chunk.
A shaped ``out`` whose last axes are not the stream's frame shape (axes of
length 1 aside) is refused with ValueError rather than filled scrambled: a
stream turned by its orientation, rows of another width, colour into grey
planes.

Nothing is lost unless asked: ``lossless`` is the default, and giving
``quality`` or ``distance`` asks for lossy coding.
"""

from __future__ import annotations

import json
import math
import struct
from collections.abc import Iterator
from typing import Any

import numpy as np
from numcodecs.abc import Codec  # type: ignore[import-untyped]
from numcodecs.compat import (  # type: ignore[import-untyped]
    ensure_contiguous_ndarray,
    ensure_ndarray_like,
)

from kestrelpix import jxl

__all__ = ["Jxl", "chunk_layout"]

#: The NumPy types a JPEG XL frame can hold.
DTYPES = (np.dtype(np.uint8), np.dtype(np.uint16), np.dtype(np.float16),
          np.dtype(np.float32))

_SHAPE_BOX = b"kpsh"
_CODESTREAM_BOXES = (b"jxlc", b"jxlp")


def _check_dtype(dtype: np.dtype) -> np.dtype:
    """The native-order dtype of a chunk, or TypeError if JPEG XL cannot hold it."""
    native = np.dtype(dtype).newbyteorder("=")
    if native not in DTYPES:
        raise TypeError(f"kestrelpix_jxl: cannot store dtype {np.dtype(dtype)} as JPEG XL; "
                        "use uint8, uint16, float16 or float32")
    return native


def chunk_layout(shape: tuple[int, ...], channels_last: bool) -> tuple[int, tuple[int, ...]]:
    """(number of frames, frame shape) of a chunk of `shape`.

    Raises ValueError for shapes JPEG XL cannot hold: fewer than two image
    axes, a channel axis of other than 2 to 4, or a zero-sized chunk."""
    shape = tuple(int(n) for n in shape)
    image_axes = 3 if channels_last else 2
    if len(shape) < image_axes:
        layout = "(..., Y, X, C)" if channels_last else "(..., Y, X)"
        raise ValueError(f"kestrelpix_jxl: a chunk of shape {shape} has too few axes for "
                         f"{layout}")
    if channels_last and not 2 <= shape[-1] <= 4:
        raise ValueError(f"kestrelpix_jxl: with channels_last=True the last axis must be 2 "
                         f"(grey+alpha), 3 (RGB) or 4 (RGBA); chunk shape {shape} has "
                         f"{shape[-1]}")
    if 0 in shape:
        raise ValueError(f"kestrelpix_jxl: cannot store an empty chunk (shape {shape})")
    return math.prod(shape[:-image_axes]), shape[-image_axes:]


def _natural_shape(frames: int, frame: tuple[int, ...]) -> tuple[int, ...]:
    """The shape `decode` of the extension gives for such a stream."""
    return frame if frames == 1 else (frames, *frame)


def _box(kind: bytes, payload: bytes) -> bytes:
    return struct.pack(">I4s", 8 + len(payload), kind) + payload


def _boxes(data: bytes | memoryview) -> Iterator[tuple[bytes, int, int]]:
    """(type, payload start, end) of each box before the codestream of a
    stream in the JPEG XL container; nothing for a bare codestream."""
    pos, end = 0, len(data)
    while pos + 8 <= end:
        size, kind = struct.unpack_from(">I4s", data, pos)
        head = 8
        if size == 1:
            if pos + 16 > end:
                return
            size, head = struct.unpack_from(">Q", data, pos + 8)[0], 16
        elif size == 0:
            size = end - pos
        if kind in _CODESTREAM_BOXES or size < head or pos + size > end:
            return
        yield kind, pos + head, pos + size
        pos += size


def _add_shape_box(stream: bytes, record: list[int] | dict[str, Any]) -> bytes:
    """`stream` (in the container) with the shape box after the file-type box."""
    boxes = list(_boxes(stream))
    if len(boxes) < 2 or boxes[0][0] != b"JXL " or boxes[1][0] != b"ftyp":
        raise RuntimeError("kestrelpix_jxl: the encoder did not write the JPEG XL container")
    at = boxes[1][2]
    payload = json.dumps(record, separators=(",", ":")).encode()
    return stream[:at] + _box(_SHAPE_BOX, payload) + stream[at:]


def _record(data: memoryview) -> tuple[tuple[int, ...] | None, np.dtype | None]:
    """(chunk shape, chunk dtype) the shape box records, None for what it does not.

    The box holds the shape as a JSON list, or ``{"shape": [...], "dtype":
    "..."}`` when the chunk's dtype is not the stream's samples (another byte
    order, float16 stored as float32)."""
    for kind, start, end in _boxes(data):
        if kind != _SHAPE_BOX:
            continue
        # A record that is not what the encoder writes is damage, refused
        # as any other damaged chunk is (not a crash deep in the parser).
        corrupt = ValueError("kestrelpix_jxl: the chunk's shape record (its kpsh box) is "
                             "corrupt")
        try:
            value = json.loads(bytes(data[start:end]))
            if isinstance(value, dict):
                dtype: np.dtype | None = np.dtype(value["dtype"])
                value = value["shape"]
            else:
                dtype = None
            if not isinstance(value, list):
                raise corrupt
            shape = tuple(value)
        except (ValueError, TypeError, KeyError, RecursionError) as exc:
            raise corrupt from exc
        if not all(type(n) is int and 0 < n < 2**62 for n in shape):
            raise corrupt
        if dtype is not None and dtype.newbyteorder("=") not in DTYPES:
            raise corrupt
        return shape, dtype
    return None, None


def _fits(out_shape: tuple[int, ...], frame: tuple[int, ...]) -> bool:
    """Whether an `out` of `out_shape` (of the right size) can be a chunk
    whose frames have shape `frame`.

    A flat `out` is a buffer, filled in stream order as numcodecs fills any
    `out`; a shaped one must end in the frame's axes (axes of length 1
    aside), or the samples would land scrambled: a turned frame, rows of
    another width, colour spread over grey planes."""
    if len(out_shape) <= 1:
        return True
    out_axes = tuple(n for n in out_shape if n != 1)
    frame_axes = tuple(n for n in frame if n != 1)
    return not frame_axes or out_axes[-len(frame_axes):] == frame_axes


def _as_dtype(samples: np.ndarray, dtype: np.dtype) -> np.ndarray:
    """Decoded `samples` as values of `dtype`: another byte order, or float16
    chunks stored as float32 (refused if a value is no float16 value)."""
    if samples.dtype == dtype:
        return samples
    converted = samples.astype(dtype)
    if samples.dtype != dtype.newbyteorder("=") and not np.array_equal(
            converted.astype(samples.dtype), samples, equal_nan=True):
        raise ValueError(f"kestrelpix_jxl: the stream's {samples.dtype} samples are not all "
                         f"{dtype} values")
    return converted


def _check_bool(name: str, value: object) -> None:
    # Configurations come from JSON written by hand too: "false" is not False.
    if not isinstance(value, (bool, np.bool_)):
        raise TypeError(f"kestrelpix_jxl: {name} must be True or False, got {value!r}")


class Jxl(Codec):  # type: ignore[misc]
    """JPEG XL codec for numcodecs: one chunk is one JPEG XL image or animation.

    Parameters
    ----------
    lossless : bool, optional
        Exact coding. The default is True unless `quality` or `distance` is
        given; True together with either of them is refused.
    quality : float, optional
        libjxl's 0-100 scale for lossy coding (90 is very good).
    distance : float, optional
        Butteraugli distance for lossy coding (1.0 visually lossless).
    effort : int
        1 (fastest) to 10 (smallest), default 5.
    decoding_speed : int
        0 (default) to 4: faster decoding, slightly larger chunks.
    numthreads : int, optional
        libjxl worker threads per call; None for libjxl's default, 1 for
        the calling thread only.
    channels_last : bool
        False (default): every chunk axis before the last two is frames of
        grey images. True: the last axis is the channels (2 to 4).

    Chunks of uint8, uint16, float16 or float32 (either byte order) only:
    other dtypes raise TypeError at encode, and chunks whose shape JPEG XL
    cannot hold raise ValueError; nothing is written in either case.
    `lossless` and `channels_last` must be True or False (a configuration's
    string "false" raises TypeError).
    """

    codec_id = "kestrelpix_jxl"

    def __init__(self, lossless: bool | None = None, quality: float | None = None,
                 distance: float | None = None, effort: int = 5, decoding_speed: int = 0,
                 numthreads: int | None = None, channels_last: bool = False) -> None:
        lossy_asked = quality is not None or distance is not None
        if lossless is not None:
            _check_bool("lossless", lossless)
        _check_bool("channels_last", channels_last)
        if lossless is None:
            lossless = not lossy_asked
        elif lossless and lossy_asked:
            raise ValueError("kestrelpix_jxl: lossless=True conflicts with quality/distance; "
                             "give one or the other")
        for name, value in (("effort", effort), ("decoding_speed", decoding_speed),
                            ("numthreads", numthreads)):
            if value is not None and (isinstance(value, bool) or not isinstance(value, int)):
                raise TypeError(f"kestrelpix_jxl: {name} must be an int, got {value!r}")
        for name, number in (("quality", quality), ("distance", distance)):
            if number is not None and (isinstance(number, bool)
                                       or not isinstance(number, (int, float))):
                raise TypeError(f"kestrelpix_jxl: {name} must be a number, got {number!r}")
        self.lossless = bool(lossless)
        self.quality = quality
        self.distance = distance
        self.effort = effort
        self.decoding_speed = decoding_speed
        self.numthreads = numthreads
        self.channels_last = bool(channels_last)
        if lossy_asked:
            # Only libjxl knows which distances it takes (30 it refuses when
            # the first frame is set up), so one tiny frame judges the lossy
            # options now rather than at the first chunk of a long write.
            # Lossless coding has nothing left to refuse.
            jxl.encode(np.zeros((1, 1), np.uint8), numthreads=1, **self._options(effort=1))

    def _options(self, **override: Any) -> dict[str, Any]:
        options = {"lossless": self.lossless or None, "quality": self.quality,
                   "distance": self.distance, "effort": self.effort,
                   "decoding_speed": self.decoding_speed}
        options.update(override)
        return options

    def encode(self, buf: Any) -> bytes:
        """One chunk, an array (or buffer) of a supported dtype, as a JPEG XL stream."""
        arr = ensure_ndarray_like(buf)
        if arr.ndim > 1 and arr.flags.f_contiguous and not arr.flags.c_contiguous:
            # A Zarr 2 array with order="F" hands Fortran-ordered chunks and
            # reads the decoded samples back in that order: the image would
            # come back scrambled.
            raise ValueError("kestrelpix_jxl: Fortran-ordered chunks (a Zarr array with "
                             "order='F') are not supported; use order='C'")
        return self._encode(arr, record_shape=True)

    def _encode(self, arr: np.ndarray, record_shape: bool) -> bytes:
        native = _check_dtype(arr.dtype)
        frames, frame = chunk_layout(arr.shape, self.channels_last)
        samples = native
        if native == np.float16 and self.lossless and np.isnan(arr).any():
            # libjxl's float16 samples have no NaN (one comes back as
            # infinity), and Zarr pads edge chunks with a NaN fill value:
            # float32 holds every float16 value exactly, NaN included.
            samples = np.dtype(np.float32)
        image = np.ascontiguousarray(arr, dtype=samples)
        shape = _natural_shape(frames, frame)
        stream: bytes = jxl.encode(image.reshape(shape), animation=frames > 1,
                            container=record_shape and (shape != arr.shape
                                                        or bool(samples != arr.dtype)),
                            numthreads=self.numthreads, **self._options())
        if not record_shape:
            return stream
        if samples != arr.dtype:
            # Zarr 2 views the decoded bytes as the array's dtype: the chunk's
            # byte order (or float16) must come back with them.
            return _add_shape_box(stream, {"shape": list(arr.shape), "dtype": arr.dtype.str})
        return stream if shape == arr.shape else _add_shape_box(stream, list(arr.shape))

    def decode(self, buf: Any, out: Any = None) -> np.ndarray:
        """The chunk from its stream, in its exact shape and dtype; into `out`
        when given: of the chunk's dtype (any byte order) or raw bytes, as
        many samples as the stream holds, and either flat or shaped as the
        chunk (its frames' axes last)."""
        data = ensure_contiguous_ndarray(buf).view(np.uint8)
        shape, dtype = _record(memoryview(data))
        if out is None:
            arr = jxl.decode(data, numthreads=self.numthreads)
            if dtype is not None:
                arr = _as_dtype(arr, dtype)
            if shape is not None:
                if math.prod(shape) != arr.size:
                    raise ValueError(f"kestrelpix_jxl: the stream records shape {shape} but "
                                     f"holds {arr.size} samples")
                arr = arr.reshape(shape)
            return arr
        dest = ensure_ndarray_like(out)
        if dest.dtype.hasobject:
            # numcodecs' rule for every codec: never write samples over
            # object pointers.
            raise TypeError("kestrelpix_jxl: cannot decode into an array of objects")
        with jxl.JxlReader(data, numthreads=self.numthreads, parse_color=False) as reader:
            stream_dtype = np.dtype(reader.dtype)
            dtype = dtype or stream_dtype
            frames = 1
            if reader.is_animation:
                frames = jxl.frame_count(data, numthreads=self.numthreads)
            frame = tuple(reader.frame_shape)
            size = frames * math.prod(frame)
            if (dest.dtype != dtype and dest.dtype.itemsize == 1
                    and dest.nbytes == size * dtype.itemsize):
                dest = dest.reshape(-1).view(dtype)  # a raw byte buffer
            wanted = dest.dtype.newbyteorder("=")
            if wanted != stream_dtype and not (wanted == np.float16
                                               and stream_dtype == np.float32):
                raise ValueError(f"kestrelpix_jxl: out has dtype {dest.dtype} but the "
                                 f"stream holds {stream_dtype}")
            if dest.size != size:
                raise ValueError(f"kestrelpix_jxl: out has {dest.size} samples, the stream "
                                 f"{size} ({_natural_shape(frames, frame)})")
            if not _fits(dest.shape, frame):
                raise ValueError(f"kestrelpix_jxl: out has shape {dest.shape}, which cannot "
                                 f"hold the stream's frames of shape {frame} without "
                                 "scrambling them")
            contiguous = dest.flags.c_contiguous or dest.flags.f_contiguous
            if dest.dtype == stream_dtype and contiguous and dest.flags.writeable:
                # As numcodecs' ndarray_copy fills `out`: the samples in
                # stream order through its memory, whatever its shape and
                # order; here decoded straight into it.
                shape = _natural_shape(frames, frame)
                reader.read(out=dest.reshape(-1, order="A").reshape(shape))
            else:
                # A strided view, as ndarray_copy fills it (in C order), or
                # another byte order or float16, whose values are converted.
                np.copyto(dest, _as_dtype(reader.read(), dest.dtype).reshape(dest.shape))
        return out if isinstance(out, np.ndarray) else dest

    def get_config(self) -> dict[str, Any]:
        return {"id": self.codec_id, "lossless": self.lossless, "quality": self.quality,
                "distance": self.distance, "effort": self.effort,
                "decoding_speed": self.decoding_speed, "numthreads": self.numthreads,
                "channels_last": self.channels_last}

    def __repr__(self) -> str:
        args = ", ".join(f"{k}={v!r}" for k, v in self.get_config().items() if k != "id")
        return f"Jxl({args})"
