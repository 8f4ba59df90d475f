"""Fuzzes probe() over arbitrary streams, and decoding with the extra channels
and frame info on the same streams.

The first HEADER bytes choose how: the kind of source (bytes, bytearray,
memoryview, a file object, a file object whose read() gives a few bytes at a
time), the max_box_size (tiny ones included, so that every box hits the
limit), the thread count, then whether to go on decoding: decode() with
extra_channels=True, and a JxlReader with extra_channels on or off iterated
with iter_frames(info=True), coalesced or not. The rest is the stream.
Frames whose header declares more than a few megapixels are not decoded
(allocating them is legitimate, not what fuzzing is for).

A Python exception is an acceptable answer; only a crash, a sanitizer report
or a hang is a finding.

The corpus is seeded here, the first time it is used, with streams carrying
Exif/XMP/JUMBF boxes (compressed or not), animations with frame names and
durations, extra channels of every type, and libjxl-testdata's streams."""

from __future__ import annotations

import sys
from pathlib import Path

import atheris
import numpy as np

with atheris.instrument_imports():
    import kestrelpix.codecs._jxl as jxl

import _support as sup

HEADER = 4
TESTDATA = sup.TESTDATA
# Pixels a decoded frame may have, and all the frames of one input together:
# the machine is slow and a hang must mean a hang.
_MAX_FRAME_PIXELS = 1 << 22
_MAX_TOTAL_PIXELS = 1 << 24
_BOX_SIZES = [None, 0, 1, 2, 3, 4, 7, 8, 16, 64, 255, 4096, 1 << 20, 2**63 - 1, -1, 2**64]
_CHUNKS = [1, 2, 3, 7, 64, 4096]
_THREADS = [1, 1, 1, 2, None, 0]


_KINDS = ('bytes', 'bytearray', 'memoryview', 'file', 'few-bytes file')


def _pixels(shape) -> int:
    return int(np.prod(shape or (0,), dtype=np.uint64))


def _iterate(data: bytes, kind: int, threads, coalesce: bool, extra: bool) -> None:
    with jxl.JxlReader(sup.as_source(_KINDS[kind], data), numthreads=threads, coalesce=coalesce,
                       extra_channels=extra) as reader:
        if _pixels(reader.frame_shape) > _MAX_FRAME_PIXELS:
            return
        reader.extra_channels, reader.basic_info
        total = 0
        for frame, info in reader.iter_frames(info=True):
            assert isinstance(info, dict)
            total += frame.size
            if total > _MAX_TOTAL_PIXELS * 4:
                return


def test_one_input(data: bytes) -> None:
    if len(data) < HEADER:
        return
    h0, h1, h2, h3 = data[:HEADER]
    data = data[HEADER:]
    kind = h0 % 5
    sup.FewBytes.chunk = _CHUNKS[(h0 >> 3) % len(_CHUNKS)]
    max_box = _BOX_SIZES[h1 % len(_BOX_SIZES)]
    threads = _THREADS[(h1 >> 4) % len(_THREADS)]
    extra = {} if max_box is None else {"max_box_size": max_box}
    try:
        info = jxl.probe(sup.as_source(_KINDS[kind], data), numthreads=threads, **extra)
    except Exception:
        info = None
    if info is not None:
        # What probe answers is plain data: touching all of it must be safe.
        repr(info)
        basic = info["basic_info"]
        pixels = int(basic["xsize"]) * int(basic["ysize"])
        if pixels > _MAX_FRAME_PIXELS or pixels * max(1, len(info["frames"])) > _MAX_TOTAL_PIXELS:
            return
    elif not h2 & 1:
        return  # unprobeable streams go on to the decoders now and then only
    try:
        if h2 & 2:
            with jxl.JxlReader(data, numthreads=1, parse_color=False) as reader:
                small = _pixels(reader.frame_shape) <= _MAX_FRAME_PIXELS
            if small and (info is not None or h2 & 4):
                jxl.decode(sup.as_source(_KINDS[kind], data), numthreads=threads, extra_channels=True,
                           coalesce=bool(h2 & 8))
    except Exception:
        pass
    try:
        _iterate(data, kind, threads, coalesce=bool(h3 & 1), extra=bool(h3 & 2) or not h3 & 4)
    except Exception:
        pass


