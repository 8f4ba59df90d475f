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
when no ``out`` is given and reshapes. With ``out`` the shape of ``out`` wins
(that is how Zarr decodes: into a buffer of the chunk's shape): as every
numcodecs codec does, ``decode`` fills any ``out`` of the right size and dtype,
through its memory in the stream's order.

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


def _add_shape_box(stream: bytes, shape: tuple[int, ...]) -> bytes:
    """`stream` (in the container) with the shape box after the file-type box."""
    boxes = list(_boxes(stream))
    if len(boxes) < 2 or boxes[0][0] != b"JXL " or boxes[1][0] != b"ftyp":
        raise RuntimeError("kestrelpix_jxl: the encoder did not write the JPEG XL container")
    at = boxes[1][2]
    payload = json.dumps(list(shape), separators=(",", ":")).encode()
    return stream[:at] + _box(_SHAPE_BOX, payload) + stream[at:]


def _recorded_shape(data: memoryview) -> tuple[int, ...] | None:
    for kind, start, end in _boxes(data):
        if kind == _SHAPE_BOX:
            try:
                shape = tuple(json.loads(bytes(data[start:end])))
            except ValueError:
                return None
            if all(isinstance(n, int) and n > 0 for n in shape):
                return shape
            return None
    return None


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

    Chunks of uint8, uint16, float16 or float32 only: other dtypes raise
    TypeError at encode, and chunks whose shape JPEG XL cannot hold raise
    ValueError; nothing is written in either case.
    """

    codec_id = "kestrelpix_jxl"

    def __init__(self, lossless: bool | None = None, quality: float | None = None,
                 distance: float | None = None, effort: int = 5, decoding_speed: int = 0,
                 numthreads: int | None = None, channels_last: bool = False) -> None:
        lossy_asked = quality is not None or distance is not None
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
        image = np.ascontiguousarray(arr, dtype=native)
        shape = _natural_shape(frames, frame)
        exact = shape == tuple(arr.shape) or not record_shape
        stream = jxl.encode(image.reshape(shape), animation=frames > 1, container=not exact,
                             numthreads=self.numthreads, **self._options())
        return stream if exact else _add_shape_box(stream, tuple(arr.shape))

    def decode(self, buf: Any, out: Any = None) -> np.ndarray:
        """The chunk from its stream, in its exact shape and dtype; into `out`
        (which must hold as many samples of the stream's dtype) when given."""
        data = ensure_contiguous_ndarray(buf).view(np.uint8)
        if out is None:
            arr = jxl.decode(data, numthreads=self.numthreads)
            shape = _recorded_shape(memoryview(data))
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
            dtype = np.dtype(reader.dtype)
            frames = 1
            if reader.is_animation:
                frames = jxl.frame_count(data, numthreads=self.numthreads)
            shape = _natural_shape(frames, tuple(reader.frame_shape))
            size = math.prod(shape)
            if dest.dtype.newbyteorder("=") != dtype:
                if dest.nbytes == size * dtype.itemsize and dest.dtype.itemsize == 1:
                    dest = dest.reshape(-1).view(dtype)  # a raw byte buffer
                else:
                    raise ValueError(f"kestrelpix_jxl: out has dtype {dest.dtype} but the "
                                     f"stream holds {dtype}")
            if dest.size != size:
                raise ValueError(f"kestrelpix_jxl: out has {dest.size} samples, the stream "
                                 f"{size} (shape {shape})")
            contiguous = dest.flags.c_contiguous or dest.flags.f_contiguous
            if dest.dtype == dtype and contiguous and dest.flags.writeable:
                # As numcodecs' ndarray_copy fills `out`: the samples in
                # stream order through its memory, whatever its shape and
                # order; here decoded straight into it.
                reader.read(out=dest.reshape(-1, order="A").reshape(shape))
            else:
                # A strided view, as ndarray_copy fills it (in C order), or
                # another byte order, whose values are converted.
                np.copyto(dest, reader.read().reshape(dest.shape))
        return out if isinstance(out, np.ndarray) else dest

    def get_config(self) -> dict[str, Any]:
        return {"id": self.codec_id, "lossless": self.lossless, "quality": self.quality,
                "distance": self.distance, "effort": self.effort,
                "decoding_speed": self.decoding_speed, "numthreads": self.numthreads,
                "channels_last": self.channels_last}

    def __repr__(self) -> str:
        args = ", ".join(f"{k}={v!r}" for k, v in self.get_config().items() if k != "id")
        return f"Jxl({args})"
