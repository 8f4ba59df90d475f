"""Lazy Dask arrays over JPEG XL files.

``imread`` reads only the files' headers (and, for animations, their frame
headers) when it builds the array; the pixels are decoded when a chunk is
computed, on whichever worker computes it, one chunk per file.
"""

from __future__ import annotations

import glob
import os
from collections.abc import Iterable
from pathlib import Path

import dask.array as da
import numpy as np

import kestrelpix.codecs._jxl as _jxl

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


def _header(path: str, index: int | None) -> tuple[tuple[int, ...], np.dtype, bool, int]:
    """(chunk shape without the file axis, dtype, is an animation, frame
    count) of a file, from its headers only."""
    try:
        with _jxl.JxlReader(path, parse_color=False) as reader:
            frame, dtype = tuple(reader.frame_shape), np.dtype(reader.dtype)
            animation = reader.is_animation
        count = _jxl.frame_count(path) if animation else 1
    except ValueError as exc:
        raise ValueError(f"imread: {path}: {exc}") from exc
    if index is None:
        return ((count, *frame) if animation else frame), dtype, animation, count
    if not -count <= index < count:
        raise IndexError(f"imread: {path} has {count} frame{'s' * (count > 1)}, "
                         f"no frame {index}")
    return frame, dtype, animation, count


def _read(path: str, index: int | None, count: int, shape: tuple[int, ...]) -> np.ndarray:
    if index is None or count == 1:
        arr = _jxl.decode(path)
    else:
        arr = _jxl.decode(path, index=index % count)
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
    name = "kestrelpix-imread-" + _token(paths, index)
    graph = {(name, i, *([0] * len(shape))): (_read, path, index, count, (1, *shape))
             for i, (path, (_, _, _, count)) in enumerate(zip(paths, headers))}
    chunks = ((1,) * len(paths), *((n,) for n in shape))
    return da.Array(graph, name, chunks, dtype=dtype)  # type: ignore[no-untyped-call]


def _token(paths: list[str], index: int | None) -> str:
    from dask.base import tokenize
    stats = []
    for path in paths:
        st = Path(path).stat()
        stats.append((os.path.abspath(path), st.st_mtime_ns, st.st_size))
    return tokenize(stats, index)
