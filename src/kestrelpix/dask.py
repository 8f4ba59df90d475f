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

import dask.array as da
import numpy as np
from dask.base import tokenize
from dask.delayed import delayed

from kestrelpix import jxl

__all__ = ["imread"]


def _paths(paths_or_glob: str | os.PathLike[str] | Iterable[str | os.PathLike[str]]) -> list[str]:
    if isinstance(paths_or_glob, (str, os.PathLike)):
        pattern = os.fspath(paths_or_glob)
        paths = sorted(glob.glob(pattern))
        if not paths:
            raise FileNotFoundError(f"imread: no file matches {pattern!r}")
        return paths
    paths = [os.fspath(p) for p in paths_or_glob]
    if not paths:
        raise ValueError("imread: the list of files is empty")
    return paths


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


def _header(path: str, index: int | None) -> tuple[tuple[int, ...], np.dtype, bool, object]:
    """(chunk shape without the file axis, dtype, is an animation, what
    names this version of the file) of a file, from its headers only."""
    try:
        with _opened(path) as (data, status):
            with jxl.JxlReader(data, parse_color=False) as reader:
                frame, dtype = tuple(reader.frame_shape), np.dtype(reader.dtype)
                animation = reader.is_animation
            count = jxl.frame_count(data) if animation else 1
    except ValueError as exc:
        raise ValueError(f"imread: {path}: {exc}") from exc
    stamp = (os.path.abspath(path), status.st_mtime_ns, status.st_size)
    if index is None:
        return ((count, *frame) if animation else frame), dtype, animation, stamp
    if not -count <= index < count:
        raise IndexError(f"imread: {path} has {count} frame{'s' * (count > 1)}, "
                         f"no frame {index}")
    return frame, dtype, animation, stamp


def _read(files: tuple[str, ...], index: int | None, shape: tuple[int, ...],
          block_id: tuple[int, ...]) -> np.ndarray:
    """The chunk of one file: block `block_id` of the array."""
    path = files[block_id[0]]
    arr = jxl.decode(path) if index is None else jxl.decode(path, index=index)
    # A one-frame animation decodes as a bare frame; the chunk keeps its axes.
    return arr.reshape(shape)


def imread(paths_or_glob: str | os.PathLike[str] | Iterable[str | os.PathLike[str]], *,
           index: int | None = None) -> da.Array:
    """A lazy ``dask.array.Array`` stacking JPEG XL files, one chunk per file.

    Parameters
    ----------
    paths_or_glob
        A glob pattern (``"frames/*.jxl"``, files in sorted order) or a list
        of paths (in the order given).
    index
        Take frame `index` of each animation (negative counts from the end);
        by default an animation is a chunk of all its frames.

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
    """
    paths = _paths(paths_or_glob)
    if index is not None and (isinstance(index, bool) or not isinstance(index, int)):
        raise TypeError(f"imread: index must be an int or None, got {index!r}")
    headers = [_header(path, index) for path in paths]
    shape, dtype, animation, _ = headers[0]

    def kind(animation: bool) -> str:
        # With `index` a still and an animation give frames alike.
        return "" if index is not None else " animation" if animation else " still"

    for path, (other_shape, other_dtype, other_animation, _) in zip(paths, headers):
        if (other_shape, other_dtype, kind(other_animation)) != (shape, dtype, kind(animation)):
            raise ValueError(f"imread: {path} is a {other_dtype} {other_shape}"
                             f"{kind(other_animation)}, unlike {paths[0]}, a {dtype} {shape}"
                             f"{kind(animation)}; every file must match the first")
    # Named by the files' paths, times and sizes: the same files give the
    # same array, a file rewritten since another.
    token = str(tokenize([stamp for *_, stamp in headers], index))
    # The list of files is one piece of data every task depends on (sent once
    # to each worker); a task per file decodes it.
    files = delayed(tuple(paths), name="kestrelpix-imread-files-" + token, traverse=False)
    chunks = ((1,) * len(paths), *((n,) for n in shape))
    arr: da.Array = da.map_blocks(  # type: ignore[no-untyped-call]
        _read, files=files, index=index, shape=(1, *shape), name="kestrelpix-imread-" + token,
        chunks=chunks, dtype=dtype, meta=np.empty((0,) * (len(shape) + 1), dtype))
    return arr
