"""Lazy Dask arrays over JPEG XL files.

``imread`` reads only the files' headers (and, for animations, their frame
headers) when it builds the array; the pixels are decoded when a chunk is
computed, on whichever worker computes it, one chunk per file.
"""

from __future__ import annotations

import glob
import mmap
import os
from collections.abc import Iterable, Iterator
from contextlib import contextmanager
from typing import NamedTuple

import dask.array as da
import numpy as np
from dask.base import tokenize
from dask.delayed import delayed

from kestrelpix import jxl

__all__ = ["imread"]


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
