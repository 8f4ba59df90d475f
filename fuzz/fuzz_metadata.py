"""Fuzzes the writers' metadata and extra channels, and reads back what they
wrote.

Every input builds an encode() call or a JxlWriter with metadata from the
fuzzer's bytes: loops, tps (an int or a pair, 0, huge, negative), frame
durations (NaN, infinities, negative, huge), frame names (any unicode, long),
Exif/XMP/JUMBF boxes of any bytes, orientation, an ICC profile of any bytes
(real, damaged or made up: libjxl must refuse bad ones cleanly),
compress_boxes, and a list of extra channels (any type, name, bit depth, spot
colour, premultiplication, bad ones too) with frames whose channel count
matches it or not, of uint8, uint16, float16 or float32, at most 16x16, effort
1 to 3.

A Python exception from the writer is an acceptable answer; a crash, a
sanitizer report or a hang is a finding. When the writer accepts, the stream
is probed and decoded with extra_channels=True, and these are findings too
(an AssertionError): probe or the decoder refusing the writer's stream; the
boxes, orientation, loop count, frame count or frame names read back unlike
what was written; a lossless stream whose samples do not come back exactly.

Where the colour channels of a stream with a spot colour come back (libjxl's
decoder renders spot colours into the colour channels by default), they are
compared only with KP_FUZZ_METADATA_SPOT=1; the extra channels always are.
Likewise float16 NaN samples (libjxl gives them back as infinities) only with
KP_FUZZ_METADATA_NAN=1, and names with a NUL in them (cut there) only with
KP_FUZZ_METADATA_NUL=1. Zero-length animation frames are blended into the
next one, so that streams with them are not counted frame by frame."""

from __future__ import annotations

import math
import os
import sys

import atheris
import numpy as np

with atheris.instrument_imports():
    import kestrelpix.codecs._jxl as jxl

import _support as sup

# Known answers that are findings only when asked for (each its own run):
# colour channels under a rendered spot colour, float16 NaN coming back as an
# infinity, a frame name cut at an embedded NUL.
SPOT_EXACT = os.environ.get("KP_FUZZ_METADATA_SPOT") == "1"
NAN_EXACT = os.environ.get("KP_FUZZ_METADATA_NAN") == "1"
NUL_EXACT = os.environ.get("KP_FUZZ_METADATA_NUL") == "1"
_TYPES = ["alpha", "depth", "spot_color", "selection_mask", "black", "thermal", "optional"]
_BAD_TYPES = ["cfa", "unknown", "", "ALPHA", "alpha\0", "reserved0", 3, None, b"alpha"]
_DTYPES = [np.uint8, np.uint16, np.float16, np.float32]
_ICC = [p.read_bytes() for p in sorted(
    (sup.TESTDATA / "external" / "Compact-ICC-Profiles" / "profiles").glob("*.icc"))]
_TIFF = [b"II*\0\x08\0\0\0", b"MM\0*\0\0\0\x08", b"Exif\0\0II*\0\x08\0\0\0"]


class Finding(AssertionError):
    pass


def _blob(fdp: atheris.FuzzedDataProvider, name: str):
    kind = fdp.ConsumeIntInRange(0, 7)
    if name == "icc_profile" and _ICC and kind <= 3:
        icc = bytearray(fdp.PickValueInList(_ICC))
        if kind == 1:
            icc = icc[:fdp.ConsumeIntInRange(0, len(icc))]
        elif kind == 2:
            for _ in range(fdp.ConsumeIntInRange(1, 8)):
                icc[fdp.ConsumeIntInRange(0, len(icc) - 1)] = fdp.ConsumeIntInRange(0, 255)
        elif kind == 3:  # a size field that lies
            icc[:4] = fdp.ConsumeBytes(4).ljust(4, b"\xff")
        return bytes(icc)
    if name == "exif" and kind <= 4:
        return fdp.PickValueInList(_TIFF) + fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 300))
    if kind == 5:
        return fdp.ConsumeBytes(1) * fdp.PickValueInList([0, 1, 4095, 4096, 65536, 1 << 20])
    raw = fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 400))
    if name == "xmp" and fdp.ConsumeBool():
        return fdp.ConsumeUnicode(fdp.ConsumeIntInRange(0, 200)) if fdp.ConsumeBool() \
            else raw.decode("utf-8", "surrogateescape")
    if kind == 6:
        return fdp.PickValueInList([bytearray, memoryview])(raw)
    if kind == 7 and fdp.ConsumeIntInRange(0, 3) == 0:
        return sup.any_value(fdp)
    return raw


