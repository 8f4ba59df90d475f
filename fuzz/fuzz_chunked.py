"""Fuzzes the streaming encode (encode(..., dest=..., streaming=True)) with
array-likes whose slicing misbehaves.

The first HEADER bytes choose the frame (size, channels, dtype), the
options (lossless or a distance, effort, threads), the destination (a
BytesIO or a path) and, for each slice libjxl asks for, what the source
hands back: the slice, or one with the wrong shape or dtype, a strided or
Fortran-ordered view, a flipped one, None, a list, a 0-d array, an object
whose __array__ lies about its shape, or its own exception. The rest fills
the pixels.

A clear refusal is an acceptable answer: TypeError, ValueError, JxlError,
or the source's own exception. Beyond crashes, sanitizer reports and hangs,
these are findings: any other exception; a path left behind (or a temporary
file beside it) after a failure; a lossless encode whose slices were all
good (the same values, however laid out) that does not decode to the frame.
"""

from __future__ import annotations

import io
import os
import tempfile
from pathlib import Path

import atheris
import numpy as np

with atheris.instrument_imports():
    import kestrelpix.codecs._jxl as jxl

import _support as sup

HEADER = 24
_DTYPES = (np.uint8, np.uint16, np.float32, np.float16)
_CHANNELS = (None, 1, 2, 3, 4)
_THREADS = (1, 1, 2, None)


class OwnError(Exception):
    """What the source itself raises."""


class Liar:
    """Says it is an array of the slice's shape; __array__ gives another."""

    def __init__(self, part):
        self.shape, self.dtype, self._part = part.shape, part.dtype, part

    def __array__(self, dtype=None, copy=None):
        return self._part[:-1] if len(self._part) > 1 else self._part.reshape(-1)


# What a slice may turn into; the first few keep the values where they are.
_SAME = (
    lambda p: p,
    np.asfortranarray,
    lambda p: np.lib.stride_tricks.as_strided(p, p.shape, p.strides),  # a view, not the base
)
_SPOILED = (
    lambda p: p[:, :-1],
    lambda p: p[:-1],
    lambda p: p.astype(np.float64),
    lambda p: p.astype(np.int32),
    lambda p: p[::-1],
    lambda p: None,
    lambda p: p.tolist(),
    lambda p: np.asarray(p.flat[0]) if p.size else p,
    Liar,
    lambda p: p.reshape(-1),
    lambda p: (_ for _ in ()).throw(OwnError("slice lost")),
    lambda p: p[..., None],
)


class Source:
    """shape, dtype and 2-D slicing; the n-th slice goes through plan[n]."""

    def __init__(self, frame, plan):
        self.shape, self.dtype, self._frame, self._plan = frame.shape, frame.dtype, frame, plan
        self.spoiled = False
        self.calls = 0

    @atheris.instrument_func
    def __getitem__(self, key):
        op = self._plan[self.calls % len(self._plan)]
        self.calls += 1
        if op >= len(_SAME):
            self.spoiled = True
            return _SPOILED[(op - len(_SAME)) % len(_SPOILED)](self._frame[key])
        return _SAME[op](self._frame[key])


def _frame(fdp: atheris.FuzzedDataProvider, pixels: bytes) -> np.ndarray:
    ysize, xsize = fdp.ConsumeIntInRange(1, 600), fdp.ConsumeIntInRange(1, 600)
    channels = fdp.PickValueInList(list(_CHANNELS))
    dtype = np.dtype(fdp.PickValueInList(list(_DTYPES)))
    shape = (ysize, xsize) if channels is None else (ysize, xsize, channels)
    count = int(np.prod(shape))
    raw = np.frombuffer((pixels or b"\x80") * (count * dtype.itemsize // max(len(pixels), 1) + 1),
                        np.uint8)[:count * dtype.itemsize]
    if dtype.kind == "f":  # finite samples in 0..1: the encoder refuses others by design
        return (raw.reshape(shape + (dtype.itemsize,))[..., 0] / 255).astype(dtype)
    return raw.view(dtype).reshape(shape).copy()


@atheris.instrument_func  # the harness's own branches guide it too
def test_one_input(data: bytes) -> None:
    if len(data) < HEADER:
        return
    fdp = atheris.FuzzedDataProvider(data[:HEADER])
    frame = _frame(fdp, data[HEADER:])
    lossless = fdp.ConsumeBool()
    options = {"effort": fdp.ConsumeIntInRange(1, 3), "numthreads": fdp.PickValueInList(
        list(_THREADS))}
    options.update({"lossless": True} if lossless else {"distance": 1.0 + fdp.ConsumeIntInRange(0, 3)})
    to_path = fdp.ConsumeBool()
    # Mostly good slices: a byte from 200 on spoils its slice.
    plan = [b % len(_SAME) if b < 200 else len(_SAME) + b - 200
            for b in fdp.ConsumeBytes(8) or b"\x00"]
    source = Source(frame, plan)
    with tempfile.TemporaryDirectory() as tmp:
        target = Path(tmp) / "out.jxl"
        dest = target if to_path else io.BytesIO()
        try:
            jxl.encode(source, dest=dest, streaming=True, **options)
        except (TypeError, ValueError, jxl.JxlError, OwnError):
            if to_path:
                assert os.listdir(tmp) == [], os.listdir(tmp)
            return
        stream = target.read_bytes() if to_path else dest.getvalue()
    if lossless and not source.spoiled:
        # (Y, X, 1) decodes as (Y, X), as grey always does.
        np.testing.assert_array_equal(jxl.decode(stream), frame.reshape(frame.shape[:2])
                                      if frame.shape[2:] == (1,) else frame)


def main() -> None:
    sup.seed_and_fuzz(test_one_input, lambda corpus: None)


if __name__ == "__main__":
    main()
