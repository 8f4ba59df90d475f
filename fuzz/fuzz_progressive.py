"""Fuzzes partial and progressive decoding on truncated and corrupted streams.

The first HEADER bytes choose the entry point (decode with partial=True, a
JxlReader with partial=True read or iterated, iter_progressive on the frames
one after another, iter_progressive on a streaming reader, decode with a
downsampling= ratio, decode with preview=True, probe with progressive=True),
the kind of source, the chunk size of the stand-in
streaming reader, where the stream is cut (none, a fraction of it, or a
fuzzed byte count), up to three bytes to corrupt (position and XOR mask),
the downsampling ratio (invalid ones too) and the thread count. The rest is
the stream.

A Python exception is an acceptable answer. Beyond crashes, sanitizer
reports and hangs, these are findings: iter_progressive yielding a
rendering whose shape or dtype is not the frame's, a ratio that rises or
bytes_read that falls or passes the stream's length, renderings that share
one array, or (on a stream that decodes both ways) its last rendering
differing from decode(partial=True) or from the frame iterated plainly;
reader.complete not a bool, or True after a partial frame; a preview that
is not a C-contiguous (Y, X[, C]) array; probe's ratios not falling powers
of two ending with 1, or (on a stream that decodes) not those that
iter_progressive renders the first frame at.

The corpus is seeded here, the first time it is used, with progressive and
plain streams, lossy and lossless, still and animated, of one group and of
several, and with the streams of libjxl-testdata's fuzzing corpus that carry
a preview image."""

from __future__ import annotations

from pathlib import Path

import atheris
import numpy as np

with atheris.instrument_imports():
    import kestrelpix.codecs._jxl as jxl

import _support as sup

sup.install_stand_ins()

HEADER = 16
_MAX_FRAME_PIXELS = 1 << 21
_MAX_FRAMES = 8
_KINDS = ("bytes", "bytearray", "memoryview", "array", "file", "few-bytes file")
_RATIOS = [1, 2, 4, 8, 1, 8, 0, 3, 16, -1, 2**63]
_THREADS = [1, 1, 1, 2, None]
_CHUNKS = [1, 3, 16, 17, 100, 4096, 65536]
# Streams that carry a preview image libjxl decodes (libjxl cannot write one).
_PREVIEWS = [sup.TESTDATA / "oss-fuzz" / f"clusterfuzz-testcase-minimized-djxl_fuzzer-{n}"
             for n in ("4816304719134720", "5467620336336896", "5914266367557632",
                       "6748486320652288")]
# What a stream or an option may be refused with; anything else is a finding.
_REFUSALS = (jxl.JxlError, ValueError, TypeError, OverflowError, NotImplementedError)


def _small(data: bytes) -> bool:
    with jxl.JxlReader(data, numthreads=1, parse_color=False, partial=True) as probe:
        shape = probe.frame_shape or (0,)
    return int(np.prod(shape[:2], dtype=np.uint64)) <= _MAX_FRAME_PIXELS