def _tps(fdp: atheris.FuzzedDataProvider):
    kind = fdp.ConsumeIntInRange(0, 5)
    if kind == 0:
        return fdp.PickValueInList([1, 10, 1000, 0, -1, 2**31 - 1, 2**32 - 1, 2**32, 2**64])
    if kind == 1:
        return (fdp.PickValueInList([30000, 1, 0, -1, 2**32 - 1, 2**32, 10**30]),
                fdp.PickValueInList([1001, 1, 0, -1, 2**10, 2**32 - 1, 2**32]))
    if kind == 2:
        return (fdp.ConsumeIntInRange(1, 100000), fdp.ConsumeIntInRange(1, 2000))
    if kind == 3:
        return fdp.ConsumeIntInRange(1, 100000)
    if kind == 4:
        return tuple(sup.any_value(fdp) for _ in range(fdp.ConsumeIntInRange(0, 3)))
    return sup.any_value(fdp)


def _duration(fdp: atheris.FuzzedDataProvider):
    kind = fdp.ConsumeIntInRange(0, 4)
    if kind == 0:
        return fdp.PickValueInList([None, 0, 1, 100, 100.0, 33.3, 1000 / 30, 1001 / 30, -1, -0.0,
                                    math.nan, math.inf, -math.inf, 1e300, 2**32, 2**64, 5e-324])
    if kind <= 2:
        return fdp.ConsumeIntInRange(0, 5000) * fdp.PickValueInList([1, 1, 10, 100])
    if kind == 3:
        return sup.any_float(fdp)
    return sup.any_value(fdp)


def _name(fdp: atheris.FuzzedDataProvider):
    kind = fdp.ConsumeIntInRange(0, 5)
    if kind <= 1:
        return fdp.ConsumeUnicode(fdp.ConsumeIntInRange(0, 64))
    if kind == 2:
        return fdp.ConsumeUnicode(1) * fdp.PickValueInList([267, 268, 357, 535, 536, 1071, 1072, 5000])
    if kind == 3:
        return "\U0001f600" * fdp.PickValueInList([267, 268, 269]) + "\0" * fdp.ConsumeBool()
    if kind == 4:
        return None
    return fdp.PickValueInList(["", "\udcff", b"bytes", 1, object(), "a\0b"])


