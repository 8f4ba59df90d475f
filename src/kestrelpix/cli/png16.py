"""16-bit PNG and APNG, written here because Pillow keeps colour in 8 bits:
how ``kestrelpix convert`` takes images deeper than 8 bits to .png."""

from __future__ import annotations

import zlib
from collections.abc import Mapping, Sequence
from pathlib import Path
from typing import IO, Any

import numpy as np
from numpy.typing import NDArray

from kestrelpix import jxl


def _png_filtered(rows: NDArray[np.uint8], bpp: int) -> bytes:
    """PNG scanlines, each with the filter that makes its bytes smallest.

    Every filter reads the unfiltered neighbours, so rows filter many at a
    time (in strips, to bound the memory); the choice per row is the usual
    minimum sum of absolute values.
    """
    out: list[bytes] = []
    previous = np.zeros((1, rows.shape[1]), np.int16)
    for start in range(0, len(rows), 64):
        x = rows[start:start + 64].astype(np.int16)
        up = np.concatenate([previous, x[:-1]])
        left = np.zeros_like(x)
        left[:, bpp:] = x[:, :-bpp]
        up_left = np.zeros_like(x)
        up_left[:, bpp:] = up[:, :-bpp]
        p = left + up - up_left
        pa, pb, pc = np.abs(p - left), np.abs(p - up), np.abs(p - up_left)
        paeth = np.where((pa <= pb) & (pa <= pc), left, np.where(pb <= pc, up, up_left))
        candidates = np.stack([x, x - left, x - up, x - (left + up) // 2, x - paeth]) & 0xFF
        cost = np.where(candidates > 127, 256 - candidates, candidates).sum(axis=2)
        best = cost.argmin(axis=0)
        chosen = candidates[best, np.arange(len(x))].astype(np.uint8)
        out.append(np.concatenate([best.astype(np.uint8)[:, None], chosen], axis=1).tobytes())
        previous = x[-1:]
    return b"".join(out)


def _png_chunk(kind: bytes, body: bytes) -> bytes:
    return (len(body).to_bytes(4, "big") + kind + body
            + zlib.crc32(kind + body).to_bytes(4, "big"))


def _png_delay(ms: float) -> bytes:
    """A frame duration as APNG's 16-bit fraction of a second."""
    numerator, denominator = round(ms), 1000
    while numerator > 0xFFFF:
        numerator, denominator = round(numerator / 10), denominator // 10 or 1
    return min(numerator, 0xFFFF).to_bytes(2, "big") + denominator.to_bytes(2, "big")


def _write_png16(fh: IO[bytes], frames: NDArray[np.uint16], durations: Sequence[float],
                 loops: int, icc: bytes | None, exif: bytes | None) -> None:
    """Write 16-bit frames (T, Y, X, C) as a PNG, or an APNG when T > 1.

    Pillow keeps colour in 8 bits, so deep JPEG XL images take this way to PNG.
    """
    count, ysize, xsize, channels = frames.shape
    out = [b"\x89PNG\r\n\x1a\n",
           _png_chunk(b"IHDR", xsize.to_bytes(4, "big") + ysize.to_bytes(4, "big")
                      + bytes([16, {1: 0, 2: 4, 3: 2, 4: 6}[channels], 0, 0, 0]))]
    if icc:
        out.append(_png_chunk(b"iCCP", b"ICC profile\x00\x00" + zlib.compress(icc)))
    if exif:
        out.append(_png_chunk(b"eXIf", exif))
    if count > 1:
        out.append(_png_chunk(b"acTL", count.to_bytes(4, "big") + loops.to_bytes(4, "big")))
    sequence = 0
    for index, frame in enumerate(frames):
        if count > 1:
            out.append(_png_chunk(b"fcTL", sequence.to_bytes(4, "big")
                                  + xsize.to_bytes(4, "big") + ysize.to_bytes(4, "big")
                                  + bytes(8) + _png_delay(durations[index]) + bytes(2)))
            sequence += 1
        rows = frame.astype(">u2").view(np.uint8).reshape(ysize, xsize * channels * 2)
        data = zlib.compress(_png_filtered(rows, channels * 2), 6)
        if index == 0:
            out.append(_png_chunk(b"IDAT", data))
        else:
            out.append(_png_chunk(b"fdAT", sequence.to_bytes(4, "big") + data))
            sequence += 1
    out.append(_png_chunk(b"IEND", b""))
    for part in out:
        fh.write(part)


def deep_to_png(src: Path, info: Mapping[str, Any], fh: IO[bytes]) -> None:
    from kestrelpix.pillow import _plain_srgb, _upright_exif

    with jxl.JxlReader(src) as reader:
        icc, color = reader.icc_profile, reader.color
        pixels = reader.read()
    if info["animation"] is None:
        pixels = pixels[None]
    if pixels.ndim == 3:
        pixels = pixels[..., None]
    if pixels.dtype.kind == "f":
        samples = np.rint(np.clip(pixels.astype(np.float32), 0.0, 1.0) * 65535.0)
    else:
        bits = info["basic_info"]["bits_per_sample"]
        wide = pixels.astype(np.uint32)
        samples = (wide * 65535 + ((1 << bits) - 1) // 2) // ((1 << bits) - 1)
    durations = [frame["duration_ms"] for frame in info["frames"]]
    loops = info["animation"]["num_loops"] if info["animation"] else 0
    exif = _upright_exif(info["exif"]) if info["exif"] else None
    _write_png16(fh, samples.astype(np.uint16), durations, loops,
                 None if _plain_srgb(color) else icc, exif)
