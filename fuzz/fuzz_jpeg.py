"""Fuzzes JPEG recompression: transcode_jpeg on JPEG files and
reconstruct_jpeg on recompressed streams.

The first byte picks the entry point (even: transcode_jpeg, odd:
reconstruct_jpeg), the second the source kind (bytes, bytearray, memoryview,
a uint8 array, a file object, a file object whose read() gives a few bytes at
a time), the chunk size of that last one, the effort and the thread count;
the rest is the input. A Python exception is an acceptable answer; a crash, a
sanitizer report or a hang is a finding; with KP_FUZZ_JPEG_EXACT=1, so is a
JPEG that transcode_jpeg accepts but reconstruct_jpeg does not give back
exactly (libjxl, cjxl alike, accepts some damaged JPEGs it cannot rebuild;
transcode_jpeg's verification must refuse them).

KP_FUZZ_JPEG=transcode or =reconstruct keeps to one entry point (to give each
its own run); the default takes both.

The corpus is seeded here, the first time it is used, with
libjxl-testdata's JPEG files and the streams transcode_jpeg makes of the
smaller ones."""

from __future__ import annotations

import os
from pathlib import Path

import atheris

with atheris.instrument_imports():
    import kestrelpix.codecs._jxl as jxl

import _support as sup

HEADER = 2
MODE = os.environ.get("KP_FUZZ_JPEG", "both")
EXACT = os.environ.get("KP_FUZZ_JPEG_EXACT") == "1"
TESTDATA = sup.TESTDATA
_EFFORTS = [1, 1, 1, 2, 3, 7]
_CHUNKS = [1, 3, 7, 64, 4096]


_KINDS = ('bytes', 'bytearray', 'memoryview', 'array', 'file', 'few-bytes file')


def test_one_input(data: bytes) -> None:
    if len(data) < HEADER:
        return
    mode, options = data[0], data[1]
    data = data[HEADER:]
    reconstruct = mode & 1 if MODE == "both" else MODE == "reconstruct"
    kind = options % 6
    sup.FewBytes.chunk = _CHUNKS[(options >> 3) % len(_CHUNKS)]
    numthreads = 1 if options & 0x80 else 2
    stream = None
    try:
        if reconstruct:
            jxl.reconstruct_jpeg(sup.as_source(_KINDS[kind], data))
            return
        effort = _EFFORTS[(options >> 4) % len(_EFFORTS)]
        stream = jxl.transcode_jpeg(sup.as_source(_KINDS[kind], data), effort=effort, numthreads=numthreads)
        # libjxl (and so cjxl) accepts some damaged JPEGs whose stream it
        # then cannot rebuild; transcode_jpeg checks for that, and
        # KP_FUZZ_JPEG_EXACT=1 makes any that slips through a finding.
        rebuilt = jxl.reconstruct_jpeg(stream)
    except (jxl.JxlError, ValueError, MemoryError):
        if EXACT and stream is not None:
            raise AssertionError("transcode_jpeg made a stream reconstruct_jpeg refuses")
        return
    if EXACT and rebuilt != data:
        raise AssertionError("transcode_jpeg accepted a JPEG that does not come back exactly")


def seed(corpus: Path) -> None:
    """JPEG files for transcode_jpeg, streams of the small ones for
    reconstruct_jpeg; once per corpus (make fuzz's generic random seeds may be
    there already)."""
    if not corpus.is_dir() or any(corpus.glob("seed-jpeg-*")):
        return
    jpegs = sorted((TESTDATA / "jxl").rglob("*.jpg"))
    for n, path in enumerate(jpegs):
        jpeg = path.read_bytes()
        (corpus / f"seed-jpeg-{n}").write_bytes(bytes([0, n * 37 & 0x7F]) + jpeg)
        if len(jpeg) > 100_000:
            continue
        try:
            stream = jxl.transcode_jpeg(jpeg, effort=1, numthreads=1)
        except jxl.JxlError:
            continue
        (corpus / f"seed-jxl-{n}").write_bytes(bytes([1, n * 37 & 0xFF]) + stream)
    for n, path in enumerate(sorted((TESTDATA / "jxl" / "jpeg_reconstruction").glob("*.jxl"))):
        (corpus / f"seed-cjxl-{n}").write_bytes(bytes([1, n]) + path.read_bytes())


def main() -> None:
    sup.seed_and_fuzz(test_one_input, seed)


if __name__ == "__main__":
    main()
