"""``kestrelpix convert``: any image Pillow reads to JPEG XL (JPEGs
recompressed without loss), and JPEG XL to any format Pillow writes."""

from __future__ import annotations

import argparse
import os
from collections.abc import Callable, Mapping
from pathlib import Path
from typing import IO, TYPE_CHECKING, Any

import numpy as np

from kestrelpix import jxl
from kestrelpix.cli.common import (
    EXIT_OK,
    EXIT_USAGE,
    JPEG_SIGNATURE,
    Failure,
    current_umask,
    error,
    missing,
    reason_of,
    write_atomically,
)
from kestrelpix.cli.info import probe_file
from kestrelpix.cli.png16 import deep_to_png
from kestrelpix.core.errors import JxlError

if TYPE_CHECKING:
    from PIL import Image as PILImage


def _load_pillow() -> None:
    """Import Pillow and register kestrelpix's JPEG XL plugin with it."""
    try:
        import PIL.Image  # noqa: F401

        import kestrelpix.pillow  # noqa: F401
    except ImportError:
        raise missing("convert", "Pillow") from None


def _note(message: str) -> None:
    error(f"convert: note: {message}")



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
    raise Failure(f"cannot write this image as {fmt}: {reason_of(first_error)}")


def _pillow_to_jxl(src: Path, fh: IO[bytes], options: dict[str, Any]) -> None:
    from PIL import Image, UnidentifiedImageError

    try:
        with Image.open(src) as im:
            extra = {key: im.info[key] for key in ("exif", "xmp") if im.info.get(key)}
            im.save(fh, format="JXL", save_all=True, **options, **extra)
    except UnidentifiedImageError:
        raise Failure(f"{src}: not an image Pillow can read") from None
    except (OSError, ValueError, JxlError, NotImplementedError) as exc:
        raise Failure(f"{src}: {reason_of(exc)}") from exc


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
            _note(f"libjxl cannot recompress this JPEG losslessly ({reason_of(exc)}); "
                  "encoding its pixels at distance 1")
            fh.seek(0)
            fh.truncate()
    _pillow_to_jxl(src, fh, options)


def _from_jxl(src: Path, fh: IO[bytes], fmt: str, args: argparse.Namespace) -> None:
    from PIL import Image

    try:
        size, info = probe_file(str(src))
    except Failure as exc:
        raise Failure(f"{src}: {exc} (to write {fmt}, IN must be a JPEG XL file; "
                      "to write JPEG XL, give OUT the suffix .jxl)") from exc
    if fmt == "JPEG" and info["jpeg_reconstruction"] and args.quality is None:
        jxl.reconstruct_jpeg(src, dest=fh)  # the original file, byte for byte
        return
    basic = info["basic_info"]
    deep = basic["bits_per_sample"] > 8 or basic["exponent_bits_per_sample"] > 0
    try:
        if fmt == "PNG" and deep:
            deep_to_png(src, info, fh)
            return
        options: dict[str, Any] = {}
        if args.quality is not None and fmt in ("JPEG", "WEBP", "AVIF"):
            options["quality"] = round(args.quality)
        if args.lossless and fmt == "WEBP":
            options["lossless"] = True
        with Image.open(src) as im:
            _save_with_pillow(im, fh, fmt, options, info)
    except (OSError, JxlError, NotImplementedError) as exc:
        raise Failure(f"{src}: {reason_of(exc)}") from exc


def run(args: argparse.Namespace) -> int:
    src, dest = Path(args.input), Path(args.output)
    writing_jxl = dest.suffix.lower() == ".jxl"
    if not writing_jxl:
        for option in ("distance", "effort"):
            if getattr(args, option) is not None:
                raise Failure(f"convert: --{option} applies to writing JPEG XL only "
                              f"(OUT {dest} is not .jxl)", EXIT_USAGE)
    _load_pillow()
    from PIL import Image

    fmt = "JXL"
    if not writing_jxl:
        found = Image.registered_extensions().get(dest.suffix.lower())
        if found is None or found not in Image.SAVE:
            raise Failure(f"convert: Pillow cannot write a file named {dest.name} "
                          "(say which format with OUT's suffix, such as .png)", EXIT_USAGE)
        fmt = found
        if args.lossless and fmt != "WEBP":
            raise Failure("convert: --lossless applies to writing JPEG XL or WebP only",
                          EXIT_USAGE)
    if not src.is_file():
        raise Failure(f"convert: {src}: " + ("not a file" if src.exists()
                                             else "no such file"))
    if dest.is_dir():
        raise Failure(f"convert: {dest} is a directory")
    if os.path.lexists(dest) and not args.force:
        raise Failure(f"convert: {dest} exists (use --force to overwrite it)")

    def write(fh: IO[bytes]) -> None:
        if writing_jxl:
            _to_jxl(src, fh, args)
        else:
            _from_jxl(src, fh, fmt, args)

    try:
        write_atomically(dest, write, overwrite=args.force, mode=0o666 & ~current_umask())
    except Failure as exc:
        raise Failure(f"convert: {exc}") from exc
    except FileExistsError:
        raise Failure(f"convert: {dest} exists (use --force to overwrite it)") from None
    except OSError as exc:
        raise Failure(f"convert: cannot write {dest}: {reason_of(exc)}") from exc
    return EXIT_OK