def _extra_channel(fdp: atheris.FuzzedDataProvider):
    kind = fdp.ConsumeIntInRange(0, 9)
    if kind <= 2:
        return fdp.PickValueInList(_TYPES)
    if kind == 3:
        return fdp.PickValueInList(_BAD_TYPES) if fdp.ConsumeBool() else sup.any_value(fdp)
    ec = {"type": fdp.PickValueInList(_TYPES) if fdp.ConsumeIntInRange(0, 7)
          else fdp.PickValueInList(_BAD_TYPES)}
    if fdp.ConsumeBool():
        ec["name"] = _name(fdp)
    if fdp.ConsumeIntInRange(0, 2) == 0:
        ec["bits_per_sample"] = fdp.PickValueInList([1, 4, 8, 12, 16, 0, 17, 24, 32, -1, 2**64]) \
            if fdp.ConsumeBool() else sup.any_value(fdp)
    if ec["type"] == "spot_color" and fdp.ConsumeIntInRange(0, 5) or fdp.ConsumeIntInRange(0, 7) == 0:
        kind = fdp.ConsumeIntInRange(0, 4)
        if kind <= 1:
            ec["spot_color"] = [fdp.ConsumeFloatInRange(0.0, 1.0) for _ in range(4)]
        elif kind == 2:
            ec["spot_color"] = [sup.any_float(fdp) for _ in range(fdp.ConsumeIntInRange(0, 6))]
        elif kind == 3:
            ec["spot_color"] = np.array([sup.any_float(fdp) for _ in range(4)],
                                        fdp.PickValueInList([np.float32, np.float64, np.float16]))
        else:
            ec["spot_color"] = sup.any_value(fdp)
    if fdp.ConsumeIntInRange(0, 3) == 0:
        ec["alpha_premultiplied"] = fdp.ConsumeBool() if fdp.ConsumeBool() else sup.any_value(fdp)
    if fdp.ConsumeIntInRange(0, 15) == 0:
        ec[fdp.PickValueInList(["colour", "bits", 1, ""])] = 1
    return ec


def _frame(fdp: atheris.FuzzedDataProvider, dtype: np.dtype, shape) -> np.ndarray:
    count = int(np.prod(shape)) * dtype.itemsize
    raw = fdp.ConsumeBytes(count).ljust(count, b"\x3c")
    arr = np.frombuffer(raw, dtype=dtype).reshape(shape).copy()
    if dtype.kind == "f" and fdp.ConsumeIntInRange(0, 3):
        # Mostly finite, ordinary samples, as an image would have.
        with np.errstate(all="ignore"):
            arr = np.nan_to_num(arr, nan=0.5, posinf=1.0, neginf=0.0)
            arr = np.clip(arr, -4.0, 4.0).astype(dtype)
    return arr


def _setup(fdp: atheris.FuzzedDataProvider) -> dict:
    s = {"use_writer": fdp.ConsumeBool()}
    n_frames = fdp.ConsumeIntInRange(1, 3)
    s["animation"] = fdp.ConsumeIntInRange(0, 2) == 0 or n_frames > 1 and fdp.ConsumeBool()
    if not s["animation"]:
        n_frames = 1
    s["n_frames"] = n_frames
    s["dtype"] = np.dtype(fdp.PickValueInList(_DTYPES))
    extra = [_extra_channel(fdp) for _ in range(fdp.PickValueInList([0, 0, 1, 1, 2, 3, 5]))]
    s["extra"] = extra if extra or fdp.ConsumeBool() else None
    colour = fdp.PickValueInList([1, 3, 3, 1, 2, 4])
    channels = colour + len(extra)
    if fdp.ConsumeIntInRange(0, 5) == 0:
        channels = max(1, channels + fdp.PickValueInList([-1, 1, 2]))
    y = fdp.ConsumeIntInRange(1, 16) if fdp.ConsumeBool() else fdp.ConsumeIntInRange(1, 4)
    x = fdp.ConsumeIntInRange(1, 16) if fdp.ConsumeBool() else fdp.ConsumeIntInRange(1, 4)
    s["shape"] = (y, x) if channels == 1 and fdp.ConsumeBool() else (y, x, channels)

    options = {"effort": fdp.ConsumeIntInRange(1, 3), "numthreads": 1,
               "lossless": fdp.ConsumeIntInRange(0, 3) != 0}
    if not options["lossless"]:
        options["distance"] = fdp.ConsumeFloatInRange(0.1, 5.0)
    if s["animation"]:
        options["animation"] = True
    if fdp.ConsumeIntInRange(0, 5) == 0:
        options["container"] = fdp.ConsumeBool()
    if s["animation"] or fdp.ConsumeIntInRange(0, 5) == 0:
        if fdp.ConsumeBool():
            options["loops"] = fdp.PickValueInList([0, 1, 3, 65535, 2**31 - 1, 2**32 - 1, 2**32,
                                                    -1, 2**64]) \
                if fdp.ConsumeIntInRange(0, 3) else sup.any_value(fdp)
        if fdp.ConsumeBool():
            options["tps"] = _tps(fdp)
    for name in ("exif", "xmp", "jumbf", "icc_profile"):
        if fdp.ConsumeIntInRange(0, 3) == 0:
            options[name] = _blob(fdp, name)
    if fdp.ConsumeIntInRange(0, 2) == 0:
        options["orientation"] = fdp.ConsumeIntInRange(1, 8) if fdp.ConsumeIntInRange(0, 3) \
            else sup.any_value(fdp)
    if fdp.ConsumeBool():
        options["compress_boxes"] = fdp.ConsumeBool() if fdp.ConsumeIntInRange(0, 7) \
            else sup.any_value(fdp)
    if s["extra"] is not None:
        options["extra_channels"] = s["extra"]
    s["options"] = options
    return s


