"""What the fuzz targets share: stand-ins for the streaming reader and for
large files, and ways of turning fuzzer bytes into the awkward values a caller
can pass (NaN, infinities, numbers past every type's range, objects that are
only number-like) and into colour specifications, valid or not."""

from __future__ import annotations

import dataclasses
import io
import math
import sys
from decimal import Decimal
from fractions import Fraction
from pathlib import Path

import atheris
import numpy as np

import kestrelpix.core.color as kcolor
import kestrelpix.core.io as kio

STREAMING_THRESHOLD = 4194304
TESTDATA = next((p for p in (Path(sys.prefix, "share", "libjxl-testdata"),
                             Path("/usr/share/libjxl-testdata")) if p.is_dir()),
                Path("/usr/share/libjxl-testdata"))


class TinyChunks:
    """Stands in for the background reader: serves the source in small chunks,
    on the caller's thread, so that the decoder sees every chunk boundary."""

    chunk = 7

    def __init__(self, src, chunk_size=0, prefetch=0):
        if isinstance(src, io.BytesIO):
            self._data = src.getvalue()
        elif hasattr(src, "read"):
            self._data = src.read()
        else:
            self._data = bytes(src)
        self._pos = 0

    def get(self):
        if self._pos >= len(self._data):
            return None
        piece = self._data[self._pos:self._pos + self.chunk]
        self._pos += self.chunk
        return piece

    def close(self):
        pass


class FewBytes(io.BytesIO):
    """read(size) gives at most `chunk` bytes: every chunk boundary shows."""

    chunk = 7

    def read(self, size=-1):
        return super().read(size if size is None or size < 0 else min(size, self.chunk))


def as_source(kind: str, data: bytes):
    """`data` as one kind of input a caller may hand over: "bytes",
    "bytearray", "memoryview", "array" (uint8), "file" or "few-bytes file"
    (a FewBytes)."""
    if kind == "bytes":
        return data
    if kind == "bytearray":
        return bytearray(data)
    if kind == "memoryview":
        return memoryview(data)
    if kind == "array":
        return np.frombuffer(data, dtype=np.uint8)
    if kind == "file":
        return io.BytesIO(data)
    return FewBytes(data)


class LargeLooking(io.BytesIO):
    """A file object that measures larger than the streaming threshold."""

    def seek(self, pos, whence=0):
        if whence == 2:
            return super().seek(STREAMING_THRESHOLD + 1)
        return super().seek(pos, whence)


def install_stand_ins() -> None:
    kio.BackgroundChunkReader = TinyChunks


def seed_and_fuzz(test_one_input, seed) -> None:
    """Seed the corpus named on the command line (the first argument that is
    not a libFuzzer option) with `seed(dir)`, then fuzz `test_one_input`."""
    dirs = [Path(a) for a in sys.argv[1:] if not a.startswith("-")]
    if dirs:
        seed(dirs[0])
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


# ---- Awkward values ------------------------------------------------------------

SPECIAL_FLOATS = [
    math.nan, -math.nan, math.inf, -math.inf, 0.0, -0.0, 1.0, -1.0, 0.5, 100.0, 100.5,
    25.0, 25.000001, 30.0, 1e-45, 5e-324, 1e-320, 1e-10, 1e10, 1e20, 1e30, 3.4028234663852886e38,
    3.5e38, 1e39, 1e300, 1.7976931348623157e308, -1e300, -1e39, -3.5e38, -1e20, 65504.0,
    65520.0, 1e-7, 15.0, 0.1, 99.999999, 100.0000001, 101.0, 1000.0, -10.0, -100.0,
]

SPECIAL_INTS = [
    0, 1, -1, 2, 3, 4, 5, 7, 9, 10, 11, 12, 13, 16, 17, 18, 64, 65, 255, 256, 65535, 65536,
    2**31 - 1, 2**31, -2**31, -2**31 - 1, 2**32 - 1, 2**32, 2**63 - 1, 2**63, -2**63,
    -2**63 - 1, 2**64, 2**100, -2**100, 10**400,
]


class Floaty:
    """Only number-like: its __float__ answers whatever it was given."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


class Indexy:
    """An integer only through __index__."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


def any_float(fdp: atheris.FuzzedDataProvider) -> float:
    kind = fdp.ConsumeIntInRange(0, 3)
    if kind == 0:
        return fdp.PickValueInList(SPECIAL_FLOATS)
    if kind == 1:
        return fdp.ConsumeFloat()  # includes NaN, infinities, extremes
    if kind == 2:
        return fdp.ConsumeRegularFloat()
    return fdp.ConsumeFloatInRange(-20.0, 120.0)


def any_int(fdp: atheris.FuzzedDataProvider) -> int:
    kind = fdp.ConsumeIntInRange(0, 2)
    if kind == 0:
        return fdp.PickValueInList(SPECIAL_INTS)
    if kind == 1:
        return fdp.ConsumeIntInRange(-3, 70000)
    return fdp.ConsumeInt(9)  # up to 72 bits, signed


