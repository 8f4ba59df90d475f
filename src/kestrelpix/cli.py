"""The ``kestrelpix`` command: JPEG XL files from the shell.

::

    kestrelpix info FILE...          what a JPEG XL file holds, without decoding it
    kestrelpix convert IN OUT        any image Pillow reads to JPEG XL, and back
    kestrelpix recompress PATH...    JPEG files to JPEG XL, losslessly, on every core
    kestrelpix demo [DIR]            the demo's table and pictures

``kestrelpix COMMAND --help`` tells the details; ``python -m kestrelpix`` is
the same command. ``info`` and ``recompress`` need nothing beyond kestrelpix;
``convert`` needs Pillow, ``demo`` Pillow and matplotlib, and ``recompress``
shows a progress bar when tqdm is installed: ``pip install "kestrelpix[cli]"``
brings all three.

Exit status: 0 when everything worked, 1 when a file failed, 2 for a usage
error or a missing optional dependency, 130 when interrupted (Ctrl-C).

:func:`main` runs the command in-process: ``main(["info", "a.jxl"])`` returns
the exit status rather than leaving the interpreter.
"""

from __future__ import annotations

import argparse
import base64
import contextlib
import importlib
import importlib.util
import json
import os
import sys
import tempfile
import threading
import warnings
import zlib
from collections import Counter
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from concurrent.futures import Future, ThreadPoolExecutor, as_completed
from dataclasses import dataclass
from pathlib import Path
from types import ModuleType
from typing import IO, TYPE_CHECKING, Any, Literal

import numpy as np
from numpy.typing import NDArray

from kestrelpix import __version__, jxl
from kestrelpix.core.color import (
    COLOR_NAMES,
    ColorSpace,
    Primaries,
    RenderingIntent,
    TransferFunction,
    WhitePoint,
    parse_color,
)
from kestrelpix.core.errors import JxlError

if TYPE_CHECKING:
    from PIL import Image as PILImage

__all__ = ["main"]

PROG = "kestrelpix"
#: What to install for the optional dependencies of the command line.
CLI_EXTRA = 'pip install "kestrelpix[cli]"'
JPEG_SIGNATURE = b"\xff\xd8\xff"
JPEG_SUFFIXES = frozenset({".jpg", ".jpeg", ".jpe", ".jfif"})
EXIT_OK, EXIT_FAILED, EXIT_USAGE, EXIT_INTERRUPTED = 0, 1, 2, 130


class _Failure(Exception):
    """An expected failure: reported as one line on stderr, no traceback."""

    def __init__(self, message: str, status: int = EXIT_FAILED) -> None:
        super().__init__(message)
        self.status = status


def _missing(purpose: str, module: str) -> _Failure:
    return _Failure(f"{purpose} needs {module}, which is not installed: {CLI_EXTRA}",
                    EXIT_USAGE)


def _error(message: str) -> None:
    print(f"{PROG} {message}", file=sys.stderr)


def _reason(exc: BaseException) -> str:
    """An exception as a short phrase for one line of output."""
    if isinstance(exc, OSError) and exc.strerror:
        text = exc.strerror
    else:
        text = str(exc) or type(exc).__name__
    text = text.removeprefix("jxl: ")
    return " ".join(text.split())  # one line, whatever the message held


def _count(n: int, word: str) -> str:
    return f"{n:,} {word}" + ("" if n == 1 else "s")


def _size(n: float) -> str:
    """Bytes as a short human figure (decimal units)."""
    for unit in ("B", "kB", "MB", "GB"):
        if abs(n) < 1000 or unit == "GB":
            return f"{n:,.0f} {unit}" if unit == "B" else f"{n:,.1f} {unit}"
        n /= 1000
    raise AssertionError("unreachable")


def _umask() -> int:
    # The process's umask can only be read by setting it; done on the main
    # thread before any worker starts.
    mask = os.umask(0o022)
    os.umask(mask)
    return mask


# --- writing files whole or not at all ---------------------------------------

def _publish(tmp: str, dest: Path, overwrite: bool) -> None:
    """Give the finished temporary file `tmp` the name `dest`.

    Without `overwrite`, an existing `dest` raises FileExistsError, checked
    atomically with a hard link where the file system has them.
    """
    if overwrite:
        os.replace(tmp, dest)
        return
    try:
        os.link(tmp, dest)
    except FileExistsError:
        raise
    except OSError:  # no hard links here: check, then rename
        if os.path.lexists(dest):
            raise FileExistsError(17, "File exists", str(dest)) from None
        os.replace(tmp, dest)
    else:
        os.unlink(tmp)


def _write_atomically(dest: Path, write: Callable[[IO[bytes]], object], *, overwrite: bool,
                      mode: int) -> None:
    """Write `dest` through a temporary file beside it, renamed when complete.

    A failure or an interrupt (KeyboardInterrupt) at any point removes the
    temporary file and leaves `dest` as it was. The file gets `mode` (the
    permissions a plain open would give) and is flushed to disk first.
    """
    fd, tmp = tempfile.mkstemp(prefix=f".{dest.name}.", suffix=".tmp",
                               dir=dest.parent or Path("."))
    try:
        with os.fdopen(fd, "wb") as fh:
            write(fh)
            fh.flush()
            os.fsync(fh.fileno())
        os.chmod(tmp, mode)
        _publish(tmp, dest, overwrite)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(tmp)
        raise