# ---- Reading back ------------------------------------------------------------

def _expected_box(value, exif: bool):
    if isinstance(value, str):
        try:
            value = value.encode("utf-8")
        except UnicodeEncodeError:
            return None
    if not isinstance(value, (bytes, bytearray, memoryview)):
        return None
    value = bytes(value)
    if exif and value.startswith(b"Exif\0\0"):
        value = value[6:]
    return value


def _exact_extra(extra, dtype: np.dtype) -> list[bool]:
    """For each extra channel, whether its samples must come back exactly:
    those at the frame's own depth (a narrower one is a rounding)."""
    out = []
    for ec in extra or []:
        bits = ec.get("bits_per_sample") if isinstance(ec, dict) else None
        out.append(bits is None or dtype.kind == "f" or bits == dtype.itemsize * 8)
    return out


def _has_spot(info) -> bool:
    return any(ec["type"] == "spot_color" for ec in info["extra_channels"])


def _check(stream, s: dict, frames: list, names: list, zero_length: bool) -> None:
    if not isinstance(stream, bytes) or not stream:
        raise Finding(f"the writer answered {type(stream)!r} of length {len(stream or b'')}")
    options = s["options"]
    try:
        info = jxl.probe(stream, numthreads=1)
    except Exception as e:
        raise Finding(f"probe refused the writer's stream: {e!r}") from e
    for key, exif in (("exif", True), ("xmp", False), ("jumbf", False)):
        if key in options:
            want = _expected_box(options[key], exif)
            got = info[key]
            if want and got != want:
                raise Finding(f"{key} written as {want[:64]!r} ({len(want)} bytes), "
                              f"probed as {got[:64] if got else got!r}")
    if "orientation" in options and isinstance(options["orientation"], int) \
            and info["orientation"] != options["orientation"]:
        raise Finding(f"orientation {options['orientation']} probed as {info['orientation']}")
    if len(info["frames"]) != len(frames):
        if zero_length:
            return
        raise Finding(f"{len(frames)} frames written, {len(info['frames'])} probed")
    if s["animation"]:
        loops = options.get("loops")
        if isinstance(loops, int) and not isinstance(loops, bool) \
                and info["animation"]["num_loops"] != loops:
            raise Finding(f"loops {loops} probed as {info['animation']['num_loops']}")
    for n, (name, frame_info) in enumerate(zip(names, info["frames"])):
        if isinstance(name, str) and ("\0" not in name or NUL_EXACT) \
                and frame_info["name"] != name:
            raise Finding(f"frame {n} named {name[:40]!r} ({len(name)} chars), "
                          f"probed as {frame_info['name'][:40]!r}")
    try:
        decoded = jxl.decode(stream, numthreads=1, extra_channels=True, keep_orientation=True)
    except Exception as e:
        raise Finding(f"decode(extra_channels=True) refused the writer's stream: {e!r}") from e
    want = np.stack(frames) if s["animation"] and len(frames) > 1 else frames[0]
    # A grey frame comes back (Y, X), a one-frame animation as its frame.
    if decoded.size == want.size and np.squeeze(decoded).shape == np.squeeze(want).shape:
        want = want.reshape(decoded.shape)
    if decoded.shape != want.shape:
        raise Finding(f"wrote {want.shape}, decoded {decoded.shape}")
    if not options.get("lossless") or decoded.dtype != want.dtype:
        return
    exact = _exact_extra(s["extra"], want.dtype)
    colour = s["shape"][-1] - len(exact) if len(s["shape"]) == 3 else 1
    check = [True] * colour + exact
    if _has_spot(info) and not SPOT_EXACT:
        check[:colour] = [False] * colour
    if len(s["shape"]) == 2 or s["shape"][-1] == 1:
        pairs = [(decoded, want)] if check[0] else []
    else:
        pairs = [(decoded[..., c], want[..., c]) for c in range(want.shape[-1]) if check[c]]
    for got, sent in pairs:
        if want.dtype == np.float16 and not NAN_EXACT:
            got, sent = got[~np.isnan(sent)], sent[~np.isnan(sent)]
        if not np.array_equal(got, sent, equal_nan=want.dtype.kind == "f"):
            diff = np.argwhere(~((got == sent) | (np.isnan(got) & np.isnan(sent))
                                 if want.dtype.kind == "f" else got == sent))
            raise Finding(f"lossless {want.dtype} {want.shape} with extra channels "
                          f"{s['extra']!r} came back different at {diff[:4].tolist()}")


