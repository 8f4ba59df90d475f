"""Lazy Dask arrays over JPEG XL files, and Dask arrays into one.

``imread`` reads only the files' headers (and, for animations, their frame
headers) when it builds the array; the pixels are decoded when a chunk is
computed, on whichever worker computes it, one chunk per file. ``to_jxl``
writes one array, larger than memory if need be, as one file through the
streaming writer, computing its blocks as the encoder asks for them.
"""

from __future__ import annotations

import glob
import mmap
import os
import threading
from collections.abc import Iterable, Iterator
from contextlib import contextmanager
from typing import Any, NamedTuple

import dask.array as da
import numpy as np
from dask.base import tokenize
from dask.delayed import delayed

from kestrelpix import jxl

__all__ = ["imread", "to_jxl"]


Paths = str | bytes | os.PathLike[str] | os.PathLike[bytes]


def _paths(paths_or_glob: Paths | Iterable[Paths]) -> list[str]:
    # File names, so bytes are a name in the file system's encoding (as
    # os.fsdecode reads them), never stream data as for jxl.decode.
    if isinstance(paths_or_glob, (str, bytes, os.PathLike)):
        pattern = os.fsdecode(paths_or_glob)
        paths = sorted(glob.glob(pattern))
        if not paths:
            raise FileNotFoundError(f"imread: no file matches {pattern!r}")
        return paths
    paths = [os.fsdecode(p) for p in paths_or_glob]
    if not paths:
        raise ValueError("imread: the list of files is empty")
    return paths


class _Header(NamedTuple):
    """What a file's headers say, and so what its chunk must be."""

    shape: tuple[int, ...]  # the chunk's, without the file axis
    dtype: str  # as np.dtype.str: short in the graph, one per file
    animation: bool
    frames: int

    def describe(self, index: int | None) -> str:
        kind = ("" if index is not None else " animation" if self.animation else " still")
        return f"a {np.dtype(self.dtype)} {self.shape}{kind}"


def _header(path: str, data: bytes | mmap.mmap, index: int | None) -> _Header:
    """The header of `path`, whose bytes are `data`, with frame `index`
    taken (IndexError if it has no such frame)."""
    try:
        with jxl.JxlReader(data, parse_color=False) as reader:
            frame, dtype = tuple(reader.frame_shape), np.dtype(reader.dtype).str
            animation = reader.is_animation
        count = jxl.frame_count(data) if animation else 1
    except ValueError as exc:
        raise ValueError(f"imread: {path}: {exc}") from exc
    if index is not None and not -count <= index < count:
        raise IndexError(f"imread: {path} has {count} frame{'s' * (count > 1)}, "
                         f"no frame {index}")
    shape = (count, *frame) if animation and index is None else frame
    return _Header(shape, dtype, animation, count)


@contextmanager
def _opened(path: str) -> Iterator[tuple[bytes | mmap.mmap, os.stat_result]]:
    """The file's bytes, mapped (the codec reads in place, so only the pages
    holding the headers it parses are read from disk), and its status."""
    with open(path, "rb") as file:
        status = os.fstat(file.fileno())
        if status.st_size == 0:
            yield b"", status  # nothing to map; the codec names empty input itself
            return
        with mmap.mmap(file.fileno(), 0, access=mmap.ACCESS_READ) as data:
            yield data, status


_Plan = tuple[tuple[int, ...], str, tuple[tuple[str, int | None, bool, int], ...]]


def _read(plan: _Plan, block_id: tuple[int, ...]) -> np.ndarray:
    """The chunk of one file: block `block_id` of the array."""
    shape, dtype, files = plan
    path, index, animation, frames = files[block_id[0]]
    planned = _Header(shape, dtype, animation, frames)
    # Read once, so that the header checked is the one of the pixels decoded.
    with open(path, "rb") as file:
        data = file.read()
    found = _header(path, data, index)
    if found != planned:
        raise ValueError(f"imread: {path} changed since the array was made: it is now "
                         f"{found.describe(index)} of {found.frames} frame(s), not "
                         f"{planned.describe(index)} of {planned.frames}")
    arr = jxl.decode(data) if index is None else jxl.decode(data, index=index)
    # A one-frame animation decodes as a bare frame; the chunk keeps its axes.
    return arr.reshape((1, *planned.shape))