def _fsync_dir(path: Path) -> None:
    with contextlib.suppress(OSError):
        fd = os.open(path, os.O_RDONLY | os.O_DIRECTORY)
        try:
            os.fsync(fd)
        finally:
            os.close(fd)


# --- info ---------------------------------------------------------------------

_ORIENTATIONS = {
    1: "as stored",
    2: "shown flipped left to right",
    3: "shown turned 180 degrees",
    4: "shown flipped top to bottom",
    5: "shown transposed (flipped over the main diagonal)",
    6: "shown turned 90 degrees clockwise",
    7: "shown transversed (flipped over the other diagonal)",
    8: "shown turned 90 degrees anticlockwise",
}


def _dtype_of(basic: Mapping[str, Any]) -> str:
    """The NumPy dtype `decode` gives for a stream's samples."""
    bits, exponent = basic["bits_per_sample"], basic["exponent_bits_per_sample"]
    if exponent:
        return "float16" if bits == 16 else "float32"
    return "uint8" if bits <= 8 else "uint16" if bits <= 16 else "float32"


def _enum_name(enum: Any, value: int) -> str:
    try:
        return str(enum(value).name)
    except ValueError:
        return str(value)


def _colour_text(color: Mapping[str, int] | None, icc: bytes | None) -> str:
    if color is None:
        return f"ICC profile ({len(icc):,} bytes)" if icc else "not described"
    space = color["color_space"]
    grey = space == ColorSpace.GRAY
    parts = [f"white point {_enum_name(WhitePoint, color['white_point'])}"]
    if not grey:
        parts.append(f"primaries {_enum_name(Primaries, color['primaries'])}")
    parts += [f"transfer {_enum_name(TransferFunction, color['transfer_function'])}",
              f"rendering intent "
              f"{_enum_name(RenderingIntent, color['rendering_intent']).lower()}"]
    name = _enum_name(ColorSpace, space).lower().replace("gray", "grey")
    for candidate in COLOR_NAMES:  # an RGB encoding that `encode(color=...)` names
        spec = parse_color(candidate)
        if not grey and spec is not None and (
                spec.white_point, spec.primaries, spec.transfer) == (
                color["white_point"], color["primaries"], color["transfer_function"]):
            name = candidate
            break
    return f"{name} ({', '.join(parts)})"


def _runs(values: Sequence[float]) -> str:
    """Frame durations with repeats folded: '40 ms x2, 80 ms, 120 ms'."""
    out: list[str] = []
    i = 0
    while i < len(values):
        j = i
        while j + 1 < len(values) and values[j + 1] == values[i]:
            j += 1
        text = f"{values[i]:g} ms"
        out.append(text if j == i else f"{text} x{j - i + 1}")
        i = j + 1
    return ", ".join(out)


def _info_rows(path: str, size: int, info: Mapping[str, Any]) -> list[tuple[str, str]]:
    basic = info["basic_info"]
    rows = [("file", f"{size:,} bytes, "
                     + ("a container of boxes" if info["boxes"] else "a bare codestream")),
            ("image", f"{basic['xsize']} x {basic['ysize']} pixels (as shown)")]
    bits, exponent = basic["bits_per_sample"], basic["exponent_bits_per_sample"]
    kind = (f"{bits}-bit float ({exponent} exponent bits)" if exponent
            else f"{bits}-bit integer")
    rows.append(("samples", f"{kind}; decodes as {_dtype_of(basic)}"))
    colours = "grey" if basic["num_color_channels"] == 1 else "RGB"
    if basic["alpha_bits"]:
        colours += f" + alpha ({basic['alpha_bits']}-bit)"
    others = basic["num_extra_channels"] - (1 if basic["alpha_bits"] else 0)
    if others > 0:
        colours += f" + {_count(others, 'other channel')}"
    rows.append(("channels", colours))
    rows.append(("colour", _colour_text(info["color"], info["icc_profile"])))
    if basic["intensity_target"] and basic["intensity_target"] != 255:
        rows.append(("intensity target", f"{basic['intensity_target']:g} nits"))
    orientation = info["orientation"]
    rows.append(("orientation", f"{orientation}: "
                                f"{_ORIENTATIONS.get(orientation, 'unknown')}"))

    frames = info["frames"]
    animation = info["animation"]
    if animation is None:
        rows.append(("animation", "no (a still image)"))
    else:
        durations = [float(frame["duration_ms"]) for frame in frames]
        loops = animation["num_loops"]
        tps = f"{animation['tps_numerator']}"
        if animation["tps_denominator"] != 1:
            tps += f"/{animation['tps_denominator']}"
        rows.append(("animation", f"{_count(len(frames), 'frame')}, "
                                  f"{sum(durations):g} ms in all, "
                                  + ("looping for ever" if loops == 0
                                     else f"{_count(loops, 'loop')}")
                                  + f"; {tps} ticks per second"))
        rows.append(("frame durations", _runs(durations)))
    names = [frame.get("name", "") for frame in frames]
    if any(names):
        rows.append(("frame names", ", ".join(repr(name) for name in names)))

    for index, channel in enumerate(info["extra_channels"]):
        depth = f"{channel['bits_per_sample']}-bit"
        if channel["exponent_bits_per_sample"]:
            depth += " float"
        text = channel["type"] + (f" {channel['name']!r}" if channel["name"] else "")
        text += f", {depth}"
        if channel["alpha_premultiplied"]:
            text += ", premultiplied"
        if channel["spot_color"] is not None:
            text += f", spot colour {tuple(round(v, 4) for v in channel['spot_color'])}"
        rows.append(("extra channels" if index == 0 else "", text))

    if info["boxes"]:
        # Runs of one type (the parts of a codestream) folded into one entry.
        runs: list[tuple[str, int, int]] = []
        for box in info["boxes"]:
            kind = box["type"].strip() + (" (Brotli)" if box["compressed"] else "")
            if runs and runs[-1][0] == kind:
                runs[-1] = (kind, runs[-1][1] + 1, runs[-1][2] + box["size"])
            else:
                runs.append((kind, 1, box["size"]))
        rows.append(("boxes", ", ".join(f"{kind} {_size(size)}" if n == 1
                                        else f"{kind} x{n} {_size(size)}"
                                        for kind, n, size in runs)))
    for key, label in (("exif", "Exif"), ("xmp", "XMP"), ("jumbf", "JUMBF")):
        if info[key]:
            rows.append((label, f"{len(info[key]):,} bytes"))
    rows.append(("JPEG reconstruction",
                 "yes: `kestrelpix convert` to .jpg (or djxl) gives back the original JPEG"
                 if info["jpeg_reconstruction"] else "no"))
    return rows


