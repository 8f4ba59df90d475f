"""Synthetic test pictures and the JPEG XL streams made from them.

Every picture is deterministic: gradients, a sine pattern, hard edges (a
moving checkerboard and a disc) and Gaussian noise, generated in fixed bands
of rows so that a large picture can be written without holding it whole.
Streams are made once and cached by name: with the module's own encoder when
it has one, else with cjxl from a PNM (or, for an animation, an APNG) file.
"""

from __future__ import annotations

import math
import struct
import subprocess
import zlib
from collections.abc import Iterator
from dataclasses import dataclass
from pathlib import Path
from types import ModuleType

import numpy as np

BAND_ROWS = 256  # fixed, so that the noise does not depend on how a picture is read


@dataclass(frozen=True)
class Picture:
    """A synthetic RGB picture (or animation) of 8- or 16-bit samples."""

    name: str
    width: int
    height: int
    bits: int = 8
    seed: int = 0
    noise: float = 0.03  # standard deviation, as a fraction of full scale
    frames: int = 1

    @property
    def dtype(self) -> type[np.unsignedinteger]:
        return np.uint8 if self.bits == 8 else np.uint16

    @property
    def frame_bytes(self) -> int:
        return self.width * self.height * 3 * (self.bits // 8)

    def band(self, band: int, frame: int = 0) -> np.ndarray:
        """Rows [band * BAND_ROWS, ...) of one frame, shaped (rows, width, 3)."""
        y0 = band * BAND_ROWS
        y1 = min(self.height, y0 + BAND_ROWS)
        yi = np.arange(y0, y1, dtype=np.float32)[:, None]
        xi = np.arange(self.width, dtype=np.float32)[None, :] + 8 * frame
        y = yi / self.height
        x = xi / self.width
        smooth = np.stack(
            [0.6 * x + 0.4 * y + 0 * yi,
             0.5 + 0.5 * np.sin(2 * math.pi * (3 * x + 2 * y)),
             1.0 - x * y],
            axis=-1)
        checker = ((yi // 97 + xi // 97) % 2)[..., None] * np.float32(0.25)
        r = min(self.width, self.height) / 3
        disc = ((yi - self.height / 2) ** 2 + (xi - self.width / 2) ** 2 < r * r)[..., None]
        rng = np.random.default_rng((self.seed, frame, band))
        noise = rng.standard_normal(smooth.shape, dtype=np.float32) * np.float32(self.noise)
        img = 0.55 * smooth + checker * np.float32([1.0, 0.5, 0.2]) + \
            disc * np.float32([0.05, 0.3, 0.15]) + noise
        maxval = (1 << self.bits) - 1
        return np.rint(np.clip(img, 0, 1) * maxval).astype(self.dtype)

    def bands(self, frame: int = 0) -> Iterator[np.ndarray]:
        for band in range(math.ceil(self.height / BAND_ROWS)):
            yield self.band(band, frame)

    def frame(self, frame: int = 0) -> np.ndarray:
        return np.concatenate(list(self.bands(frame)), axis=0)

    def array(self) -> np.ndarray:
        """The still as (Y, X, 3), or the animation as (T, Y, X, 3)."""
        if self.frames == 1:
            return self.frame()
        return np.stack([self.frame(t) for t in range(self.frames)])


@dataclass(frozen=True)
class Recipe:
    """How a stream is encoded: lossless, or lossy at a distance; an effort."""

    lossless: bool = False
    distance: float = 1.0
    effort: int = 5

    @property
    def tag(self) -> str:
        return f"ll-e{self.effort}" if self.lossless else f"d{self.distance:g}-e{self.effort}"


# --- files the reference encoder reads -------------------------------------

def write_pnm(path: Path, picture: Picture, frame: int = 0) -> None:
    """A binary PPM (16-bit samples big-endian, as Netpbm wants), band by band."""
    wire = ">u2" if picture.bits == 16 else "u1"
    with open(path, "wb") as f:
        f.write(f"P6\n{picture.width} {picture.height}\n{(1 << picture.bits) - 1}\n".encode())
        for band in picture.bands(frame):
            f.write(band.astype(wire).tobytes())


def _png_chunk(kind: bytes, body: bytes) -> bytes:
    return struct.pack(">I", len(body)) + kind + body + \
        struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF)


def write_apng(path: Path, picture: Picture) -> None:
    """An APNG of every frame (unfiltered rows, fast deflate), for cjxl."""
    wire = ">u2" if picture.bits == 16 else "u1"
    w, h = picture.width, picture.height
    out = [b"\x89PNG\r\n\x1a\n",
           _png_chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, picture.bits, 2, 0, 0, 0)),
           _png_chunk(b"acTL", struct.pack(">II", picture.frames, 0))]
    seq = 0
    for t in range(picture.frames):
        # 1/10 s per frame, each frame replacing the previous one whole.
        out.append(_png_chunk(b"fcTL", struct.pack(">IIIIIHHBB", seq, w, h, 0, 0, 1, 10, 0, 0)))
        seq += 1
        rows = picture.frame(t).astype(wire).reshape(h, -1)
        raw = np.concatenate([np.zeros((h, 1), np.uint8), rows.view(np.uint8)], axis=1)
        data = zlib.compress(raw.tobytes(), 1)
        if t == 0:
            out.append(_png_chunk(b"IDAT", data))
        else:
            out.append(_png_chunk(b"fdAT", struct.pack(">I", seq) + data))
            seq += 1
    out.append(_png_chunk(b"IEND", b""))
    path.write_bytes(b"".join(out))


