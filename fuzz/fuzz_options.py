"""Fuzzes the encoder's options and colour specifications.

Every option of encode() and JxlWriter gets a value from the fuzzer: often an
ordinary one, often NaN, an infinity, a number past the range of the type it
ends up in, or an object that is only number-like; the colour is a name, a
"gamma:G", or a ColorSpec whose fields hold any value; the metadata (loops,
ticks per second, Exif/XMP/JUMBF boxes, orientation, an ICC profile that may
be damaged, frame durations and names) gets the same treatment. The frames
are tiny, so that each input is about the options and not about pixels. A
Python exception is an acceptable answer; only a crash, a sanitizer report
or a hang is a finding."""

from __future__ import annotations

import io
import sys

import atheris
import numpy as np

with atheris.instrument_imports():
    import kestrelpix.codecs._jxl as jxl

import _support as sup

_OPTIONS = ("lossless", "quality", "distance", "effort", "decoding_speed", "numthreads",
            "container", "animation")
# The metadata options, where the build has them.
_METADATA = tuple(name for name in ("loops", "tps", "exif", "xmp", "jumbf", "orientation",
                                    "icc_profile", "compress_boxes")
                  if name in (jxl.JxlWriter.__doc__ or ""))
_ICC = [p.read_bytes() for p in sorted(
    (sup.TESTDATA / "external" / "Compact-ICC-Profiles" / "profiles").glob("*.icc"))]
_TIFF = [b"II*\0\x08\0\0\0\0\0\0\0\0\0", b"MM\0*\0\0\0\x08\0\0\0\0\0\0",
         b"Exif\0\0II*\0\x08\0\0\0\0\0"]
_DTYPES = [np.uint8, np.uint16, np.float16, np.float32]


def _ordinary(fdp: atheris.FuzzedDataProvider, name: str):
    if name in ("lossless", "container", "animation"):
        return fdp.PickValueInList([True, False, None] if name == "lossless" else [True, False])
    if name == "quality":
        return fdp.ConsumeFloatInRange(-10.0, 110.0)
    if name == "distance":
        return fdp.ConsumeFloatInRange(-1.0, 26.0)
    if name == "effort":
        return fdp.ConsumeIntInRange(-1, 12)
    if name == "decoding_speed":
        return fdp.ConsumeIntInRange(-1, 5)
    return fdp.ConsumeIntInRange(-1, 3)  # numthreads


def _awkward(fdp: atheris.FuzzedDataProvider, name: str):
    if name in ("quality", "distance") and fdp.ConsumeIntInRange(0, 3) != 0:
        return sup.any_float(fdp)
    return sup.any_value(fdp)


def _blob(fdp: atheris.FuzzedDataProvider, name: str):
    """Bytes for a box or a profile: real-looking, damaged or made up."""
    if name == "icc_profile" and _ICC and fdp.ConsumeBool():
        icc = bytearray(fdp.PickValueInList(_ICC))
        cut = fdp.ConsumeIntInRange(0, 3)
        if cut == 1:
            icc = icc[:fdp.ConsumeIntInRange(0, len(icc))]
        elif cut == 2:
            for _ in range(fdp.ConsumeIntInRange(1, 4)):
                icc[fdp.ConsumeIntInRange(0, len(icc) - 1)] = fdp.ConsumeIntInRange(0, 255)
        return bytes(icc)
    if name == "exif" and fdp.ConsumeBool():
        return fdp.PickValueInList(_TIFF) + fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 64))
    raw = fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 200))
    if name == "xmp" and fdp.ConsumeBool():
        return raw.decode("utf-8", "surrogateescape")  # lone surrogates too
    return fdp.PickValueInList([bytes, bytearray, memoryview])(raw) if raw else raw


