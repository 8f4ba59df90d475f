"""Coverage-guided fuzzing of the JPEG XL codec with atheris.

Each input picks an entry point with its first byte and feeds the rest as a
stream (decoders) or as array shape, dtype, options and pixels (encoder).
Any Python exception is an acceptable answer; only a crash, a sanitizer
report or a hang is a finding."""

from __future__ import annotations

import io
import sys

import atheris
import numpy as np

with atheris.instrument_imports():
    import kestrelpix.core.io as kio
    import kestrelpix.codecs._jxl as jxl

_STREAMING_THRESHOLD = 4194304


class _TinyChunks:
    """Stands in for the background reader: serves the source in small chunks."""

    chunk = 7

    def __init__(self, src, chunk_size=0, prefetch=0):
        self._data = src.getvalue() if isinstance(src, io.BytesIO) else bytes(src.data)
        self._pos = 0

    def get(self):
        if self._pos >= len(self._data):
            return None
        piece = self._data[self._pos:self._pos + self.chunk]
        self._pos += self.chunk
        return piece

    def close(self):
        pass


class _LargeLooking(io.BytesIO):
    """A file object that measures larger than the streaming threshold."""

    def seek(self, pos, whence=0):
        if whence == 2:
            return super().seek(_STREAMING_THRESHOLD + 1)
        return super().seek(pos, whence)


kio.BackgroundChunkReader = _TinyChunks


# A few header bytes can declare a gigapixel image; allocating its frame is
# legitimate but not what fuzzing is for.
_MAX_FRAME_BYTES = 1 << 26


def _small(reader) -> bool:
    shape = reader.frame_shape or (0,)
    return int(np.prod(shape, dtype=np.uint64)) * 4 <= _MAX_FRAME_BYTES


def _drain(reader) -> None:
    with reader:
        if not _small(reader):
            return
        reader.basic_info, reader.color, reader.icc_profile
        for _ in range(2):
            try:
                for _ in reader:
                    pass
            except jxl.JxlError:
                pass


def _decode(fdp: atheris.FuzzedDataProvider, mode: int) -> None:
    flags = fdp.ConsumeIntInRange(0, 255)
    data = fdp.ConsumeBytes(fdp.remaining_bytes())
    if mode == 0:
        _drain(jxl.JxlReader(data, numthreads=1 + (flags & 1), coalesce=bool(flags & 2),
                             keep_orientation=bool(flags & 4), parse_color=bool(flags & 8),
                             skip_frames=flags >> 5))
    elif mode == 1:
        with jxl.JxlReader(data, numthreads=1, parse_color=False) as probe:
            small = _small(probe)
        if small:
            jxl.decode(data, index=flags >> 4, numthreads=1)
    elif mode == 2:
        jxl.frame_count(data)
    else:
        _TinyChunks.chunk = 1 + (flags % 64) * 61
        _drain(jxl.JxlReader(_LargeLooking(data), streaming=True, numthreads=1,
                             parse_color=bool(flags & 1)))


_DTYPES = [np.uint8, np.uint16, np.float16, np.float32, np.int16, np.float64, ">u2"]


def _encode(fdp: atheris.FuzzedDataProvider) -> None:
    ndim = fdp.ConsumeIntInRange(1, 4)
    shape = tuple(fdp.ConsumeIntInRange(0, 9) for _ in range(ndim))
    dtype = np.dtype(_DTYPES[fdp.ConsumeIntInRange(0, len(_DTYPES) - 1)])
    options = {
        "lossless": [None, True, False][fdp.ConsumeIntInRange(0, 2)],
        "effort": fdp.ConsumeIntInRange(-2, 12),
        "decoding_speed": fdp.ConsumeIntInRange(-1, 5),
        "numthreads": fdp.ConsumeIntInRange(0, 2),
        "container": fdp.ConsumeBool(),
        "animation": fdp.ConsumeBool(),
    }
    if fdp.ConsumeBool():
        options["distance"] = fdp.ConsumeFloatInRange(-1.0, 30.0)
    else:
        options["quality"] = fdp.ConsumeFloatInRange(-10.0, 110.0)
    count = int(np.prod(shape)) * dtype.itemsize
    raw = fdp.ConsumeBytes(count).ljust(count, b"\0")
    arr = np.frombuffer(raw, dtype=dtype).reshape(shape)
    stream = jxl.encode(arr, **options)
    if stream:
        jxl.decode(stream, numthreads=1)


def test_one_input(data: bytes) -> None:
    fdp = atheris.FuzzedDataProvider(data)
    mode = fdp.ConsumeIntInRange(0, 4)
    try:
        if mode == 4:
            if hasattr(jxl, "encode"):
                _encode(fdp)
        else:
            _decode(fdp, mode)
    except Exception:
        pass


def main() -> None:
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