def _mangle(fdp: atheris.FuzzedDataProvider, data: bytes) -> bytes:
    """`data` cut short and with a few bytes flipped, as the header says."""
    cut = fdp.ConsumeIntInRange(0, 3)
    if cut == 1:
        data = data[:len(data) * fdp.ConsumeIntInRange(1, 99) // 100]
    elif cut == 2:
        data = data[:fdp.ConsumeIntInRange(0, 65535)]
    flips = bytearray(data)
    for _ in range(fdp.ConsumeIntInRange(0, 3)):
        pos, mask = fdp.ConsumeIntInRange(0, 65535), fdp.ConsumeIntInRange(1, 255)
        if flips:
            flips[pos % len(flips)] ^= mask
    return bytes(flips)


def _check_steps(reader, steps, length: int) -> None:
    ratios = [info["downsampling"] for _, info in steps]
    read = [info["bytes_read"] for _, info in steps]
    assert ratios == sorted(ratios, reverse=True), ratios
    assert read == sorted(read) and (not read or read[-1] <= length), (read, length)
    for array, _ in steps:
        assert array.shape == reader.frame_shape and array.dtype == reader.dtype, \
            (array.shape, array.dtype, reader.frame_shape, reader.dtype)
    assert len({id(a) for a, _ in steps}) == len(steps), "renderings share an array"
    assert isinstance(reader.complete, bool)


def _progressive(make_reader, length: int, plain) -> None:
    """iter_progressive over the frames, each frame's last rendering against
    the same frame from `plain` (frames iterated plainly), when it has one."""
    with make_reader() as reader:
        for n in range(_MAX_FRAMES):
            steps = list(reader.iter_progressive())
            if not steps:
                return
            _check_steps(reader, steps, length)
            if not reader.complete:
                return  # the partial frame ends the stream
            if plain is not None and n < len(plain):
                np.testing.assert_array_equal(steps[-1][0], plain[n])


def _plain_frames(data: bytes, threads) -> list | None:
    try:
        with jxl.JxlReader(data, numthreads=threads) as reader:
            return list(reader)[:_MAX_FRAMES]
    except _REFUSALS:
        return None


def test_one_input(data: bytes) -> None:
    if len(data) < HEADER:
        return
    fdp = atheris.FuzzedDataProvider(data[:HEADER])
    data = data[HEADER:]
    entry = fdp.ConsumeIntInRange(0, 7)
    kind = _KINDS[fdp.ConsumeIntInRange(0, len(_KINDS) - 1)]
    sup.TinyChunks.chunk = sup.FewBytes.chunk = fdp.PickValueInList(_CHUNKS)
    ratio = fdp.PickValueInList(_RATIOS)
    threads = fdp.PickValueInList(_THREADS)
    data = _mangle(fdp, data)
    try:
        if not _small(data):
            return
    except Exception:
        if not fdp.ConsumeBool():
            return  # streams without a header go on now and then only
    try:
        if entry == 0:
            jxl.decode(sup.as_source(kind, data), partial=True, numthreads=threads)
        elif entry == 1:
            with jxl.JxlReader(sup.as_source(kind, data), partial=True, numthreads=threads,
                               coalesce=fdp.ConsumeBool()) as reader:
                for _ in reader.iter_frames(info=fdp.ConsumeBool()):
                    assert isinstance(reader.complete, bool)
                    if not reader.complete:
                        break
        elif entry in (2, 3):
            partial = entry == 2 or fdp.ConsumeBool()
            plain = _plain_frames(data, threads) if fdp.ConsumeBool() else None
            _progressive(lambda: jxl.JxlReader(sup.as_source(kind, data), partial=partial,
                                               numthreads=threads), len(data), plain)
        elif entry == 4:
            _progressive(lambda: jxl.JxlReader(sup.LargeLooking(data), streaming=True,
                                               partial=fdp.ConsumeBool(), numthreads=threads),
                         len(data), None)
        elif entry == 5:
            jxl.decode(sup.as_source(kind, data), downsampling=ratio,
                       partial=fdp.ConsumeBool(), numthreads=threads)
        elif entry == 6:
            preview = jxl.decode(sup.as_source(kind, data), preview=True,
                                 keep_orientation=fdp.ConsumeBool())
            assert preview.ndim in (2, 3) and preview.flags.c_contiguous, preview.shape
        else:
            _probe_ratios(sup.as_source(kind, data), data, threads)
    except _REFUSALS:
        pass
    if entry in (0, 2) and fdp.ConsumeBool():
        _against_decode(data, threads)


def _probe_ratios(source, data: bytes, threads) -> None:
    ratios = jxl.probe(source, progressive=True, numthreads=threads)["progressive"]["downsampling"]
    assert ratios and ratios[-1] == 1 and ratios == sorted(set(ratios), reverse=True), ratios
    assert set(ratios) <= {1, 2, 4, 8}, ratios
    try:
        with jxl.JxlReader(data, numthreads=threads) as reader:
            rendered = [info["downsampling"] for _, info in reader.iter_progressive()]
            whole = reader.complete
    except _REFUSALS:
        return
    if whole and rendered:
        assert ratios == sorted(set(rendered), reverse=True), (ratios, rendered)


def _against_decode(data: bytes, threads) -> None:
    """The last rendering of the first frame is what decode(partial=True)
    gives for it, when both give one."""
    try:
        whole = jxl.decode(data, partial=True, numthreads=threads, index=0)
        with jxl.JxlReader(data, partial=True, numthreads=threads) as reader:
            steps = list(reader.iter_progressive())
    except _REFUSALS:
        return
    np.testing.assert_array_equal(steps[-1][0], whole)


# ---- Seeds -------------------------------------------------------------------

def _made_streams() -> list[bytes]:
    rng = np.random.default_rng(0)
    small = rng.integers(0, 256, (40, 56, 3), dtype=np.uint8)
    # Smooth enough for the passes to matter, several groups wide.
    y, x = np.mgrid[0:280, 0:300]
    large = np.stack([x % 256, y % 256, (x + y) % 256], axis=-1).astype(np.uint8)
    grey = rng.integers(0, 65536, (48, 40), dtype=np.uint16)
    made = []
    for image in (small, large):
        for options in ({}, {"progressive": True}, {"lossless": True},
                        {"lossless": True, "progressive": True},
                        {"progressive": True, "group_order": "center"}):
            made.append(jxl.encode(image, effort=3, numthreads=1, **options))
    made.append(jxl.encode(grey, effort=2, numthreads=1, progressive=True, distance=3))
    made.append(jxl.encode(np.stack([small, small[::-1], small[:, ::-1]]), animation=True,
                           effort=2, numthreads=1, progressive=True))
    made.append(jxl.encode(np.stack([small, small[::-1]]), animation=True, lossless=True,
                           effort=1, numthreads=1))
    return made + [path.read_bytes() for path in _PREVIEWS if path.exists()]


def seed(corpus: Path) -> None:
    """Once per corpus (make fuzz's generic random seeds may be there already)."""
    if not corpus.is_dir() or any(corpus.glob("seed-progressive-*")):
        return
    rng = np.random.default_rng(1)
    for n, stream in enumerate(_made_streams()):
        for k in range(3):
            header = rng.integers(0, 256, HEADER, dtype=np.uint8).tobytes()
            (corpus / f"seed-progressive-{n}-{k}").write_bytes(header + stream)


def main() -> None:
    sup.seed_and_fuzz(test_one_input, seed)


if __name__ == "__main__":
    main()