def _ordinary(fdp: atheris.FuzzedDataProvider, name: str):
    if name in ("lossless", "container", "animation", "compress_boxes"):
        return fdp.PickValueInList([True, False, None] if name == "lossless" else [True, False])
    if name == "quality":
        return fdp.ConsumeFloatInRange(-10.0, 110.0)
    if name == "distance":
        return fdp.ConsumeFloatInRange(-1.0, 26.0)
    if name == "effort":
        return fdp.ConsumeIntInRange(-1, 12)
    if name == "decoding_speed":
        return fdp.ConsumeIntInRange(-1, 5)
    if name == "loops":
        return fdp.ConsumeIntInRange(-1, 5)
    if name == "orientation":
        return fdp.ConsumeIntInRange(0, 9)
    if name == "tps":
        if fdp.ConsumeBool():
            return fdp.ConsumeIntInRange(-1, 1001)
        return (fdp.ConsumeIntInRange(-1, 30001), fdp.ConsumeIntInRange(-1, 1001))
    if name in ("exif", "xmp", "jumbf", "icc_profile"):
        return _blob(fdp, name)
    return fdp.ConsumeIntInRange(-1, 3)  # numthreads


def _awkward(fdp: atheris.FuzzedDataProvider, name: str):
    if name in ("quality", "distance") and fdp.ConsumeIntInRange(0, 3) != 0:
        return sup.any_float(fdp)
    if name == "tps" and fdp.ConsumeBool():
        return tuple(sup.any_value(fdp) for _ in range(fdp.ConsumeIntInRange(0, 3)))
    return sup.any_value(fdp)


def _options(fdp: atheris.FuzzedDataProvider) -> dict:
    options = {}
    for name in _OPTIONS + _METADATA:
        if fdp.ConsumeIntInRange(0, 5 if name in _METADATA else 3) == 0:
            awkward = fdp.ConsumeIntInRange(0, 2) == 0
            options[name] = _awkward(fdp, name) if awkward else _ordinary(fdp, name)
            # Timing means something only for an animation.
            if name in ("loops", "tps") and not awkward and fdp.ConsumeIntInRange(0, 3):
                options["animation"] = True
    # Both given is refused at once; mostly keep one.
    for pair in (("quality", "distance"), ("color", "icc_profile")):
        if all(k in options for k in pair) and fdp.ConsumeIntInRange(0, 7):
            del options[fdp.PickValueInList(list(pair))]
    if "icc_profile" not in options and fdp.ConsumeIntInRange(0, 3):
        options["color"] = sup.color(fdp)
    return options


def _frame_options(fdp: atheris.FuzzedDataProvider) -> dict:
    """write_frame's duration and name, where the build has them."""
    options = {}
    if not _METADATA:
        return options
    if fdp.ConsumeBool():
        options["duration"] = fdp.PickValueInList([None, 0, 100, 100.0, 33.3, -1]) \
            if fdp.ConsumeBool() else sup.any_value(fdp)
    if fdp.ConsumeIntInRange(0, 3) == 0:
        kind = fdp.ConsumeIntInRange(0, 3)
        if kind == 0:
            options["name"] = fdp.ConsumeUnicode(fdp.ConsumeIntInRange(0, 40))
        elif kind == 1:
            options["name"] = "n" * fdp.PickValueInList([1071, 1072, 1070, 536, 2000])
        elif kind == 2:
            options["name"] = "\u00e9" * fdp.PickValueInList([535, 536, 537]) + "\udcff" * fdp.ConsumeBool()
        else:
            options["name"] = sup.any_value(fdp)
    return options


def _frame(fdp: atheris.FuzzedDataProvider, dtype, shape) -> np.ndarray:
    count = int(np.prod(shape)) * dtype.itemsize
    raw = fdp.ConsumeBytes(count).ljust(count, b"\x3c")
    return np.frombuffer(raw, dtype=dtype).reshape(shape).copy()


def _shape(fdp: atheris.FuzzedDataProvider) -> tuple[int, ...]:
    y, x = fdp.ConsumeIntInRange(1, 3), fdp.ConsumeIntInRange(1, 3)
    kind = fdp.ConsumeIntInRange(0, 9)
    if kind == 0:
        return (y, x)
    if kind == 9:  # the refused ones
        return fdp.PickValueInList([(y,), (y, x, 0), (y, x, 5), (0, x), (y, x, 1, 1)])
    return (y, x, fdp.ConsumeIntInRange(1, 4))