def _jsonable(value: Any) -> Any:
    if isinstance(value, bytes):
        return base64.b64encode(value).decode("ascii")
    if isinstance(value, Mapping):
        return {str(k): _jsonable(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [_jsonable(v) for v in value]
    return value


def _probe_file(path: str) -> tuple[int, Any]:
    """(file size, probe result) for a path, or _Failure with a short reason."""
    try:
        with open(path, "rb") as fh:
            head = fh.read(16)
            size = os.fstat(fh.fileno()).st_size
        if not jxl.check_signature(head):
            raise _Failure("not a JPEG XL file")
        return size, jxl.probe(path)
    except (OSError, ValueError, JxlError, NotImplementedError) as exc:
        damaged = isinstance(exc, (JxlError, ValueError))
        raise _Failure(("damaged JPEG XL file: " if damaged else "") + _reason(exc)) from exc


def _cmd_info(args: argparse.Namespace) -> int:
    status = EXIT_OK
    found: list[dict[str, Any]] = []
    first = True
    for name in args.files:
        try:
            size, info = _probe_file(name)
        except _Failure as exc:
            _error(f"info: {name}: {exc}")
            status = EXIT_FAILED
            continue
        if args.json:
            entry: dict[str, Any] = {"file": name, "file_size": size,
                                     "dtype": _dtype_of(info["basic_info"])}
            entry.update(_jsonable(info))
            found.append(entry)
            continue
        if not first:
            print()
        first = False
        print(name)
        rows = _info_rows(name, size, info)
        width = max(len(label) for label, _ in rows)
        for label, text in rows:
            print(f"  {label:<{width}}  {text}")
    if args.json:
        json.dump(found, sys.stdout, indent=2, allow_nan=False)
        print()
    return status


# --- convert ------------------------------------------------------------------

def _load_pillow() -> None:
    """Import Pillow and register kestrelpix's JPEG XL plugin with it."""
    try:
        import PIL.Image  # noqa: F401

        import kestrelpix.pillow  # noqa: F401
    except ImportError:
        raise _missing("convert", "Pillow") from None


def _note(message: str) -> None:
    _error(f"convert: note: {message}")


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


def _deep_to_png(src: Path, info: Mapping[str, Any], fh: IO[bytes]) -> None:
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


def _eight_bit(im: PILImage.Image, keep_alpha: bool) -> PILImage.Image:
    """`im` in a mode every Pillow writer knows: L, LA, RGB or RGBA, 8 bits."""
    from PIL import Image

    if im.mode == "F":
        grey = np.rint(np.clip(np.asarray(im), 0.0, 1.0) * 255.0).astype(np.uint8)
        return Image.fromarray(grey)
    if im.mode.startswith("I"):
        grey = (np.clip(np.asarray(im), 0, 65535).astype(np.uint32) >> 8).astype(np.uint8)
        return Image.fromarray(grey)
    alpha = keep_alpha and im.has_transparency_data
    colour = im.mode not in ("1", "L", "LA", "La")
    mode = ("RGB" if colour else "L") + ("A" if alpha else "")
    return im if im.mode == mode else im.convert(mode)


def _save_with_pillow(im: PILImage.Image, fh: IO[bytes], fmt: str,
                      options: dict[str, Any], info: Mapping[str, Any]) -> None:
    """Save a JPEG XL image opened by Pillow in `fmt`, every frame if `fmt`
    holds animations; modes `fmt` cannot take fall back to 8 bits, then
    to no alpha, with a note."""
    from PIL import Image, ImageSequence

    frames = [frame.copy() for frame in ImageSequence.Iterator(im)]
    if len(frames) > 1 and fmt not in Image.SAVE_ALL:
        _note(f"{fmt} holds one frame: writing the first of {len(frames)}")
        frames = frames[:1]
    if len(frames) > 1:
        options = {**options, "save_all": True, "append_images": frames[1:],
                   "duration": [frame["duration_ms"] for frame in info["frames"]],
                   "loop": info["animation"]["num_loops"] if info["animation"] else 0}
    if "icc_profile" in im.info:
        options["icc_profile"] = im.info["icc_profile"]
    if "exif" in im.info:
        # As an Exif object, which each of Pillow's writers stores its own way.
        options["exif"] = im.getexif()

    attempts: list[Callable[[PILImage.Image], PILImage.Image]] = [
        lambda frame: frame,
        lambda frame: _eight_bit(frame, keep_alpha=True),
        lambda frame: _eight_bit(frame, keep_alpha=False),
    ]
    first_error: Exception | None = None
    tried: set[str] = set()
    for adapt in attempts:
        adapted = [adapt(frame) for frame in frames]
        if adapted[0].mode in tried:
            continue  # the same mode again would fail alike
        tried.add(adapted[0].mode)
        fh.seek(0)
        fh.truncate()
        try:
            if len(adapted) > 1:
                adapted[0].save(fh, format=fmt, **{**options, "append_images": adapted[1:]})
            else:
                adapted[0].save(fh, format=fmt, **options)
        except (OSError, ValueError, KeyError, TypeError) as exc:
            first_error = first_error or exc
            continue
        if adapted[0].mode != frames[0].mode:
            _note(f"{fmt} cannot hold this {frames[0].mode} image: written as "
                  f"{adapted[0].mode}")
        return
    assert first_error is not None
    raise _Failure(f"cannot write this image as {fmt}: {_reason(first_error)}")


def _pillow_to_jxl(src: Path, fh: IO[bytes], options: dict[str, Any]) -> None:
    from PIL import Image, UnidentifiedImageError

    try:
        with Image.open(src) as im:
            extra = {key: im.info[key] for key in ("exif", "xmp") if im.info.get(key)}
            im.save(fh, format="JXL", save_all=True, **options, **extra)
    except UnidentifiedImageError:
        raise _Failure(f"{src}: not an image Pillow can read") from None
    except (OSError, ValueError, JxlError, NotImplementedError) as exc:
        raise _Failure(f"{src}: {_reason(exc)}") from exc


def _to_jxl(src: Path, fh: IO[bytes], args: argparse.Namespace) -> None:
    options: dict[str, Any] = {}
    for key in ("quality", "distance", "effort"):
        if getattr(args, key) is not None:
            options[key] = getattr(args, key)
    if args.lossless:
        options["lossless"] = True
    with open(src, "rb") as f:
        is_jpeg = f.read(3) == JPEG_SIGNATURE
    if is_jpeg and not {"quality", "distance", "lossless"} & options.keys():
        # The JPEG's own coefficients, kept: smaller, and reversible.
        try:
            jxl.transcode_jpeg(src, dest=fh, **options)
            return
        except JxlError as exc:
            _note(f"libjxl cannot recompress this JPEG losslessly ({_reason(exc)}); "
                  "encoding its pixels at distance 1")
            fh.seek(0)
            fh.truncate()
    _pillow_to_jxl(src, fh, options)


def _from_jxl(src: Path, fh: IO[bytes], fmt: str, args: argparse.Namespace) -> None:
    from PIL import Image

    try:
        size, info = _probe_file(str(src))
    except _Failure as exc:
        raise _Failure(f"{src}: {exc} (to write {fmt}, IN must be a JPEG XL file; "
                       "to write JPEG XL, give OUT the suffix .jxl)") from exc
    if fmt == "JPEG" and info["jpeg_reconstruction"] and args.quality is None:
        jxl.reconstruct_jpeg(src, dest=fh)  # the original file, byte for byte
        return
    basic = info["basic_info"]
    deep = basic["bits_per_sample"] > 8 or basic["exponent_bits_per_sample"] > 0
    try:
        if fmt == "PNG" and deep:
            _deep_to_png(src, info, fh)
            return
        options: dict[str, Any] = {}
        if args.quality is not None and fmt in ("JPEG", "WEBP", "AVIF"):
            options["quality"] = round(args.quality)
        if args.lossless and fmt == "WEBP":
            options["lossless"] = True
        with Image.open(src) as im:
            _save_with_pillow(im, fh, fmt, options, info)
    except (OSError, JxlError, NotImplementedError) as exc:
        raise _Failure(f"{src}: {_reason(exc)}") from exc


def _cmd_convert(args: argparse.Namespace) -> int:
    src, dest = Path(args.input), Path(args.output)
    writing_jxl = dest.suffix.lower() == ".jxl"
    if not writing_jxl:
        for option in ("distance", "effort"):
            if getattr(args, option) is not None:
                raise _Failure(f"convert: --{option} applies to writing JPEG XL only "
                               f"(OUT {dest} is not .jxl)", EXIT_USAGE)
    _load_pillow()
    from PIL import Image

    fmt = "JXL"
    if not writing_jxl:
        found = Image.registered_extensions().get(dest.suffix.lower())
        if found is None or found not in Image.SAVE:
            raise _Failure(f"convert: Pillow cannot write a file named {dest.name} "
                           "(say which format with OUT's suffix, such as .png)", EXIT_USAGE)
        fmt = found
        if args.lossless and fmt != "WEBP":
            raise _Failure("convert: --lossless applies to writing JPEG XL or WebP only",
                           EXIT_USAGE)
    if not src.is_file():
        raise _Failure(f"convert: {src}: " + ("not a file" if src.exists()
                                              else "no such file"))
    if dest.is_dir():
        raise _Failure(f"convert: {dest} is a directory")
    if os.path.lexists(dest) and not args.force:
        raise _Failure(f"convert: {dest} exists (use --force to overwrite it)")

    def write(fh: IO[bytes]) -> None:
        if writing_jxl:
            _to_jxl(src, fh, args)
        else:
            _from_jxl(src, fh, fmt, args)

    try:
        _write_atomically(dest, write, overwrite=args.force, mode=0o666 & ~_umask())
    except _Failure as exc:
        raise _Failure(f"convert: {exc}") from exc
    except FileExistsError:
        raise _Failure(f"convert: {dest} exists (use --force to overwrite it)") from None
    except OSError as exc:
        raise _Failure(f"convert: cannot write {dest}: {_reason(exc)}") from exc
    return EXIT_OK


# --- recompress ---------------------------------------------------------------

#: Reasons a JPEG stays as it is.
ALREADY = "already has .jxl (use --force)"
NOT_SMALLER = "not smaller as JPEG XL"


@dataclass
class _Outcome:
    path: Path
    done: Literal["converted", "kept", "failed"]
    reason: str = ""
    bytes_in: int = 0
    bytes_out: int = 0
    deleted: bool = False


@dataclass(frozen=True)
class _Job:
    path: Path
    dest: Path
    force: bool
    delete: bool
    effort: int | None
    numthreads: int | None
    mode: int


def _find_jpegs(paths: Iterable[str]) -> Iterator[tuple[Path, _Outcome | None]]:
    """The JPEG files named or found below the directories named, in order;
    an outcome already decided for paths that cannot be looked at."""
    for name in paths:
        path = Path(name)
        if path.is_dir():
            errors: list[OSError] = []
            for root, dirs, files in os.walk(path, onerror=errors.append):
                dirs.sort()
                for file in sorted(files):
                    if Path(file).suffix.lower() in JPEG_SUFFIXES:
                        yield Path(root, file), None
            for exc in errors:  # directories that could not be listed
                where = Path(exc.filename) if exc.filename else path
                yield where, _Outcome(where, "failed", f"unreadable: {_reason(exc)}")
        elif path.exists():
            yield path, None
        else:
            yield path, _Outcome(path, "failed", "unreadable: no such file or directory")


def _recompress_one(job: _Job, cancelled: threading.Event) -> _Outcome | None:
    """Recompress one JPEG; None when cancelled before anything was written."""
    path, dest = job.path, job.dest
    if cancelled.is_set():
        return None
    if not job.force and os.path.lexists(dest):
        return _Outcome(path, "kept", ALREADY)
    try:
        data = path.read_bytes()
    except OSError as exc:
        return _Outcome(path, "failed", f"unreadable: {_reason(exc)}")
    if not data.startswith(JPEG_SIGNATURE):
        return _Outcome(path, "failed", "not a JPEG file (no FFD8FF signature)")
    try:
        stream = jxl.transcode_jpeg(data, effort=job.effort, numthreads=job.numthreads,
                                    verify=True)
    except JxlError as exc:
        return _Outcome(path, "failed", f"libjxl refused it: {_reason(exc)}")
    except ValueError as exc:
        return _Outcome(path, "failed", _reason(exc))
    if len(stream) >= len(data):
        return _Outcome(path, "kept", NOT_SMALLER, len(data), len(stream))
    if cancelled.is_set():
        return None
    try:
        _write_atomically(dest, lambda fh: fh.write(stream), overwrite=job.force,
                          mode=job.mode)
    except FileExistsError:
        return _Outcome(path, "kept", ALREADY)
    except OSError as exc:
        return _Outcome(path, "failed", f"cannot write {dest.name}: {_reason(exc)}")
    outcome = _Outcome(path, "converted", "", len(data), len(stream))
    if job.delete:
        _delete_verified(outcome, dest, data)
    return outcome


def _delete_verified(outcome: _Outcome, dest: Path, data: bytes) -> None:
    """Remove the original once the .jxl on disk rebuilds it byte for byte."""
    path = outcome.path
    try:
        rebuilt = jxl.reconstruct_jpeg(dest.read_bytes())
        original = path.read_bytes()
    except (OSError, JxlError, ValueError) as exc:
        outcome.done, outcome.reason = "failed", f"not deleted: {_reason(exc)}"
        return
    if original != data:
        outcome.done, outcome.reason = "failed", "not deleted: it changed while being recompressed"
        return
    if rebuilt != original:
        outcome.done, outcome.reason = "failed", "not deleted: the .jxl does not rebuild it"
        return
    _fsync_dir(dest.parent)  # the .jxl's name is on disk before the JPEG goes
    try:
        path.unlink()
    except OSError as exc:
        outcome.done, outcome.reason = "failed", f"not deleted: {_reason(exc)}"
        return
    outcome.deleted = True


class _Progress:
    """A tqdm bar on stderr when available and wanted, else nothing; failure
    lines go above it."""

    def __init__(self, total: int, enabled: bool) -> None:
        self.bar: Any = None
        if enabled:
            try:
                tqdm: ModuleType | None = importlib.import_module("tqdm")
            except ImportError:
                tqdm = None  # no bar without tqdm: the summary still tells all
            if tqdm is not None:
                self.bar = tqdm.tqdm(total=total, unit="file", file=sys.stderr,
                                     dynamic_ncols=True, leave=False)
        self.bytes_in = self.bytes_out = 0

    def update(self, outcome: _Outcome) -> None:
        if outcome.done == "converted":
            self.bytes_in += outcome.bytes_in
            self.bytes_out += outcome.bytes_out
        if self.bar is not None:
            self.bar.set_postfix_str(f"{_size(self.bytes_in)} -> {_size(self.bytes_out)}",
                                     refresh=False)
            self.bar.update(1)

    def say(self, text: str) -> None:
        if self.bar is not None:
            self.bar.write(text, file=sys.stderr)
        else:
            print(text, file=sys.stderr)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


def _summary(outcomes: Sequence[_Outcome], not_done: int, delete: bool) -> list[str]:
    """The closing table: counts and bytes first, what they count after."""
    converted = [o for o in outcomes if o.done == "converted"]
    kept = [o for o in outcomes if o.done != "converted"]
    bytes_in = sum(o.bytes_in for o in converted)
    bytes_out = sum(o.bytes_out for o in converted)
    saved = bytes_in - bytes_out
    rows: list[tuple[int, str]] = [(len(converted), "converted")]
    if delete:
        rows.append((sum(o.deleted for o in outcomes), "originals deleted (verified)"))
    rows.append((len(kept), "kept as JPEG" + (":" if kept else "")))
    reasons = Counter(o.reason for o in kept)
    rows += [(n, f"  {reason}")
             for reason, n in sorted(reasons.items(), key=lambda item: (-item[1], item[0]))]
    if not_done:
        rows.append((not_done, "not done (interrupted)"))
    rows += [(bytes_in, "bytes in (of the JPEGs converted)"), (bytes_out, "bytes out"),
             (saved, "bytes saved" + (f" ({100 * saved / bytes_in:.1f}%)" if bytes_in else ""))]
    width = max(len(f"{n:,}") for n, _ in rows)
    total = len(outcomes) + not_done
    return [f"{PROG} recompress: {_count(total, 'JPEG file')}"] + [
        f"  {n:>{width},}  {label}" for n, label in rows]


def _cmd_recompress(args: argparse.Namespace) -> int:
    mode = 0o666 & ~_umask()
    outcomes: list[_Outcome] = []
    plan: list[tuple[Path, Path]] = []
    seen: set[str] = set()
    claimed: dict[str, Path] = {}
    for path, decided in _find_jpegs(args.paths):
        if decided is not None:
            outcomes.append(decided)
            continue
        key = os.path.realpath(path)
        if key in seen:
            continue
        seen.add(key)
        dest = path.with_suffix(".jxl")
        dest_key = os.path.realpath(dest)
        if dest_key == key:
            outcomes.append(_Outcome(path, "failed", "named .jxl already: would replace itself"))
        elif dest_key in claimed:
            outcomes.append(_Outcome(path, "failed", f"{claimed[dest_key].name} also becomes "
                                                     f"{dest.name}"))
        else:
            claimed[dest_key] = path
            plan.append((path, dest))

    workers = max(1, min(args.jobs, len(plan)))
    # Many files at once: one libjxl thread each; a single file gets them all.
    numthreads = 1 if workers > 1 else None
    cancelled = threading.Event()
    progress = _Progress(len(plan) + len(outcomes),
                         not args.quiet and sys.stderr.isatty())
    for outcome in outcomes:
        progress.say(f"{PROG} recompress: {outcome.path}: {outcome.reason}")
        progress.update(outcome)
    interrupted = False
    pending: dict[Future[_Outcome | None], Path] = {}

    def record(outcome: _Outcome | None) -> None:
        if outcome is None:
            return
        outcomes.append(outcome)
        if outcome.done == "failed":
            progress.say(f"{PROG} recompress: {outcome.path}: {outcome.reason}")
        progress.update(outcome)

    pool = ThreadPoolExecutor(max_workers=workers, thread_name_prefix="recompress")
    try:
        for path, dest in plan:
            job = _Job(path, dest, args.force, args.delete, args.effort, numthreads, mode)
            pending[pool.submit(_recompress_one, job, cancelled)] = path
        for future in as_completed(list(pending)):
            del pending[future]
            record(future.result())
    except KeyboardInterrupt:
        interrupted = True
        cancelled.set()
        pool.shutdown(wait=False, cancel_futures=True)
        # Files in the works finish (libjxl cannot be stopped halfway) or
        # drop what they made; either way no temporary file stays behind.
        while pending:
            future = next(iter(pending))
            try:
                # exception() waits without raising what the job raised.
                if not future.cancelled() and future.exception() is None:
                    record(future.result())
            except KeyboardInterrupt:
                continue  # Ctrl-C again: the files in progress still finish
            del pending[future]
    finally:
        pool.shutdown(wait=True, cancel_futures=True)
        progress.close()

    finished = {o.path for o in outcomes}
    not_done = sum(1 for path, _ in plan if path not in finished)
    for line in _summary(outcomes, not_done if interrupted else 0, args.delete):
        print(line)
    if interrupted:
        _error("recompress: interrupted")
        return EXIT_INTERRUPTED
    return EXIT_FAILED if any(o.done == "failed" for o in outcomes) else EXIT_OK


# --- demo ---------------------------------------------------------------------

def _cmd_demo(args: argparse.Namespace) -> int:
    from kestrelpix import _demo

    for module, name in (("matplotlib", "matplotlib"), ("PIL", "Pillow")):
        if importlib.util.find_spec(module) is None:
            raise _missing("demo", f"{name} (for its figures)")
    _demo.run(Path(args.dir))
    return EXIT_OK


# --- the parser ---------------------------------------------------------------

def _ranged(kind: Callable[[str], float], low: float, high: float,
            what: str) -> Callable[[str], Any]:
    def parse(text: str) -> Any:
        try:
            value = kind(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"{what} must be a number, not {text!r}") from None
        if not low <= value <= high:
            raise argparse.ArgumentTypeError(f"{what} must be {low:g} to {high:g}, not {text}")
        return value
    return parse


def _jobs(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"jobs must be a whole number, not {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"jobs must be at least 1, not {value}")
    return value


def _cpu_count() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        return os.cpu_count() or 1


def _parser() -> argparse.ArgumentParser:
    formatter = argparse.RawDescriptionHelpFormatter
    parser = argparse.ArgumentParser(
        prog=PROG, formatter_class=formatter,
        description="JPEG XL files from the shell: inspect them, convert images to "
                    "and from JPEG XL, recompress JPEG archives losslessly.",
        epilog="Run `kestrelpix COMMAND --help` for a command's details.\n"
               "Exit status: 0 all done, 1 a file failed, 2 a usage error or a missing "
               "optional\ndependency, 130 interrupted. Optional dependencies (Pillow, tqdm, "
               f"matplotlib):\n{CLI_EXTRA}")
    parser.add_argument("--version", action="version",
                        version=f"{PROG} {__version__} (libjxl {jxl.libjxl_version()})")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    info = commands.add_parser(
        "info", formatter_class=formatter, help="what JPEG XL files hold",
        description="Tell what each JPEG XL file holds, from its headers alone (nothing "
                    "is decoded):\nsize, samples, channels, colour, orientation, animation "
                    "and frame durations,\nextra channels, container boxes, metadata, and "
                    "whether the original JPEG can be\nrebuilt from it.",
        epilog="A file that is not JPEG XL, or whose headers are damaged, gets one line on\n"
               "stderr; the others are still shown, and the exit status is 1.")
    info.add_argument("files", nargs="+", metavar="FILE", help="JPEG XL files")
    info.add_argument("--json", action="store_true",
                      help="print a JSON list with one object per readable file: what "
                           "kestrelpix.jxl.probe returns, plus 'file', 'file_size' and "
                           "'dtype'; bytes values (icc_profile, exif, xmp, jumbf) are "
                           "base64 strings, null when absent")
    info.set_defaults(run=_cmd_info)

    convert = commands.add_parser(
        "convert", formatter_class=formatter, help="an image to JPEG XL, or JPEG XL to "
                                                   "another format",
        description="Convert IN to OUT; OUT's suffix chooses the way.\n\n"
                    "OUT ending in .jxl: IN is any image Pillow reads. Animations (GIF, "
                    "APNG, WebP...)\nstay animations with their frame durations and loop "
                    "count; alpha, 16-bit grey,\nthe ICC profile, Exif and XMP are kept. A "
                    "JPEG given no --quality, --distance or\n--lossless is recompressed "
                    "without loss (its original can be rebuilt byte for\nbyte); other "
                    "images are lossy at distance 1 unless told otherwise.\n\n"
                    "Any other OUT: IN must be JPEG XL; it is decoded and written by "
                    "Pillow in the\nformat of OUT's suffix (.png, .tif, .webp, .gif, .jpg, "
                    "...). Formats that hold\nanimations get every frame, others the first. "
                    "To .png, images deeper than 8\nbits are written with 16 bits per "
                    "sample (Pillow's own writers take 8-bit\ncolour). A .jpg from a JPEG "
                    "XL made by recompressing a JPEG is that JPEG again,\nbyte for byte, "
                    "unless --quality is given.",
        epilog="OUT is written through a temporary file beside it and renamed when "
               "complete:\na failure or Ctrl-C leaves no partial file. An existing OUT is "
               "kept unless\n--force is given. Needs Pillow: " + CLI_EXTRA)
    convert.add_argument("input", metavar="IN", help="the image to read")
    convert.add_argument("output", metavar="OUT", help="the file to write")
    how = convert.add_mutually_exclusive_group()
    how.add_argument("-q", "--quality", type=_ranged(float, 0, 100, "quality"), metavar="Q",
                     help="quality 0 to 100 (libjxl's scale; for .jpg/.webp/.avif OUT, "
                          "Pillow's)")
    how.add_argument("-d", "--distance", type=_ranged(float, 0, 25, "distance"), metavar="D",
                     help="Butteraugli distance 0 to 25 (0 lossless, 1 visually lossless, "
                          "the default)")
    how.add_argument("--lossless", action="store_true",
                     help="exactly the input's samples (also for .webp OUT)")
    convert.add_argument("-e", "--effort", type=_ranged(int, 1, 10, "effort"), metavar="E",
                         help="encoder effort 1 (fast) to 10 (small); default 5, or 7 for "
                              "a JPEG recompressed")
    convert.add_argument("-f", "--force", action="store_true", help="overwrite OUT")
    convert.set_defaults(run=_cmd_convert)

    recompress = commands.add_parser(
        "recompress", formatter_class=formatter,
        help="JPEG files to JPEG XL, losslessly (the JPEG can be rebuilt)",
        description="Recompress JPEG files to JPEG XL without loss: each X.jpg becomes X.jxl "
                    "beside it,\ntypically a fifth smaller, from which the original file can "
                    "be rebuilt byte for\nbyte (kestrelpix convert X.jxl X.jpg, or djxl). "
                    "Every stream is rebuilt and compared\nwith its JPEG before it is "
                    "written.\n\n"
                    "Directories are searched recursively for files named .jpg, .jpeg, .jpe "
                    "or .jfif\n(any case); files named on the command line are taken "
                    "whatever their name.\nEither way a file must start with a JPEG "
                    "signature (FF D8 FF).\n\n"
                    "Files are done in parallel, one per core by default. A progress bar "
                    "(with tqdm\ninstalled, on a terminal) shows files, bytes in and out and "
                    "files per second;\na summary follows: files converted, kept as JPEG "
                    "and why, bytes saved.",
        epilog="A JPEG is kept, and the run goes on, when its .jxl exists already (use "
               "--force),\nwhen libjxl refuses it, when it is unreadable or when JPEG XL "
               "would not be smaller.\nThe exit status is 1 if any file failed (exists "
               "already and not smaller are no\nfailures), 130 after Ctrl-C, which "
               "finishes the files in progress, removes\nany temporary file and prints "
               "the summary of what was done.")
    recompress.add_argument("paths", nargs="+", metavar="PATH",
                            help="JPEG files and directories")
    recompress.add_argument("--delete", action="store_true",
                            help="remove each original once its .jxl, read back from "
                                 "disk, rebuilds it byte for byte")
    recompress.add_argument("-f", "--force", action="store_true",
                            help="replace .jxl files that exist already")
    recompress.add_argument("-j", "--jobs", type=_jobs, default=_cpu_count(), metavar="N",
                            help="files at once (default: %(default)s, the cores available)")
    recompress.add_argument("-e", "--effort", type=_ranged(int, 1, 10, "effort"), metavar="E",
                            help="encoder effort 1 to 10 (default 7, as cjxl)")
    recompress.add_argument("--quiet", action="store_true", help="no progress bar")
    recompress.set_defaults(run=_cmd_recompress)

    demo = commands.add_parser(
        "demo", formatter_class=formatter, help="the demo's table and pictures",
        description="What the JPEG XL codec does with a photograph-like image, on this "
                    "machine:\nprints sizes, errors and speeds of a few settings, and "
                    "writes demo.png (a 2x crop\nof each setting, labelled) and demo-rd.png "
                    "(bits per pixel against PSNR) into DIR.",
        epilog="Needs Pillow and matplotlib: " + CLI_EXTRA)
    demo.add_argument("dir", nargs="?", default="kestrelpix-demo", metavar="DIR",
                      help="where the pictures go (default: ./kestrelpix-demo)")
    demo.set_defaults(run=_cmd_demo)
    return parser


def _show_warning(message: Warning | str, category: type[Warning], filename: str,
                  lineno: int, file: IO[str] | None = None, line: str | None = None) -> None:
    # A library's warning (Pillow on odd Exif data, say) as one line, not a
    # source location.
    _error(f"warning: {' '.join(str(message).split())}")


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line with `argv` (default: ``sys.argv[1:]``) and return
    the exit status: 0 success, 1 a file failed, 2 a usage error or a missing
    optional dependency, 130 interrupted."""
    parser = _parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as exc:  # --help, --version and usage errors
        code = exc.code
        return code if isinstance(code, int) else EXIT_OK if code is None else EXIT_USAGE
    try:
        with warnings.catch_warnings():  # restores showwarning afterwards
            warnings.showwarning = _show_warning
            status: int = args.run(args)
    except _Failure as exc:
        _error(str(exc))
        return exc.status
    except KeyboardInterrupt:
        _error(f"{args.command}: interrupted")
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        # Whoever read the output has gone (`kestrelpix info ... | head`).
        with contextlib.suppress(OSError):
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_FAILED
    sys.stdout.flush()
    return status