def imread(paths_or_glob: Paths | Iterable[Paths], *, index: int | None = None) -> da.Array:
    """A lazy ``dask.array.Array`` stacking JPEG XL files, one chunk per file.

    Parameters
    ----------
    paths_or_glob
        A glob pattern (``"frames/*.jxl"``, files in sorted order) or a list
        of paths (in the order given). Paths may be str, bytes (a file name
        in the file system's encoding, as ``os.fsdecode`` reads it) or path
        objects.
    index
        Take frame `index` of each animation (negative counts from the end of
        the animation as it is when the array is made); by default an
        animation is a chunk of all its frames.

    Returns
    -------
    An array shaped ``(N, Y, X[, C])`` for N still images (or with `index`),
    ``(N, T, Y, X[, C])`` for N animations of T frames. Shape and dtype come
    from the headers; no pixel is decoded until the array is computed.

    Raises
    ------
    FileNotFoundError
        the glob matches nothing (or a listed file does not exist).
    ValueError
        a file whose shape or dtype differs from the first file's (the
        message names the first such file), or a file that is not JPEG XL.
    IndexError
        an animation without frame `index`.

    Computing a chunk reads its file again and checks it against the
    headers the array was made from: a file since rewritten with another
    shape, dtype or number of frames raises ValueError naming it (a file
    since deleted FileNotFoundError), never pixels of another layout or
    frame.
    """
    paths = _paths(paths_or_glob)
    if index is not None and (isinstance(index, bool) or not isinstance(index, int)):
        raise TypeError(f"imread: index must be an int or None, got {index!r}")
    headers, stamps = [], []
    for path in paths:
        with _opened(path) as (data, status):
            headers.append(_header(path, data, index))
        stamps.append((os.path.abspath(path), status.st_mtime_ns, status.st_size))
    first = headers[0]
    for path, header in zip(paths, headers):
        # With `index` a still and an animation give frames alike.
        if header.describe(index) != first.describe(index):
            raise ValueError(f"imread: {path} is {header.describe(index)}, unlike "
                             f"{paths[0]}, {first.describe(index)}; every file must "
                             "match the first")
    # Named by the files' paths, times and sizes: the same files give the
    # same array, a file rewritten since another.
    token = str(tokenize(stamps, index))
    # What every chunk must be, and each file's frame count and index (a
    # negative one resolved now, so that a file given frames later cannot
    # silently yield another frame): one piece of data every task depends
    # on, sent once to each worker. A task per file decodes it, checking
    # that the file is still what its headers said when the array was made.
    plan: _Plan = (first.shape, first.dtype, tuple(
        (path, None if index is None else index % header.frames, header.animation,
         header.frames) for path, header in zip(paths, headers)))
    data = delayed(plan, name="kestrelpix-imread-files-" + token, traverse=False)
    chunks = ((1,) * len(paths), *((n,) for n in first.shape))
    arr: da.Array = da.map_blocks(  # type: ignore[no-untyped-call]
        _read, plan=data, name="kestrelpix-imread-" + token, chunks=chunks,
        dtype=np.dtype(first.dtype),
        meta=np.empty((0,) * (len(first.shape) + 1), np.dtype(first.dtype)))
    return arr