# ---- Seeds -------------------------------------------------------------------

_TIFF = b"II*\0\x08\0\0\0\x01\0\x12\x01\x03\0\x01\0\0\0\x06\0\0\0\0\0\0\0"
_XMP = ('<?xpacket begin="\ufeff" id="W5M0MpCehiHzreSzNTczkc9d"?><x:xmpmeta '
        'xmlns:x="adobe:ns:meta/"/><?xpacket end="w"?>')
_JUMBF = (b"\0\0\0\x2bjumb\0\0\0\x23jumdc2pa\0\x11\0\x10\x80\0\0\xaa\08\x9bq"
          b"c2pa\0")


def _made_streams() -> list[bytes]:
    rng = np.random.default_rng(0)
    made = []

    def add(arr, **options):
        try:
            made.append(jxl.encode(arr, effort=1, numthreads=1, **options))
        except Exception as e:  # a seed the build refuses is no seed
            print(f"fuzz_probe: seed not made: {e!r}", file=sys.stderr)

    rgb = rng.integers(0, 256, (8, 9, 3), dtype=np.uint8)
    for compress in (False, True):
        add(rgb, lossless=True, exif=_TIFF, xmp=_XMP, jumbf=_JUMBF, compress_boxes=compress)
        add(rgb, quality=80, exif=b"Exif\0\0" + _TIFF, orientation=6, compress_boxes=compress)
        add(rgb, lossless=True, xmp=_XMP.encode() * 20, compress_boxes=compress)
    stack = rng.integers(0, 65536, (3, 5, 6), dtype=np.uint16)
    add(stack, animation=True, lossless=True, durations=[40, 0, 1000], loops=3)
    add(stack, animation=True, lossless=True, tps=(30000, 1001), durations=1001 / 30)
    with jxl.JxlWriter(animation=True, lossless=True, effort=1, numthreads=1, tps=1000,
                       exif=_TIFF, compress_boxes=True) as writer:
        for n in range(3):
            writer.write_frame(rgb, duration=n * 25, name=f"frame \u00e9 {n}" * (n + 1))
        made.append(writer.close())
    types = ["alpha", "depth", "selection_mask", "black", "thermal", "optional"]
    for dtype in (np.uint8, np.uint16, np.float32):
        extra = types + [{"type": "spot_color", "name": "pantone", "spot_color": [1, 0.5, 0, 1]}]
        arr = rng.random((4, 5, 3 + len(extra)), dtype=np.float32)
        if dtype != np.float32:
            arr = (arr * np.iinfo(dtype).max).astype(dtype)
        add(arr, lossless=True, extra_channels=extra)
        add(arr[..., :4], lossless=True, extra_channels=[{"type": "alpha",
                                                           "alpha_premultiplied": True,
                                                           "name": "a"}])
    return made


def seed(corpus: Path) -> None:
    """Once per corpus (make fuzz's generic random seeds may be there already)."""
    if not corpus.is_dir() or any(corpus.glob("seed-probe-*")):
        return
    streams = _made_streams()
    streams += [p.read_bytes() for p in sorted((TESTDATA / "jxl" / "jpeg_reconstruction").glob("*.jxl"))]
    streams += [p.read_bytes() for p in sorted((TESTDATA / "jxl").rglob("*.jxl"))
                if p.parent.name != "jpeg_reconstruction"]
    n = 0
    for stream in streams:
        if len(stream) > 1 << 20:
            continue
        for header in (bytes([0, 0, 0x0b, 0x03]), bytes([4 | 8 * n % 48, 1 + n % 15, 0x0f, n & 7])):
            (corpus / f"seed-probe-{n}").write_bytes(header + stream)
            n += 1


def main() -> None:
    sup.seed_and_fuzz(test_one_input, seed)


if __name__ == "__main__":
    main()