# --- the cache ---------------------------------------------------------------

class StreamCache:
    """Source files and streams under one directory, made on first use."""

    def __init__(self, root: Path, module: ModuleType) -> None:
        self.root = root
        self.module = module
        self.root.mkdir(parents=True, exist_ok=True)

    @property
    def producer(self) -> str:
        """Which encoder makes the streams: 'kestrelpix' or 'cjxl'."""
        return "kestrelpix" if hasattr(self.module, "encode") else "cjxl"

    def pnm(self, picture: Picture) -> Path:
        path = self.root / f"{picture.name}.ppm"
        if not path.exists():
            partial = path.with_suffix(".part")
            write_pnm(partial, picture)
            partial.rename(path)
        return path

    def stream(self, picture: Picture, recipe: Recipe, keep_source: bool = True) -> Path:
        """The stream of `picture` made by `recipe`; a big picture's PNM can
        be dropped once its stream exists (`keep_source=False`)."""
        path = self.root / f"{picture.name}.{recipe.tag}.{self.producer}.jxl"
        if not path.exists():
            partial = path.with_suffix(".part")
            if self.producer == "kestrelpix":
                partial.write_bytes(self._encode_with_module(picture, recipe))
            else:
                self._encode_with_cjxl(picture, recipe, partial)
                if not keep_source:
                    (self.root / f"{picture.name}.ppm").unlink(missing_ok=True)
            partial.rename(path)
        return path

    def _encode_with_module(self, picture: Picture, recipe: Recipe) -> bytes:
        options: dict[str, object] = {"effort": recipe.effort}
        if recipe.lossless:
            options["lossless"] = True
        else:
            options["distance"] = recipe.distance
        return self.module.encode(picture.array(), animation=picture.frames > 1, **options)

    def _encode_with_cjxl(self, picture: Picture, recipe: Recipe, out: Path) -> None:
        if picture.frames > 1:
            source = self.root / f"{picture.name}.apng"
            write_apng(source, picture)
        else:
            source = self.pnm(picture)
        distance = "0" if recipe.lossless else f"{recipe.distance:g}"
        try:
            subprocess.run(["cjxl", str(source), str(out), "-d", distance,
                            "-e", str(recipe.effort), "--quiet"], check=True)
        finally:
            if picture.frames > 1:
                source.unlink(missing_ok=True)
