"""JPEG XL chunks for Zarr 3 arrays.

``Jxl`` is an array-to-bytes codec (it takes the place of Zarr's ``bytes``
codec), registered under the name ``"kestrelpix_jxl"`` through Zarr's
``zarr.codecs`` entry point, so ``zarr.open_array`` reads such arrays in a
process that never imported kestrelpix::

    import zarr
    from kestrelpix.zarr import Jxl

    z = zarr.create_array("volume.zarr", shape=(64, 512, 512), chunks=(16, 512, 512),
                          dtype="uint16", serializer=Jxl(effort=1))

Chunks map to images exactly as in :mod:`kestrelpix.numcodecs` (same
parameters): the last two axes of a chunk (three with ``channels_last=True``)
are a frame, leading axes are the frames of an animation. Zarr knows each
chunk's shape from the array's metadata, so the streams are plain JPEG XL,
without the shape box the numcodecs codec sometimes adds. Dtypes and chunk
shapes JPEG XL cannot hold are refused when the array is created, as the
codec gets the chunks: the inner chunks inside a ``ShardingCodec``, the turned
chunks after a ``TransposeCodec``. Float16 chunks holding NaN (the edge chunks
of an array whose fill value is NaN) are stored as float32 samples and come
back as float16.
"""

from __future__ import annotations

import asyncio
import sys
from dataclasses import dataclass, field
from types import FrameType
from typing import TYPE_CHECKING, Any

import numpy as np
from zarr.abc.codec import ArrayBytesCodec
from zarr.codecs import ShardingCodec
from zarr.core.array_spec import ArrayConfig, ArraySpec
from zarr.core.buffer import default_buffer_prototype
from zarr.core.common import JSON, parse_named_configuration

from kestrelpix.numcodecs import Jxl as _NumcodecsJxl
from kestrelpix.numcodecs import _check_dtype, chunk_layout

if TYPE_CHECKING:
    from typing import Self

    from zarr.core.buffer import Buffer, NDBuffer
    from zarr.core.dtype.wrapper import TBaseDType, TBaseScalar, ZDType

__all__ = ["Jxl"]


def _fits(shape: tuple[int, ...], channels_last: bool) -> bool:
    """Whether JPEG XL can hold chunks of this shape."""
    try:
        chunk_layout(shape, channels_last)
    except ValueError:
        return False
    return True

NAME = "kestrelpix_jxl"
_FIELDS = ("lossless", "quality", "distance", "effort", "decoding_speed", "numthreads",
           "channels_last")
# validate is called by the array's metadata, evolve_from_array_spec by it or
# a ShardingCodec from a generator: the owner is a few frames up.
_CALLERS_SEARCHED = 4


