"""``kestrelpix info``: what JPEG XL files hold, from their headers alone,
as a table or as JSON."""

from __future__ import annotations

import argparse
import base64
import json
import os
import sys
from collections.abc import Mapping, Sequence
from typing import Any

from kestrelpix import jxl
from kestrelpix.cli.common import (
    EXIT_FAILED,
    EXIT_OK,
    Failure,
    error,
    human_size,
    plural,
    reason_of,
)
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
        colours += f" + {plural(others, 'other channel')}"
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
        rows.append(("animation", f"{plural(len(frames), 'frame')}, "
                                  f"{sum(durations):g} ms in all, "
                                  + ("looping for ever" if loops == 0
                                     else f"{plural(loops, 'loop')}")
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
        rows.append(("boxes", ", ".join(f"{kind} {human_size(size)}" if n == 1
                                        else f"{kind} x{n} {human_size(size)}"
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


def probe_file(path: str) -> tuple[int, Any]:
    """(file size, probe result) for a path, or Failure with a short reason."""
    try:
        with open(path, "rb") as fh:
            head = fh.read(16)
            size = os.fstat(fh.fileno()).st_size
        if not jxl.check_signature(head):
            raise Failure("not a JPEG XL file")
        return size, jxl.probe(path)
    except (OSError, ValueError, JxlError, NotImplementedError) as exc:
        damaged = isinstance(exc, (JxlError, ValueError))
        raise Failure(("damaged JPEG XL file: " if damaged else "") + reason_of(exc)) from exc


def run(args: argparse.Namespace) -> int:
    status = EXIT_OK
    found: list[dict[str, Any]] = []
    first = True
    for name in args.files:
        try:
            size, info = probe_file(name)
        except Failure as exc:
            error(f"info: {name}: {exc}")
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