class _Sink:
    """A destination whose write() answers whatever it was set to."""

    def __init__(self, answers):
        self.answers = list(answers)
        self.data = bytearray()

    def write(self, data):
        answer = self.answers.pop(0) if self.answers else None
        if isinstance(answer, BaseException):
            raise answer
        if isinstance(answer, int) and not isinstance(answer, bool) and 0 <= answer:
            self.data += bytes(data)[:answer]
        else:
            self.data += bytes(data)
        return answer


def _dest(fdp: atheris.FuzzedDataProvider):
    kind = fdp.ConsumeIntInRange(0, 11)
    if kind <= 2 or kind > 5:
        return None
    if kind == 3:
        return io.BytesIO()
    if kind == 4:
        return _Sink([fdp.PickValueInList([None, 0, 1, 5, -1, 2**40, True, 1.5, "x",
                                           OSError("full")])
                      for _ in range(fdp.ConsumeIntInRange(0, 3))])
    return fdp.PickValueInList([object(), 42, b"not a path\0"])


def _check(stream) -> None:
    if isinstance(stream, (bytes, bytearray)) and stream:
        jxl.decode(bytes(stream), numthreads=1)


def _via_encode(fdp: atheris.FuzzedDataProvider, options: dict) -> None:
    dtype = np.dtype(fdp.PickValueInList(_DTYPES))
    shape = _shape(fdp)
    if options.get("animation") is True or fdp.ConsumeIntInRange(0, 3) == 0:
        shape = (fdp.ConsumeIntInRange(0, 3) if fdp.ConsumeIntInRange(0, 7) == 0
                 else fdp.ConsumeIntInRange(1, 3),) + shape
    arr = _frame(fdp, dtype, shape)
    dest = _dest(fdp)
    if _METADATA and options.get("animation") and fdp.ConsumeBool():
        options["durations"] = [sup.any_value(fdp) if fdp.ConsumeBool() else
                                fdp.ConsumeFloatInRange(0, 1000)
                                for _ in range(fdp.ConsumeIntInRange(0, 4))] \
            if fdp.ConsumeBool() else sup.any_value(fdp)
    result = jxl.encode(arr, dest=dest, **options)
    if isinstance(dest, io.BytesIO):
        result = dest.getvalue()
    elif isinstance(dest, _Sink):
        result = dest.data
    _check(result)


def _via_writer(fdp: atheris.FuzzedDataProvider, options: dict) -> None:
    dest = _dest(fdp)
    writer = jxl.JxlWriter(dest, **options)
    dtype = np.dtype(fdp.PickValueInList(_DTYPES))
    shape = _shape(fdp)
    result = None
    try:
        for _ in range(fdp.ConsumeIntInRange(0, 3)):
            if fdp.ConsumeIntInRange(0, 7) == 0:  # a frame unlike the first
                dtype = np.dtype(fdp.PickValueInList(_DTYPES))
                shape = _shape(fdp)
            try:
                writer.write_frame(_frame(fdp, dtype, shape), is_last=sup.any_value(fdp)
                                   if fdp.ConsumeIntInRange(0, 7) == 0 else fdp.ConsumeBool(),
                                   **_frame_options(fdp))
            except Exception:
                if fdp.ConsumeBool():
                    raise
        if fdp.ConsumeIntInRange(0, 7) == 0:  # the constructor run again on a live writer
            writer.__init__(dest, **options)
        result = writer.close()
    finally:
        writer.close() if fdp.ConsumeBool() else None
    _check(result)


def test_one_input(data: bytes) -> None:
    fdp = atheris.FuzzedDataProvider(data)
    use_writer = fdp.ConsumeBool()
    try:
        options = _options(fdp)
        if use_writer:
            _via_writer(fdp, options)
        else:
            _via_encode(fdp, options)
    except Exception:
        pass


def main() -> None:
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