class _Blocks:
    """A Dask array seen as the streaming writer sees a source (shape, dtype,
    2-D slicing): each slice is cut from the blocks under it, computed when
    first asked for and kept only as far as later rectangles may need them. libjxl asks for rectangles in
    rows going down the image, left to right, each overlapping its
    neighbours by a few pixels (the overlap seen between two rectangles side
    by side): once the rectangles of a row have gone past a block, it is cut
    to the rows the next row of rectangles starts at, and a block wholly
    above a rectangle is dropped. So about one row of blocks is alive, not
    two. The writer may ask from several threads; one computes at a time,
    and a part asked for again after it was dropped is computed again."""

    def __init__(self, array: da.Array) -> None:
        self.shape, self.dtype = array.shape, array.dtype
        self._array = array
        self._ys = np.cumsum((0, *array.chunks[0]))
        self._xs = np.cumsum((0, *array.chunks[1]))
        # Block (i, j): (the first image row it still holds, its pixels).
        self._blocks: dict[tuple[int, int], tuple[int, np.ndarray]] = {}
        self._last: tuple[int, int, int] | None = None  # the last rectangle's y0, x0, x1
        self._overlap: int | None = None
        self._lock = threading.Lock()

    def _forget(self, y0: int, y1: int, x_done: int) -> None:
        """Drops the rows above the row of rectangles before (y0:y1) (the
        encoder's threads may be a rectangle apart), and left of `x_done`
        (where this row of rectangles has gone past) those above the next."""
        above = max(0, 2 * y0 - y1)
        left = above if self._overlap is None else max(above, y1 - self._overlap)
        for (i, j), (start, pixels) in list(self._blocks.items()):
            keep = left if self._xs[j + 1] <= x_done else above
            if self._ys[i + 1] <= keep:
                del self._blocks[i, j]
            elif start < keep:  # a copy, so that the rows above are freed
                self._blocks[i, j] = (keep, pixels[keep - start:].copy())

    def _compute(self, wanted: list[tuple[int, int, int]]) -> None:
        """Blocks (i, j) holding image row y on, for each (i, j, y) wanted,
        one at a time: a block's temporaries can be many times its size."""
        missing = [(i, j) for i, j, y in wanted
                   if (i, j) not in self._blocks or self._blocks[i, j][0] > y]
        for i, j in missing:
            block = np.asarray(self._array.blocks[i, j].compute())
            self._blocks[i, j] = (int(self._ys[i]), block)

    def __getitem__(self, key: tuple[slice, slice]) -> np.ndarray:
        rows, cols = key
        y0, y1, x0, x1 = rows.start, rows.stop, cols.start, cols.stop
        out = np.empty((y1 - y0, x1 - x0, *self.shape[2:]), self.dtype)
        span_i = range(int(np.searchsorted(self._ys, y0, "right")) - 1,
                       int(np.searchsorted(self._ys, y1 - 1, "right")))
        span_j = range(int(np.searchsorted(self._xs, x0, "right")) - 1,
                       int(np.searchsorted(self._xs, x1 - 1, "right")))
        with self._lock:
            last, self._last = self._last, (y0, x0, x1)
            if last is not None and last[0] == y0 and last[1] < x0 < last[2]:
                self._overlap = last[2] - x0
            self._forget(y0, y1, x0)
            self._compute([(i, j, max(y0, self._ys[i])) for i in span_i for j in span_j])
            for i in span_i:
                top, bottom = max(y0, self._ys[i]), min(y1, self._ys[i + 1])
                for j in span_j:
                    left, right = max(x0, self._xs[j]), min(x1, self._xs[j + 1])
                    start, pixels = self._blocks[i, j]
                    out[top - y0:bottom - y0, left - x0:right - x0] = pixels[
                        top - start:bottom - start, left - self._xs[j]:right - self._xs[j]]
            # The next rectangle of this row starts an overlap before x1.
            if x1 == self.shape[1] or self._overlap is not None:
                self._forget(y0, y1, x1 if x1 == self.shape[1] else x1 - self._overlap)
        return out


def to_jxl(array: da.Array, dest: str | os.PathLike[str], **options: Any) -> str:
    """Write a 2-D ``(Y, X)`` or 3-D ``(Y, X, C)`` Dask array as one JPEG XL
    file, through the streaming writer (``streaming=True``).

    The array may be larger than memory: libjxl asks for the image in
    rectangles, going down the image, and the blocks under them are computed
    when first asked for, each kept only as far as the encoder may still
    need it (about one row of blocks at a time), never the whole array.
    Each block is computed once as long as libjxl asks in its usual order.
    `options` are
    ``jxl.encode``'s (``lossless``, ``distance``, ``effort``, ``progress``,
    ``extra_channels`` ...); the file is written to a temporary file beside
    `dest` and renamed into place, so a failure leaves nothing behind.

    Returns `dest` as a str path.
    """
    if not isinstance(array, da.Array):
        raise TypeError(f"to_jxl: array must be a dask.array.Array, not {type(array).__name__}")
    if array.ndim not in (2, 3):
        raise ValueError(f"to_jxl: array must be (Y, X) or (Y, X, C), not {array.ndim}-D")
    if "streaming" in options or "dest" in options:
        raise TypeError("to_jxl: streaming and dest are to_jxl's own")
    if any(np.isnan(n) for n in array.shape):
        raise ValueError("to_jxl: the array's shape must be known (compute_chunk_sizes())")
    path = os.fspath(dest)
    if array.ndim == 3 and len(array.chunks[2]) > 1:
        # A block row is computed whole anyway: one chunk across channels.
        array = array.rechunk({2: -1})  # type: ignore[no-untyped-call]
    jxl.encode(_Blocks(array), dest=path, streaming=True, **options)
    return path