@dataclass(frozen=True)
class Jxl(ArrayBytesCodec):
    """JPEG XL array-to-bytes codec for Zarr 3: one chunk, one JPEG XL stream.

    Parameters are those of :class:`kestrelpix.numcodecs.Jxl`: `lossless`
    (the default unless `quality` or `distance` is given), `quality`,
    `distance`, `effort` (default 5), `decoding_speed` (0), `numthreads`
    (None: libjxl's default) and `channels_last` (False).
    """

    is_fixed_size = False

    lossless: bool
    quality: float | None
    distance: float | None
    effort: int
    decoding_speed: int
    numthreads: int | None
    channels_last: bool
    _codec: _NumcodecsJxl = field(init=False, repr=False, compare=False)

    def __init__(self, *, lossless: bool | None = None, quality: float | None = None,
                 distance: float | None = None, effort: int = 5, decoding_speed: int = 0,
                 numthreads: int | None = None, channels_last: bool = False) -> None:
        # The numcodecs codec checks and settles the options (lossless
        # follows from quality/distance when not given), then codes every
        # chunk of this instance.
        codec = _NumcodecsJxl(lossless=lossless, quality=quality, distance=distance,
                              effort=effort, decoding_speed=decoding_speed,
                              numthreads=numthreads, channels_last=channels_last)
        config = codec.get_config()
        for name in _FIELDS:
            object.__setattr__(self, name, config[name])
        object.__setattr__(self, "_codec", codec)

    @classmethod
    def from_dict(cls, data: dict[str, JSON]) -> Self:
        _, configuration = parse_named_configuration(data, NAME, require_configuration=False)
        return cls(**(configuration or {}))  # type: ignore[arg-type]

    def to_dict(self) -> dict[str, JSON]:
        return {"name": NAME, "configuration": {name: getattr(self, name) for name in _FIELDS}}

    # zarr 3.1 passes a ChunkGrid, later releases the grid's metadata (whose
    # type they renamed); a regular grid of either has chunk_shape, and Any
    # keeps the override compatible with every release for type checkers.
    def validate(self, *, shape: tuple[int, ...], dtype: ZDType[TBaseDType, TBaseScalar],
                 chunk_grid: Any) -> None:
        owner, ahead = self._place()
        _check_dtype(dtype.to_native_dtype())
        chunk_shape = getattr(chunk_grid, "chunk_shape", None)
        if chunk_shape is None:
            return
        try:
            self._check_chunk(ArraySpec(tuple(chunk_shape), dtype, dtype.default_scalar(),
                                        ArrayConfig.from_dict({}), default_buffer_prototype()),
                              ahead)
        except ValueError:
            # Later zarr releases hand each codec the array's shape as the
            # codecs ahead of it leave it, with the grid's chunks as they
            # were, and keep those codecs where they cannot be found: when
            # the array as this codec sees it is an image, a transpose may
            # be ahead, and the first chunk written is checked instead.
            if owner is not None or not _fits(tuple(shape), self.channels_last):
                raise

    def evolve_from_array_spec(self, array_spec: ArraySpec) -> Self:
        # Zarr validates only the outermost codecs: inside a ShardingCodec
        # this is the one call at creation that shows the inner chunks.
        # Elsewhere the ArraySpec describes the whole array, and validate
        # checks it.
        owner, ahead = self._place()
        if isinstance(owner, ShardingCodec):
            self._check_chunk(array_spec, ahead)
        else:
            _check_dtype(array_spec.dtype.to_native_dtype())
        return self

    def _place(self) -> tuple[object | None, tuple[Any, ...]]:
        """(what holds the codecs around this one, the codecs ahead of it).

        Zarr tells neither validate nor evolve_from_array_spec which codecs
        come first, though a TransposeCodec ahead turns the chunks this one
        gets: the caller holding this very instance among its ``codecs``
        (the array's metadata, a ShardingCodec) is asked. Not found (a call
        from elsewhere), nothing is taken to be ahead."""
        frame: FrameType | None = sys._getframe(2)
        for _ in range(_CALLERS_SEARCHED):
            if frame is None:
                break
            owner = frame.f_locals.get("self")
            codecs = getattr(owner, "codecs", None)
            if isinstance(codecs, tuple):
                for index, codec in enumerate(codecs):
                    if codec is self:
                        return owner, codecs[:index]
            frame = frame.f_back
        return None, ()

    def _check_chunk(self, spec: ArraySpec, ahead: tuple[Any, ...]) -> None:
        """Refuse chunks of `spec`, as the codecs `ahead` hand them on, that
        JPEG XL cannot hold.

        zarr 3.1 passes the chunk's shape as it was before the codecs ahead;
        later releases, inside a ShardingCodec, the shape they leave. A chunk that
        fits as given, or once through the codecs ahead, is accepted."""
        if ahead and _fits(tuple(spec.shape), self.channels_last):
            _check_dtype(spec.dtype.to_native_dtype())
            return
        for codec in ahead:
            spec = codec.resolve_metadata(spec)
        _check_dtype(spec.dtype.to_native_dtype())
        chunk_layout(tuple(spec.shape), self.channels_last)

    def _decode_sync(self, chunk_bytes: Buffer, chunk_spec: ArraySpec) -> NDBuffer:
        dtype = chunk_spec.dtype.to_native_dtype()
        out = np.empty(chunk_spec.shape, dtype=dtype)
        self._codec.decode(chunk_bytes.as_numpy_array(), out=out)
        return chunk_spec.prototype.nd_buffer.from_numpy_array(out)

    async def _decode_single(self, chunk_bytes: Buffer, chunk_spec: ArraySpec) -> NDBuffer:
        return await asyncio.to_thread(self._decode_sync, chunk_bytes, chunk_spec)

    def _encode_sync(self, chunk_array: NDBuffer, chunk_spec: ArraySpec) -> Buffer | None:
        stream = self._codec._encode(chunk_array.as_numpy_array(), record_shape=False)
        return chunk_spec.prototype.buffer.from_bytes(stream)

    async def _encode_single(self, chunk_array: NDBuffer,
                             chunk_spec: ArraySpec) -> Buffer | None:
        return await asyncio.to_thread(self._encode_sync, chunk_array, chunk_spec)

    def compute_encoded_size(self, input_byte_length: int, chunk_spec: ArraySpec) -> int:
        raise NotImplementedError

    def __repr__(self) -> str:
        args = ", ".join(f"{name}={getattr(self, name)!r}" for name in _FIELDS)
        return f"Jxl({args})"
