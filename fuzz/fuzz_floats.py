"""Fuzzes lossy encoding of float frames.

Frames of float32 or float16 samples, grey, LA, RGB or RGBA, hold samples of
any magnitude: raw bit patterns (NaN, infinities, subnormals), or values
around a power of ten picked from the whole float32 range with a few special
values sprinkled in. They are encoded lossy, through encode() or JxlWriter,
with a colour that is a name, "gamma:G", a ColorSpec (HDR transfers
included) or an ICC profile, and the stream is decoded again. Finite float32
samples that come back as NaN or infinity are a finding, as are a crash, a
sanitizer report or a hang; any other Python exception is an acceptable
answer."""

from __future__ import annotations

import os
import sys

import atheris
import numpy as np

with atheris.instrument_imports():
    import kestrelpix.codecs._jxl as jxl

import _support as sup
from kestrelpix.core.color import COLOR_NAMES

_NAMES = set(COLOR_NAMES) | {"pq", "hlg", "linear"}
# Finite float32 samples that the encoder accepts and that decode to NaN or
# infinity are a finding too (KP_FUZZ_FLOATS_FINITE=0 turns that off). Not so
# for float16: a lossy sample near its top may round past it.
_CHECK_FINITE = os.environ.get("KP_FUZZ_FLOATS_FINITE", "1") == "1"
_ICC = [p.read_bytes() for p in sorted(
    (sup.TESTDATA / "external" / "Compact-ICC-Profiles" / "profiles").glob("*.icc"))]

_SPRINKLE = [np.nan, np.inf, -np.inf, 0.0, -0.0, 1.0, 1e30, -1e30, 1.0000001e30, 1e31,
             3.4028235e38, 1e-45, 65504.0, 65520.0, 1e10, 1e20, -1e20, 2e9, 1e15, 1e25]


def _samples(fdp: atheris.FuzzedDataProvider, dtype: np.dtype, shape) -> np.ndarray:
    count = int(np.prod(shape))
    kind = fdp.ConsumeIntInRange(0, 4)
    if kind <= 1:  # any bit pattern
        raw = fdp.ConsumeBytes(count * dtype.itemsize).ljust(count * dtype.itemsize, b"\0")
        values = np.frombuffer(raw, dtype=dtype).reshape(shape).copy()
        if kind == 1:
            # Exponents folded into the finite range the encoder takes (float32
            # below 2**100, float16 short of infinity), mantissas and signs kept.
            bits = values.view(np.uint32 if dtype == np.float32 else np.uint16)
            shift, top = (23, 227) if dtype == np.float32 else (10, 31)
            mask = (1 << shift) - 1
            sign = bits & (1 << (dtype.itemsize * 8 - 1))
            exponent = ((bits >> shift) & (0xFF if dtype == np.float32 else 0x1F)) % top
            bits[...] = sign | (exponent << shift) | (bits & mask)
        return values
    # Around 10**k for one k over float32's whole range, signs and sizes varied.
    k = fdp.ConsumeIntInRange(-46, 39)
    raw = fdp.ConsumeBytes(count).ljust(count, b"\x80")
    unit = (np.frombuffer(raw, dtype=np.uint8).astype(np.float64) - 128.0) / 64.0
    with np.errstate(all="ignore"):
        values = unit * (10.0 ** k)
        if kind == 3:  # a smooth ramp instead
            values = np.linspace(0.0, 10.0 ** k, count)
        for _ in range(fdp.ConsumeIntInRange(0, 3) if fdp.ConsumeIntInRange(0, 3) == 0 else 0):
            values[fdp.ConsumeIntInRange(0, count - 1)] = fdp.PickValueInList(_SPRINKLE)
        if kind == 4 and fdp.ConsumeBool():
            values[:] = sup.any_float(fdp)  # one value everywhere
        return values.astype(dtype).reshape(shape)


def _shape(fdp: atheris.FuzzedDataProvider) -> tuple[int, ...]:
    big = fdp.ConsumeIntInRange(0, 15) == 0  # now and then more than one group
    top = 300 if big else 12
    y, x = fdp.ConsumeIntInRange(1, top), fdp.ConsumeIntInRange(1, 12 if big else top)
    channels = fdp.ConsumeIntInRange(0, 4)
    return (y, x) if channels == 0 else (y, x, channels)


def _options(fdp: atheris.FuzzedDataProvider) -> dict:
    options = {
        "lossless": fdp.PickValueInList([False, False, False, None]),
        "effort": fdp.ConsumeIntInRange(1, 9 if fdp.ConsumeIntInRange(0, 7) == 0 else 7),
        "decoding_speed": fdp.ConsumeIntInRange(0, 4),
        "numthreads": fdp.ConsumeIntInRange(1, 2),
    }
    which = fdp.ConsumeIntInRange(0, 2)
    if which == 1:
        options["distance"] = fdp.PickValueInList([0.01, 0.1, 0.5, 1.0, 2.0, 8.0, 15.0, 25.0]) \
            if fdp.ConsumeBool() else fdp.ConsumeFloatInRange(0.0, 25.0)
    elif which == 2:
        options["quality"] = fdp.ConsumeFloatInRange(0.0, 100.0)
    kind = fdp.ConsumeIntInRange(0, 15)
    if kind <= 6:
        options["color"] = fdp.PickValueInList(sorted(_NAMES))
    elif kind <= 8:
        options["color"] = f"gamma:{fdp.ConsumeFloatInRange(1.0, 10.0)}"
    elif kind <= 11:
        options["color"] = sup.color_spec(fdp, valid_bias=7)
    elif kind <= 13:
        options["color"] = sup.color(fdp)
    elif kind == 14 and _ICC:
        options["icc_profile"] = fdp.PickValueInList(_ICC)
    return options


def test_one_input(data: bytes) -> None:
    fdp = atheris.FuzzedDataProvider(data)
    use_writer = fdp.ConsumeBool()
    try:
        options = _options(fdp)
        dtype = np.dtype(fdp.PickValueInList([np.float32, np.float16]))
        shape = _shape(fdp)
        frames = [_samples(fdp, dtype, shape) for _ in range(fdp.ConsumeIntInRange(1, 2))]
        animation = len(frames) > 1
        if use_writer:
            with jxl.JxlWriter(animation=animation, **options) as writer:
                for i, frame in enumerate(frames):
                    writer.write_frame(frame, is_last=i == len(frames) - 1)
                stream = writer.close()
        else:
            stream = jxl.encode(np.stack(frames) if animation else frames[0],
                                animation=animation, **options)
        decoded = jxl.decode(stream, numthreads=1)
    except Exception:
        return
    if _CHECK_FINITE and dtype == np.float32 and all(np.isfinite(f).all() for f in frames):
        assert np.isfinite(decoded).all(), "finite samples decoded to NaN or infinity"


def main() -> None:
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