def any_value(fdp: atheris.FuzzedDataProvider):
    """Something a numeric or boolean option might be given."""
    kind = fdp.ConsumeIntInRange(0, 15)
    if kind <= 3:
        return any_float(fdp)
    if kind <= 6:
        return any_int(fdp)
    if kind == 7:
        return None
    if kind == 8:
        return fdp.ConsumeBool()
    if kind == 9:
        t = fdp.PickValueInList([np.float16, np.float32, np.float64, np.longdouble])
        with np.errstate(all="ignore"):
            return t(any_float(fdp))
    if kind == 10:
        t = fdp.PickValueInList([np.int8, np.uint8, np.int32, np.uint32, np.int64, np.uint64])
        return t(fdp.ConsumeIntInRange(0, 100))
    if kind == 11:
        return fdp.PickValueInList([Decimal("nan"), Decimal("snan"), Decimal("-inf"),
                                    Decimal("1e400"), Decimal("-1e-400"), Decimal("90.5"),
                                    Fraction(1, 3), Fraction(10**400, 3)])
    if kind == 12:
        return Floaty(fdp.PickValueInList([math.nan, math.inf, 1e300, 50.0,
                                           ValueError("no"), "not a float"]))
    if kind == 13:
        return Indexy(fdp.PickValueInList([3, -1, 2**31, 2**70, ValueError("no"), 1.5]))
    if kind == 14:
        return fdp.PickValueInList(["90", "", b"1", [1], (), {}, object(), complex(1, 1)])
    return np.array(any_float(fdp))  # 0-d array


# ---- Colours -----------------------------------------------------------------

_ALIASES = list(getattr(kcolor, "_ALIASES", {}))
_NAMES = list(kcolor.COLOR_NAMES) + _ALIASES

_ENUM_FIELDS = {
    "white_point": list(kcolor.WhitePoint),
    "primaries": list(kcolor.Primaries),
    "transfer": list(kcolor.TransferFunction),
    "rendering_intent": list(kcolor.RenderingIntent),
}


def _name_variant(fdp: atheris.FuzzedDataProvider, name: str) -> str:
    style = fdp.ConsumeIntInRange(0, 3)
    if style == 1:
        name = name.upper()
    elif style == 2:
        name = name.replace("-", "_")
    elif style == 3:
        name = " " + name.replace("-", " ") + " "
    return name


def _enum_field(fdp: atheris.FuzzedDataProvider, field: str):
    kind = fdp.ConsumeIntInRange(0, 7)
    if kind <= 3:
        return fdp.PickValueInList(_ENUM_FIELDS[field])
    if kind <= 5:
        return any_int(fdp)
    if kind == 6:
        return int(fdp.PickValueInList(_ENUM_FIELDS[field]))
    return any_value(fdp)


def color_spec(fdp: atheris.FuzzedDataProvider, valid_bias: int = 1):
    """A ColorSpec with fields of any value, made without its own checks, as a
    caller could with object.__setattr__ or a subclass."""
    # A copy: the named encodings are shared objects.
    spec = dataclasses.replace(kcolor.parse_color(fdp.PickValueInList(list(kcolor.COLOR_NAMES))))
    fields = {}
    for field in ("white_point", "primaries", "transfer", "rendering_intent"):
        if fdp.ConsumeIntInRange(0, valid_bias) != 0:
            continue  # keep the named encoding's value
        fields[field] = _enum_field(fdp, field)
    if fdp.ConsumeBool():
        fields["gamma"] = any_float(fdp) if fdp.ConsumeIntInRange(0, 3) else any_value(fdp)
    if fdp.ConsumeBool():
        fields["is_hdr"] = fdp.ConsumeBool() if fdp.ConsumeBool() else any_value(fdp)
    for field, value in fields.items():
        object.__setattr__(spec, field, value)
    return spec


def color(fdp: atheris.FuzzedDataProvider):
    """The `color` argument: None, a name, "gamma:G", a ColorSpec made the
    documented way, one made with any field values, or something else."""
    kind = fdp.ConsumeIntInRange(0, 9)
    if kind == 0:
        return None
    if kind <= 3:
        return _name_variant(fdp, fdp.PickValueInList(_NAMES))
    if kind == 4:
        g = fdp.PickValueInList(["nan", "inf", "-inf", "1", "1.0", "2.2", "0.5", "0", "-2",
                                 "1e-320", "1e308", "1e309", "1e7", "1e8", "1e300",
                                 "1.0000001", "9999999", repr(any_float(fdp))])
        return "gamma:" + g
    if kind == 5:
        try:
            return kcolor.gamma_spec(
                any_float(fdp),
                primaries=fdp.PickValueInList(_ENUM_FIELDS["primaries"]),
                white_point=fdp.PickValueInList(_ENUM_FIELDS["white_point"]),
                rendering_intent=fdp.PickValueInList(_ENUM_FIELDS["rendering_intent"]))
        except (TypeError, ValueError):
            return "gamma:2.2"
    if kind == 6:
        try:
            return kcolor.ColorSpec(*(fdp.PickValueInList(_ENUM_FIELDS[f]) for f in _ENUM_FIELDS),
                                    gamma=any_float(fdp), is_hdr=fdp.ConsumeBool())
        except ValueError:
            return None
    if kind <= 8:
        return color_spec(fdp)
    return fdp.PickValueInList(["", "gamma:", "gamma:abc", "xyb", "srgb\0", 1, 2.2, b"srgb",
                                object(), ("srgb",)])