def _maybe_zero(duration) -> bool:
    """Whether a duration may come out as no tick at all (which blends the
    frame into the next)."""
    if duration is None:
        return False
    try:
        return not float(duration) >= 1.0  # tiny ones round to no tick
    except Exception:
        return True


def _via_encode(fdp: atheris.FuzzedDataProvider, s: dict):
    shape = s["shape"]
    frames = [_frame(fdp, s["dtype"], shape) for _ in range(s["n_frames"])]
    options = dict(s["options"])
    if s["animation"] and fdp.ConsumeBool():
        options["durations"] = [_duration(fdp) for _ in range(fdp.ConsumeIntInRange(0, 4))] \
            if fdp.ConsumeBool() else _duration(fdp)
    arr = np.stack(frames) if s["animation"] else frames[0]
    try:
        stream = jxl.encode(arr, **options)
    except Exception:
        return None
    given = options.get("durations")
    given = list(given) if isinstance(given, list) else [given]
    return stream, frames, [None] * len(frames), any(map(_maybe_zero, given))


def _via_writer(fdp: atheris.FuzzedDataProvider, s: dict):
    try:
        writer = jxl.JxlWriter(**s["options"])
    except Exception:
        return None
    frames, names = [], []
    zero_length = False
    try:
        with writer:
            for n in range(s["n_frames"]):
                frame = _frame(fdp, s["dtype"], s["shape"])
                kwargs = {}
                if fdp.ConsumeBool():
                    kwargs["duration"] = _duration(fdp)
                if fdp.ConsumeBool():
                    kwargs["name"] = _name(fdp)
                try:
                    writer.write_frame(frame, is_last=n == s["n_frames"] - 1
                                       and fdp.ConsumeBool(), **kwargs)
                except Exception:
                    if not frames or fdp.ConsumeBool():
                        return None
                    continue  # a refused frame leaves the writer usable, or says so
                frames.append(frame)
                names.append(kwargs.get("name"))
                zero_length |= _maybe_zero(kwargs.get("duration"))
            stream = writer.close()
    except Exception:
        return None
    return stream, frames, names, zero_length


def test_one_input(data: bytes) -> None:
    fdp = atheris.FuzzedDataProvider(data)
    try:
        s = _setup(fdp)
    except Exception:
        return
    made = (_via_writer if s["use_writer"] else _via_encode)(fdp, s)
    if made is None:
        return
    _check(*made[:1], s, *made[1:])


def main() -> None:
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
